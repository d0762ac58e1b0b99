"""The cost of an LLM call.

A cost the producer reported wins (the readers mark it ``cost_source="reported"``); this module
prices the rest from the price table of the ``genai-prices`` package, at the price that was valid
at the call's time, with cache reads, cache writes and reasoning tokens at their own rates where
the table has them. The table ships inside the package: nothing here touches the network (the
package fetches newer tables only through its ``UpdatePrices``, which this module never starts).

A provider or model the table does not know leaves the call unpriced (``cost_usd`` None,
``priced`` False), never at 0. So does a usage the package refuses as inconsistent.

Importing the package reads its whole table (seconds on a loaded machine), so it is imported on
the first call that needs a price; :func:`warm` does it ahead of time, e.g. from a thread at start.
"""

from __future__ import annotations

import datetime as _dt
import math
import threading
from typing import Any

from .record import LlmCall

__all__ = ["provider_id", "price", "apply_cost", "warm", "lookup_cache_info"]

# Provider names as the conventions write them -> the price table's provider ids. Names not listed
# here go to the table as they are (lower-cased), where its own matching rules still apply.
_PROVIDER_IDS: dict[str, str] = {
    # OpenTelemetry GenAI (``gen_ai.provider.name`` and the older ``gen_ai.system``)
    "openai": "openai",
    "azure.ai.openai": "azure",
    "azure.ai.inference": "azure",
    "az.ai.openai": "azure",
    "az.ai.inference": "azure",
    "aws.bedrock": "aws",
    "gcp.vertex_ai": "google",
    "gcp.gemini": "google",
    "gcp.gen_ai": "google",
    "vertex_ai": "google",
    "anthropic": "anthropic",
    "cohere": "cohere",
    "deepseek": "deepseek",
    "groq": "groq",
    "mistral_ai": "mistral",
    "x_ai": "x-ai",
    "perplexity": "perplexity",
    "moonshot_ai": "moonshotai",
    # OpenInference (``llm.provider`` / ``llm.system``; values are lower case, some producers
    # send them in upper case)
    "azure": "azure",
    "aws": "aws",
    "bedrock": "aws",
    "google": "google",
    "vertexai": "google",
    "gemini": "google",
    "mistralai": "mistral",
    "mistral": "mistral",
    "xai": "x-ai",
    "moonshot": "moonshotai",
    "fireworks": "fireworks",
    "together": "together",
    "cerebras": "cerebras",
    "meta": "meta",
    "zai": "zai",
    "minimax": "minimax",
    "openrouter": "openrouter",
}


def provider_id(name: Any) -> str | None:
    """The price table's id for a provider name from any convention (None for no name)."""
    if not isinstance(name, str):
        return None
    key = name.strip().lower()
    if not key:
        return None
    return _PROVIDER_IDS.get(key, key)


# -- the package, imported on first use -----------------------------------------------------------

_import_lock = threading.Lock()
_snapshot_module: Any = None
_usage_class: Any = None


def _package() -> tuple[Any, Any]:
    global _snapshot_module, _usage_class
    if _snapshot_module is None:
        with _import_lock:
            if _snapshot_module is None:
                from genai_prices import data_snapshot
                from genai_prices.types import Usage

                data_snapshot.get_snapshot()  # reads the bundled table once, here
                _usage_class = Usage
                _snapshot_module = data_snapshot
    return _snapshot_module, _usage_class


def warm() -> None:
    """Imports the price table now rather than on the first call to be priced."""
    _package()


# -- the (provider, model) look-up, cached ---------------------------------------------------------

# (provider id, model) -> (provider, model info) of the table, or None for a pair it does not know.
# The package caches hits itself but searches every model again for each miss; an unknown model
# is common (local and fine-tuned models), and this runs for each LLM call at ingest.
_LOOKUP_LIMIT = 4096
_lookups: dict[tuple[str | None, str], Any] = {}
_lookups_snapshot: Any = None
_lookup_stats = {"hits": 0, "misses": 0}


