"""The job and its tools given what a careless or hostile user gives them: files that are not
files, signals at awkward moments, servers that never answer, names that select nothing."""

from __future__ import annotations

import base64
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from job_runner import SCRIPT, SUMMARY, meter, skip_unless_built
from test_operating import PLAN, plan
from test_stopping import JobProcess, assert_every_outcome_logged_once, has_event
from vaxo_ortane.launcher.results import metrics
from vaxo_ortane.mediator.sample_fleet import SampleMeter, write_inventory
from vaxo_ortane.mediator.sim import MeterBehaviour

pytestmark = skip_unless_built

SECRET = "hostile-secret-4e1b"


@pytest.fixture
def job_of() -> Iterator[Any]:
    started: list[JobProcess] = []
    yield lambda f, prefix, **env: started.append(JobProcess(f, prefix, **env)) or started[-1]
    for job in started:
        job.kill()


@pytest.fixture
def trickling() -> Iterator[tuple[str, list[bytes]]]:
    """A server that takes a request, then answers one byte a second for ever."""
    server, heads, stop = socket.create_server(("127.0.0.1", 0)), list[bytes](), threading.Event()

    def serve() -> None:
        with server.accept()[0] as conn:
            heads.append(conn.recv(65536))
            while not stop.wait(1):
                conn.send(b"H")

    threading.Thread(target=serve, daemon=True).start()
    yield f"127.0.0.1:{server.getsockname()[1]}", heads
    stop.set()
    server.close()


NAMES_FILE = {"PREPAY_DISABLED_METER_NAMES": None, "PREPAY_DISABLED_METER_NAMES_FILE": "{tmp}/fifo"}


def role_key_file(path: str) -> dict[str, str | None]:
    return {"TRAMU_ROLE_KEY": None, "TRAMU_ROLE_KEY_FILE": path}


@pytest.mark.parametrize(
    "command, setting, status, needle",
    [
        ("job", NAMES_FILE, 1, "PREPAY_DISABLED_METER_NAMES_FILE={tmp}/fifo is not a regular file but a FIFO"),
        ("job", role_key_file("/dev/zero"), 1, "is not a regular file but a character device"),
        ("job", role_key_file("{tmp}/big"), 1, "is larger than 65536 bytes"),
        ("job", role_key_file("{tmp}"), 1, "is not a regular file but a folder"),
        ("job", role_key_file("{tmp}/link"), 0, SUMMARY),  # links to a file, as a mounted Secret
        ("job", {"FLIP_REPORT": "{tmp}/fifo"}, 2, "exists and is not a regular file; the report never replaces one"),
        ("job", {"MEDIATOR_INVENTORY": "{tmp}/fifo"}, 1, "is not a regular file but a FIFO"),  # with a traceback
        ("prepay-enabled-flip-plan", NAMES_FILE, 1, "is not a regular file but a FIFO"),
        ("prepay-enabled-flip-shard --count 2 --file {tmp}/fifo", {}, 1, "is not a regular file but a FIFO"),
        ("vaxo-registry-load {tmp}/fifo {tmp}/new.db", {}, 1, "is not a regular file but a FIFO"),
        ("vaxo-registry-load {tmp}/key {tmp}/no/registry.db", {}, 1, "/no does not exist; create it first"),
    ],
)
def test_a_file_that_is_no_regular_file_is_refused_at_once_by_name(
    fleet: Any, tmp_path: Path, command: str, setting: dict[str, str | None], status: int, needle: str
) -> None:
    f = fleet([meter(1)])
    os.mkfifo(tmp_path / "fifo")  # no writer: reading it would block for ever
    (tmp_path / "big").write_text("k" * 70_000)
    (tmp_path / "key").write_text(f"{SECRET}\n")
    (tmp_path / "..data").symlink_to(tmp_path / "key")  # the links of a Kubernetes Secret volume
    (tmp_path / "link").symlink_to(tmp_path / "..data")
    program, *args = command.replace("{tmp}", str(tmp_path)).split() if command != "job" else ["prepay-enabled-flip"]
    env = f.env(**{k: v and v.replace("{tmp}", str(tmp_path)) for k, v in setting.items()})
    argv = [str(SCRIPT.with_name(program)), *args] + (["--esco", "ESCO_A"] if command == "job" else [])
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL)
    said = done.stdout + done.stderr
    assert done.returncode == status and needle.replace("{tmp}", str(tmp_path)) in said, said[-800:]
    assert SECRET not in said and ("Traceback" in said) == ("MEDIATOR_INVENTORY" in setting)


