from __future__ import annotations

import pytest
from tally_helpers import make_event

from orvane_devtools.observation.Tallybook import RuntimeTallybook


@pytest.fixture
def store() -> RuntimeTallybook:
    return RuntimeTallybook()


@pytest.fixture
def ev():
    return make_event


def pytest_sessionfinish(session, exitstatus):
    # Objects left in reference cycles by the last tests (a facade holds its store in some) are
    # collected before the interpreter shuts down and the extension modules check their instances.
    import gc

    gc.collect()
