"""The undo of a rollout on real processes and the real local mediator service: its plan,
a kill midway and a resume, the ledger tool's view of it, and what each meter ends as."""

from __future__ import annotations

import json
import sqlite3
import subprocess
import urllib.request
from contextlib import closing
from dataclasses import replace
from pathlib import Path
from typing import Any

import psycopg
import pytest

from job_runner import SCRIPT, meter, skip_unless_built
from test_ledger import ledger_url  # noqa: F401 - the fixture, on SQLite and PostgreSQL
from test_stopping import JobProcess, flipped
from vaxo_ortane.launcher.ledger.schema import METERS_TABLE
from vaxo_ortane.launcher.run.messages import NO_MEDIATOR
from vaxo_ortane.mediator.sample_fleet import write_inventory
from vaxo_ortane.mediator.sim import MeterBehaviour

pytestmark = skip_unless_built

UNDO = SCRIPT.with_name("prepay-enabled-flip-undo")
TOOL = SCRIPT.with_name("prepay-enabled-flip-ledger")
ON_BEFORE = 30  # meters 1..30: on, switched off by the rollout
UNKNOWN, FAILED, UNLISTED, OFF = 31, 32, 33, 34  # value before lost; failed; not listed; off in the registry


def command(f: Any, program: Path, *args: str, **env: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [str(program), *args], env=f.env(**env), capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL
    )


def forget_value_before(url: str, row_id: int) -> None:
    # As a ledger written before it kept the value before: upgraded, that value is NULL.
    statement = f"UPDATE {METERS_TABLE} SET value_before = NULL WHERE row_id = '{row_id}'"
    if url.startswith("sqlite"):
        with closing(sqlite3.connect(url.removeprefix("sqlite://"))) as conn, conn:
            assert conn.execute(statement).rowcount == 1
    else:
        with psycopg.connect(url) as conn:
            assert conn.execute(statement.encode()).rowcount == 1


def put_back(records: list[dict[str, Any]]) -> set[str]:
    return {str(r["name"]) for r in records if r.get("event") == "Put back on"}