def _lookup(provider: str | None, model: str) -> Any:
    global _lookups_snapshot
    data_snapshot, _ = _package()
    snapshot = data_snapshot.get_snapshot()
    if snapshot is not _lookups_snapshot:
        # A host replaced the table (the package's own updater): forget what the old one said.
        _lookups.clear()
        _lookups_snapshot = snapshot
    key = (provider, model)
    try:
        found = _lookups[key]
    except KeyError:
        pass
    else:
        _lookup_stats["hits"] += 1
        return found
    _lookup_stats["misses"] += 1
    try:
        found = snapshot.find_provider_model(model, None, provider, None)
    except Exception:  # LookupError for an unknown pair; anything else is no price either
        found = None
    if len(_lookups) >= _LOOKUP_LIMIT:
        _lookups.clear()
    _lookups[key] = found
    return found


# (provider, model) as a call names them -> None for a pair the table does not know, else
# (provider info, model info, rates): the rates of a model whose price does not change over time
# (None when it does, or when its price is tiered), so that pricing it needs neither the call's
# time as a date nor the period's price. Emptied with the look-ups above.
_pairs: dict[tuple[str | None, str], Any] = {}


def _pair(provider: Any, model: str) -> Any:
    if provider is not None and type(provider) is not str:
        found = _lookup(provider_id(provider), model.strip())
        return None if found is None else (*found, None)
    data_snapshot = _snapshot_module or _package()[0]
    if data_snapshot.get_snapshot() is not _lookups_snapshot:
        _pairs.clear()
    key = (provider, model)
    try:
        entry = _pairs[key]
    except KeyError:
        pass
    else:
        _lookup_stats["hits"] += 1
        return entry
    found = _lookup(provider_id(provider), model.strip())
    if found is None:
        entry = None
    else:
        provider_info, model_info = found
        fixed = model_info.prices
        try:
            rates = _measure(fixed, _usage_class) if isinstance(fixed, _model_price_class()) else None
        except Exception:  # priced per call then, as a changing price is
            rates = None
        entry = (provider_info, model_info, rates)
    if len(_pairs) >= _LOOKUP_LIMIT:
        _pairs.clear()
    _pairs[key] = entry
    return entry


def _model_price_class() -> Any:
    from genai_prices.types import ModelPrice

    return ModelPrice


def lookup_cache_info() -> dict[str, int]:
    """Hits, misses and size of the (provider, model) look-up cache."""
    return {"hits": _lookup_stats["hits"], "misses": _lookup_stats["misses"], "size": len(_lookups)}


def _timestamp(at_ns: Any) -> _dt.datetime:
    if type(at_ns) is int:
        try:
            return _dt.datetime.fromtimestamp(at_ns / 1e9, tz=_dt.UTC)
        except (OverflowError, OSError, ValueError):
            pass
    return _dt.datetime.now(tz=_dt.UTC)


# -- rates -----------------------------------------------------------------------------------------

# The package prices a usage through its general unit registry, which takes a few hundred
# microseconds per call. Where a model's price for a period has no tiers, that price is linear in
# the five counts read here, so it is measured once through the package itself (six probes, each
# of a million tokens, so every rate comes out exact) and then applied in floating point (a
# relative difference from the package's Decimal sum of about 1e-15).
# Tiered prices, and a price the probes cannot measure, go through the package for every call.
_PROBE = 1_000_000
_KEYS = (
    "input_tokens",
    "cache_read_tokens",
    "cache_write_tokens",
    "output_tokens",
    "output_reasoning_tokens",
)
_rates: dict[int, tuple[Any, tuple[float, ...] | None]] = {}


def _measure(model_price: Any, usage_class: Any) -> tuple[float, ...] | None:
    from genai_prices.types import TieredPrices

    if any(isinstance(value, TieredPrices) for value in vars(model_price).values()):
        return None

    def total(**counts: int) -> Any:
        return model_price.calc_price(usage_class(**counts))["total_price"]

    m = _PROBE
    try:
        base = total()
        per_input = total(input_tokens=m) - base
        per_output = total(output_tokens=m) - base
        measured = (
            per_input,
            total(input_tokens=m, cache_read_tokens=m) - base - per_input,
            total(input_tokens=m, cache_write_tokens=m) - base - per_input,
            per_output,
            total(output_tokens=m, output_reasoning_tokens=m) - base - per_output,
        )
    except Exception:
        return None
    return (float(base),) + tuple(float(rate / m) for rate in measured)


