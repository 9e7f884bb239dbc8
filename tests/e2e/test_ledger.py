"""The run ledger on real processes: a killed run resumed, shards sharing one ledger,
a ledger refused at the start or lost mid-run; on SQLite and on a real PostgreSQL."""

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
from psycopg import sql

from job_runner import RUN_LIMIT, SCRIPT, meter, skip_unless_built
from pg_cluster import ADMIN, ADMIN_PASSWORD, READER, Cluster, server_bindir, start_cluster
from servers import unavailable
from test_stopping import JobProcess, flipped
from vaxo_ortane.launcher.ledger.claims import LEASE_SECONDS, WAIT_SECONDS
from vaxo_ortane.launcher.ledger.schema import (
    METERS_TABLE,
    SCHEMA_STATEMENTS,
    SCHEMA_TABLE,
    TABLES,
    UPGRADES,
    VERSION,
)
from vaxo_ortane.mediator.sim import MeterBehaviour

pytestmark = skip_unless_built

TOOL = SCRIPT.with_name("prepay-enabled-flip-ledger")
PLAN = SCRIPT.with_name("prepay-enabled-flip-plan")
WORKERS = 5
PASSWORD = "ledger-pw-'q,\"7"
BACKENDS = ["sqlite", "postgresql"]


@pytest.fixture(params=BACKENDS)
def ledger_url(request: pytest.FixtureRequest, tmp_path: Path) -> Iterator[str]:
    if request.param == "sqlite":
        yield f"sqlite://{tmp_path}/ledger.db"
        return
    cluster = request.getfixturevalue("pg_cluster")
    name = f"ledger_{request.node.name.rpartition('[')[0][-40:]}"
    with cluster.admin() as admin:
        admin.execute(sql.SQL("DROP DATABASE IF EXISTS {} WITH (FORCE)").format(sql.Identifier(name)))
        admin.execute(sql.SQL("DROP ROLE IF EXISTS {}").format(sql.Identifier(name)))
        admin.execute(sql.SQL("CREATE ROLE {} LOGIN PASSWORD {}").format(sql.Identifier(name), sql.Literal(PASSWORD)))
        admin.execute(sql.SQL("CREATE DATABASE {} OWNER {}").format(sql.Identifier(name), sql.Identifier(name)))
    yield cluster.url(name, name, PASSWORD)


@pytest.fixture(scope="module")
def outage_cluster() -> Iterator[Cluster]:
    """A PostgreSQL server of these tests' own, halted and resumed to make a ledger outage."""
    bindir = server_bindir()
    if bindir is None:
        unavailable("PostgreSQL server programs (initdb, postgres) not found; install postgresql-15")
    cluster = start_cluster(bindir, log_statements=False)
    try:
        yield cluster
    finally:
        cluster.stop()


@pytest.fixture
def outage_url(outage_cluster: Cluster, request: pytest.FixtureRequest) -> str:
    """A fresh ledger database on the outage server, which runs again when the test begins."""
    if outage_cluster.process.poll() is not None:
        outage_cluster.resume()
    name = f"outage_{abs(hash(request.node.name)) % 10**8}"
    with outage_cluster.admin() as admin:
        admin.execute(sql.SQL("DROP DATABASE IF EXISTS {} WITH (FORCE)").format(sql.Identifier(name)))
        admin.execute(sql.SQL("CREATE DATABASE {}").format(sql.Identifier(name)))
    return outage_cluster.url(name, ADMIN, ADMIN_PASSWORD)


