"""The write-rate budget and the canary wave, on real job processes against a
mediator that records when each request arrives."""

from __future__ import annotations

import json
import math
import signal
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import pytest

from job_runner import meter, skip_unless_built
from test_ledger import ledger_url  # noqa: F401 - the fixture
from test_operating import plan
from test_stopping import WIND_DOWN, WRITE_SETTINGS, JobProcess, assert_every_outcome_logged_once, flipped
from vaxo_ortane.launcher.rollout.rate_budget import BURST_MAX, burst_of
from vaxo_ortane.launcher.run.shards import shard_of
from vaxo_ortane.mediator.sim import MeterBehaviour, most_within

pytestmark = skip_unless_built


def arrivals(f: Any, method: str = "PUT") -> list[tuple[float, str]]:
    """When each request reached the mediator, and for which meter."""
    return [(when, target.split("/")[2]) for when, verb, target in f.sim.arrivals() if verb == method]


@pytest.mark.parametrize("shards", [1, 4])
def test_the_budget_holds_for_a_run_and_for_shards_side_by_side(fleet: Any, shards: int) -> None:
    per_minute, count = 300, 30
    f = fleet([meter(n) for n in range(1, count + 1)])

    def run(index: int) -> Any:
        sharding = {"FLIP_SHARD_COUNT": str(shards), "FLIP_SHARD_INDEX": str(index)} if shards > 1 else {}
        return f.run("--esco", "ESCO_A", FLIP_MAX_WRITES_PER_MINUTE=str(per_minute), **sharding)

    with ThreadPoolExecutor(shards) as pool:
        runs = list(pool.map(run, range(shards)))
    assert [r.status for r in runs] == [0] * shards, runs[0].stderr[-2000:]
    times = [when for when, _ in arrivals(f)]
    assert len(times) == count
    per_second, bursts = per_minute / 60, shards * burst_of(per_minute / 60 / shards)
    # One request of slack: arrivals jitter around their slots.
    assert most_within(times, 2.0) <= 2 * per_second + bursts + 1
    assert max(times) - min(times) >= 0.95 * (count - bursts) / per_second


def test_shards_with_a_ledger_share_one_budget_through_a_restart_and_an_early_end(
    fleet: Any,
    ledger_url: str,  # noqa: F811 - the fixture imported above
) -> None:
    per_minute, shards = 600, 3
    # Shard 2 holds two names and ends early: the other two take its share.
    names = [n for n in range(1, 200) if shard_of(f"A-{n:03d}", shards) != 2][:58] + [
        n for n in range(1, 200) if shard_of(f"A-{n:03d}", shards) == 2
    ][:2]
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.02)) for n in names])
    env = {"FLIP_LEDGER": ledger_url, "FLIP_ROLLOUT": "r1", "FLIP_SHARD_COUNT": str(shards), "FLIP_SHARDS_AT_ONCE": "3"}
    env |= {"FLIP_MAX_WRITES_PER_MINUTE": str(per_minute), "MEDIATOR_RETRIES": "0"}
    jobs = [JobProcess(f, [], **env, FLIP_SHARD_INDEX=str(i)) for i in range(shards)]
    try:
        jobs[0].wait_for(flipped(3))
        jobs[0].kill()  # SIGKILL, and the scheduler's restart at once
        jobs.append(JobProcess(f, [], **env, FLIP_SHARD_INDEX="0"))
        assert [job.end()[0] for job in jobs[1:]] == [0] * shards, [job.records[-2:] for job in jobs]
    finally:
        for job in jobs:
            job.kill()
    assert all(f.sim.value(m.meter_id) is False for m in f.meters) and jobs[1].events("FLIP_SHARDS_AT_ONCE is ignored")
    times = [when for when, _ in arrivals(f)]
    assert len(times) - len(f.meters) <= 5 + 1  # a kill repeats the writes in flight and one batch
    for window in (1.0, 5.0):
        assert most_within(times, window) <= per_minute / 60 * window + BURST_MAX
    # Static shares of R/3 would take the two large shards 29 / (R/3) = 8.7 s.
    assert max(times) - min(times) < 0.9 * 29 / (per_minute / 60 / shards)


