"""Writes confirmed against what the local mediator service itself did: head-ends that accept
writes for later (apply, refuse, never apply) and meters that lie, found by read-back."""

from __future__ import annotations

import json
import signal
import subprocess
import time
from collections import Counter
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from job_runner import SCRIPT, SUMMARY, Fleet, meter, skip_unless_built
from test_stopping import JobProcess, has_event
from vaxo_ortane.mediator.sim import MediatorSim, MeterBehaviour

pytestmark = skip_unless_built

PLAN = SCRIPT.with_name("prepay-enabled-flip-plan")


@pytest.fixture
def head_ends(tmp_path: Path) -> Iterator[Any]:
    """A fleet whose mediator starts each meter as ``behaviour`` says, whatever the registry says."""
    sims: list[MediatorSim] = []

    def make(behaviours: dict[int, MeterBehaviour]) -> Fleet:
        meters = [meter(n) for n in behaviours]
        sims.append(MediatorSim({meter(n).meter_id: b for n, b in behaviours.items()}).start())
        return Fleet(tmp_path, meters, sims[-1])

    yield make
    for sim in sims:
        sim.stop()


def by_outcome(report: dict[str, Any]) -> dict[tuple[str, str | None], set[int]]:
    found: dict[tuple[str, str | None], set[int]] = {}
    for m in report["meters"]:
        found.setdefault((m["outcome"], m["cause"]), set()).add(m["id"])
    return found


@pytest.mark.parametrize("watched", [True, False], ids=["report", "nothing-watched"])
def test_accepted_writes_end_as_the_head_end_settled_them_and_unconfirmed_ones_end_13(
    head_ends: Any, tmp_path: Path, watched: bool
) -> None:
    accepts = MeterBehaviour(accept=True, apply_after=0.3)
    f = head_ends(
        {n: MeterBehaviour() for n in (1, 2)}
        | {n: accepts for n in (3, 4, 5)}
        | {n: MeterBehaviour(accept=True, apply="fail") for n in (6, 7)}
        | {n: MeterBehaviour(accept=True, apply="never") for n in (8, 9)}
    )
    report = tmp_path / "run.json"
    env = {"FLIP_REPORT": str(report), "FLIP_MAX_WRITES_PER_MINUTE": "6000"} if watched else {}
    env |= {} if watched else {"FLIP_PROGRESS_SECONDS": "0"}
    run = f.run("--esco", "ESCO_A", MEDIATOR_CONFIRM_TIMEOUT="1.5", **env)
    assert run.status == 13 and run.summary == "9/9"  # the job's own records say what they said
    applied = {n for n in range(1, 10) if f.sim.applied(meter(n).meter_id) == 1}
    assert applied == {1, 2, 3, 4, 5} and f.sim.requests("PUT") == 9
    assert run.events("2 meters' writes are not confirmed: exit status 13")
    unconfirmed = {r["meter_id"]: r["verdict"] for r in run.events("Meter MTR-")}
    assert unconfirmed == {meter(n).meter_id: "refused by the head-end" for n in (6, 7)} | {
        meter(n).meter_id: "unconfirmed" for n in (8, 9)
    }
    if not watched:
        return
    document = json.loads(report.read_text())
    assert by_outcome(document) == {
        ("switched_off", None): applied,
        ("failed", "refused_by_head_end"): {6, 7},
        ("failed", "unconfirmed"): {8, 9},
    }
    assert all(m["request_id"] for m in document["meters"] if m["id"] > 2)
    # Every poll took its slot in the write budget, as the writes did.
    assert document["rollout"]["requests"] == f.sim.requests("PUT") + f.sim.requests("GET") > 9
    assert Path(document["rerun_file"]).read_text().split() == [meter(n).name for n in (6, 7, 8, 9)]
    (closing,) = run.events("Summary: ")
    assert closing["failed_by_cause"]["unconfirmed"] == 2 and closing["exit_status"] == 13


def test_read_back_finds_lying_meters_and_leaves_meters_already_off_unwritten(head_ends: Any, tmp_path: Path) -> None:
    lies = MeterBehaviour(lie=True)
    f = head_ends(
        {n: MeterBehaviour() for n in (1, 2)}
        | {3: MeterBehaviour(accept=True)}
        | {n: lies for n in (4, 5)}
        | {6: MeterBehaviour(accept=True, lie=True)}
        | {7: MeterBehaviour(prepay_enabled=False)}  # the registry still says true
    )
    report = tmp_path / "run.json"
    run = f.run("--esco", "ESCO_A", MEDIATOR_VERIFY="read-back", FLIP_REPORT=str(report))
    assert run.status == 0 and run.events(SUMMARY)
    document = json.loads(report.read_text())
    assert by_outcome(document) == {
        ("switched_off", None): {1, 2, 3},
        ("failed", "not_applied"): {4, 5, 6},
        ("already_off", None): {7},
    }
    assert [m["value_before"] for m in document["meters"]] == [True] * 6 + [False]
    assert Path(document["rerun_file"]).read_text().split() == [meter(n).name for n in (4, 5, 6)]
    # Three requests a meter, one for the meter already off, besides the polls of accepted writes.
    reads = Counter(target for _, method, target in f.sim.arrivals() if method == "GET" and "/meters/" in target)
    assert sorted(reads.values()) == [1] + [2] * 6 and f.sim.requests("PUT") == 6
    assert sum(f.sim.applied(meter(n).meter_id) for n in range(1, 8)) == 3
    plan = subprocess.run(
        [str(PLAN), "--format", "json"],
        env=f.env(MEDIATOR_VERIFY="read-back", FLIP_MAX_WRITES_PER_MINUTE="60"),
        capture_output=True,
        text=True,
        timeout=60,
    )
    pace = json.loads(plan.stdout)["rollout"]
    assert (pace["requests_per_meter"], pace["requests"]) == (3, 21) and "3 mediator requests a meter" in plan.stderr


@pytest.mark.parametrize("stop", ["SIGTERM", "threshold"])
def test_a_stop_ends_the_wait_for_confirmations_at_once(head_ends: Any, tmp_path: Path, stop: str) -> None:
    # The threshold's stop comes from the confirmer's own thread, as a refused write settles.
    never = {n: MeterBehaviour(accept=True, apply="never") for n in range(1, 4)}
    f = head_ends(never | ({4: MeterBehaviour(accept=True, apply="fail")} if stop == "threshold" else {}))
    report = tmp_path / "run.json"
    env = {"FLIP_REPORT": str(report), "MEDIATOR_CONFIRM_TIMEOUT": "120"}
    started = time.monotonic()
    job = JobProcess(f, [], **env, FLIP_MAX_FAILURES="1" if stop == "threshold" else None)
    try:
        if stop == "SIGTERM":
            job.wait_for(has_event("Waiting for 3 accepted writes to be confirmed"))
            job.send(signal.SIGTERM)
        status, ended = job.end()
    finally:
        job.kill()
    assert status == (143 if stop == "SIGTERM" else 11) and ended - started < 30
    assert json.loads(report.read_text())["counts"]["failed_by_cause"]["unconfirmed"] == 3
