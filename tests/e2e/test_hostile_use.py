"""The job and its tools given what a careless or hostile user gives them: files that are not
files, signals at awkward moments, servers that never answer, names that select nothing."""

from __future__ import annotations

import base64
import hashlib
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
from vaxo_ortane.launcher import metrics
from vaxo_ortane.mediator.sample_fleet import SampleMeter, write_inventory
from vaxo_ortane.mediator.sim import MeterBehaviour

pytestmark = skip_unless_built

SECRET = "hostile-secret-4e1b"


class Loopback:
    """A server on loopback that keeps each request's head and answers ``ok`` at once,
    ``trickle`` one byte a second, or ``silent`` never."""

    def __init__(self, mode: str) -> None:
        self.mode, self.heads, self.closed = mode, list[bytes](), threading.Event()
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.address = f"127.0.0.1:{self.sock.getsockname()[1]}"
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self) -> None:
        while not self.closed.is_set():
            conn = self.sock.accept()[0]
            threading.Thread(target=self._answer, args=(conn,), daemon=True).start()

    def _answer(self, conn: socket.socket) -> None:
        with conn:
            self.heads.append(conn.recv(65536))
            if self.mode == "ok":
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
            while self.mode == "trickle" and not self.closed.wait(1):
                conn.send(b"H")
            self.closed.wait()


@pytest.fixture
def job_of() -> Iterator[Any]:
    started: list[JobProcess] = []
    yield lambda f, prefix, **env: started.append(JobProcess(f, prefix, **env)) or started[-1]
    for job in started:
        job.kill()


@pytest.fixture
def loopback() -> Iterator[Any]:
    servers: list[Loopback] = []
    yield lambda mode: servers.append(Loopback(mode)) or servers[-1]
    for server in servers:
        server.closed.set()
        server.sock.close()


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
        # kill -- -PGID: the same signal to the job and to its process group, together.
        ([], {}, "prepay disabled", [signal.SIGTERM, signal.SIGTERM], 143),
        (["timeout", "-k", "20", "2"], {}, None, [], 124),  # timeout's own status for the job's 143
    ],
    ids=["while-the-settings-are-read", "two-at-once", "timeout"],
)
def test_signals_early_or_together_are_one_orderly_stop(
    fleet: Any,
    job_of: Any,
    prefix: list[str],
    env: dict[str, str],
    awaited: str | None,
    sent: list[int],
    status: int,
) -> None:
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.4)) for n in range(1, 41)])
    job = job_of(f, prefix, **env)
    if awaited:
        job.wait_for(has_event(awaited))
    for signum in sent:
        job.send(signum)
    assert job.end()[0] == status, job.records[-3:]
    (stopping,) = job.events("Stopping on")
    assert not job.events("Exiting at once") and job.events(SUMMARY) and job.events("Stopped on")
    done, refused = assert_every_outcome_logged_once(f, job, signal.Signals[stopping["signal"]])
    assert refused >= 10 and (done == 0 or awaited != "Shard 0 of 1")


def test_ctrl_c_ends_a_plan_reading_silent_mediators_at_once(fleet: Any, loopback: Any) -> None:
    f = fleet([meter(n) for n in range(1, 8)])
    silent = loopback("silent")
    write_inventory(f.inventory, f.meters, {"ESCO_A": f"http://{silent.address}"})
    command = [str(PLAN), "--esco", "ESCO_A", "--read-mediators"]
    with subprocess.Popen(command, env=f.env(), stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True) as p:
        deadline = time.monotonic() + 20
        while len(silent.heads) < 5 and time.monotonic() < deadline:
            time.sleep(0.01)
        p.send_signal(signal.SIGINT)
        sent = time.monotonic()
        assert p.wait(10) == 130 and time.monotonic() - sent < 2
        said = p.stderr.read() if p.stderr else ""
    assert "interrupted; nothing was written" in said and "Traceback" not in said


SYNTHETIC_REPORT = """
import sys
from pathlib import Path
from vaxo_ortane.launcher import report
from vaxo_ortane.launcher.outcomes import MeterOutcome, Outcomes
from vaxo_ortane.launcher.signals import SignalWatcher

watcher = SignalWatcher()
watcher.install()
watcher.finish()  # the run has ended, as when the report is written
outcomes = Outcomes()
outcomes.meters = [MeterOutcome({"id": n, "name": f"A-{n:07d}"}, "failed", "error", "x" * 300) for n in range(200_000)]
report.write(Path(sys.argv[1]), outcomes, {})
"""


