"""The plain-Python build of benchmarks/plain/ against the native modules: benchmarks/ is put on
the import path, as the benchmark scripts run with it."""

from __future__ import annotations

import sys
from pathlib import Path

_BENCHMARKS = Path(__file__).resolve().parents[2] / "benchmarks"
if str(_BENCHMARKS) not in sys.path:
    sys.path.insert(0, str(_BENCHMARKS))
