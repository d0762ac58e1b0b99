"""The hand-written stubs against the runtime they describe.

mypy's stubtest (with stubtest_native.py, which teaches it to read nanobind's signatures) runs in
a subprocess over every module of the packages as they are imported here (the installed
packages under ``tools/dev test``): the extension modules against their ``.pyi`` stubs, the
Python modules (the packages are typed) against themselves. Modules are found by walking the
packages, so a new module is checked without being listed.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
DRIVER = HERE / "stubtest_native.py"
ALLOWLIST = HERE / "stubtest_allowlist.txt"
PACKAGES = ("orvane_devtools", "orvane")
DISTRIBUTION = "orvane-devtools"
# One stubtest run takes about 15 s on an idle machine; the bound is for a loaded one.
STUBTEST_SECONDS = 400


def package_root(name: str) -> Path:
    return Path(importlib.import_module(name).__file__).resolve().parent


def walk_modules(name: str, root: Path) -> dict[str, set[str]]:
    """module name -> the kinds of file found for it: "py", "pyi", "ext" (an extension module)."""
    ext_suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    found: dict[str, set[str]] = {}
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d != "__pycache__")
        rel = Path(dirpath).relative_to(root).parts
        for filename in filenames:
            kind = stem = None
            for suffix in ext_suffixes:
                if filename.endswith(suffix):
                    kind, stem = "ext", filename[: -len(suffix)]
                    break
            else:
                base, dot, suffix = filename.rpartition(".")
                if dot and suffix in ("py", "pyi"):
                    kind, stem = suffix, base
            if kind is None:
                continue
            parts = (name, *rel) if stem == "__init__" else (name, *rel, stem)
            found.setdefault(".".join(parts), set()).add(kind)
    return found


@pytest.fixture(scope="module")
def packages() -> dict[str, tuple[Path, dict[str, set[str]]]]:
    return {name: (package_root(name), walk_modules(name, package_root(name))) for name in PACKAGES}


def mypy_config(modules: dict[str, set[str]]) -> str:
    """The mypy configuration of the run. Type errors inside the Python modules (function bodies
    checked against each other) are a type checker's business, not a stub's, so they are ignored
    there; a stub (.pyi) gets no such pass."""
    lines = ["[mypy]"]
    for module, kinds in sorted(modules.items()):
        if "pyi" not in kinds:
            lines += [f"[mypy-{module}]", "ignore_errors = True"]
    return "\n".join(lines) + "\n"


def run_stubtest(tmp_path: Path, roots: list[Path], modules: dict[str, set[str]],
                 extra_path: Path | None = None) -> subprocess.CompletedProcess[str]:
    config = tmp_path / "mypy.ini"
    config.write_text(mypy_config(modules))
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "MYPY_CACHE_DIR")}
    # Absolute entries: the run has a working directory of its own.
    path = [str(extra_path)] if extra_path is not None else []
    path += [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(path)
    args = [sys.executable, str(DRIVER), "--mypy-config-file", str(config),
            "--allowlist", str(ALLOWLIST)]
    for root in roots:
        args += ["--package-root", str(root)]
    for module in sorted(modules):
        args += ["--expect", module]
    args += list(PACKAGES)
    # cwd: a folder of its own, so no configuration file or module of the checkout is picked up.
    work = tmp_path / "cwd"
    work.mkdir()
    return subprocess.run(args, cwd=work, env=env, capture_output=True, text=True,
                          timeout=STUBTEST_SECONDS)


class TestPackagesDeclareTheirTypes:
    def test_each_package_is_typed(self, packages):
        for name, (root, _) in packages.items():
            assert (root / "py.typed").is_file(), f"{name} ({root}) has no py.typed"

    def test_the_installed_distribution_ships_the_markers_and_stubs(self, packages):
        try:
            dist = importlib.metadata.distribution(DISTRIBUTION)
        except importlib.metadata.PackageNotFoundError:
            pytest.skip(f"{DISTRIBUTION} is not installed (a run from the source tree)")
        for name, (root, _) in packages.items():
            if Path(dist.locate_file(name)).resolve() != root:
                pytest.skip(f"{name} is imported from {root}, not from {DISTRIBUTION}")
        files = {str(f) for f in dist.files or ()}
        wanted = {f"{name}/py.typed" for name in PACKAGES}
        for name, (root, modules) in packages.items():
            for module, kinds in modules.items():
                if "pyi" in kinds:
                    wanted.add("/".join(module.split(".")) + ".pyi")
        assert wanted - files == set(), f"not in {DISTRIBUTION}'s RECORD"

    def test_every_extension_module_has_a_stub(self, packages):
        missing = [module for _, modules in packages.values() for module, kinds in modules.items()
                   if "ext" in kinds and "pyi" not in kinds]
        assert missing == []
        # The walk saw the native modules at all (a packaging fault would leave none).
        assert {"orvane_devtools.observation.TraceDesk",
                "orvane_devtools.observation.backends.Linefile"} <= {
            module for _, modules in packages.values() for module, kinds in modules.items()
            if "ext" in kinds}


class TestNanobindSignaturesAreRead:
    """What the check compares a native function's stub with: nanobind's record read back."""

    def test_kinds_names_and_recorded_defaults(self):
        from orvane_devtools.observation.backends import Otlp, Uplink
        from stubtest_native import nanobind_signature

        assert str(nanobind_signature(Uplink.RemoteTraceSink.__init__)) == (
            "(self, *, endpoint, api_key, app_id='default', group_id=None, environment='local', "
            "timeout=5.0, buffer_limit=1200, batch_size=200, background_flush_interval=0.25)")
        assert str(nanobind_signature(Otlp.trace_id_for)) == "(root_run_id)"
        # An argument bound without a name: positional-only.
        assert str(nanobind_signature(Uplink._PendingEvents.append)) == "(self, arg, /)"

    def test_a_binding_that_reads_its_own_arguments_has_none(self):
        from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk
        from stubtest_native import nanobind_signature

        assert nanobind_signature(RuntimeTraceDesk.subscribe) is None
        assert str(nanobind_signature(RuntimeTraceDesk.query_runs)) == "(self, query=None, **kwargs)"


@pytest.mark.timeout(STUBTEST_SECONDS + 60)
def test_every_stub_matches_its_runtime(tmp_path, packages):
    roots = [root for root, _ in packages.values()]
    modules = {m: k for _, found in packages.values() for m, k in found.items()}
    out = run_stubtest(tmp_path, roots, modules)
    report = out.stdout + out.stderr
    assert out.returncode == 0, report
    checked = re.search(r"Success: no issues found in (\d+) modules", report)
    assert checked is not None, report
    assert int(checked.group(1)) >= len(modules), report


# A stub that disagrees with the runtime, one change per way of disagreeing (file, old, new),
# and the finding each must produce (the object's path, then a part of stubtest's words).
DOCTORED = [
    # A parameter renamed (a method of a nanobind class).
    ("observation/Tallybook.pyi",
     "    def get_run(self, run_id: str) -> RunRecord | None: ...",
     "    def get_run(self, record_id: str) -> RunRecord | None: ...",
     "orvane_devtools.observation.Tallybook.RuntimeTallybook.get_run", '"record_id"'),
    # A default value changed (read from nanobind's recorded defaults).
    ("observation/backends/Otlp.pyi",
     "        timeout: float = 10.0,",
     "        timeout: float = 5.0,",
     "orvane_devtools.observation.backends.Otlp.OtlpTraceSink.__init__", "5.0"),
    # A parameter the runtime does not have (a module-level nanobind function).
    ("observation/backends/Otlp.pyi",
     "def trace_id_for(root_run_id: str) -> str:",
     "def trace_id_for(root_run_id: str, salt: str) -> str:",
     "orvane_devtools.observation.backends.Otlp.trace_id_for", '"salt"'),
    # A keyword-only marker the runtime does not have (a class built from a namespace).
    ("observation/TraceDesk.pyi",
     "    def unsubscribe(self, subscription_or_id: RuntimeObservationSubscription | str) -> None: ...",
     "    def unsubscribe(self, *, subscription_or_id: RuntimeObservationSubscription | str) -> None: ...",
     "orvane_devtools.observation.TraceDesk.RuntimeTraceDesk.unsubscribe", "subscription_or_id"),
    # A static method declared as an instance method.
    ("observation/Tallybook.pyi",
     "    @staticmethod\n    def _normalize_search_text(value: Any) -> str: ...",
     "    def _normalize_search_text(self, value: Any) -> str: ...",
     "orvane_devtools.observation.Tallybook.RuntimeTallybook._normalize_search_text",
     "staticmethod"),
    # A value added to a Literal alias.
    ("observation/Tallybook.pyi",
     '"completed", "failed"]',
     '"completed", "failed", "cancelled"]',
     "orvane_devtools.observation.Tallybook.RunStatus", "'cancelled'"),
]


@pytest.mark.timeout(STUBTEST_SECONDS + 120)
def test_a_changed_stub_is_caught(tmp_path, packages):
    """The same run over a copy of the package whose stubs were changed: each change is found."""
    root, found = packages["orvane_devtools"]
    copy_parent = tmp_path / "doctored"
    copy = copy_parent / "orvane_devtools"
    shutil.copytree(root, copy, ignore=shutil.ignore_patterns("__pycache__"))
    for rel, old, new, _, _ in DOCTORED:
        stub = copy / rel
        text = stub.read_text()
        assert text.count(old) == 1, f"{rel}: {old!r} is not in the stub once"
        stub.write_text(text.replace(old, new))
    modules = {m: k for _, f in packages.values() for m, k in f.items()}
    out = run_stubtest(tmp_path, [copy, packages["orvane"][0]], modules, extra_path=copy_parent)
    report = out.stdout + out.stderr
    assert out.returncode == 1, report
    errors = [line for line in report.splitlines() if line.startswith("error: ")]
    for rel, _, _, path, words in DOCTORED:
        assert any(line.startswith(f"error: {path} ") and words in line for line in errors), (
            f"{rel}: no finding for {path} ({words})\n{report}")
    # Nothing but the changes: the copy is otherwise the package that passes.
    doctored_paths = {path for *_, path, _ in DOCTORED}
    assert {line.split()[1] for line in errors} == doctored_paths, report
