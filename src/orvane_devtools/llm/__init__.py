"""LLM calls read from any convention: one normalised record per call, with its cost.

* :class:`LlmCall` (``record``) -- the record and its stored JSON form;
* ``read`` -- readers of spans (:func:`read_span`), GenAI log events (:func:`read_log_events`,
  :func:`fold_log_event`) and our own events (:func:`read_event`), and :func:`merge`;
* ``prices`` -- the cost from the ``genai-prices`` table (:func:`apply_cost`, :func:`price`).

docs/llm.md is the normalisation table: every field and the attributes it is read from.
"""

from .prices import apply_cost, price, provider_id, warm
from .read import (
    fold_log_event,
    merge,
    note_first_delta,
    read_event,
    read_fields,
    read_genai_attributes,
    read_log_events,
    read_span,
)
from .record import FIELDS, LlmCall

__all__ = [
    "FIELDS",
    "LlmCall",
    "apply_cost",
    "fold_log_event",
    "merge",
    "note_first_delta",
    "price",
    "provider_id",
    "read_event",
    "read_fields",
    "read_genai_attributes",
    "read_log_events",
    "read_span",
    "warm",
]
