"""The rollout controls of a run, put in the mediator client's hooks (``pacing``):
the write-rate budget (``rate_budget``), the canary wave (``canary``) and, with a
ledger, the wait for room in its writer's backlog.

Nothing here is loaded unless one of them is set. The report and the metrics
take ``summary`` of the controls, or of none.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from vaxo_ortane.launcher.rollout import canary as canaries
from vaxo_ortane.launcher.rollout.rate_budget import RateBudget
from vaxo_ortane.mediator import pacing
from vaxo_ortane.util import stopping

if TYPE_CHECKING:
    from vaxo_ortane.launcher.ledger.resume import LedgerRun
    from vaxo_ortane.launcher.run.outcomes import Outcomes
    from vaxo_ortane.launcher.settings.counts import Threshold
    from vaxo_ortane.launcher.settings.environment import Rollout
    from vaxo_ortane.util.observers import Observation


def _paced(budget: RateBudget) -> Callable[[int], str | None]:
    def before_request(attempt: int) -> str | None:
        budget.take()
        # Waited for, a first attempt is refused like a write that never started; a retry finishes.
        return stopping.refusal() if attempt == 0 else None

    return before_request


def _in_turn(gates: list[Callable[[], None]]) -> Callable[[], None] | None:
    # The canary's wave first, then room in the ledger's backlog.
    if len(gates) < 2:
        return gates[0] if gates else None

    def before_write() -> None:
        for gate in gates:
            gate()

    return before_write


@dataclass
class Controls:
    rollout: Rollout
    budget: RateBudget | None = None
    canary: canaries.Canary | None = None
    _observations: list[Observation] = field(default_factory=list)

    @classmethod
    def install(
        cls,
        rollout: Rollout,
        threshold: Threshold | None,
        outcomes: Outcomes | None,
        record: Callable[..., None],
        ledger: LedgerRun | None = None,
    ) -> Controls:
        """Put the controls ``rollout`` asks for in place; the canary needs the run's ``outcomes``,
        and a run with a ``ledger`` waits for room in its backlog before each write."""
        controls = cls(rollout)
        observations = controls._observations
        if (share := rollout.share_per_minute) is not None:
            controls.budget = budget = RateBudget(share)
            record(
                "info",
                f"Write budget: at most {share:g} mediator requests a minute in this process, "
                f"{rollout.writes_per_minute:g} over {rollout.side_by_side} side by side",
                writes_per_minute=share,
                burst=budget.burst,
            )
        elif rollout.shared and rollout.writes_per_minute is not None and ledger is not None:
            from vaxo_ortane.launcher.rollout.shared_budget import SharedBudget

            setting, rate = ledger.setting, rollout.writes_per_minute
            controls.budget = budget = SharedBudget(rate, setting.url, setting.rollout, setting.wait, record)
            record(
                "info",
                f"Write budget: at most {rate:g} mediator requests a minute for rollout {setting.rollout}, "
                f"one budget in its ledger for every process of it, drawn {budget.batch} at a time",
                writes_per_minute=rate,
                burst=budget.burst,
                shared=True,
            )
        if controls.budget is not None:
            observations.append(stopping.on_stop(controls.budget.wake))
        if rollout.canary is not None and outcomes is not None:
            from vaxo_ortane.util.supabase.query import observe_responses

            controls.canary = wave = canaries.Canary(rollout.canary, rollout.canary_pause, threshold, outcomes, record)
            outcomes.listen(wave.on_meter_end)
            observations += [observe_responses(wave.on_response), stopping.on_stop(wave.wake)]
        gates = [] if controls.canary is None else [controls.canary.gate]
        if ledger is not None:
            gates.append(ledger.writer.wait_for_room)
        pacing.install(None if controls.budget is None else _paced(controls.budget), _in_turn(gates))
        return controls

    def remove(self) -> None:
        """Take the hooks out again; what they counted stays."""
        pacing.reset()
        if self.budget is not None:
            self.budget.close()
        for observation in self._observations:
            observation.remove()
        self._observations.clear()


def summary(controls: Controls | None) -> dict[str, Any]:
    """What the report and the metrics say of the controls: the budget's waiting, the canary's outcome."""
    budget = None if controls is None else controls.budget
    wave = None if controls is None else controls.canary
    return {
        "max_writes_per_minute": None if controls is None else controls.rollout.writes_per_minute,
        "writes_per_minute_here": None if controls is None else controls.rollout.share_per_minute,
        "shared_budget": controls is not None and controls.rollout.shared,
        "requests": None if budget is None else budget.requests,  # counted only where a budget counts them
        "budget_wait_seconds": 0.0 if budget is None else round(budget.waited, 3),
        "canary": {"outcome": canaries.NONE} if wave is None else wave.summary(),
    }
