"""The query chain the jobs use, independent of where the registry lives.

``client.table(t).select("*").in_(col, values).neq(col, value).execute()``: each
call returns a new query, so a half-built query can be reused safely. Filters
follow SQL: ``neq(col, v)`` keeps rows whose ``col`` is not NULL and differs from
``v`` (a NULL ``prepay_enabled`` is never selected by ``neq("prepay_enabled",
False)``), on the embedded registry as on PostgREST.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from dataclasses import dataclass, field, replace
from typing import Any, Literal, Protocol

from ..observers import Observation, Observers

Row = dict[str, Any]
ORDER_COLUMN = "id"


@dataclass(frozen=True)
class Filter:
    column: str
    op: Literal["in", "neq"]
    value: Any


@dataclass(frozen=True)
class Response:
    data: list[Row]


# Called with each query and its response, on the querying thread, before the caller sees it.
ResponseObserver = Callable[["Query", Response], None]
_observers: Observers[ResponseObserver] = Observers()


def observe_responses(observer: ResponseObserver) -> Observation:
    """Have ``observer`` see every query this process executes, and its response,
    until the returned observation is removed (or its ``with`` block left)."""
    return _observers.add(observer)


class Backend(Protocol):
    def fetch(self, query: Query) -> list[Row]: ...

    def describe(self) -> str: ...

    def close(self) -> None: ...


@dataclass(frozen=True)
class Query:
    backend: Backend
    table_name: str
    columns: tuple[str, ...] = ("*",)
    filters: tuple[Filter, ...] = field(default=())

    def select(self, *columns: str) -> Query:
        names = tuple(c.strip() for part in columns for c in part.split(",") if c.strip())
        return replace(self, columns=names or ("*",))

    def in_(self, column: str, values: Iterable[Any]) -> Query:
        return self._with(Filter(column, "in", tuple(values)))

    def neq(self, column: str, value: Any) -> Query:
        return self._with(Filter(column, "neq", value))

    def execute(self) -> Response:
        """Every matching row, ordered by ``id``."""
        response = Response(data=self.backend.fetch(self))
        for observer in _observers.current():
            observer(self, response)
        return response

    def _with(self, new: Filter) -> Query:
        return replace(self, filters=(*self.filters, new))

    def selects_all(self) -> bool:
        return "*" in self.columns

    def needs_order_column(self) -> bool:
        """Whether ``id`` must be fetched for ordering and then dropped."""
        return not self.selects_all() and ORDER_COLUMN not in self.columns


def unique(values: Iterable[Any]) -> list[Any]:
    """The values once each, first occurrence first.

    A repeated value split into two chunks would fetch its rows twice.
    """
    seen: set[Any] = set()
    out: list[Any] = []
    for value in values:
        key = (type(value), value)
        if key not in seen:
            seen.add(key)
            out.append(value)
    return out


def ordered(rows: Iterable[Row], drop_order_column: bool) -> list[Row]:
    """Rows merged from several requests, in one order whatever the split."""
    result = sorted(rows, key=lambda row: (row.get(ORDER_COLUMN) is None, row.get(ORDER_COLUMN)))
    if drop_order_column:
        for row in result:
            row.pop(ORDER_COLUMN, None)
    return result


class Client:
    """A registry client; ``supa_client`` picks the backend from the URL."""

    def __init__(self, backend: Backend) -> None:
        self._backend = backend

    def table(self, name: str) -> Query:
        return Query(self._backend, name)

    from_ = table

    def close(self) -> None:
        """Release the backend's connections (the job's process just ends instead)."""
        self._backend.close()

    def __repr__(self) -> str:
        return f"<registry client {self._backend.describe()}>"
