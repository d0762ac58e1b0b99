"""Cost: every price checked against genai-prices asked directly for the same usage and time, over
the table's own models (tiered, dated and time-of-day prices included); a price change; provider
names of each convention; unknown models and providers; the look-up cache; and no network."""

from __future__ import annotations

import datetime as dt
import random
import subprocess
import sys
import textwrap

import pytest
from genai_prices import Usage, calc_price
from genai_prices.data import providers as TABLE

from orvane_devtools.llm import LlmCall, apply_cost, price, provider_id
from orvane_devtools.llm import prices as prices_module


def ns(when: dt.datetime) -> int:
    return int(when.timestamp()) * 1_000_000_000


def direct(model, provider, when, **usage):
    """genai-prices itself, or None where it refuses."""
    try:
        return float(
            calc_price(
                Usage(**{k: v for k, v in usage.items() if v}),
                model,
                provider_id=provider,
                genai_request_timestamp=when,
            ).total_price
        )
    except Exception:
        return None


def ours(
    model,
    provider,
    when,
    input_tokens=0,
    cache_read_tokens=0,
    cache_write_tokens=0,
    output_tokens=0,
    output_reasoning_tokens=0,
):
    return price(
        provider,
        model,
        input_tokens=input_tokens,
        cache_read_tokens=cache_read_tokens,
        cache_write_tokens=cache_write_tokens,
        output_tokens=output_tokens,
        reasoning_tokens=output_reasoning_tokens,
        at_ns=ns(when),
    )


