"""What the rollout controls make of a plan: which names fall in the canary wave, and
how long the writes would take at the write-rate budget and the mediators' latency.

The estimate is a floor: five writes at a time, each taking the median of the
plan's reads (``--read-mediators``), the budget's slots one after the other, and
the canary's pause; retries and slow mediators only add to it. With
``MEDIATOR_VERIFY=read-back`` each meter takes three requests (a read, the write,
a read back), and both floors grow by as much; the polls of writes a mediator
only accepts add to them again.
"""

from __future__ import annotations

import contextlib
import statistics
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

from vaxo_ortane.launcher.settings.environment import Rollout
from vaxo_ortane.launcher.settings.variables import CANARY_PAUSE, MAX_WRITES_PER_MINUTE, SHARDS_AT_ONCE
from vaxo_ortane.mediator.client import VERIFY

if TYPE_CHECKING:
    from vaxo_ortane.launcher.rollout.rate_budget import RateBudget

WORKERS = 5
CANARY = "canary"
READ_BACK_REQUESTS = 3  # a read before the write, the write, a read after it


class Planned(Protocol):
    name: str
    kind: str
    wave: str | None


@contextlib.contextmanager
def budget(rollout: Rollout, note: Callable[..., None]) -> Iterator[RateBudget | None]:
    """The plan's reads within this process's share of the budget, when one is set."""
    if rollout.writes_per_minute is None:
        yield None
        return
    from vaxo_ortane.launcher.rollout.controls import Controls

    controls = Controls.install(Rollout(rollout.writes_per_minute, rollout.side_by_side), None, None, note)
    try:
        yield controls.budget
    finally:
        controls.remove()


def _ceil_div(a: int, b: int) -> int:
    return -(-a // b)


@dataclass(frozen=True)
class Pace:
    rollout: Rollout
    writes: int
    wave: int
    latency: float | None  # the median read, in seconds
    requests_per_meter: int = 1

    @property
    def requests(self) -> int:
        return self.writes * self.requests_per_meter

    def floors(self) -> dict[str, float | None]:
        from vaxo_ortane.launcher.rollout.rate_budget import burst_of

        at_budget = None
        if (share := self.rollout.share_per_minute) is not None:
            at_budget = max(0, self.requests - burst_of(share / 60)) / (share / 60)
        at_latency = None
        if self.latency is not None:
            # The wave ends before the rest starts.
            rounds = _ceil_div(self.wave, WORKERS) + _ceil_div(self.writes - self.wave, WORKERS)
            at_latency = rounds * self.latency * self.requests_per_meter
        pause = self.rollout.canary_pause if 0 < self.wave < self.writes else 0.0
        known = [s for s in (at_budget, at_latency) if s is not None]
        expected = max(known) + pause if known else None
        return {"at_budget": at_budget, "at_latency": at_latency, "pause": pause, "expected": expected}

    def document(self) -> dict[str, Any]:
        rollout = self.rollout
        return {
            "writes": self.writes,
            "requests_per_meter": self.requests_per_meter,
            "requests": self.requests,
            "max_writes_per_minute": rollout.writes_per_minute,
            "writes_per_minute_here": rollout.share_per_minute,
            "median_latency_seconds": self.latency,
            "canary": None if rollout.canary is None else rollout.canary.text,
            "canary_wave": self.wave,
            "seconds": {key: None if s is None else round(s, 3) for key, s in self.floors().items()},
        }

    def text(self) -> str:
        floors, rollout = self.floors(), self.rollout
        lines = []
        if self.requests_per_meter > 1:
            lines.append(
                f"Read-back ({VERIFY}=read-back): {self.requests_per_meter} mediator requests a meter (a read, "
                f"the write, a read back; one for a meter already off): {self.requests} for {self.writes} meters, "
                "and the polls of any write a mediator only accepts"
            )
        if (share := rollout.share_per_minute) is not None:
            lines.append(
                f"Budget: {self.requests} {'writes' if self.requests_per_meter == 1 else 'requests'} at most "
                f"{share:g} a minute ({MAX_WRITES_PER_MINUTE}="
                f"{rollout.writes_per_minute:g} over {SHARDS_AT_ONCE}={rollout.side_by_side}): "
                f"at least {_seconds(floors['at_budget'])}"
            )
        if self.latency is not None:
            lines.append(
                f"Mediators: median read {self.latency * 1000:.0f} ms; five writes at a time: "
                f"at least {_seconds(floors['at_latency'])}"
            )
        if rollout.canary is not None:
            pause = f", then {CANARY_PAUSE}={rollout.canary_pause:g} s" if floors["pause"] else ""
            lines.append(
                f"Canary ({rollout.canary.variable}={rollout.canary.text}): the first {self.wave} selected meters "
                f"first{pause} (wave column: {CANARY})"
            )
        if floors["expected"] is not None:
            lines.append(f"Expected duration: about {_seconds(floors['expected'])}")
        return "\n".join(lines) + "\n"


def _seconds(seconds: float | None) -> str:
    assert seconds is not None
    minutes, rest = divmod(round(seconds, 1), 60)
    if not minutes:
        return f"{rest:.1f} s"
    minutes, rest = divmod(round(seconds), 60)  # whole seconds: 299.5 s is 5 min 0 s, not 4 min 60 s
    return f"{minutes} min {rest} s"


def pace(
    entries: Sequence[Planned],
    selected: Sequence[Mapping[str, Any]],
    rollout: Rollout,
    latencies: list[float],
    read_back: bool = False,
    writing: str = "switch_off",
) -> Pace | None:
    """Mark the wave's names on ``entries`` and estimate the run, which writes the ``selected`` rows
    in their order and the entries of kind ``writing``; None when no control is set and no meter
    is read back."""
    if not rollout.active and not read_back:
        return None
    wave = 0 if rollout.canary is None else rollout.canary.size(len(selected))
    names = {row.get("name") for row in selected[:wave]}
    for entry in entries:
        if entry.name in names:
            entry.wave = CANARY
    writes = sum(entry.kind == writing for entry in entries)
    latency = statistics.median(latencies) if latencies else None
    return Pace(rollout, writes, min(wave, writes), latency, READ_BACK_REQUESTS if read_back else 1)