def tool(f: Any, url: str, *args: str) -> subprocess.CompletedProcess[str]:
    done = subprocess.run(
        [str(TOOL), "--rollout", "r1", *args], env=f.env(FLIP_LEDGER=url), capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0 and PASSWORD not in done.stdout + done.stderr, done.stderr
    return done


def writes(f: Any) -> dict[str, int]:
    return {m.meter_id: f.sim.writes(m.meter_id) for m in f.meters}


def test_a_killed_run_resumed_writes_every_meter_and_rewrites_only_writes_in_flight(
    fleet: Any, ledger_url: str
) -> None:
    # 60 meters at 0.2 s a write on five workers: killed after 20, about a third of the way.
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.2)) for n in range(1, 61)])
    names = [m.name for m in f.meters] + ["NOT-A-METER"]
    env = {"FLIP_LEDGER": ledger_url, "FLIP_ROLLOUT": "r1", "PREPAY_DISABLED_METER_NAMES": ",".join(names)}
    job = JobProcess(f, [], **env)
    try:
        job.wait_for(flipped(20))
    finally:
        job.kill()  # SIGKILL: no report, no summary, no end of the run in the ledger
    sent = {mid for mid, n in writes(f).items() if n}
    meters = json.loads(tool(f, ledger_url, "--format", "json").stdout)["meters"]
    kept = {m["name"] for m in meters if m["switched_off_at"]}
    kept_ids = {m["meter_id"] for m in meters if m["switched_off_at"]}
    in_flight = sent - kept_ids  # sent to the mediator, not yet committed to the ledger
    assert kept_ids <= sent
    # At most the five writes under way and one batch (0.1 s, about three outcomes at this pace).
    assert len(in_flight) <= 2 * WORKERS, in_flight
    rerun = tool(f, ledger_url, "--rerun").stdout.splitlines()
    assert sorted(rerun) == sorted(set(names) - kept)
    plan = subprocess.run([str(PLAN), "--format", "json"], env=f.env(**env), capture_output=True, text=True)
    assert {m["name"] for m in json.loads(plan.stdout)["meters"] if m["kind"] == "rollout_done"} == kept

    resumed = f.run("--esco", "ESCO_A", **env)
    assert resumed.status == 0, resumed.stderr[-2000:]
    (left,) = resumed.events("Rollout r1: ")
    assert left["left_out"] == len(kept) and left["names"] == len(names)
    after = writes(f)
    assert all(n >= 1 and f.sim.value(mid) is False for mid, n in after.items())
    assert {mid for mid, n in after.items() if n == 2} <= in_flight and max(after.values()) <= 2
    assert tool(f, ledger_url, "--rerun").stdout.splitlines() == ["NOT-A-METER"]

    # Settled: only a name that selects nothing is left, and nothing is written.
    settled = f.run("--esco", "ESCO_A", **env)
    assert settled.status == 0 and writes(f) == after
    assert settled.events("Rollout r1: the names left select no meter")


def puts(f: Any) -> Counter[str]:
    """The writes that reached the mediator service, by meter id, whatever it made of them."""
    return Counter(target.split("/")[2] for _, method, target in f.sim.arrivals() if method == "PUT")


def test_a_killed_run_resumed_applies_each_meter_once_under_one_key_and_polls_what_it_held(
    fleet: Any, ledger_url: str
) -> None:
    # Even meters' head-ends accept writes and apply them a second later: the kill finds some accepted.
    later = MeterBehaviour(latency=0.1, accept=True, apply_after=1.0)
    f = fleet([meter(n, behaviour=later if n % 2 == 0 else MeterBehaviour(latency=0.1)) for n in range(1, 41)])
    env = {"FLIP_LEDGER": ledger_url, "FLIP_ROLLOUT": "r1"}
    job = JobProcess(f, [], **env)
    try:
        job.wait_for(flipped(16))
    finally:
        job.kill()
    meters = json.loads(tool(f, ledger_url, "--format", "json").stdout)["meters"]
    held = {m["meter_id"] for m in meters if m["outcome"] == "accepted"}
    sent = puts(f)
    resumed = f.run("--esco", "ESCO_A", **env)
    assert resumed.status == 0, resumed.stderr[-2000:]
    # The service's own truth: each meter applied once, under one key, and no held request written again.
    assert {m.meter_id: f.sim.applied(m.meter_id) for m in f.meters} == {m.meter_id: 1 for m in f.meters}
    assert f.sim.keys() == {m.meter_id: 1 for m in f.meters}
    assert held and all(puts(f)[mid] == sent[mid] for mid in held), held


