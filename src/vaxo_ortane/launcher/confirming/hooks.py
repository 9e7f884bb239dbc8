"""The run's hooks in the mediator client (``mediator.writes``): each write's key, the
requests held over from an earlier run, the value read before a write, and accepted
writes handed to the confirmer.

They are always installed: a write costs one key more than before (a dictionary look-up
and a SHA-256 of a short text), and the confirmer starts no thread until a mediator
accepts a write.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING

from vaxo_ortane.launcher.confirming.confirmer import Confirmer
from vaxo_ortane.launcher.confirming.keys import Keys
from vaxo_ortane.mediator import writes

if TYPE_CHECKING:
    from vaxo_ortane.launcher.run.outcomes import Outcomes

Record = Callable[..., None]


class Confirming:
    # Not a dataclass: every run makes one, and a dataclass costs about a millisecond to define.
    def __init__(self, confirmer: Confirmer, outcomes: Outcomes | None) -> None:
        self.confirmer, self.outcomes = confirmer, outcomes

    @classmethod
    def install(cls, keys: Keys, outcomes: Outcomes | None, record: Record) -> Confirming:
        confirming = cls(Confirmer(outcomes, record), outcomes)
        writes.install(
            keys.key,
            keys.held if keys.holds else None,
            None if outcomes is None else confirming.on_read,
            confirming.confirmer.take,
        )
        return confirming

    def on_read(self, meter_id: object, value: bool) -> None:
        # With read-back, the value read before the write: the meter's value before.
        assert self.outcomes is not None
        meter = self.outcomes.current()
        if meter is not None:
            meter.read_before = value

    def wait(self) -> None:
        self.confirmer.wait()

    def remove(self) -> None:
        writes.reset()
        self.confirmer.close()
