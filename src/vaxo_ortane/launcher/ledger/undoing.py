"""The undo of a rollout, as the ledger holds it: what it puts back, what it leaves as it
is, and how far it has got.

An undo writes true to every meter that the rollout switched off and whose value
before was true. It is a rollout of its own in the same ledger, under the rollout's
name followed by ``schema.UNDO_MARK``: a name that no ``FLIP_ROLLOUT`` can take, since that
must be printable. So it has its own names, runs, claims, write budget and idempotency
keys, and resumes as any rollout does. Once an undo has begun, the rollout takes no run
of its own any more (``store``): its next run would write false again to meters that
the undo puts back.

Each meter of the rollout is of one kind (``kind_of``), read from its row: the run,
the ledger tool and the undo's plan all use this one reading, so they agree.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

from vaxo_ortane.launcher.ledger.schema import undo_rollout
from vaxo_ortane.launcher.run.outcomes import ACCEPTED

if TYPE_CHECKING:
    from vaxo_ortane.launcher.ledger.store import Ledger


# Each kind, in the order counts list them, and how the undo's plan says it.
KINDS = {
    "put_back": "would put back on",
    "undone": "already put back",
    "value_unknown": "value before unknown",
    "unconfirmed": "the rollout's write unconfirmed",
    "was_off": "off before the rollout",
    "not_switched_off": "not switched off by the rollout",
    "no_mediator": "no mediator for this ESCO",  # only the plan looks the mediators up
}
WHY = {
    "put_back": "the rollout switched it off and it was on before: the undo writes true",
    "undone": "an undo of this rollout has put it back on (or found it on): not written again",
    "value_unknown": "the rollout switched it off, and its value before is unknown (NULL in the registry, "
    "not read back): not written; set it by hand if it was on",
    "unconfirmed": "the rollout's write was accepted and never confirmed: it may be off; not written, "
    "read it (--read-mediators) and set it by hand",
    "was_off": "it was already off before the rollout: left off",
    "not_switched_off": "the rollout did not switch it off (failed, or not run): not touched",
    "no_mediator": "the mediator inventory has no mediator for this meter now: the undo would fail it",
}
# Left as they are, and named one by one in the undo's report: the operator has a look.
NAMED = ("value_unknown", "unconfirmed")


class RolloutMeter(NamedTuple):
    """One meter of the rollout, as its ledger row holds it."""

    row_id: str
    name: str | None
    meter_id: str | None
    serial: str | None
    outcome: str
    cause: str | None
    switched_off: bool  # at least once in the rollout
    value_before: bool | None

    def shown(self) -> dict[str, Any]:
        return {"id": self.row_id, "name": self.name, "meter_id": self.meter_id, "serial": self.serial}

    def row(self) -> dict[str, Any]:
        """As the undo's workers take it: a registry row whose setting is the rollout's false."""
        return self.shown() | {"prepay_enabled": False}


def kind_of(meter: RolloutMeter, undone: frozenset[str]) -> str:
    """The kind of one of the rollout's meters; ``undone``: the row ids an undo has put back."""
    if not meter.switched_off:
        accepted = meter.outcome == ACCEPTED or meter.cause == "unconfirmed"
        return "unconfirmed" if accepted else "not_switched_off"
    if meter.value_before is False:  # read back as off before the rollout wrote it
        return "was_off"
    if meter.value_before is None:
        return "value_unknown"
    return "undone" if meter.row_id in undone else "put_back"


@dataclass
class Undo:
    """A rollout's meters by kind, and the runs of its undo."""

    rollout: str
    meters: list[tuple[str, RolloutMeter]]  # by kind, in the ledger's order (name, row id)
    runs: list[dict[str, Any]]

    def counts(self) -> dict[str, int]:
        counts = dict.fromkeys(KINDS, 0)
        for kind, _ in self.meters:
            counts[kind] += 1
        del counts["no_mediator"]
        return counts

    def to_put_back(self) -> list[RolloutMeter]:
        return [meter for kind, meter in self.meters if kind == "put_back"]

    def remaining_names(self) -> list[str]:
        """The names of the meters still to put back, once each, sorted."""
        return sorted({str(meter.name) for meter in self.to_put_back()})

    def named(self) -> dict[str, list[dict[str, Any]]]:
        """The meters left as they are that the operator should look at, by kind, with the reason."""
        return {
            kind: [meter.shown() | {"reason": WHY[kind]} for found, meter in self.meters if found == kind]
            for kind in NAMED
        }


def read_undo(ledger: Ledger, rollout: str) -> Undo | None:
    """The undo of ``rollout`` as ``ledger`` holds it; None for a rollout it does not hold."""
    if not ledger.runs(rollout):
        return None
    undo = undo_rollout(rollout)
    undone = ledger.switched_off_rows(undo)
    meters = [RolloutMeter(*row) for row in ledger.rollout_meters(rollout)]
    return Undo(rollout, [(kind_of(m, undone), m) for m in meters], ledger.runs(undo))
