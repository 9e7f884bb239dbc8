"""``PUSHGATEWAY_URL``: the run's metrics, pushed once at its end.

The metrics live in a registry of the run's own and go to the Pushgateway under
the grouping key job, ESCO and shard (an empty value when the run names no ESCO
or runs unsharded). They are pushed with POST, which replaces only the metrics of
the same names in that group: the "last success" time stamp is left out of a run
that did not switch off every selected meter, and so keeps the last good run's.

The push has a deadline of its own: urllib's time-out bounds each socket read,
and a Pushgateway that trickles its answer a byte at a time would hold the
process for as long as it likes. Basic auth, when the address carries a user,
goes through prometheus_client's own handler.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Mapping
from typing import Any

from prometheus_client import CollectorRegistry, Gauge, pushadd_to_gateway
from prometheus_client.exposition import basic_auth_handler, default_handler

from vaxo_ortane.launcher.rollout import controls as rollouts
from vaxo_ortane.launcher.rollout.canary import OUTCOMES as CANARY_OUTCOMES
from vaxo_ortane.launcher.run import records
from vaxo_ortane.launcher.run.outcomes import ALREADY_OFF, CAUSES, SWITCHED_OFF, Outcomes
from vaxo_ortane.launcher.run.shards import ShardRun
from vaxo_ortane.launcher.settings.push_address import PushAddress

JOB = "prepay_enabled_flip"  # the grouping key's job, which dashboards select on
# An undo's: the same metrics in a group of its own, where meters_switched_off counts the meters put back.
UNDO_JOB = records.UNDO_JOB
PREFIX = "prepay_enabled_flip_"
TIMEOUT = 10.0
# The whole push, however the Pushgateway answers.
DEADLINE = 10.0


def registry_for(
    outcomes: Outcomes, status: int, seconds: float, rollout: rollouts.Controls | None = None
) -> CollectorRegistry:
    counts = outcomes.counts()
    registry = CollectorRegistry()

    def gauge(name: str, help_text: str, value: float) -> None:
        Gauge(PREFIX + name, help_text, registry=registry).set(value)

    gauge("meters_selected", "Meters the run's registry query selected.", counts["selected"])
    gauge(
        "meters_switched_off",
        "Selected meters whose prepay setting the run switched off, confirmed.",
        counts[SWITCHED_OFF],
    )
    gauge(
        "meters_already_off",
        "Selected meters that read back as already off, and were not written.",
        counts[ALREADY_OFF],
    )
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
        if counts[SWITCHED_OFF] + counts[ALREADY_OFF] == counts["selected"]:
            gauge("last_success_timestamp_seconds", "When a run last switched off every meter it selected.", now)
    return registry


def _handler(address: PushAddress) -> Callable[..., Callable[[], None]]:
    if address.username is None:
        return default_handler

    def with_basic_auth(**request: Any) -> Callable[[], None]:
        return basic_auth_handler(**request, username=address.username, password=address.password)

    return with_basic_auth


def push(
    address: PushAddress,
    outcomes: Outcomes,
    status: int,
    seconds: float,
    shard: str,
    rollout: rollouts.Controls | None = None,
    job: str = JOB,
) -> None:
    """Push the run's metrics under ``job``; raises what the push raises (the caller logs it)."""
    grouping: Mapping[str, str] = {"esco": "" if outcomes.esco is None else str(outcomes.esco), "shard": shard}
    registry = registry_for(outcomes, status, seconds, rollout)
    pushadd_to_gateway(
        address.url,
        job=job,
        registry=registry,
        grouping_key=dict(grouping),
        timeout=TIMEOUT,
        handler=_handler(address),
    )


def push_run(
    address: PushAddress,
    outcomes: Outcomes,
    status: int,
    seconds: float,
    shard: ShardRun | None,
    record: Callable[..., None],
    *,
    rollout: rollouts.Controls | None = None,
    job: str = JOB,
) -> None:
    """Push a run's metrics; a failure is logged and never changes the run's status."""
    label = "" if shard is None else str(shard.shard.index)
    failures: list[Exception] = []
    done = threading.Event()

    def attempt() -> None:
        try:
            push(address, outcomes, status, seconds, label, rollout, job)
        except Exception as exc:
            failures.append(exc)
        done.set()

    # A daemon thread: past the deadline the process ends without it.
    threading.Thread(target=attempt, name="metrics-push", daemon=True).start()
    if not done.wait(DEADLINE):
        said = f"no answer within {DEADLINE:g} s"
    elif failures:
        said = str(failures[0])
        if address.password:
            said = said.replace(address.password, "***")
    else:
        return
    record("error", f"The run's metrics could not be pushed: {said}", pushgateway=address.url)
