"""Command line: ``orvane-devtools demo``, ``start``, ``import`` and ``open`` (also ``python -m
orvane_devtools ...``)."""

from __future__ import annotations

import argparse
import sys


def _demo(args: argparse.Namespace) -> int:
    from ._demo import run_demo

    return run_demo(out_dir=args.out, endpoint=args.endpoint, api_key=args.api_key)


def _start(args: argparse.Namespace) -> int:
    from .listener.cli import start_command

    return start_command(args)


def _import(args: argparse.Namespace) -> int:
    from .tracefiles.cli import import_command

    return import_command(args)


def _open(args: argparse.Namespace) -> int:
    from .tracefiles.cli import open_command

    return open_command(args)


def build_parser() -> argparse.ArgumentParser:
    """The command line's parser, every subcommand with its options; nothing runs."""
    parser = argparse.ArgumentParser(prog="orvane-devtools", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="play a small agent session through the observation layer")
    demo.add_argument("--out", default=None, help="folder for the JSON Lines file (default: a temporary folder)")
    demo.add_argument("--endpoint", default=None, metavar="URL",
                      help="send the session to this running listener's ingest URL (e.g. "
                           "http://127.0.0.1:8765/observation/ingest) instead of the demo's own")
    demo.add_argument("--api-key", default=None, metavar="KEY",
                      help="the listener's API key (also from ORVANE_DEVTOOLS_API_KEY)")
    demo.set_defaults(func=_demo)

    from .listener.cli import add_start_arguments

    start = sub.add_parser("start", help="run the DevTools listener: receives uploads, keeps "
                                         "them, serves the API and the web page")
    add_start_arguments(start)
    start.set_defaults(func=_start)

    from .tracefiles.cli import add_import_arguments, add_open_arguments

    imp = sub.add_parser("import", help="import trace files (JSON Lines) into a running listener "
                                        "or a database file")
    add_import_arguments(imp)
    imp.set_defaults(func=_import)
    opn = sub.add_parser("open", help="start a listener on a temporary database, import trace "
                                      "files into it and serve its page")
    add_open_arguments(opn)
    opn.set_defaults(func=_open)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
