"""The backend contract: RuntimeTraceSink, the abstract base of storage backends."""

import abc
from collections.abc import Awaitable, Coroutine, Sequence
from typing import Any, ClassVar

class RuntimeTraceSink(metaclass=abc.ABCMeta):
    """Abstract base of every storage backend.

    A backend implements the asynchronous ``append_events(events)``; ``append_event(event)``
    awaits ``append_events([event])`` once.
    """

    name: ClassVar[str]
    def append_event(self, event: Any) -> Coroutine[Any, Any, None]: ...
    @abc.abstractmethod
    def append_events(self, events: Sequence[Any]) -> Coroutine[Any, Any, None]: ...

def _await_each(
    awaitables: list[Awaitable[Any]], catch_type: type[BaseException] | None = None
) -> Coroutine[Any, Any, list[Any]]:
    """Await each awaitable in order; exceptions of ``catch_type`` become results."""

def _deep_copy(obj: Any) -> Any:
    """The native deep copy used for every event and record copy (same result as copy.deepcopy)."""
