"""Each write's idempotency key, from what the write means: the rollout (or, without a
ledger, the run), the registry row's id and the value written.

The row is the one the writing worker is handling, when the outcomes are watched;
otherwise the selected row with the client's meter id (rows that share a meter id
then share a key: one meter, one change). A write of no selected row, as a tool
might make, takes a key of its own. A row whose last write in this rollout the
head-end refused for good takes the next key of the chain (``idempotency``), and a
key under which an earlier run holds an accepted request is answered with it.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING

from vaxo_ortane.mediator.idempotency import key_for, random_key, scope_prefix

if TYPE_CHECKING:
    from vaxo_ortane.launcher.run.outcomes import Outcomes
    from vaxo_ortane.util.supabase.query import Row


def rollout_scope(rollout: str) -> str:
    return f"rollout:{rollout}"


def run_scope(run_id: str) -> str:
    return f"run:{run_id}"


class Keys:
    """The key hooks of one run."""

    def __init__(
        self,
        scope: str,
        outcomes: Outcomes | None,
        selected: Callable[[], list[Row] | None],
        held: Mapping[str, str] | None = None,
        refused: Mapping[str, str] | None = None,
        row_id_of: Callable[[object], str | None] = str,  # with a ledger, the ledger's own form of it
    ) -> None:
        self._prefix = scope_prefix(scope)
        self._row_id_of = row_id_of
        self._outcomes = outcomes
        self._selected = selected
        self._held = dict(held or {})  # key -> request id
        self._refused = dict(refused or {})  # row id -> the key the head-end refused
        self._lock = threading.Lock()
        self._by_meter: dict[str, Row] | None = None

    def key(self, meter_id: object, value: bool) -> str:
        meter = None if self._outcomes is None else self._outcomes.current()
        row = self._row_of(meter_id) if meter is None else meter.row
        if row is None:
            return random_key()
        row_id = self._row_id_of(row.get("id")) or ""
        key = key_for(self._prefix, row_id, value, self._refused.get(row_id) if self._refused else None)
        if meter is not None:
            meter.key = key
        return key

    def held(self, key: str) -> str | None:
        return self._held.get(key)

    @property
    def holds(self) -> bool:
        return bool(self._held)

    def _row_of(self, meter_id: object) -> Row | None:
        by_meter = self._by_meter
        if by_meter is None:
            selected = self._selected()
            if selected is None:
                return None  # no selection yet: a write of no selected row
            with self._lock:
                if self._by_meter is None:
                    rows: dict[str, Row] = {}
                    for row in selected:
                        rows.setdefault(str(row.get("meter_id")), row)
                    self._by_meter = rows
                by_meter = self._by_meter
        return by_meter.get(meter_id if isinstance(meter_id, str) else str(meter_id))
