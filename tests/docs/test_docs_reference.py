"""The reference in docs/ held to the code, both ways.

Every settings key the sources name (Python and native), every option of every
``orvane-devtools`` subcommand and every route of the listener's application must appear in
docs/ as a heading or as the first cell of a table row, in backticks; and what settings.md and
listener.md document as a key or a route must exist in the code. The lists come from the code
itself (the sources' text, the argparse parser, the Starlette routes), never from this file.
"""

from __future__ import annotations

import argparse
import re
from dataclasses import dataclass
from pathlib import Path

import pytest

import orvane_devtools
from orvane_devtools.__main__ import build_parser
from orvane_devtools.listener import ListenerConfig, create_app

REPO = Path(__file__).resolve().parents[2]
DOCS = REPO / "docs"
NATIVE = REPO / "native"
PACKAGE = Path(orvane_devtools.__file__).resolve().parent
PROG = "orvane-devtools"
PREFIX = "/docs-check"

# A settings key as the sources write it: a string literal such as "observation.jsonl.path".
KEY_LITERAL = re.compile(r"""["']((?:observation|logs)\.[a-z0-9_]+(?:\.[a-z0-9_]+)*)["']""")
KEY = re.compile(r"(?:observation|logs)\.[a-z0-9_]+(?:\.[a-z0-9_]+)*")
ROUTE = re.compile(r"(GET|POST|PUT|PATCH|DELETE|HEAD|OPTIONS) (/\S*)")
SPAN = re.compile(r"`([^`]+)`")
HEADING = re.compile(r"(#{1,6})\s+(.*)")
LINK = re.compile(r"\]\(([^)\s]+)\)")


# -- the pages ----------------------------------------------------------------------------------

@dataclass(frozen=True)
class Entry:
    """A heading (level > 0) or the first cell of a table row (level 0): its backticked texts."""

    page: str
    line: int
    level: int
    spans: tuple[str, ...]


def first_cell(row: str) -> str:
    """The first cell of a Markdown table row; a ``|`` inside backticks does not end it."""
    text = row.strip()[1:]
    ticks = False
    for i, ch in enumerate(text):
        if ch == "`":
            ticks = not ticks
        elif ch == "|" and not ticks and (i == 0 or text[i - 1] != "\\"):
            return text[:i]
    return text


def entries(page: str, text: str) -> list[Entry]:
    out: list[Entry] = []
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if fenced:
            continue
        heading = HEADING.fullmatch(line.rstrip())
        if heading:
            out.append(Entry(page, number, len(heading.group(1)),
                             tuple(SPAN.findall(heading.group(2)))))
        elif line.lstrip().startswith("|") and not re.fullmatch(r"[\s|:-]+", line):
            out.append(Entry(page, number, 0, tuple(SPAN.findall(first_cell(line)))))
    return out


def read_docs() -> dict[str, str]:
    assert DOCS.is_dir(), f"{DOCS} is missing"
    return {p.name: p.read_text(encoding="utf-8") for p in sorted(DOCS.glob("*.md"))}


def spans_of(docs: dict[str, str], page: str | None = None) -> set[str]:
    return {s for name, text in docs.items() if page in (None, name)
            for e in entries(name, text) for s in e.spans}


def section_spans(docs: dict[str, str], title: str) -> set[str] | None:
    """The texts of every entry under a heading that names ``title`` in backticks, down to the
    next heading of the same or a higher level; None when no heading names it."""
    found: set[str] | None = None
    for name, text in docs.items():
        inside = 0  # level of the heading we are under, 0 when outside
        for e in entries(name, text):
            if e.level and inside and e.level <= inside:
                inside = 0
            if e.level and title in e.spans:
                inside = e.level
                found = found if found is not None else set()
                continue
            if inside:
                found.update(e.spans)
    return found


# -- the code -----------------------------------------------------------------------------------

