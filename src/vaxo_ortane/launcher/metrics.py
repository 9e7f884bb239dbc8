"""``PUSHGATEWAY_URL``: the run's metrics, pushed once at its end.

The metrics live in a registry of the run's own and go to the Pushgateway under
the grouping key job, ESCO and shard (an empty value when the run names no ESCO
or runs unsharded). They are pushed with POST, which replaces only the metrics of
the same names in that group: the "last success" time stamp is left out of a run
that did not switch off every selected meter, and so keeps the last good run's.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping

from prometheus_client import CollectorRegistry, Gauge, pushadd_to_gateway

from vaxo_ortane.launcher import rollout as rollouts
from vaxo_ortane.launcher.canary import OUTCOMES as CANARY_OUTCOMES
from vaxo_ortane.launcher.outcomes import CAUSES, SWITCHED_OFF, Outcomes
from vaxo_ortane.launcher.shards import ShardRun
from vaxo_ortane.util.urls import without_credentials

JOB = "prepay_enabled_flip"  # the grouping key's job, which dashboards select on
PREFIX = "prepay_enabled_flip_"
TIMEOUT = 10.0


def registry_for(
    outcomes: Outcomes, status: int, seconds: float, rollout: rollouts.Controls | None = None
) -> CollectorRegistry:
    counts = outcomes.counts()
    registry = CollectorRegistry()

    def gauge(name: str, help_text: str, value: float) -> None:
        Gauge(PREFIX + name, help_text, registry=registry).set(value)

    gauge("meters_selected", "Meters the run's registry query selected.", counts["selected"])
    gauge("meters_switched_off", "Selected meters whose prepay setting the run switched off.", counts[SWITCHED_OFF])
    failed = Gauge(
        PREFIX + "meters_failed",
        "Selected meters that failed, by cause; not_run: never handled.",
        ["cause"],
        registry=registry,
    )
    for cause in CAUSES:
        failed.labels(cause).set(counts["failed_by_cause"][cause])
    failed.labels("not_run").set(counts["not_run"])
    gauge("duration_seconds", "How long the run took, start to end.", seconds)
    gauge("exit_status", "The run's exit status.", status)
    # The rollout controls: waiting for the write-rate budget, and what became of the canary wave.
    controlled = rollouts.summary(rollout)
    gauge(
        "budget_wait_seconds",
        "Seconds the run's mediator requests waited for the budget, summed.",
        controlled["budget_wait_seconds"],
    )
    canary = Gauge(
        PREFIX + "canary", "The canary wave's outcome: 1 for the one it had.", ["outcome"], registry=registry
    )
    for outcome in CANARY_OUTCOMES:
        canary.labels(outcome).set(outcome == controlled["canary"]["outcome"])
    now = time.time()
    # A shard with nothing to select ends 0 without a summary: it completed all it had.
    if status == 0 and (outcomes.completed or not outcomes.meters):
        gauge("last_completed_timestamp_seconds", "When a run last reached its summary unstopped.", now)
        if counts[SWITCHED_OFF] == counts["selected"]:
            gauge("last_success_timestamp_seconds", "When a run last switched off every meter it selected.", now)
    return registry


def push(
    url: str, outcomes: Outcomes, status: int, seconds: float, shard: str, rollout: rollouts.Controls | None = None
) -> None:
    """Push the run's metrics; raises what the push raises (the caller logs it)."""
    grouping: Mapping[str, str] = {"esco": "" if outcomes.esco is None else str(outcomes.esco), "shard": shard}
    registry = registry_for(outcomes, status, seconds, rollout)
    pushadd_to_gateway(url, job=JOB, registry=registry, grouping_key=dict(grouping), timeout=TIMEOUT)


def push_run(
    url: str,
    outcomes: Outcomes,
    status: int,
    seconds: float,
    shard: ShardRun | None,
    record: Callable[..., None],
    *,
    rollout: rollouts.Controls | None = None,
) -> None:
    """Push a run's metrics; a failure is logged and never changes the run's status."""
    label = "" if shard is None else str(shard.shard.index)
    try:
        push(url, outcomes, status, seconds, label, rollout)
    except Exception as exc:
        where = without_credentials(url)
        said = str(exc).replace(url, where)
        record("error", f"The run's metrics could not be pushed: {said}", pushgateway=where)
