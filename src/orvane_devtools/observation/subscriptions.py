"""Live event subscriptions.

``RuntimeObservationSubscriptions.publish`` runs once per event on the host's
event loop, so the work per event is kept small: nothing happens without
subscribers, each subscription's filters are prepared once at subscribe time,
and events are delivered as given (the caller already owns a private copy).

Publication is all or nothing: ``publish`` is ``_match`` (evaluate every
filter, change nothing) followed by ``_deliver`` (track the run link, queue the
event), so a filter that raises leaves every queue as it was. The facade calls
the two halves itself, around its run store, while ``publish`` is this
module's own (natively where the halves are too).

Descendant matching: an event matches ``run_id=R`` with ``include_descendants``
when its run is R, names R as root or parent, or descends from R through parent
links seen in earlier published events.  Those links (run_id -> parent_run_id)
are only recorded while at least one subscription asks for descendants, are
dropped when the last such subscription goes away, and are capped at
``MAX_TRACKED_RUNS`` entries (least recently seen runs are forgotten first).
"""

from __future__ import annotations

import asyncio
import operator
import re
import uuid
from collections import OrderedDict, deque
from collections.abc import Mapping
from typing import Any

from orvane_devtools._event_aliases import matches_wavelane_event_type
from orvane_devtools.observation.Query import ObservationSubscriptionFilter

__all__ = [
    "RuntimeObservationSubscription",
    "RuntimeObservationSubscriptions",
    "SubscriptionClosed",
]

MAX_TRACKED_RUNS = 10_000
# Longest parent chain followed when deciding whether a run descends from another.
MAX_ANCESTRY_DEPTH = 256

_UNSET: Any = object()
_FILTER_FIELDS = (
    "event_types",
    "run_id",
    "include_descendants",
    "source",
    "level",
    "app_id",
    "app_id_pattern",
    "group_id",
)


class SubscriptionClosed(asyncio.QueueShutDown):
    """Raised by ``get()`` once the subscription is closed and fully drained."""


def _never(_: str) -> None:
    return None


def _compile_app_id_pattern(pattern: Any):
    """``search`` callable for the pattern; a malformed pattern matches nothing."""
    if isinstance(pattern, re.Pattern):
        return pattern.search
    try:
        return re.compile(pattern).search
    except (re.error, TypeError):
        return _never


def _resolve_loop_call(fut: asyncio.Future) -> None:
    if not fut.done():
        fut.set_result(None)


