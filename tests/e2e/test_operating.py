"""The plan, the failure threshold, the report and the metrics, on real processes."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import signal
import subprocess
import time
import urllib.request
from collections.abc import Iterator
from datetime import datetime, timedelta
from pathlib import Path
from typing import Any

import pytest

from job_runner import SCRIPT, SUMMARY, meter, skip_unless_built
from pg_cluster import free_port
from servers import unavailable
from test_stopping import JobProcess, has_event
from vaxo_ortane.mediator.sample_fleet import SampleMeter, write_inventory
from vaxo_ortane.mediator.sim import MeterBehaviour

pytestmark = skip_unless_built

PLAN = SCRIPT.with_name("prepay-enabled-flip-plan")
OUTCOMES = ("prepay disabled", "Mediator client failure", "No mediator container")
THRESHOLD_REFUSAL = "not attempted because the job is stopping (the failure threshold was crossed)"
PLAN_FLEET = [meter(n) for n in range(1, 4)] + [
    meter(4, prepay_enabled=False),
    meter(5, prepay_enabled=None),
    meter(6, has_mediator=False),
    SampleMeter(id=7, name="B-007", meter_id="MTR-B7", serial="SN-B7", esco="ESCO_B"),
    SampleMeter(id=8, name="A-001", meter_id="MTR-DUP", serial="SN-DUP", esco="ESCO_A"),
    meter(9, behaviour=MeterBehaviour(hang=True)),  # a write would hang: the plan's reads must not
]


def plan(f: Any, *args: str, **env: str | None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(PLAN), *args], env=f.env(**env), capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize(
    "listed, status",
    [
        (
            "A-002=switch_off, K-0O4=not_found, A-003=switch_off, k-008=not_found, A-004=already_off,"
            " A-005=unknown, A-006=no_mediator, B-007=other_esco, A-001=duplicate, A-009=switch_off",
            4,
        ),
        ("A-002=switch_off,A-003=switch_off,A-004=already_off,A-002=switch_off", 0),
    ],
    ids=["every-kind", "all-fine"],
)
@pytest.mark.parametrize("registry", ["sqlite", "postgresql"])
def test_plan_names_every_listed_name_reads_mediators_and_never_writes(
    fleet: Any, request: pytest.FixtureRequest, listed: str, status: int, registry: str
) -> None:
    # Each listed name comes with the kind the plan gives it.
    pairs = [item.split("=") for item in listed.split(",")]
    kinds = {name.strip(): kind for name, kind in pairs}
    f = fleet(PLAN_FLEET)
    env: dict[str, str | None] = {"PREPAY_DISABLED_METER_NAMES": ",".join(name for name, _ in pairs)}
    if registry == "postgresql":  # the plan's query without the run's filter, on the database itself
        f.registry.unlink()
        registry_rows = [(m.id, m.name, m.meter_id, m.serial, m.esco, m.prepay_enabled) for m in PLAN_FLEET]
        env["SUPABASE_URL"] = request.getfixturevalue("pg_cluster").create_registry("plan", registry_rows)
    shown = plan(f, "--esco", "ESCO_A", "--read-mediators", "--format", "json", **env)
    assert shown.returncode == status, shown.stderr
    meters = json.loads(shown.stdout)["meters"]
    assert {m["name"]: m["kind"] for m in meters} == kinds and len(meters) == len(kinds)
    reads = [m for m in meters if m["kind"] == "switch_off"]
    assert all(m["current"] == "on" and m["mediator_address"] == f.sim.address for m in reads)
    assert (f.sim.requests("PUT"), f.sim.requests("GET")) == (0, len(reads))
    assert shown.stderr.startswith(f"{len(kinds)} names: {len(reads)} would switch off,")

    table = plan(f, "--esco", "ESCO_A", **env)
    assert table.returncode == status
    assert all(name in table.stdout for name in kinds) and "not in the registry" in table.stdout
    lines = plan(f, "--esco", "ESCO_A", "--format", "csv", **env).stdout.splitlines()
    assert lines[0].startswith("name,plan,") and len(lines) == len(kinds) + 1
    assert f.sim.requests("PUT") == 0


def test_threshold_stops_a_fleet_wide_outage_soon_with_every_outcome_logged(fleet: Any, tmp_path: Path) -> None:
    f = fleet([meter(n) for n in range(1, 1001)])
    write_inventory(f.inventory, f.meters, {"ESCO_A": f"http://127.0.0.1:{free_port()}"})  # nobody listens there
    report = tmp_path / "run.json"
    run = f.run("--esco", "ESCO_A", FLIP_MAX_FAILURES="10", FLIP_REPORT=str(report))
    assert run.status == 11, run.stderr[-2000:]
    (stopping,) = run.events("Stopping: the failure threshold was crossed")
    assert (stopping["max_failures"], stopping["failures"], stopping["selected"]) == ("10", 10, 1000)
    tenth, ended = run.events("Mediator client failure")[9]["timestamp"], run.records[-1]["timestamp"]
    assert datetime.fromisoformat(ended) - datetime.fromisoformat(tenth) < timedelta(seconds=3)
    outcomes = [r for r in run.records if str(r["event"]).startswith(OUTCOMES)]
    assert sorted(r["meter_id"] for r in outcomes) == sorted(m.meter_id for m in f.meters)
    refused = [r for r in outcomes if THRESHOLD_REFUSAL in r["error"]]
    assert len(refused) >= 980
    assert run.events("Stopped as the failure threshold was crossed: exit status 11")
    document = json.loads(report.read_text())
    assert document["exit_status"] == 11 and document["counts"]["failed"] == 1000
    assert document["counts"]["failed_by_cause"]["stopped"] == len(refused)
    assert len(report.with_suffix(".rerun").read_text().splitlines()) == 1000


def test_signal_after_a_threshold_stop_still_stops_as_a_signal(fleet: Any, tmp_path: Path) -> None:
    failing, slow = MeterBehaviour(fail_status=503, latency=0.3), MeterBehaviour(latency=2)
    f = fleet([meter(n, behaviour=failing if n < 4 else slow) for n in range(1, 40)])
    job = JobProcess(f, [], FLIP_MAX_FAILURES="3", FLIP_REPORT=str(tmp_path / "run.json"), MEDIATOR_RETRIES="0")
    try:
        job.wait_for(has_event("Stopping: the failure threshold was crossed"))
        job.send(signal.SIGTERM)  # writes of 2 s are still in flight
        status, _ = job.end()
    finally:
        job.kill()
    assert status == 128 + signal.SIGTERM
    assert job.events("Stopping on SIGTERM") and job.events("Stopped on SIGTERM: exit status 143")
    assert json.loads((tmp_path / "run.json").read_text())["stopped_by"] == "SIGTERM"


def test_report_rerun_list_runs_as_it_is(fleet: Any, tmp_path: Path) -> None:
    # Two meters fail once (their mediator answers 503, then works), one has no mediator,
    # one is already off and so never selected.
    flaky = MeterBehaviour(fail_status=503, fail_times=1)
    odd = [meter(8, has_mediator=False), meter(9, prepay_enabled=False)]
    f = fleet([meter(n) for n in range(1, 6)] + [meter(n, behaviour=flaky) for n in (6, 7)] + odd)
    report = tmp_path / "reports" / "first.json"
    report.parent.mkdir()
    first = f.run("--esco", "ESCO_A", FLIP_REPORT=str(report), MEDIATOR_RETRIES="0", LOG_LEVEL="error")
    assert first.status == 0 and not first.events(SUMMARY)  # info records dropped, outcomes still known
    document = json.loads(report.read_text())
    counts = {"selected": 8, "switched_off": 5, "already_off": 0, "accepted": 0, "failed": 3, "not_run": 0}
    causes = {"refused_by_head_end": 0, "unconfirmed": 0, "not_applied": 0}
    assert document["counts"] == counts | {
        "failed_by_cause": {"mediator": 2, "no_mediator": 1, "error": 0, "stopped": 0} | causes
    }
    by_name = {m["name"]: m for m in document["meters"]}
    assert by_name["A-006"]["outcome"] == "failed" and "HTTP 503" in by_name["A-006"]["detail"]
    switched_off = {"name": "A-001", "id": 1, "meter_id": "MTR-0001", "serial": "SN-1001", "outcome": "switched_off"}
    # The address is the simulator's, not compared; the value before is the registry's.
    unset = dict.fromkeys(["cause", "detail", "mediator_address", "request_id"]) | {"value_before": True}
    assert by_name["A-001"] | {"mediator_address": None} == switched_off | unset
    rerun = Path(document["rerun_file"])
    assert rerun == report.with_suffix(".rerun") and rerun.read_text() == "A-006\nA-007\nA-008\n"

    names_file = {"PREPAY_DISABLED_METER_NAMES": None, "PREPAY_DISABLED_METER_NAMES_FILE": str(rerun)}
    again = f.run("--esco", "ESCO_A", FLIP_REPORT=str(report), **names_file)
    assert again.status == 0 and again.summary == "2/3"
    assert f.sim.value("MTR-0006") is False and f.sim.value("MTR-0007") is False
    assert rerun.read_text() == "A-008\n"
    assert sorted(os.listdir(report.parent)) == ["first.json", "first.rerun"]  # no temporary file left


@pytest.fixture
def pushgateway() -> Iterator[str]:
    binary = shutil.which("prometheus-pushgateway")
    if binary is None:
        unavailable("prometheus-pushgateway not found; install Debian's prometheus-pushgateway, as .ci/run does")
    url = f"http://127.0.0.1:{free_port()}"
    # An empty persistence file keeps the metrics in memory only.
    command = [binary, f"--web.listen-address={url.removeprefix('http://')}", "--persistence.file="]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 20
        while True:
            with contextlib.suppress(OSError):
                urllib.request.urlopen(f"{url}/-/ready", timeout=1).close()
                break
            assert time.monotonic() < deadline and process.poll() is None, "the Pushgateway did not start"
            time.sleep(0.1)
        yield url
    finally:
        process.terminate()
        process.wait(timeout=10)


def test_pushgateway_shows_the_runs_counts_and_a_failed_push_changes_nothing(fleet: Any, pushgateway: str) -> None:
    f = fleet([meter(n) for n in range(1, 5)] + [meter(5, behaviour=MeterBehaviour(fail_status=503))])
    # A user and password in the address go as basic auth, which this Pushgateway ignores.
    run = f.run("--esco", "ESCO_A", PUSHGATEWAY_URL=pushgateway.replace("//", "//flip:pw@"), MEDIATOR_RETRIES="0")
    assert run.status == 0 and not [r for r in run.records if r["level"] == "error" and "metrics" in r["event"]]
    text = urllib.request.urlopen(f"{pushgateway}/metrics", timeout=5).read().decode()
    lines = [line.rsplit(" ", 1) for line in text.splitlines() if line.startswith("prepay_enabled_flip_")]
    samples = {name: float(value) for name, value in lines}
    group = 'esco="ESCO_A",instance="",job="prepay_enabled_flip",shard=""'
    assert samples[f"prepay_enabled_flip_meters_selected{{{group}}}"] == 5
    assert samples[f"prepay_enabled_flip_meters_switched_off{{{group}}}"] == 4
    assert samples[f'prepay_enabled_flip_meters_failed{{cause="mediator",{group}}}'] == 1
    assert samples[f"prepay_enabled_flip_last_completed_timestamp_seconds{{{group}}}"] > time.time() - 60
    assert f"prepay_enabled_flip_last_success_timestamp_seconds{{{group}}}" not in samples

    failed_push = f.run("--esco", "ESCO_A", PUSHGATEWAY_URL=f"http://127.0.0.1:{free_port()}", MEDIATOR_RETRIES="0")
    assert failed_push.status == 0 and failed_push.events("The run's metrics could not be pushed")


@pytest.mark.parametrize("given, named", [("run.json", "run.shard-{i}-of-2{ext}"), ("run", "run-shard-{i}-of-2{ext}")])
def test_shards_given_one_report_path_each_write_their_own_pair(
    fleet: Any, tmp_path: Path, given: str, named: str
) -> None:
    f = fleet([meter(n, has_mediator=n % 3 != 0) for n in range(1, 13)])
    folder = tmp_path / "reports"
    folder.mkdir()
    env = {"FLIP_REPORT": str(folder / given), "FLIP_SHARD_COUNT": "2"}
    jobs = [JobProcess(f, [], **env, FLIP_SHARD_INDEX=str(i)) for i in range(2)]
    try:
        assert [job.end()[0] for job in jobs] == [0, 0]
    finally:
        for job in jobs:
            job.kill()
    reports = [folder / named.format(i=i, ext=".json" if "." in given else "") for i in range(2)]
    reruns = [folder / (named.format(i=i, ext="") + ".rerun") for i in range(2)]
    assert sorted(os.listdir(folder)) == sorted(p.name for p in reports + reruns)
    documents = [json.loads(path.read_text()) for path in reports]
    assert [d["shard"]["index"] for d in documents] == [0, 1]
    names = [{m["name"] for m in d["meters"]} for d in documents]
    assert names[0].isdisjoint(names[1]) and names[0] | names[1] == {m.name for m in f.meters}
    for document, rerun, shard_names in zip(documents, reruns, names, strict=True):
        assert document["rerun_file"] == str(rerun)
        assert set(rerun.read_text().split()) == {n for n in shard_names if int(n[2:]) % 3 == 0}