def test_an_undo_killed_midway_and_resumed_puts_back_each_meter_it_should_exactly_once(
    fleet: Any,
    ledger_url: str,  # noqa: F811
) -> None:
    slow = MeterBehaviour(latency=0.2)
    meters = [meter(n, behaviour=slow) for n in range(1, ON_BEFORE + 2)]
    meters += [
        meter(FAILED, behaviour=MeterBehaviour(fail_status=500)),
        meter(UNLISTED, in_name_list=False),
        meter(OFF, prepay_enabled=False),
    ]
    f = fleet(meters)
    env = {"FLIP_LEDGER": ledger_url}
    assert f.run("--esco", "ESCO_A", **env, FLIP_ROLLOUT="r1").status == 0
    forget_value_before(ledger_url, UNKNOWN)
    rolled = {m.meter_id: f.sim.writes(m.meter_id) for m in meters}

    # The plan says what the undo will do, and needs a look for the meter whose value is lost.
    plan = command(f, UNDO, "--rollout", "r1", "--plan", "--format", "json", **env)
    assert plan.returncode == 4, plan.stderr
    kinds = {m["name"]: m["kind"] for m in json.loads(plan.stdout)["meters"]}
    names = {m.name for m in meters[:ON_BEFORE]}
    assert {n for n, k in kinds.items() if k == "put_back"} == names
    assert kinds[meters[UNKNOWN - 1].name] == "value_unknown" and kinds[meters[FAILED - 1].name] == "not_switched_off"

    undo = JobProcess(f, [], program=UNDO, args=("--rollout", "r1", "--esco", "ESCO_A"), **env, FLIP_ROLLOUT="r9")
    try:
        undo.wait_for(lambda records: len(put_back(records)) >= ON_BEFORE // 2)
    finally:
        undo.kill()
    assert any(r.get("variable") == "FLIP_ROLLOUT" for r in undo.records), "FLIP_ROLLOUT ignored without a word"

    # The tool lists what is left to put back; the resumed undo writes exactly those.
    rerun = command(f, TOOL, "--rollout", "r1", "--undo", "--rerun", **env)
    assert rerun.returncode == 0, rerun.stderr
    left = set(rerun.stdout.split())
    assert names - put_back(undo.records) <= left <= names and left
    # Restarted at once, it finds the killed writes still being answered (409): the default pauses
    # between attempts outlast them.
    resumed = command(f, UNDO, "--rollout", "r1", "--esco", "ESCO_A", **env, MEDIATOR_BACKOFF="0.25")
    assert resumed.returncode == 0, resumed.stderr
    records = [json.loads(line) for line in resumed.stderr.splitlines()]
    assert put_back(records) == left

    for m in meters:
        if m.name in names:
            assert f.sim.value(m.meter_id) is True and f.sim.applied(m.meter_id, True) == 1, m.name
            # Sent again only if its outcome was not yet saved (or in flight), then answered from its key.
            assert f.sim.writes(m.meter_id) == rolled[m.meter_id] + 1, m.name
            repeated = f.sim.repeated(m.meter_id)
            assert repeated == 1 if m.name in left & put_back(undo.records) else repeated <= (m.name in left), m.name
        else:  # as it was after the rollout: not written by the undo
            assert f.sim.writes(m.meter_id) == rolled[m.meter_id], m.name
    assert f.sim.value(meters[UNKNOWN - 1].meter_id) is False  # switched off, and its value before unknown
    shown = json.loads(command(f, TOOL, "--rollout", "r1", "--format", "json", **env).stdout)["undone"]
    assert (shown["put_back"], shown["remaining"], shown["runs"]) == (ON_BEFORE, 0, 2)

    # Once undone, the rollout takes no run of its own; an undo of a rollout never run is refused.
    again = f.run("--esco", "ESCO_A", **env, FLIP_ROLLOUT="r1")
    assert again.status == 2 and "has been undone" in again.stderr
    unknown = command(f, UNDO, "--rollout", "r7", **env)
    assert unknown.returncode == 2 and "no rollout 'r7'" in unknown.stderr


def set_at_meter(f: Any, meter_id: str, value: bool) -> None:
    """A change made at the head-end by hand, outside any rollout."""
    request = urllib.request.Request(
        f"{f.sim.address}/meters/{meter_id}/prepay_enabled", json.dumps({"value": value}).encode(), method="PUT"
    )
    with urllib.request.urlopen(request, timeout=10) as answer:
        assert answer.status == 200


def test_with_read_back_an_undo_leaves_a_meter_off_before_off_and_does_not_write_one_already_on(
    fleet: Any, tmp_path: Path
) -> None:
    meters = [meter(n) for n in range(1, 7)]
    f = fleet(meters)
    env = {"FLIP_LEDGER": f"sqlite://{tmp_path}/ledger.db", "MEDIATOR_VERIFY": "read-back"}
    was_off, back_on = meters[0].meter_id, meters[1].meter_id
    set_at_meter(f, was_off, False)  # the registry still says on
    assert f.run("--esco", "ESCO_A", **env, FLIP_ROLLOUT="r1").status == 0
    set_at_meter(f, back_on, True)
    plan = command(f, UNDO, "--rollout", "r1", "--plan", "--format", "json", **env)
    assert plan.returncode == 0, plan.stderr
    kinds = {m["meter_id"]: m["kind"] for m in json.loads(plan.stdout)["meters"]}
    assert kinds == {was_off: "was_off"} | {m.meter_id: "put_back" for m in meters[1:]}

    undo = command(f, UNDO, "--rollout", "r1", "--esco", "ESCO_A", **env)
    assert undo.returncode == 0, undo.stderr
    assert f.sim.value(was_off) is False and f.sim.applied(was_off) == 1  # the hand's write alone
    assert f.sim.applied(back_on, True) == 1  # by hand: the undo read it on and did not write
    assert all(f.sim.value(m.meter_id) and f.sim.applied(m.meter_id, True) == 1 for m in meters[2:])
    # Each command reads before and after each write it makes, and once a meter found at its value.
    assert f.sim.requests("GET") == (2 * 5 + 1) + (2 * 4 + 1)


@pytest.mark.parametrize("case", ["live-run", "threshold"])
def test_an_undo_beside_a_live_run_is_refused_and_one_whose_mediators_are_gone_stops_at_its_threshold(
    fleet: Any, tmp_path: Path, case: str
) -> None:
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.3)) for n in range(1, 21)])
    env = {"FLIP_LEDGER": f"sqlite://{tmp_path}/ledger.db"}
    if case == "live-run":
        first = JobProcess(f, [], **env, FLIP_ROLLOUT="r1")
        try:
            first.wait_for(flipped(5))
            undo = command(f, UNDO, "--rollout", "r1", **env)
        finally:
            first.kill()
        assert undo.returncode == 2 and f"pid {first.process.pid}" in undo.stderr
        assert not f.sim.applied(meter(1).meter_id, True)
        return
    assert f.run("--esco", "ESCO_A", **env, FLIP_ROLLOUT="r1").status == 0
    # Now the first meter has no mediator in the inventory, and no other mediator answers.
    gone = [replace(f.meters[0], has_mediator=False), *f.meters[1:]]
    write_inventory(f.inventory, gone, {"ESCO_A": "http://127.0.0.1:1"})
    plan = command(f, UNDO, "--rollout", "r1", "--plan", "--format", "json", **env)
    assert plan.returncode == 4 and json.loads(plan.stdout)["meters"][0]["kind"] == "no_mediator", plan.stderr
    undo = command(f, UNDO, "--rollout", "r1", **env, FLIP_MAX_FAILURES="3", MEDIATOR_RETRIES="0")
    assert undo.returncode == 11, undo.stderr[-2000:]
    assert f"{NO_MEDIATOR}{f.meters[0].serial}" in undo.stderr
    rerun = command(f, TOOL, "--rollout", "r1", "--undo", "--rerun", **env)
    assert len(rerun.stdout.split()) == 20