@pytest.mark.parametrize(
    "prefix, env, awaited, sent, status",
    [
        # Before the job starts: the shard's record comes while the settings are still read.
        ([], {"FLIP_SHARD_COUNT": "1", "FLIP_SHARD_INDEX": "0"}, "Shard 0 of 1", [signal.SIGINT], 130),
        # kill -- -PGID, 0.2 s apart: sent at once, the kernel would merge them into one.
        ([], {}, "prepay disabled", [signal.SIGTERM, 0.2, signal.SIGTERM], 143),
        (["timeout", "-k", "20", "2"], {}, "", [], 124),  # timeout's own status for the job's 143
    ],
    ids=["while-the-settings-are-read", "two-at-once", "timeout"],
)
def test_signals_early_or_together_are_one_orderly_stop(
    fleet: Any, job_of: Any, prefix: list[str], env: dict[str, str], awaited: str, sent: list[Any], status: int
) -> None:
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.4)) for n in range(1, 41)])
    job = job_of(f, prefix, **env)
    if awaited:
        job.wait_for(has_event(awaited))
    for signum in sent:
        time.sleep(signum) if isinstance(signum, float) else job.send(signum)
    assert job.end()[0] == status, job.records[-3:]
    (stopping,) = job.events("Stopping on")
    assert not job.events("Exiting at once") and job.events(SUMMARY) and job.events("Stopped on")
    done, refused = assert_every_outcome_logged_once(f, job, signal.Signals[stopping["signal"]])
    assert refused >= 10 and (done == 0 or awaited != "Shard 0 of 1")


def test_ctrl_c_ends_a_plan_reading_silent_mediators_at_once(fleet: Any) -> None:
    f = fleet([meter(n) for n in range(1, 8)])
    with socket.create_server(("127.0.0.1", 0)) as silent:
        silent.settimeout(20)
        write_inventory(f.inventory, f.meters, {"ESCO_A": "http://{}:{}".format(*silent.getsockname())})
        command = [str(PLAN), "--esco", "ESCO_A", "--read-mediators"]
        with subprocess.Popen(command, env=f.env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) as p:
            held = [silent.accept()[0] for _ in range(5)]  # five reads under way, never answered
            p.send_signal(signal.SIGINT)
            sent = time.monotonic()
            assert p.wait(10) == 130 and time.monotonic() - sent < 2
            said = p.stderr.read().decode() if p.stderr else ""
        for conn in held:
            conn.close()
    assert "interrupted; nothing was written" in said and "Traceback" not in said


# 200,000 meters: the report takes about half a second to write.
SYNTHETIC_REPORT = """
import sys; from pathlib import Path
from vaxo_ortane.launcher.results import report; from vaxo_ortane.launcher.run import signals
from vaxo_ortane.launcher.run.outcomes import MeterOutcome, Outcomes
watcher = signals.SignalWatcher(); watcher.install(); watcher.finish()  # the run has ended
outcomes = Outcomes(); outcomes.meters = [MeterOutcome({"name": f"A-{n:07d}"}, "failed", "error", "x" * 300) for n in range(200_000)]
report.write(Path(sys.argv[1]), outcomes, {})
"""