def test_a_signal_while_the_report_is_written_leaves_the_previous_pair_whole(tmp_path: Path) -> None:
    report, rerun = tmp_path / "run.json", tmp_path / "run.rerun"
    rerun.write_text("OLD-1\n")
    report.write_text(json.dumps({"rerun_sha256": hashlib.sha256(b"OLD-1\n").hexdigest()}))
    with subprocess.Popen([sys.executable, "-c", SYNTHETIC_REPORT, str(report)]) as writer:
        while not any(p.name.startswith(".run.json.") for p in tmp_path.iterdir()):
            assert writer.poll() is None, "the report was never seen half written"
        writer.send_signal(signal.SIGTERM)  # the report's temporary file is being written
        assert writer.wait(30) == 143
    assert sorted(os.listdir(tmp_path)) == ["run.json", "run.rerun"] and rerun.read_text() == "OLD-1\n"


def test_a_full_disk_leaves_the_previous_pair_whole_and_the_status_as_it_was(fleet: Any, job_of: Any) -> None:
    f = fleet([meter(n, has_mediator=False) for n in range(1, 31)])
    report, rerun = f.folder / "run.json", f.folder / "run.rerun"
    rerun.write_text("OLD-1\n")
    report.write_text("{}")
    # Files of 2 KiB at most: the rerun list fits, the report does not.
    job = job_of(f, ["sh", "-c", 'ulimit -f 4; trap "" XFSZ; exec "$0" "$@"'], FLIP_REPORT=str(report))
    assert job.end()[0] == 0
    assert "File too large" in job.records[-1]["event"] and job.events(SUMMARY)[0]["event"].endswith("0/30")
    assert sorted(os.listdir(f.folder)) == ["inventory.toml", "registry.db", "run.json", "run.rerun"]
    assert rerun.read_text() == "OLD-1\n" and report.read_text() == "{}"


@pytest.mark.parametrize("mode", ["ok", "trickle"])
def test_a_push_sends_its_credentials_as_basic_auth_and_ends_by_its_deadline(
    fleet: Any, loopback: Any, mode: str
) -> None:
    f = fleet([meter(1)])
    server = loopback(mode)
    run = f.run("--esco", "ESCO_A", PUSHGATEWAY_URL=f"http://flip:{SECRET}@{server.address}/")
    assert run.status == 0 and SECRET not in run.stdout + run.stderr
    (head,) = server.heads
    assert b"POST /metrics/job/prepay_enabled_flip/esco/ESCO_A/shard@base64/= HTTP/1.1" in head
    assert f"Authorization: Basic {base64.b64encode(f'flip:{SECRET}'.encode()).decode()}".encode() in head
    failed = [r["event"] for r in run.records if r["event"].startswith("The run's metrics could not be pushed")]
    assert failed == ([] if mode == "ok" else ["The run's metrics could not be pushed: no answer within 10 s"])
    assert run.seconds < metrics.DEADLINE + 5


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


@pytest.mark.parametrize("count", ["\u0661", "0", "1" * 5000])
def test_the_shard_tool_takes_no_count_the_job_refuses_and_reads_the_jobs_settings(count: str) -> None:
    tool = [str(SCRIPT.with_name("prepay-enabled-flip-shard")), "--summary"]
    for argv, env in ((["--count", count, "A-001"], {}), ([], {"FLIP_SHARD_COUNT": count})):
        done = subprocess.run(tool + argv, env=os.environ | env, capture_output=True, text=True)
        assert done.returncode == 2 and "FLIP_SHARD_COUNT" in done.stderr
    job_env = {"FLIP_SHARD_COUNT": "3", "PREPAY_DISABLED_METER_NAMES": "A-001,A-002,,A-003"}
    shown = subprocess.run(tool, env=os.environ | job_env, capture_output=True, text=True, check=True).stdout
    assert shown.splitlines()[0] == "shard\tnames" and sum(int(line.split()[1]) for line in shown.splitlines()[1:]) == 3
