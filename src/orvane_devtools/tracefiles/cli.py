"""``orvane-devtools import`` and ``orvane-devtools open``: their options and what they run.

Exit codes of both: 0 done (bad lines are reported, not fatal), 1 could not import or start (a
file missing, a listener that cannot be reached, a database that cannot be opened, a port in
use), 2 bad options; every refusal is one line on stderr, never a traceback.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
import tempfile
from pathlib import Path
from typing import IO, Any

from .importer import (
    CoreTarget,
    DatabaseTarget,
    ImportFailed,
    ListenerTarget,
    Progress,
    Summary,
    import_source,
)
from .lines import SourceError, TraceSource

__all__ = ["add_import_arguments", "add_open_arguments", "import_command", "open_command"]

API_KEY_ENV = "ORVANE_DEVTOOLS_API_KEY"


def _files_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="trace files: JSON Lines (one event per line, as the JSON Lines "
                             "backend writes them) or OTLP JSON lines; '.gz' or any gzip file is "
                             "read as gzip; '-' reads standard input")


def add_import_arguments(parser: argparse.ArgumentParser) -> None:
    from ..listener.config import default_db_path

    _files_argument(parser)
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--endpoint", default=None, metavar="URL",
                       help="import into this running listener through its API, e.g. "
                            "http://127.0.0.1:8765/observation (its ingest URL does too); its "
                            "pages show the runs live")
    where.add_argument("--db", default=None, metavar="PATH",
                       help=f"import straight into this database file (default "
                            f"{default_db_path()}, the one 'start' uses)")
    parser.add_argument("--api-key", default=None, metavar="KEY",
                        help=f"the listener's API key, with --endpoint (also from {API_KEY_ENV})")


def add_open_arguments(parser: argparse.ArgumentParser) -> None:
    from ..listener.cli import add_start_arguments

    _files_argument(parser)
    add_start_arguments(parser, port=0, db_default="a fresh temporary database, removed at the end")
    parser.add_argument("--browser", action="store_true",
                        help="open the page in the web browser once the files are imported")


def _fail(command: str, message: str, err: IO[str], code: int) -> int:
    print(f"orvane-devtools {command}: {message}", file=err, flush=True)
    return code


def _print_summaries(summaries: list[Summary], out: IO[str]) -> None:
    if len(summaries) > 1:
        total = Summary("all files")
        for s in summaries:
            total.lines += s.lines
            total.accepted += s.accepted
            total.duplicates += s.duplicates
            total.bad_count += s.bad_count
            total.otlp_not_kept += s.otlp_not_kept
        out.write(total.text()[0] + "\n")
    out.flush()


def _sources(files: list[str]) -> list[TraceSource]:
    if files.count("-") > 1:
        raise ValueError("'-' (standard input) can be given once")
    return [TraceSource(name) for name in files]


# -- import -----------------------------------------------------------------------------------

def import_command(args: argparse.Namespace, *, out: IO[str] | None = None,
                   err: IO[str] | None = None) -> int:
    out = out or sys.stdout
    err = err or sys.stderr
    try:
        sources = _sources(args.files)
        if args.endpoint:
            api_key = args.api_key or os.environ.get(API_KEY_ENV) or None
            target: Any = ListenerTarget(args.endpoint, api_key)
        else:
            if args.api_key:
                raise ValueError("--api-key goes with --endpoint (a database file needs no key)")
            from ..listener.config import default_db_path

            target = DatabaseTarget(args.db or default_db_path())
    except ValueError as exc:
        return _fail("import", str(exc), err, 2)
    try:
        for source in sources:
            source.check()
    except SourceError as exc:
        return _fail("import", str(exc), err, 1)
    print(f"importing into {target.description}", file=out, flush=True)
    summaries: list[Summary] = []

    def report(summary: Summary) -> None:
        summaries.append(summary)
        out.write("\n".join(summary.text()) + "\n")
        out.flush()

    async def run() -> None:
        target.open()
        try:
            for source in sources:
                report(await import_source(source, target, Progress(err)))
        finally:
            await target.close()

    try:
        asyncio.run(run())
    except (ImportFailed, SourceError) as exc:
        return _fail("import", str(exc), err, 1)
    except KeyboardInterrupt:
        return _fail("import", "interrupted (what was committed stays)", err, 130)
    _print_summaries(summaries, out)
    return 0


# -- open -------------------------------------------------------------------------------------

def open_command(args: argparse.Namespace, *, out: IO[str] | None = None,
                 err: IO[str] | None = None) -> int:
    from ..listener.cli import config_from_args, extra_backends
    from ..listener.config import ListenerConfigError
    from ..listener.server import ListenerStartError, run_listener

    out = out or sys.stdout
    err = err or sys.stderr
    try:
        sources = _sources(args.files)
    except ValueError as exc:
        return _fail("open", str(exc), err, 2)
    try:
        for source in sources:
            source.check()
    except SourceError as exc:
        return _fail("open", str(exc), err, 1)
    with tempfile.TemporaryDirectory(prefix="orvane-open-") as folder:
        if not args.db:
            args.db = str(Path(folder) / "listener.sqlite3")
        try:
            config = config_from_args(args)
        except ListenerConfigError as exc:
            return _fail("open", str(exc), err, 2)

        async def after_start(core: Any, port: int) -> None:
            await _import_and_show(core, config, port, sources, args.browser, out, err)

        try:
            return run_listener(config, out=out, backends=extra_backends(args, config),
                                after_start=after_start)
        except (ListenerConfigError, ListenerStartError) as exc:
            return _fail("open", str(exc), err, 2 if isinstance(exc, ListenerConfigError) else 1)


async def _import_and_show(core: Any, config: Any, port: int, sources: list[TraceSource],
                           browser: bool, out: IO[str], err: IO[str]) -> None:
    """The files imported into the running listener, the summary, then the page's address."""
    target = CoreTarget(core)
    summaries: list[Summary] = []
    trees: dict[str, str] = {}
    for source in sources:
        try:
            summary = await import_source(source, target, Progress(err), trees)
        except (ImportFailed, SourceError) as exc:
            print(f"orvane-devtools open: {exc}", file=err, flush=True)
            continue
        summaries.append(summary)
        out.write("\n".join(summary.text()) + "\n")
    _print_summaries(summaries, out)
    url = config.page_url(port)
    if len(trees) == 1:
        from urllib.parse import urlencode

        url += "?" + urlencode({"run": next(iter(trees.values()))})
    print(f"Open the page: {url}", file=out, flush=True)
    if browser:
        import webbrowser

        await asyncio.to_thread(webbrowser.open, url)