def random_usage(rng: random.Random) -> dict[str, int]:
    scale = rng.choice([10, 1_000, 100_000, 400_000])  # 400k crosses the tier thresholds
    input_tokens = rng.randrange(0, scale)
    cache_read = rng.randrange(0, input_tokens + 1) if rng.random() < 0.6 else 0
    cache_write = rng.randrange(0, input_tokens - cache_read + 1) if rng.random() < 0.4 else 0
    output_tokens = rng.randrange(0, scale // 4 + 1)
    reasoning = rng.randrange(0, output_tokens + 1) if rng.random() < 0.5 else 0
    return {
        "input_tokens": input_tokens,
        "cache_read_tokens": cache_read,
        "cache_write_tokens": cache_write,
        "output_tokens": output_tokens,
        "output_reasoning_tokens": reasoning,
    }


def test_prices_match_the_package_over_the_table():
    rng = random.Random(20250708)
    pairs = [(p.id, m.id) for p in TABLE for m in p.models]
    checked = priced = 0
    for provider, model in rng.sample(pairs, 300):
        for _ in range(3):
            when = dt.datetime(2024, 1, 1, tzinfo=dt.UTC) + dt.timedelta(
                minutes=rng.randrange(0, 3 * 365 * 24 * 60)
            )
            usage = random_usage(rng)
            expected = direct(model, provider, when, **usage)
            got = ours(model, provider, when, **usage)
            checked += 1
            if expected is None:
                assert got is None, (provider, model, when, usage, got)
            else:
                priced += 1
                assert got == pytest.approx(expected, rel=1e-9, abs=1e-15), (provider, model, when, usage)
    assert priced > checked * 0.8  # the sample mostly priced: the comparison means something


def test_a_call_before_a_price_change_is_priced_at_the_old_price():
    usage = {"input_tokens": 10_000, "output_tokens": 2_000}
    before = dt.datetime(2025, 6, 1, 12, tzinfo=dt.UTC)
    after = dt.datetime(2025, 7, 1, 12, tzinfo=dt.UTC)
    old, new = ours("o3", "openai", before, **usage), ours("o3", "openai", after, **usage)
    assert old == pytest.approx(direct("o3", "openai", before, **usage), rel=1e-12)
    assert new == pytest.approx(direct("o3", "openai", after, **usage), rel=1e-12)
    assert old == pytest.approx(10_000 * 10e-6 + 2_000 * 40e-6)  # $10 / $40 per million until 2025-06-10
    assert new == pytest.approx(10_000 * 2e-6 + 2_000 * 8e-6)


@pytest.mark.parametrize(
    ("name", "table_id", "model"),
    [
        ("openai", "openai", "gpt-4o"),
        ("OPENAI", "openai", "gpt-4o"),
        ("azure.ai.openai", "azure", "gpt-4o"),
        ("azure", "azure", "gpt-4o"),
        ("aws.bedrock", "aws", "amazon.nova-pro-v1:0"),
        ("gcp.vertex_ai", "google", "gemini-2.5-flash"),
        ("gcp.gemini", "google", "gemini-2.5-flash"),
        ("vertexai", "google", "gemini-2.5-flash"),
        ("anthropic", "anthropic", "claude-sonnet-4-20250514"),
        ("mistral_ai", "mistral", "mistral-small-latest"),
        ("mistralai", "mistral", "mistral-small-latest"),
        ("x_ai", "x-ai", "grok-3"),
        ("xai", "x-ai", "grok-3"),
    ],
)
def test_provider_names_of_each_convention(name, table_id, model):
    assert provider_id(name) == table_id
    when = dt.datetime(2025, 9, 1, tzinfo=dt.UTC)
    expected = direct(model, table_id, when, input_tokens=1000, output_tokens=100)
    assert expected is not None and expected > 0
    assert ours(model, name, when, input_tokens=1000, output_tokens=100) == pytest.approx(expected, rel=1e-12)


def test_unknown_models_and_providers_are_unpriced():
    when = dt.datetime(2025, 9, 1, tzinfo=dt.UTC)
    assert ours("acme-7b-finetune", "openai", when, input_tokens=10) is None
    assert ours("gpt-4o", "acme-cloud", when, input_tokens=10) is None
    assert ours("", "openai", when, input_tokens=10) is None
    call = apply_cost(LlmCall(model="acme-7b", provider="openai", input_tokens=5, output_tokens=5))
    assert (call.cost_usd, call.priced, call.cost_source) == (None, False, None)


def test_no_provider_finds_the_model_by_name():
    when = dt.datetime(2025, 9, 1, tzinfo=dt.UTC)
    assert ours("gpt-4o", None, when, input_tokens=1000) == pytest.approx(
        direct("gpt-4o", "openai", when, input_tokens=1000)
    )


def test_zero_tokens_cost_zero_and_no_tokens_no_cost():
    zero = apply_cost(LlmCall(model="gpt-4o", input_tokens=0, output_tokens=0))
    assert (zero.cost_usd, zero.priced, zero.cost_source) == (0.0, True, "priced")
    none = apply_cost(LlmCall(model="gpt-4o"))
    assert (none.cost_usd, none.priced) == (None, False)


def test_a_reported_cost_is_kept():
    call = apply_cost(
        LlmCall(model="gpt-4o", input_tokens=10**6, cost_usd=0.01, priced=True, cost_source="reported")
    )
    assert (call.cost_usd, call.cost_source) == (0.01, "reported")


def test_an_inconsistent_usage_is_refused_like_the_package_does():
    when = dt.datetime(2025, 9, 1, tzinfo=dt.UTC)
    usage = {"input_tokens": 10, "cache_read_tokens": 500, "output_tokens": 1}
    assert direct("gpt-4o", "openai", when, **usage) is None
    assert ours("gpt-4o", "openai", when, **usage) is None


def test_lookups_are_cached_for_known_and_unknown_pairs(monkeypatch):
    from genai_prices import data_snapshot

    snapshot = data_snapshot.get_snapshot()
    calls = []
    real = snapshot.find_provider_model

    def counting(*args):
        calls.append(args)
        return real(*args)

    monkeypatch.setattr(snapshot, "find_provider_model", counting)
    before = prices_module.lookup_cache_info()
    for _ in range(5):
        assert price("openai", "gpt-4o-cache-probe-unknown", input_tokens=1) is None
        assert price("openai", "gpt-4.1-nano", input_tokens=1) is not None
    assert [a[0] for a in calls].count("gpt-4o-cache-probe-unknown") <= 1
    assert [a[0] for a in calls].count("gpt-4.1-nano") <= 1
    assert prices_module.lookup_cache_info()["hits"] >= before["hits"] + 8


def test_pricing_never_touches_the_network():
    """A fresh interpreter where every socket connect and name look-up fails loudly imports the
    package and prices calls (the first use reads the table)."""
    script = textwrap.dedent(
        """
        import socket
        attempts = []
        def refuse(*args, **kwargs):
            attempts.append(args)
            raise OSError("network used")
        socket.socket.connect = refuse
        socket.socket.connect_ex = refuse
        socket.create_connection = refuse
        socket.getaddrinfo = refuse
        from orvane_devtools.llm import read_span
        call = read_span({"gen_ai.operation.name": "chat", "gen_ai.request.model": "gpt-4o",
                          "gen_ai.usage.input_tokens": 100, "gen_ai.usage.output_tokens": 10},
                         start_ns=1_752_000_000_000_000_000)
        assert call.priced and call.cost_usd > 0, call
        assert not attempts, attempts
        print("ok", call.cost_usd)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ok ")


def test_a_replaced_table_is_priced_from_then_on():
    """A host that replaces the table (as the package's updater does) gets the new table's prices
    for pairs priced before, whose rates were kept, and the old ones back when it restores it."""
    import dataclasses
    from decimal import Decimal

    from genai_prices import data_snapshot
    from genai_prices.types import ModelPrice

    when = dt.datetime(2025, 9, 1, tzinfo=dt.UTC)
    usage = {"input_tokens": 1_000_000, "output_tokens": 1_000_000}
    before = ours("gpt-4.1-nano", "openai", when, **usage)
    assert before == pytest.approx(direct("gpt-4.1-nano", "openai", when, **usage), rel=1e-12)
    openai = next(p for p in data_snapshot.get_snapshot().providers if p.id == "openai")
    nano = next(m for m in openai.models if m.id == "gpt-4.1-nano")
    dearer = dataclasses.replace(nano, prices=ModelPrice(input_mtok=Decimal(7), output_mtok=Decimal(11)))
    table = data_snapshot.DataSnapshot(providers=[dataclasses.replace(openai, models=[dearer])],
                                       from_auto_update=False)
    data_snapshot.set_custom_snapshot(table)
    try:
        assert ours("gpt-4.1-nano", "openai", when, **usage) == pytest.approx(18.0, rel=1e-12)
        assert ours("gpt-4o", "openai", when, **usage) is None  # not in the new table
    finally:
        data_snapshot.set_custom_snapshot(None)
    assert ours("gpt-4.1-nano", "openai", when, **usage) == before