def test_shards_side_by_side_share_one_ledger_and_a_settled_rollout_writes_nothing(fleet: Any, ledger_url: str) -> None:
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.02)) for n in range(1, 41)])
    env = {"FLIP_LEDGER": ledger_url, "FLIP_ROLLOUT": "r1", "FLIP_SHARD_COUNT": "3"}
    jobs = [JobProcess(f, [], **env, FLIP_SHARD_INDEX=str(i)) for i in range(3)]
    try:
        assert [job.end()[0] for job in jobs] == [0, 0, 0], [job.records[-2:] for job in jobs]
    finally:
        for job in jobs:
            job.kill()
    assert set(writes(f).values()) == {1}
    shown = json.loads(tool(f, ledger_url, "--format", "json").stdout)
    assert (shown["names"], shown["names_remaining"], shown["counts"]["switched_off"]) == (40, 0, 40)
    assert sorted((r["shard_index"], r["status"], r["ledger_complete"]) for r in shown["runs"]) == [
        (i, 0, True) for i in range(3)
    ]
    assert sum(r["switched_off"] for r in shown["runs"]) == 40
    for i in range(3):
        again = f.run("--esco", "ESCO_A", **env, FLIP_SHARD_INDEX=str(i))
        assert again.status == 0 and not again.events("Starting prepay_enabled_flip job")
        assert again.events("Rollout r1: every name of this run is already switched off")
    assert set(writes(f).values()) == {1}
    assert "40 listed: 40 switched off, 0 still to do" in tool(f, ledger_url).stdout


# Live, the first run ends and gives its names up; frozen, it stops beating, as a run killed
# on another machine, and is found dead once its heartbeat is a lease old.
@pytest.mark.parametrize("ledger_url, frozen", [("sqlite", False), ("postgresql", True)], indirect=["ledger_url"])
def test_two_runs_of_one_rollout_at_once_never_both_write_a_meter(fleet: Any, ledger_url: str, frozen: bool) -> None:
    # 40 meters at 0.5 s a write on five workers: the first run holds them for about 4 s.
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.5)) for n in range(1, 41)])
    env = {"FLIP_LEDGER": ledger_url, "FLIP_ROLLOUT": "r1"}
    first = JobProcess(f, [], **env)
    try:
        first.wait_for(flipped(5))
        if frozen:
            first.process.send_signal(signal.SIGSTOP)
        started = time.monotonic()
        second = f.run("--esco", "ESCO_A", **env)
        waited = time.monotonic() - started
    finally:
        first.kill()
    assert second.status == 0, second.stderr[-2000:]
    (held,) = [r for r in second.events("Rollout r1: ") if "names are held by another run" in r["event"]]
    assert f"pid {first.process.pid}" in held["event"] and 0 < held["held"] <= 40
    after = writes(f)  # as the mediator saw them
    if not frozen:
        assert set(after.values()) == {1} and second.events("Rollout r1: every name of this run is already")
        return
    # Taken over after the lease; written twice at most, the writes the frozen run had in flight.
    assert LEASE_SECONDS - 2 < waited < WAIT_SECONDS + RUN_LIMIT / 4
    assert min(after.values()) == 1 and max(after.values()) <= 2 and list(after.values()).count(2) <= 2 * WORKERS


@pytest.mark.parametrize(
    "ledger, rollout, said",
    [
        ("sqlite:///{tmp}/ledger.db", None, "FLIP_LEDGER is set but FLIP_ROLLOUT is not"),
        ("sqlite:///{tmp}/no-such-folder/ledger.db", "r1", "cannot be created: its folder does not exist"),
        ("sqlite:///{tmp}/null-link.db", "r1", "null-link.db exists and is not a regular file"),
        ("sqlite:ledger.db", "r1", "FLIP_LEDGER must be sqlite:///ABSOLUTE/PATH or postgresql://"),
        ("postgresql://{user}:wrong-{password}@{host}/{user}", "r1", "password authentication failed"),
    ],
    ids=["no-rollout", "no-folder", "link-to-a-device", "relative", "wrong-password"],
)
def test_a_ledger_that_cannot_be_used_ends_the_run_with_status_2_before_any_write(
    fleet: Any, request: pytest.FixtureRequest, tmp_path: Path, ledger: str, rollout: str | None, said: str
) -> None:
    f = fleet([meter(1)])
    (tmp_path / "null-link.db").symlink_to("/dev/null")
    values = {"tmp": str(tmp_path)}
    if ledger.startswith("postgresql"):
        cluster = request.getfixturevalue("pg_cluster")
        values |= {"user": READER, "password": "pw", "host": f"{cluster.host}:{cluster.port}"}
    run = f.run("--esco", "ESCO_A", FLIP_LEDGER=ledger.format(**values), FLIP_ROLLOUT=rollout)
    assert run.status == 2 and f.sim.requests("PUT") == 0
    (error,) = [r for r in run.records if r["level"] == "error"]
    assert said in error["event"] and "wrong-pw" not in run.stderr