def keys_in(root: Path, suffixes: tuple[str, ...]) -> set[str]:
    keys: set[str] = set()
    for path in root.rglob("*"):
        if path.suffix in suffixes and path.is_file():
            keys.update(KEY_LITERAL.findall(path.read_text(encoding="utf-8", errors="replace")))
    return keys


def python_keys() -> set[str]:
    return keys_in(PACKAGE, (".py", ".pyi"))


def native_keys() -> set[str]:
    if not NATIVE.is_dir():
        pytest.skip(f"the native sources are not here ({NATIVE})")
    return keys_in(NATIVE, (".cpp", ".hpp", ".h", ".cc"))


def commands() -> dict[str, list[str]]:
    """``"orvane-devtools start"`` -> its options (long forms), for the parser and every
    subparser below it; help and suppressed options left out."""
    out: dict[str, list[str]] = {}

    def walk(parser: argparse.ArgumentParser, name: str) -> None:
        options: list[str] = []
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                for sub_name, sub in action.choices.items():
                    walk(sub, f"{name} {sub_name}")
                continue
            if not action.option_strings or isinstance(action, argparse._HelpAction):
                continue
            if action.help == argparse.SUPPRESS:
                continue
            long = [o for o in action.option_strings if o.startswith("--")]
            options.extend(long or action.option_strings)
        out[name] = options

    walk(build_parser(), PROG)
    return out


def app_routes(tmp_path: Path) -> set[tuple[str, str]]:
    """(method, path) of every route of the listener's app, the API's prefix removed; a mount
    of an application (the page's files) as GET of its path pattern."""
    from starlette.routing import Mount, Route

    app = create_app(ListenerConfig(prefix=PREFIX, db_path=tmp_path / "listener.sqlite3"))
    out: set[tuple[str, str]] = set()

    def walk(routes: list, base: str) -> None:
        for route in routes:
            if isinstance(route, Mount):
                inner = getattr(route, "routes", None) or []
                if inner:
                    walk(inner, base + route.path)
                else:
                    out.add(("GET", base + route.path_format))
            elif isinstance(route, Route):
                for method in sorted((route.methods or {"GET"}) - {"HEAD"}):
                    out.add((method, base + route.path_format))
            else:  # pragma: no cover - a route type the reference does not know how to name
                raise AssertionError(f"route {route!r}: add its kind to this check")

    walk(list(app.routes), "")
    assert out, "the application has no routes"
    return {(m, p[len(PREFIX):] if p.startswith(PREFIX + "/") else p) for m, p in out}


def documented_routes(docs: dict[str, str]) -> set[tuple[str, str]]:
    found = set()
    for span in spans_of(docs, "listener.md"):
        match = ROUTE.fullmatch(span)
        if match:
            found.add((match.group(1), match.group(2)))
    return found


def documented_options(docs: dict[str, str], command: str) -> set[str] | None:
    spans = section_spans(docs, command)
    if spans is None:
        return None
    return {s.split()[0] for s in spans if s.startswith("-")}


# -- checks (functions of the pages, so a test can hand them a page with a row deleted) ---------

def missing_keys(docs: dict[str, str], keys: set[str]) -> set[str]:
    return keys - spans_of(docs, "settings.md")


def missing_options(docs: dict[str, str]) -> list[str]:
    problems = []
    for command, options in commands().items():
        documented = documented_options(docs, command)
        if documented is None:
            if options:
                problems.append(f"no heading names `{command}` (its options: {options})")
            continue
        problems.extend(f"{command} {o}" for o in options if o not in documented)
    return problems


def missing_routes(docs: dict[str, str], routes: set[tuple[str, str]]) -> set[tuple[str, str]]:
    return routes - documented_routes(docs)


# -- the tests ----------------------------------------------------------------------------------

