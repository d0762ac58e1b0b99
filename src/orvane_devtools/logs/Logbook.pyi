"""Type stubs of the Logbook extension module: the persistent log service's native half."""

from typing import Any

from pydantic import BaseModel

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation.Tallybook import RuntimeTallybook

def _model_from_json(
    cls: type[BaseModel], text: str, fields: tuple[tuple[str, int], ...], absent: Any = None
) -> BaseModel | None:
    """An instance of ``cls`` from the JSON text of an object with exactly ``fields`` (in order),
    built without validation; None where the text does not fit them (then validate it). A member
    the text may leave out takes ``absent`` when that is not None, and then counts as given."""

def _log_prepare(
    event: Any, event_json: Any, contexts: dict[str, tuple[bytes, str, str]], context_of: Any,
    texts: dict[str, list[Any]],
) -> tuple | None:
    """The persistent log service's prepared tuple of ``event`` (``SQLiteLogStore.prepare`` done
    natively), or None when the event needs the Python body: not an exact ``RuntimeEvent`` (this
    module's ``RuntimeEvent``), a timestamp that is not an int within 64 bits, a meta that is not
    an exact dict."""

def _private_copy(d: dict[Any, Any]) -> dict[Any, Any]:
    """A copy of ``d`` sharing only immutable scalars (exact str, int, float, bool, None) with it;
    other values are deep-copied (one whose deep copy fails is shared)."""

def _log_rows(
    store: RuntimeTallybook, items: list[tuple], start: int, seen_ids: set[str], working: dict[str, Any],
    touched: dict[str, Any], rows: list[tuple], seq: int, tick: int, types: set[str], apps: set[str],
    val_min_chars: int, sample_every: int, cut_texts: bool = False,
) -> tuple[int, int, int, int, int, str | None]:
    """The persistent log service's writer loop over one ticket's prepared events, from
    ``items[start]`` on, for the events that need nothing but what the writer remembers (a
    duplicate; an event of a known run whose head and context rows stay and whose repeated
    payload and meta texts have their keys): derives each in ``store`` (as its ``_derive_record``
    derives) and appends its row to ``rows``. Returns (index of the first other event, seq, tick,
    stored, duplicates, the run's status when that event was derived already, else None); the
    writer goes on from there. ``store`` must be an initialised ``RuntimeTallybook`` (TypeError
    otherwise). ``cut_texts``: each row's search text leaves out the values its columns give
    again (the writer's ``_cut_texts``)."""