def test_a_ledger_path_holding_uri_characters_is_read_where_it_was_written(fleet: Any, tmp_path: Path) -> None:
    f = fleet([meter(1)])
    url = f"sqlite://{tmp_path}/odd?mode=rw#x%41.db"
    assert f.run("--esco", "ESCO_A", FLIP_LEDGER=url, FLIP_ROLLOUT="r1").status == 0
    assert "1 listed: 1 switched off" in tool(f, url).stdout
    assert not (tmp_path / "odd").exists()  # read as "file:.../odd?mode=rw", which made a file of that name


def test_a_ledger_lost_mid_run_fails_no_meter_and_ends_the_run_12(fleet: Any, pg_cluster: Any) -> None:
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.1)) for n in range(1, 41)])
    with pg_cluster.admin() as admin:
        admin.execute("DROP DATABASE IF EXISTS ledger_lost WITH (FORCE)")
        admin.execute("CREATE DATABASE ledger_lost")
    url = pg_cluster.url("ledger_lost", ADMIN, ADMIN_PASSWORD)
    job = JobProcess(f, [], FLIP_LEDGER=url, FLIP_ROLLOUT="r1")
    try:
        job.wait_for(flipped(10))
        with pg_cluster.admin() as admin:
            admin.execute("DROP DATABASE ledger_lost WITH (FORCE)")  # the server is there, the ledger gone
        status, _ = job.end()
    finally:
        job.kill()
    assert status == 12
    assert set(writes(f).values()) == {1} and len(job.events("prepay disabled")) == 40
    assert len(job.events("The run's ledger failed")) == 1
    (incomplete,) = job.events("The ledger of rollout r1 is incomplete")
    assert (incomplete["status"], incomplete["run_status"]) == (12, 0)


def _execute(url: str, statement: str) -> list[tuple[Any, ...]]:
    """One statement on the ledger itself, as an operator's own client would run it."""
    if url.startswith("sqlite"):
        import sqlite3

        with sqlite3.connect(url.removeprefix("sqlite://")) as conn:
            return conn.execute(statement).fetchall()
    import psycopg

    with psycopg.connect(url) as conn:
        cursor = conn.execute(statement)
        return cursor.fetchall() if cursor.description else []


@pytest.mark.parametrize("version", [0, 1, 3])
def test_an_older_ledger_is_brought_up_to_date_when_opened_and_a_newer_one_is_refused(
    fleet: Any, ledger_url: str, version: int
) -> None:
    f = fleet([meter(1), meter(2)])
    env = {"FLIP_LEDGER": ledger_url, "FLIP_ROLLOUT": "r1"}
    # A ledger as earlier releases left it: their tables, meter 1 switched off, their version from 1 on
    # (3: main before keys, with its claims and its budget).
    time_type = "text" if ledger_url.startswith("sqlite") else "timestamptz"
    for statement in (s for _, step in UPGRADES[: max(version, 1)] for s in step):
        _execute(ledger_url, statement.format(time=time_type, **TABLES))
    if version:
        _execute(ledger_url, SCHEMA_STATEMENTS["create"].format(**TABLES))
        _execute(ledger_url, f"INSERT INTO {SCHEMA_TABLE} (version) VALUES ({version})")
    _execute(
        ledger_url,
        f"INSERT INTO {METERS_TABLE} (rollout, row_id, name, meter_id, serial, outcome, run_id, at, switched_off_at, "
        "switched_off_run) VALUES ('r1', '1', 'A-001', 'MTR-0001', 'SN-1001', 'switched_off', 'old', "
        "'2026-01-01T00:00:00Z', '2026-01-01T00:00:00Z', 'old')",
    )
    assert f.run("--esco", "ESCO_A", **env).status == 0 and f.sim.requests("PUT") == 1
    shown = json.loads(tool(f, ledger_url, "--format", "json").stdout)
    old, new = ((m["value_before"], m["idempotency_key"], m["confirmed_at"]) for m in shown["meters"])
    assert shown["counts"]["switched_off"] == 2 and old == (None, None, None)
    assert new[0] is True and new[1].startswith("pef-") and new[2] is not None
    assert _execute(ledger_url, f"SELECT version FROM {SCHEMA_TABLE}") == [(VERSION,)]
    _execute(ledger_url, f"UPDATE {SCHEMA_TABLE} SET version = {VERSION + 1}")
    refused = subprocess.run(
        [str(TOOL), "--rollout", "r1"], env=f.env(FLIP_LEDGER=ledger_url), capture_output=True, text=True, timeout=60
    )
    run = f.run("--esco", "ESCO_A", **env)
    assert (refused.returncode, run.status, f.sim.requests("PUT")) == (1, 2, 1)
    said = f"newer than this release's {VERSION}"
    assert said in refused.stderr and any(said in r["event"] for r in run.records if r["level"] == "error")