class RuntimeObservationSubscription:
    """One subscriber's filter plus a bounded queue of matching events.

    When the queue is full the oldest event is dropped and counted in
    ``dropped_count``.  After ``close()`` no new events are accepted; events
    already queued can still be read, then ``get()`` raises
    ``SubscriptionClosed`` and ``async for`` ends.
    """

    # Fixed slots: publication reads them for every event (the facade natively, at their places);
    # __dict__ keeps instances open to other attributes and to replacing a method on one of them.
    __slots__ = (
        "id", "event_types", "run_id", "include_descendants", "source", "level", "app_id",
        "app_id_pattern", "group_id", "maxsize", "dropped_count", "_app_id_search", "_needs_meta",
        "_queue", "_waiters", "_closed", "_on_close", "__dict__", "__weakref__",
    )

    def __init__(
        self,
        *,
        event_types: str | list[str] | tuple[str, ...] | None = None,
        run_id: str | None = None,
        include_descendants: bool = True,
        source: str | None = None,
        level: str | None = None,
        app_id: str | None = None,
        app_id_pattern: str | None = None,
        group_id: str | None = None,
        maxsize: int = 100,
    ) -> None:
        self.id: str = uuid.uuid4().hex
        if isinstance(event_types, (list, tuple, set, frozenset)):
            # Private copy: later changes to the caller's list must not alter the filter.
            event_types = tuple(event_types)
        self.event_types = event_types
        self.run_id = run_id
        self.include_descendants = bool(include_descendants)
        self.source = source
        self.level = level
        self.app_id = app_id
        self.app_id_pattern = app_id_pattern
        self.group_id = group_id
        self.maxsize: int = max(1, operator.index(maxsize))
        self.dropped_count: int = 0

        self._app_id_search = (
            None if app_id_pattern is None else _compile_app_id_pattern(app_id_pattern)
        )
        self._needs_meta = app_id is not None or group_id is not None or app_id_pattern is not None
        self._queue: deque[Any] = deque()
        self._waiters: deque[asyncio.Future] = deque()
        self._closed = False
        self._on_close = None

    # ----------------------------------------------------------------- filter

    @property
    def filter(self) -> ObservationSubscriptionFilter:
        """The filter of this subscription as a model (built on demand)."""
        event_types = self.event_types
        if isinstance(event_types, tuple):
            event_types = list(event_types)
        pattern = self.app_id_pattern
        if isinstance(pattern, re.Pattern):
            pattern = pattern.pattern
        return ObservationSubscriptionFilter(
            event_types=event_types,
            run_id=self.run_id,
            include_descendants=self.include_descendants,
            source=self.source,
            level=self.level,
            app_id=self.app_id,
            app_id_pattern=pattern,
            group_id=self.group_id,
        )

    # ------------------------------------------------------------------ queue

    def _put(self, event: Any) -> None:
        if self._closed:
            return
        queue = self._queue
        if len(queue) >= self.maxsize:
            queue.popleft()
            self.dropped_count += 1
        queue.append(event)
        if self._waiters:
            self._wake_one()

    def _wake_one(self) -> None:
        waiters = self._waiters
        while waiters:
            fut = waiters.popleft()
            if not fut.done():
                _wake(fut)
                return

    def _wake_all(self) -> None:
        waiters = self._waiters
        while waiters:
            fut = waiters.popleft()
            if not fut.done():
                _wake(fut)

    def get_nowait(self) -> Any:
        """Next queued event; raises ``asyncio.QueueEmpty`` when none is queued."""
        try:
            return self._queue.popleft()
        except IndexError:
            raise asyncio.QueueEmpty from None

    async def get(self) -> Any:
        """Wait for the next event.

        Raises ``SubscriptionClosed`` when the subscription is closed and no
        queued event is left.
        """
        while True:
            if self._queue:
                return self._queue.popleft()
            if self._closed:
                raise SubscriptionClosed(f"subscription {self.id} is closed")
            fut = asyncio.get_running_loop().create_future()
            self._waiters.append(fut)
            try:
                await fut
            except asyncio.CancelledError:
                # A wake-up meant for us must not be lost when we are cancelled.
                if fut.done() and not fut.cancelled() and self._queue:
                    self._wake_one()
                raise
            finally:
                try:
                    self._waiters.remove(fut)
                except ValueError:
                    pass

    def qsize(self) -> int:
        return len(self._queue)

    def empty(self) -> bool:
        return not self._queue

    def __aiter__(self) -> RuntimeObservationSubscription:
        return self

    async def __anext__(self) -> Any:
        try:
            return await self.get()
        except SubscriptionClosed:
            raise StopAsyncIteration from None

    # -------------------------------------------------------------- lifecycle

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stop receiving events and wake every waiting reader.  Idempotent."""
        if self._closed:
            return
        self._closed = True
        self._wake_all()
        on_close, self._on_close = self._on_close, None
        if on_close is not None:
            on_close(self)

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return (
            f"<RuntimeObservationSubscription {self.id} {state} "
            f"queued={len(self._queue)} dropped={self.dropped_count}>"
        )


def _wake(fut: asyncio.Future) -> None:
    """Resolve a waiter, hopping to its loop when called from another thread."""
    loop = fut.get_loop()
    try:
        running = asyncio.get_running_loop()
    except RuntimeError:
        running = None
    if running is loop:
        fut.set_result(None)
    elif not loop.is_closed():
        loop.call_soon_threadsafe(_resolve_loop_call, fut)


class RuntimeObservationSubscriptions:
    """Registry of live subscriptions; ``publish`` fans events out to them."""

    # See RuntimeObservationSubscription.__slots__.
    __slots__ = ("_by_id", "_active", "_track_links", "_parents", "__dict__", "__weakref__")

    def __init__(self) -> None:
        self._by_id: dict[str, RuntimeObservationSubscription] = {}
        # Immutable snapshot iterated by publish, rebuilt on (un)subscribe.
        self._active: tuple[RuntimeObservationSubscription, ...] = ()
        self._track_links = False
        self._parents: OrderedDict[str, str] = OrderedDict()

    # ------------------------------------------------------------ management

    def subscribe(
        self,
        *,
        filter: Any = None,
        event_types: str | list[str] | None = None,
        run_id: str | None = None,
        include_descendants: bool = _UNSET,
        source: str | None = None,
        level: str | None = None,
        app_id: str | None = None,
        app_id_pattern: str | None = None,
        group_id: str | None = None,
        maxsize: int = 100,
    ) -> RuntimeObservationSubscription:
        """Register a subscription and return it.

        ``filter`` (an ``ObservationSubscriptionFilter``, a mapping, or any
        object with those attributes) supplies values for filters not given
        as keywords; keywords win.  ``include_descendants`` defaults to True.
        """
        given = {
            "event_types": event_types,
            "run_id": run_id,
            "include_descendants": None if include_descendants is _UNSET else include_descendants,
            "source": source,
            "level": level,
            "app_id": app_id,
            "app_id_pattern": app_id_pattern,
            "group_id": group_id,
        }
        if filter is not None:
            if isinstance(filter, Mapping):
                lookup = filter.get
            else:
                def lookup(name: str, default: Any = None, _f: Any = filter) -> Any:
                    return getattr(_f, name, default)
            for name in _FILTER_FIELDS:
                if given[name] is None:
                    value = lookup(name, None)
                    if value is not None:
                        given[name] = value
        if given["include_descendants"] is None:
            given["include_descendants"] = True

        subscription = RuntimeObservationSubscription(maxsize=maxsize, **given)
        subscription._on_close = self._discard
        self._by_id[subscription.id] = subscription
        self._refresh()
        return subscription

    def unsubscribe(self, subscription_or_id: RuntimeObservationSubscription | str) -> bool:
        """Remove and close a subscription given as object or id.

        Returns whether it was registered here; an unknown one is left alone.
        """
        if isinstance(subscription_or_id, RuntimeObservationSubscription):
            key = subscription_or_id.id
            if self._by_id.get(key) is not subscription_or_id:
                return False
        else:
            key = subscription_or_id
        subscription = self._by_id.pop(key, None)
        if subscription is None:
            return False
        self._refresh()
        subscription.close()
        return True

    def reset(self) -> None:
        """Close and remove every subscription and forget tracked runs."""
        subscriptions = self._active
        self._by_id.clear()
        self._refresh()
        for subscription in subscriptions:
            subscription.close()

    def _discard(self, subscription: RuntimeObservationSubscription) -> None:
        # Called when a subscription is closed directly.
        if self._by_id.get(subscription.id) is subscription:
            del self._by_id[subscription.id]
            self._refresh()

    def _refresh(self) -> None:
        self._active = tuple(self._by_id.values())
        self._track_links = any(
            s.run_id is not None and s.include_descendants for s in self._active
        )
        if not self._track_links:
            self._parents.clear()

    @property
    def subscriptions(self) -> list[RuntimeObservationSubscription]:
        return list(self._active)

    def get(self, subscription_id: str) -> RuntimeObservationSubscription | None:
        return self._by_id.get(subscription_id)

    def __len__(self) -> int:
        return len(self._active)

    def __contains__(self, item: object) -> bool:
        if isinstance(item, RuntimeObservationSubscription):
            return self._by_id.get(item.id) is item
        return item in self._by_id

    # -------------------------------------------------------------- delivery

    def publish(self, event: Any) -> None:
        """Queue ``event`` (not copied) on every subscription whose filter matches.

        All or nothing: every filter is evaluated before the first subscription is served, so a
        filter that raises leaves every queue as it was.
        """
        delivery = self._match(event)
        if delivery is not None:
            self._deliver(event, delivery)

    # The two halves of publish. The facade works out who takes an event before its run store
    # accepts it and delivers only afterwards, so an event the store refuses reaches no one.

    def _match(self, event: Any) -> tuple[Any, ...] | None:
        """What ``_deliver`` needs for ``event``: the matching subscriptions and the run link
        to track, or None when nothing is subscribed. Reads only; changes nothing."""
        active = self._active
        if not active:
            return None
        run = getattr(event, "run", None)
        run_id = getattr(run, "run_id", None) if run is not None else None
        link = None
        if self._track_links and run_id is not None:
            link = (run_id, getattr(run, "parent_run_id", None))
        event_type = getattr(event, "event_type", None)
        meta = None
        matched = []
        for sub in active:
            if sub.event_types is not None and not matches_wavelane_event_type(
                event_type, sub.event_types
            ):
                continue
            if sub.source is not None and getattr(event, "source", None) != sub.source:
                continue
            if sub.level is not None and getattr(event, "level", None) != sub.level:
                continue
            if sub._needs_meta:
                if meta is None:
                    meta = getattr(event, "meta", None)
                    if not isinstance(meta, Mapping):
                        meta = {}
                event_app_id = meta.get("app_id")
                if sub.app_id is not None and event_app_id != sub.app_id:
                    continue
                if sub._app_id_search is not None and not (
                    isinstance(event_app_id, str) and sub._app_id_search(event_app_id)
                ):
                    continue
                if sub.group_id is not None and meta.get("group_id") != sub.group_id:
                    continue
            if sub.run_id is not None and not self._run_matches(
                run, run_id, sub.run_id, sub.include_descendants
            ):
                continue
            matched.append(sub)
        return (matched, link)

    def _deliver(self, event: Any, delivery: tuple[Any, ...]) -> None:
        """Track the run link and queue ``event`` on the subscriptions ``_match`` found."""
        matched, link = delivery
        if link is not None:
            self._remember(*link)
        for sub in matched:
            sub._put(event)

    def _remember(self, run_id: str, parent_run_id: Any) -> None:
        parents = self._parents
        known = parents.get(run_id)
        if known is not None:
            parents.move_to_end(run_id)
            if parent_run_id is None or known == parent_run_id:
                return
        if not isinstance(parent_run_id, str) or parent_run_id == run_id:
            return
        parents[run_id] = parent_run_id
        if len(parents) > MAX_TRACKED_RUNS:
            parents.popitem(last=False)

    def _run_matches(self, run: Any, run_id: Any, wanted: str, descendants: bool) -> bool:
        if run_id == wanted:
            return True
        if not descendants or run is None:
            return False
        parent = getattr(run, "parent_run_id", None)
        if parent == wanted or getattr(run, "root_run_id", None) == wanted:
            return True
        parents = self._parents
        current = parent if parent is not None else run_id
        seen = {run_id}
        for _ in range(MAX_ANCESTRY_DEPTH):
            if current is None or current in seen:
                return False
            if current == wanted:
                return True
            seen.add(current)
            current = parents.get(current)
        return False
