"""Events whose LLM calls exercise every number of the usage of a window: timed and untimed runs,
failed runs, unpriced models, calls without a model, runs of several calls; in two halves (the
second changes runs of the first after their calls). The fixture ``data/listener-v6.sqlite3.gz``
holds the first half as the log service of schema version 6 stored it, and
``data/listener-v6-usage.json`` the usage it answered then (``usage_windows``)."""

from __future__ import annotations

from listener_helpers import T0, event

from orvane_devtools._orvane_compat import RuntimeEvent


def _run(run_id: str, kind: str, session: str = "s-u") -> dict:
    return {"run_id": run_id, "root_run_id": run_id, "parent_run_id": None, "run_kind": kind,
            "agent_name": "Planner", "session_id": session}


def llm_call(run_id: str, start: int, duration: int | None, *, model: str | None = "gpt-4o-mini",
             tokens: tuple[int, int] = (100, 10), failed: bool = False, kind: str = "llm", first: int = 0) -> list[dict]:
    """One call as a run of its own: started with its request, then completed with its usage (or
    failed) ``duration`` ms later; still running when ``duration`` is None."""
    run = _run(run_id, kind)
    request = {"provider": "openai", "messages": [{"role": "user", "content": "q"}]}
    if model is not None:
        request["model"] = model
    out = [event(first, run_id, ts=start, event_type=f"{kind}.started", run=run, payload=request)]
    if duration is None:
        return out
    if failed:
        out.append(event(first + 1, run_id, ts=start + duration, event_type=f"{kind}.failed", run=run,
                         payload={"error": "boom"}))
    else:
        answer = {"usage": {"prompt_tokens": tokens[0], "completion_tokens": tokens[1]},
                  "choices": [{"message": {"role": "assistant", "content": "a"}}]}
        if model is not None:
            answer["model"] = model
        out.append(event(first + 1, run_id, ts=start + duration, event_type=f"{kind}.completed", run=run,
                         payload=answer))
    return out


def agent_calls(run_id: str, start: int, models: list[str | None], *, first: int = 0,
                cost: float | None = None) -> list[dict]:
    """An agent's run reporting one call per event (``agent_task.llm_call`` with its usage, and
    the cost the producer reported when given)."""
    run = _run(run_id, "agent_task")
    out = []
    for i, model in enumerate(models):
        payload = {"usage": {"prompt_tokens": 10 + i, "completion_tokens": 2}, "provider": "openai"}
        if cost is not None:
            payload["usage"]["cost_usd"] = cost
        if model is not None:
            payload["model"] = model
        out.append(event(first + i, run_id, ts=start + 10 * i, event_type="agent_task.llm_call", run=run,
                         payload=payload))
    return out


def ended(run_id: str, kind: str, ts: int, i: int, *, failed: bool = False) -> dict:
    return event(i, run_id, ts=ts, event_type=f"{kind}.{'failed' if failed else 'completed'}", run=_run(run_id, kind),
                 payload={"error": "late"} if failed else {"step": i})


def first_half() -> list[RuntimeEvent]:
    docs: list[dict] = []
    # Timed calls of a priced model: 50 ms .. 1,900 ms, in a shuffled order.
    for i, k in enumerate([7, 3, 12, 1, 19, 5, 9, 15, 2, 18, 11, 4, 16, 8, 14, 6, 10, 13, 17]):
        docs += llm_call(f"mini-{i}", T0 + 1000 * i, 100 * k - 50)
    docs += llm_call("house-1", T0 + 30_000, 30, model="house-model-7b", tokens=(5, 5))
    docs += llm_call("house-2", T0 + 30_100, 60, model="house-model-7b", tokens=(5, 7))
    docs += llm_call("broken", T0 + 31_000, 70, model="gpt-4o", failed=True)
    docs += llm_call("waiting", T0 + 32_000, None, model="gpt-4o")
    docs += llm_call("nameless", T0 + 33_000, 40, model=None)
    # A span's run (by its id) of another kind: one call, so timed.
    docs += llm_call("otel-0123456789abcdef0123456789abcdef-0123456789abcdef", T0 + 34_000, 250, kind="agent_task",
                     model="gpt-4o")
    # Costs whose 10^-12 USD are just below a whole number as floats (6.1e-11 * 1e12 is
    # 60.99999999999999): rounded, not cut.
    docs += llm_call("mini-odd", T0 + 35_000, 80, tokens=(1, 4))
    # Runs of several calls: counted under their last call's model and time, never timed.
    docs += agent_calls("agent-a", T0 + 40_000, ["gpt-4o-mini", "gpt-4o-mini", "gpt-4o"])
    docs += agent_calls("agent-b", T0 + 41_000, ["gpt-4o-mini", None])
    docs += agent_calls("agent-c", T0 + 42_000, ["house-model-7b"])
    docs += agent_calls("agent-d", T0 + 42_500, ["house-model-7b"], cost=6.1e-11)
    return [RuntimeEvent(**doc) for doc in docs]


def second_half() -> list[RuntimeEvent]:
    """Changes after the calls: a running call ends (now timed), an agent's run fails after its
    calls (their errors), a one-call agent's run ends (not one call by kind: still untimed), a
    timed run reports a second call (no longer timed), a failed call's run is sent again (nothing
    changes), and new calls arrive."""
    docs = [ended("waiting", "llm", T0 + 32_500, 5),
            ended("agent-a", "agent_task", T0 + 43_000, 9, failed=True),
            ended("agent-c", "agent_task", T0 + 43_100, 9)]
    docs += agent_calls("mini-3", T0 + 3500, ["gpt-4o-mini"], first=7)
    docs += llm_call("broken", T0 + 31_000, 70, model="gpt-4o", failed=True)
    docs += llm_call("late-1", T0 + 50_000, 333, model="house-model-7b")
    docs += llm_call("late-2", T0 + 50_500, 12, model="gpt-4o", failed=True)
    return [RuntimeEvent(**doc) for doc in docs]


def usage_windows() -> list[tuple[int, int | None]]:
    """(since, until) of the windows the tests ask for."""
    return [(T0, None), (T0, T0 + 31_000), (T0 + 3000, T0 + 3000), (T0 + 30_050, T0 + 45_000), (T0 + 60_000, None),
            (0, T0 - 1)]