@pytest.mark.parametrize("wait, status", [("30", 0), ("1", 12)], ids=["comes-back", "stays-away"])
def test_a_shard_started_while_its_ledger_is_down_waits_for_it(
    fleet: Any, outage_cluster: Cluster, outage_url: str, wait: str, status: int
) -> None:
    f = fleet([meter(n) for n in range(1, 21)])
    env = {"FLIP_LEDGER": outage_url, "FLIP_ROLLOUT": "r1", "FLIP_LEDGER_WAIT": wait}
    outage_cluster.halt()
    job = JobProcess(f, [], **env, FLIP_SHARD_COUNT="2", FLIP_SHARD_INDEX="0")
    try:
        job.wait_for(lambda records: any("ledger cannot be reached" in str(r.get("event")) for r in records))
        if status == 0:
            outage_cluster.resume()
        assert job.end()[0] == status, job.records[-3:]
    finally:
        job.kill()
    waited = job.events("The run's ledger cannot be reached")
    assert waited and all("Connection refused" in r["event"] and ADMIN_PASSWORD not in r["event"] for r in waited)
    if status == 12:
        assert f.sim.requests("PUT") == 0 and job.events("The run cannot start: its ledger was not reached within")
        return
    written = {mid for mid, n in writes(f).items() if n}
    assert written and set(writes(f).values()) <= {0, 1}
    (run,) = json.loads(tool(f, outage_url, "--format", "json").stdout)["runs"]
    assert (run["shard_index"], run["status"], run["switched_off"]) == (0, 0, len(written))


def _stalled(f: Any, quiet: float = 1.0) -> int:
    """The writes that reached the mediators once they stop coming, for ``quiet`` seconds."""
    sent, since = f.sim.requests("PUT"), time.monotonic()
    while time.monotonic() - since < quiet:
        time.sleep(0.1)
        if (now := f.sim.requests("PUT")) != sent:
            sent, since = now, time.monotonic()
    return sent


@pytest.mark.parametrize("case", ["comes-back", "killed", "gives-up"])
def test_writes_wait_for_a_ledger_that_is_down_and_a_kill_then_repeats_at_most_the_backlog(
    fleet: Any, outage_cluster: Cluster, outage_url: str, case: str
) -> None:
    backlog, count = 5, 200
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.05)) for n in range(1, count + 1)])
    env = {"FLIP_LEDGER": outage_url, "FLIP_ROLLOUT": "r1", "FLIP_LEDGER_BACKLOG": str(backlog)}
    job = JobProcess(f, [], **env, FLIP_LEDGER_WAIT="2" if case == "gives-up" else "30")
    try:
        job.wait_for(flipped(20))
        outage_cluster.halt()
        sent = _stalled(f)
        assert sent < count and job.events("The run's ledger failed")
        if case == "killed":
            job.kill()
        if case != "gives-up":
            outage_cluster.resume()
        status, _ = job.end()
    finally:
        job.kill()
    if case == "gives-up":
        assert status == 12 and job.events("Stopping: the run's ledger could not be written for 2 s")
        refused = [
            r for r in job.events("Mediator client failure") if "(its ledger could not be written)" in r["error"]
        ]
        assert len(refused) == count - sent and f.sim.requests("PUT") == sent
        return
    if case == "comes-back":
        assert status == 0 and job.events("The run's ledger is written again")
        assert set(writes(f).values()) == {1}
        return
    # Nothing came back of the outage but what the ledger had committed before it.
    kept = sum(
        m["switched_off_at"] is not None for m in json.loads(tool(f, outage_url, "--format", "json").stdout)["meters"]
    )
    assert sent - kept <= backlog + WORKERS
    resumed = f.run("--esco", "ESCO_A", **env)
    assert resumed.status == 0 and set(writes(f).values()) == {1}
    # Sent again under the same keys: the service answered them from its record, writing nothing.
    assert sum(f.sim.repeated(m.meter_id) for m in f.meters) == sent - kept