def test_every_settings_key_of_the_python_sources_is_documented():
    keys = python_keys()
    assert "logs.path" in keys and "observation.max_runs" in keys, (
        f"the scan of {PACKAGE} found none of the keys it must find: {sorted(keys)}")
    missing = missing_keys(read_docs(), keys)
    assert not missing, f"settings keys without a heading in docs/settings.md: {sorted(missing)}"


def test_every_settings_key_of_the_native_sources_is_documented():
    keys = native_keys()
    assert "observation.enabled" in keys, f"the scan of {NATIVE} found: {sorted(keys)}"
    missing = missing_keys(read_docs(), keys)
    assert not missing, f"settings keys without a heading in docs/settings.md: {sorted(missing)}"


def test_settings_md_documents_only_keys_the_code_reads():
    code = python_keys() | native_keys()
    documented = {s for s in spans_of(read_docs(), "settings.md") if KEY.fullmatch(s)}
    assert documented, "docs/settings.md documents no key at all"
    unread = documented - code
    assert not unread, f"docs/settings.md documents keys no source reads: {sorted(unread)}"


def test_every_option_of_every_subcommand_is_documented_under_its_heading():
    found = commands()
    assert f"{PROG} start" in found and f"{PROG} demo" in found, sorted(found)
    assert "--port" in found[f"{PROG} start"] and "--heartbeat" not in found[f"{PROG} start"]
    problems = missing_options(read_docs())
    assert not problems, "options missing from docs/ (a row under the command's heading): " + \
        "; ".join(problems)


def test_every_listener_route_is_documented(tmp_path):
    routes = app_routes(tmp_path)
    assert ("POST", "/ingest") in routes and ("GET", "/healthz") in routes, sorted(routes)
    missing = missing_routes(read_docs(), routes)
    assert not missing, f"routes without a row in docs/listener.md: {sorted(missing)}"


def test_listener_md_documents_only_routes_the_app_has(tmp_path):
    documented = documented_routes(read_docs())
    assert documented, "docs/listener.md documents no route at all"
    extra = documented - app_routes(tmp_path)
    assert not extra, f"docs/listener.md documents routes the app does not have: {sorted(extra)}"


def test_a_deleted_row_or_heading_is_missed(tmp_path):
    """The checks above are only worth something if losing one line of docs fails them."""
    docs = read_docs()

    def without(page: str, needle: str) -> dict[str, str]:
        lines = docs[page].splitlines()
        hits = [i for i, line in enumerate(lines) if needle in line
                and (line.startswith("#") or line.startswith("|"))]
        assert len(hits) == 1, f"{needle!r} in {page}: lines {hits}"
        del lines[hits[0]]
        return {**docs, page: "\n".join(lines)}

    assert missing_keys(without("settings.md", "`logs.synchronous`"), python_keys()) == \
        {"logs.synchronous"}
    assert missing_options(without("listener.md", "| `--max-body SIZE`")) == \
        [f"{PROG} start --max-body"]
    assert missing_options(without("demo.md", "| `--api-key KEY`")) == \
        [f"{PROG} demo --api-key"]  # the start command's --api-key row does not stand in for it
    routes = app_routes(tmp_path)
    assert missing_routes(without("listener.md", "| `GET /runs/{run_id}/tree`"), routes) == \
        {("GET", "/runs/{run_id}/tree")}
    assert missing_routes(without("listener.md", "| `GET /assets/{path}`"), routes) == \
        {("GET", "/assets/{path}")}


def test_relative_links_of_the_readme_and_docs_lead_to_files():
    pages = [REPO / "README.md", REPO / "benchmarks" / "README.md", *sorted(DOCS.glob("*.md"))]
    broken = []
    for page in pages:
        if not page.is_file():
            broken.append(f"{page} is missing")
            continue
        for target in LINK.findall(page.read_text(encoding="utf-8")):
            if re.match(r"[a-z]+:", target) or target.startswith("#"):
                continue
            if not (page.parent / target.split("#", 1)[0]).exists():
                broken.append(f"{page.relative_to(REPO)} -> {target}")
    assert not broken, broken
