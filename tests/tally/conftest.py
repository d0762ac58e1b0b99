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