def _rates_for(model_price: Any, usage_class: Any) -> tuple[float, ...] | None:
    entry = _rates.get(id(model_price))
    if entry is None or entry[0] is not model_price:
        if len(_rates) >= _LOOKUP_LIMIT:
            _rates.clear()
        entry = (model_price, _measure(model_price, usage_class))
        _rates[id(model_price)] = entry
    return entry[1]


def price(
    provider: Any,
    model: Any,
    *,
    input_tokens: int | None = None,
    cache_read_tokens: int | None = None,
    cache_write_tokens: int | None = None,
    output_tokens: int | None = None,
    reasoning_tokens: int | None = None,
    at_ns: int | None = None,
) -> float | None:
    """The cost in USD of one call, or None when the table cannot price it.

    ``input_tokens`` is all input (cache reads and writes included, as the package expects);
    ``output_tokens`` all output (reasoning included). ``at_ns`` is the call's time in epoch
    nanoseconds (None: now)."""
    return _price(provider, model, input_tokens, cache_read_tokens, cache_write_tokens, output_tokens,
                  reasoning_tokens, at_ns)


def _price(provider: Any, model: Any, input_tokens: Any, cache_read_tokens: Any, cache_write_tokens: Any,
           output_tokens: Any, reasoning_tokens: Any, at_ns: Any) -> float | None:
    if not isinstance(model, str):
        return None
    entry = _pair(provider, model) if model and not model.isspace() else None
    if entry is None:
        return None
    provider_info, model_info, rates = entry
    inp = input_tokens if type(input_tokens) is int and input_tokens > 0 else 0
    read = cache_read_tokens if type(cache_read_tokens) is int and cache_read_tokens > 0 else 0
    write = cache_write_tokens if type(cache_write_tokens) is int and cache_write_tokens > 0 else 0
    out = output_tokens if type(output_tokens) is int and output_tokens > 0 else 0
    reasoning = reasoning_tokens if type(reasoning_tokens) is int and reasoning_tokens > 0 else 0
    if rates is not None and read + write <= inp and reasoning <= out:
        # A price that does not change over time, and no tiers.
        cost = (
            rates[0] + rates[1] * inp + rates[2] * read + rates[3] * write + rates[4] * out + rates[5] * reasoning
        )
        return cost if math.isfinite(cost) and cost >= 0 else None
    counts = (inp, read, write, out, reasoning)
    _, usage_class = _package()
    when = _timestamp(at_ns)
    try:
        model_price = model_info.get_prices(when)
        rates = _rates_for(model_price, usage_class)
        if rates is not None and read + write <= inp and reasoning <= out:
            total = (
                rates[0]
                + rates[1] * inp
                + rates[2] * read
                + rates[3] * write
                + rates[4] * out
                + rates[5] * reasoning
            )
        else:
            usage = usage_class(**{key: count for key, count in zip(_KEYS, counts, strict=True) if count})
            total = model_info.calc_price(usage, provider_info, genai_request_timestamp=when).total_price
        cost = float(total)
    except Exception:  # the package refuses an inconsistent usage: no price rather than a wrong one
        return None
    if not math.isfinite(cost) or cost < 0:
        return None
    return cost


def apply_cost(call: LlmCall, *, at_ns: int | None = None) -> LlmCall:
    """Sets the cost fields of ``call`` from the table, unless it carries a reported cost.

    A call with no token counts stays unpriced. ``at_ns`` overrides ``call.at_ns``."""
    if call.cost_source == "reported" and call.cost_usd is not None:
        call.priced = True
        return call
    cost = None
    if call.model is not None and (call.input_tokens is not None or call.output_tokens is not None):
        cost = _price(call.provider, call.model, call.input_tokens, call.cache_read_tokens, call.cache_write_tokens,
                      call.output_tokens, call.reasoning_tokens, at_ns if at_ns is not None else call.at_ns)
    call.cost_usd = cost
    call.priced = cost is not None
    call.cost_source = "priced" if cost is not None else None
    return call
