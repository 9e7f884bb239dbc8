"""Lists of observers that a caller can leave again."""

from __future__ import annotations

import threading
from types import TracebackType
from typing import Any


class Observers[T]:
    """Observers of one thing; ``current()`` is a snapshot, safe to iterate while others join or leave."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._items: tuple[T, ...] = ()

    def add(self, observer: T) -> Observation:
        with self._lock:
            self._items = (*self._items, observer)
        return Observation(self, observer)

    def discard(self, observer: T) -> None:
        with self._lock:
            items = list(self._items)
            if observer in items:
                items.remove(observer)
            self._items = tuple(items)

    def current(self) -> tuple[T, ...]:
        return self._items


class Observation:
    """One observer's place in its list: ``remove()`` it, or leave a ``with`` block."""

    def __init__(self, observers: Observers[Any], observer: object) -> None:
        self._observers = observers
        self._observer = observer

    def remove(self) -> None:
        self._observers.discard(self._observer)

    def __enter__(self) -> Observation:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.remove()