@pytest.mark.parametrize(
    "canary, max_failures, failing, pause, status",
    [("3", None, 1, None, 11), ("20%", "50%", 2, None, 11), ("20%", "50%", 1, "1.5", 0)],
    ids=["any-failure-fails", "half-of-the-wave-fails", "within-the-threshold-passes-then-pauses"],
)
def test_the_canary_goes_first_and_decides_the_rest(
    fleet: Any, tmp_path: Path, canary: str, max_failures: str | None, failing: int, pause: str | None, status: int
) -> None:
    count = 20
    f = fleet(
        [
            meter(n, behaviour=MeterBehaviour(fail_status=503) if n <= failing else MeterBehaviour())
            for n in range(1, count + 1)
        ]
    )
    report = tmp_path / "run.json"
    env = {"FLIP_CANARY": canary, "FLIP_MAX_FAILURES": max_failures, "FLIP_CANARY_PAUSE": pause}
    run = f.run("--esco", "ESCO_A", FLIP_REPORT=str(report), MEDIATOR_RETRIES="0", **env)
    assert run.status == status, run.stderr[-2000:]
    wave = math.ceil(count * int(canary[:-1]) / 100) if canary.endswith("%") else int(canary)
    written = arrivals(f)
    assert {meter_id for _, meter_id in written[:wave]} == {m.meter_id for m in f.meters[:wave]}
    document = json.loads(report.read_text())
    if status == 0:
        assert len(written) == count and document["rollout"]["canary"]["outcome"] == "passed"
        assert document["rollout"]["requests"] is None  # no budget counted them
        assert written[wave][0] - written[wave - 1][0] >= float(pause or 0)
        return
    assert len(written) == wave, "a meter beyond the wave reached its mediator"
    (stopping,) = run.events("Stopping: the canary failed")
    assert (stopping["canary"], stopping["wave"], stopping["failures"]) == (canary, wave, failing)
    refused = [r for r in run.events("Mediator client failure") if "stopping (the canary failed)" in r["error"]]
    assert len(refused) == count - wave and run.events("Stopped as the canary failed: exit status 11")
    assert document["rollout"]["canary"]["outcome"] == "failed"
    assert document["rerun_count"] == count - wave + failing


@pytest.mark.parametrize(
    "env, contacted",
    [({"FLIP_MAX_WRITES_PER_MINUTE": "6"}, 1), ({"FLIP_CANARY": "2", "FLIP_CANARY_PAUSE": "60"}, 2)],
    ids=["waiting-for-the-budget", "in-the-canary-pause"],
)
def test_a_stop_ends_the_waiting_at_once(fleet: Any, env: dict[str, str], contacted: int) -> None:
    f = fleet([meter(n) for n in range(1, 11)])
    job = JobProcess(f, [], **WRITE_SETTINGS | env)
    try:
        job.wait_for(flipped(contacted))
        sent = job.send(signal.SIGTERM)
        status, ended = job.end()
    finally:
        job.kill()
    assert status == 143 and ended - sent < WIND_DOWN
    assert assert_every_outcome_logged_once(f, job, signal.SIGTERM) == (contacted, 10 - contacted)


@pytest.mark.parametrize(
    "variable, value",
    [
        ("FLIP_MAX_WRITES_PER_MINUTE", "0"),
        ("FLIP_MAX_WRITES_PER_MINUTE", "ten"),
        ("FLIP_SHARDS_AT_ONCE", "0"),
        ("FLIP_CANARY", "101%"),
        ("FLIP_CANARY_PAUSE", "-1"),
    ],
)
def test_a_bad_rollout_setting_ends_the_launcher_with_status_2(fleet: Any, variable: str, value: str) -> None:
    f = fleet([meter(1)])
    run = f.run("--esco", "ESCO_A", **{"FLIP_CANARY": "1", variable: value})
    assert run.status == 2 and f.sim.requests("PUT") == 0
    (error,) = [r for r in run.records if r["level"] == "error"]
    assert error["event"].startswith(f"{variable}=")


def test_the_plan_reads_within_the_budget_and_shows_the_wave_and_the_duration(fleet: Any) -> None:
    f = fleet([meter(n, prepay_enabled=n != 2) for n in range(1, 8)])
    env = {"FLIP_MAX_WRITES_PER_MINUTE": "120", "FLIP_CANARY": "2"}
    shown = plan(f, "--esco", "ESCO_A", "--read-mediators", "--format", "json", **env)
    document = json.loads(shown.stdout)
    assert [m["name"] for m in document["meters"] if m["wave"] == "canary"] == ["A-001", "A-003"]
    rollout = document["rollout"]
    assert (rollout["writes"], rollout["canary_wave"], rollout["writes_per_minute_here"]) == (6, 2, 120)
    assert rollout["seconds"]["at_budget"] == 2.0 and rollout["median_latency_seconds"] < 1
    reads = sorted(when for when, _ in arrivals(f, "GET"))
    assert len(reads) == 6 and reads[-1] - reads[0] >= 0.95 * 2.0
    assert "Expected duration: about 2.0 s" in shown.stderr
