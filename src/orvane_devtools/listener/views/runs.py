"""``/runs`` and one run's routes: its record, children, tree and events."""

from __future__ import annotations

from typing import Any

from starlette.requests import Request
from starlette.responses import Response

from .. import queries
from ..params import RUN_FILTERS, BadParameter, Params, read_filters
from ..responses import JSONAnswer, JSONText, error, render_json
from ..state import of

__all__ = ["get_run", "list_runs", "run_children", "run_events", "run_tree"]

RUNS_DEFAULT_LIMIT = 100
RUNS_MAX_LIMIT = 1000
EVENTS_DEFAULT_LIMIT = 500
EVENTS_MAX_LIMIT = 5000

_LIST_PARAMS = (*RUN_FILTERS, "limit", "cursor", "environment", "order", "sort", "direction", "model", "top")


def _no_run() -> Response:
    return error(404, "run not found")


async def list_runs(request: Request) -> Response:
    params = Params(request.query_params.multi_items(), _LIST_PARAMS)
    query = {k: v for k, v in read_filters(params, RUN_FILTERS).items() if v is not None}
    limit = params.integer("limit", minimum=1, maximum=RUNS_MAX_LIMIT, default=RUNS_DEFAULT_LIMIT)
    offset = params.cursor()
    environment = params.text("environment")
    model = params.text("model")
    top = params.boolean("top")
    order = params.choice("order", ("updated", "started"), "updated")
    sort = params.choice("sort", queries.SORTS, "")
    if sort:
        if params.text("order") is not None:
            raise BadParameter("sort", "give 'sort' or 'order', not both")
        order = sort
    ascending = params.choice("direction", ("desc", "asc"), "desc") == "asc"
    if ascending and order == "updated":
        raise BadParameter("direction", "'direction' applies to sort=started, cost, tokens or duration")
    state = of(request)
    return await state.read(_list_runs, state.core.desk, query, limit, offset, environment, order, model,
                            ascending, top)


def _list_runs(desk: Any, query: dict[str, Any], limit: int, offset: int, environment: str | None,
               order: str, model: str | None, ascending: bool, top: bool) -> Response:
    made: list[queries.RunsPage] = []

    def work() -> tuple[queries.RunsPage, bool]:
        steady: list[bool] = []
        rows, next_cursor = queries.runs_page(desk, query, limit, offset, environment, order, model=model,
                                              ascending=ascending, top=top, steady=steady)
        made.append(queries.RunsPage(rows, next_cursor))
        return made[0], steady[0]

    key = ("runs page", tuple(sorted(query.items())), limit, offset, environment, order, model, ascending, top)
    page = desk.log_service.keep_while_unchanged(key, work)
    # A page kept from an earlier read has its open runs judged again.
    return JSONAnswer(JSONText(page.text() if made else page.again(desk)))


async def get_run(request: Request) -> Response:
    Params(request.query_params.multi_items(), ())
    state = of(request)
    return await state.read(_get_run, state.core.desk, request.path_params["run_id"])


def _get_run(desk: Any, run_id: str) -> Response:
    record = desk.get_run(run_id)
    return _no_run() if record is None else JSONAnswer(queries.run_answer(desk, record))


async def run_children(request: Request) -> Response:
    Params(request.query_params.multi_items(), ())
    state = of(request)
    return await state.read(_run_children, state.core.desk, request.path_params["run_id"])


def _run_children(desk: Any, run_id: str) -> Response:
    if desk.get_run(run_id) is None:
        return _no_run()
    return JSONAnswer({"runs": queries.run_answers(desk, desk.get_run_children(run_id))})


async def run_tree(request: Request) -> Response:
    params = Params(request.query_params.multi_items(), ("format",))
    shape = params.choice("format", ("nested", "flat"), "nested")
    state = of(request)
    return await state.read(_run_tree, state.core.desk, request.path_params["run_id"], shape)


def _run_tree(desk: Any, run_id: str, shape: str) -> Response:
    def work() -> tuple[JSONText | None, bool]:
        tree = queries.subtree(desk, run_id, as_stored=True)
        if tree is None:
            return None, False
        text = queries.nested_tree(tree, desk) if shape == "nested" else JSONText(
            render_json(queries.flat_tree(tree, desk)))
        # A tree of settled runs only is the same text until the file changes.
        return text, queries.settled(tree)

    text = desk.log_service.keep_while_unchanged(("run tree", run_id, shape), work)
    return _no_run() if text is None else JSONAnswer(text)


async def run_events(request: Request) -> Response:
    params = Params(request.query_params.multi_items(), ("limit", "include_descendants", "cursor"))
    limit = params.integer("limit", minimum=1, maximum=EVENTS_MAX_LIMIT, default=EVENTS_DEFAULT_LIMIT)
    descendants = params.boolean("include_descendants")
    offset = params.cursor()
    state = of(request)
    return await state.read(_run_events, state.core.desk, request.path_params["run_id"], limit,
                            descendants, offset)


def _run_events(desk: Any, run_id: str, limit: int, descendants: bool, offset: int) -> Response:
    def work() -> tuple[JSONText | None, bool]:
        record = desk.get_run(run_id)
        if record is None:
            return None, False
        texts = queries.run_event_texts(desk, run_id, descendants, offset + limit + 1)
        rows, next_cursor = queries.events_page(texts, limit, offset)
        # The events and the counts are the file's: the same text until a commit changes it.
        return JSONText(render_json({"events": JSONText.array(rows), "next_cursor": next_cursor,
                                     "total": queries.event_total(desk, record, descendants)})), True

    text = desk.log_service.keep_while_unchanged(("run events", run_id, limit, descendants, offset), work)
    return _no_run() if text is None else JSONAnswer(text)