@pytest.mark.parametrize("fault", ["SIGTERM", "full disk"])
def test_a_report_cut_short_leaves_the_previous_pair_and_no_temporary_file(tmp_path: Path, fault: str) -> None:
    report, rerun = tmp_path / "run.json", tmp_path / "run.rerun"
    rerun.write_text("OLD\n")
    report.write_text("{}")
    limit = "unlimited" if fault == "SIGTERM" else "8192"  # 4 MiB: the rerun list fits, the report does not
    shell = ["sh", "-c", f'ulimit -f {limit}; trap "" XFSZ; exec "$0" -c "$1" "$2"', sys.executable]
    with subprocess.Popen([*shell, SYNTHETIC_REPORT, str(report)], stderr=subprocess.PIPE, text=True) as writer:
        if fault == "SIGTERM":
            while not any(p.name.startswith(".run.json.") for p in tmp_path.iterdir()):
                assert writer.poll() is None, "the report was never seen half written"
            writer.send_signal(signal.SIGTERM)
        assert writer.wait(30) == (143 if fault == "SIGTERM" else 1)
        assert fault == "SIGTERM" or "File too large" in (writer.stderr.read() if writer.stderr else "")
    assert sorted(os.listdir(tmp_path)) == ["run.json", "run.rerun"]
    assert (rerun.read_text(), report.read_text()) == ("OLD\n", "{}")


def test_a_trickling_pushgateway_holds_the_run_no_longer_than_the_pushs_deadline(fleet: Any, trickling: Any) -> None:
    address, heads = trickling
    run = fleet([meter(1)]).run("--esco", "ESCO_A", PUSHGATEWAY_URL=f"http://flip:{SECRET}@{address}/")
    assert run.status == 0 and run.seconds < metrics.DEADLINE + 5 and SECRET not in run.stdout + run.stderr
    # The closing summary comes after it.
    assert run.records[-2]["event"] == "The run's metrics could not be pushed: no answer within 10 s"
    assert f"Authorization: Basic {base64.b64encode(f'flip:{SECRET}'.encode()).decode()}".encode() in heads[0]


@pytest.mark.parametrize("registry", ["sqlite", "postgresql"])
def test_plan_and_run_agree_on_empty_names_and_name_what_selected_nothing(
    fleet: Any, request: pytest.FixtureRequest, registry: str
) -> None:
    unnamed = SampleMeter(id=9, name="", meter_id="MTR-NONAME", serial="SN-NONAME", esco="ESCO_A")
    meters = [meter(1), meter(2), meter(4, prepay_enabled=False), meter(5, prepay_enabled=None), unnamed]
    f = fleet(meters)
    env: dict[str, str | None] = {"PREPAY_DISABLED_METER_NAMES": "A-001,,A-002, K-0O4,A-004,A-005,"}
    if registry == "postgresql":
        rows = [(m.id, m.name, m.meter_id, m.serial, m.esco, m.prepay_enabled) for m in meters]
        env["SUPABASE_URL"] = request.getfixturevalue("pg_cluster").create_registry("unselected", rows)
    planned = plan(f, "--esco", "ESCO_A", "--format", "json", **env)
    assert "2 empty name(s) left out" in planned.stderr
    assert [m["name"] for m in json.loads(planned.stdout)["meters"]] == ["A-001", "A-002", "K-0O4", "A-004", "A-005"]
    run = f.run("--esco", "ESCO_A", FLIP_REPORT=str(f.folder / "run.json"), **env)
    assert run.status == 0 and run.summary == "2/2" and f.sim.writes("MTR-NONAME") == 0
    (told,) = run.events("3 of 5 listed names selected no meter")
    kinds = {"not_found": ["K-0O4"], "already_off": ["A-004"], "unknown": ["A-005"]}
    assert told["names"] == kinds == json.loads((f.folder / "run.json").read_text())["unselected_names"]
    assert plan(f, PREPAY_DISABLED_METER_NAMES=" ,").returncode == f.run(PREPAY_DISABLED_METER_NAMES=" ,").status == 1