REFUSE_SWITCHED_OFF = {
    "sqlite": [
        f"CREATE TRIGGER refuse_{verb} BEFORE {verb} ON flip_meter_outcomes WHEN NEW.outcome = 'switched_off' "
        "BEGIN SELECT RAISE(ABORT, 'switched off refused'); END"
        for verb in ("INSERT", "UPDATE")
    ],
    "postgresql": [
        "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
        "$$ BEGIN IF NEW.outcome = 'switched_off' THEN RAISE 'switched off refused'; END IF; RETURN NEW; END $$",
        "CREATE TRIGGER refuse BEFORE INSERT OR UPDATE ON flip_meter_outcomes FOR EACH ROW EXECUTE FUNCTION refuse()",
    ],
}


def test_a_run_whose_outcomes_the_ledger_refuses_ends_12_and_the_tool_tells_it_from_a_killed_one(
    fleet: Any, ledger_url: str
) -> None:
    f = fleet([meter(n) for n in range(1, 4)] + [meter(4, behaviour=MeterBehaviour(hang=True))])
    env = {"FLIP_LEDGER": ledger_url, "FLIP_ROLLOUT": "r1"}
    killed = JobProcess(f, [], **env, PREPAY_DISABLED_METER_NAMES="A-004")
    try:
        killed.wait_for(lambda records: any(r.get("event") == "run_job" for r in records))
    finally:
        killed.kill()
    for statement in REFUSE_SWITCHED_OFF[ledger_url.partition(":")[0]]:
        _execute(ledger_url, statement)
    run = f.run("--esco", "ESCO_A", **env, PREPAY_DISABLED_METER_NAMES="A-001,A-002,A-003")
    assert run.status == 12 and [f.sim.writes(m.meter_id) for m in f.meters] == [1, 1, 1, 0]
    (incomplete,) = run.events("The ledger of rollout r1 is incomplete")
    assert (incomplete["status"], incomplete["run_status"]) == (12, 0)
    table = tool(f, ledger_url).stdout.splitlines()
    assert "(no end: killed, or its ledger out of reach)" in table[-2]
    assert table[-1].endswith("ended 12: its last outcomes were not saved")


def test_a_ledger_busy_past_its_statement_time_out_is_waited_for_not_refused(pg_cluster: Any) -> None:
    # Eight shards resuming a million names take their claims in turn under one lock: the
    # last may wait past the statement time-out, which must read as a busy ledger (status
    # 12 after the wait, retried by the Indexed Job), not as a wrong setting (2, FailJob).
    from vaxo_ortane.launcher.ledger.backends import open_ledger
    from vaxo_ortane.launcher.ledger.postgres import SCHEMA_LOCK
    from vaxo_ortane.launcher.ledger.store import LedgerError, RunStart

    url = pg_cluster.owned_database("ledger_busy", PASSWORD)
    ledger = open_ledger(url)
    with pg_cluster.admin("ledger_busy") as holder:
        holder.execute("SELECT pg_advisory_lock(%s)", (SCHEMA_LOCK,))
        ledger._conn.execute("SET statement_timeout = 300")  # the 15 s one, shortened
        with pytest.raises(LedgerError) as refused:
            ledger.begin(RunStart("run-1", "r1", 0, 8, time.time()), ["A-001"])
    assert refused.value.unreachable and PASSWORD not in str(refused.value)
    ledger.close()
