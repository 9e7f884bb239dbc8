"""SIGTERM, SIGINT and SIGHUP sent to the real job process: the run stops soon, every
selected meter still gets its outcome record, and no queued meter reaches its mediator."""

from __future__ import annotations

import json
import os
import signal
import sqlite3
import subprocess
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

from job_runner import SCRIPT, SUMMARY, Fleet, meter, skip_unless_built
from vaxo_ortane.launcher.run.signals import SAME_REQUEST
from vaxo_ortane.mediator.sim import MeterBehaviour

pytestmark = skip_unless_built

STOP_SIGNALS = [signal.SIGTERM, signal.SIGINT, signal.SIGHUP]
OUTCOMES = ("prepay disabled", "Mediator client failure", "Unknown failure", "No mediator container")
# One write's bound with these settings: (retries + 1) x (connect + read), no pauses.
WRITE_SETTINGS = {"MEDIATOR_CONNECT_TIMEOUT": "0.5", "MEDIATOR_READ_TIMEOUT": "1.5", "MEDIATOR_RETRIES": "0"}
WRITE_BOUND = 2.0
# Failing the queued meters and ending the process, on a loaded two-core machine.
WIND_DOWN = 1.5
WAIT = 30.0


class JobProcess:
    """The job as its own process, its records read as they are written."""

    def __init__(
        self,
        fleet: Fleet,
        argv_prefix: list[str],
        program: Path = SCRIPT,
        args: tuple[str, ...] = ("--esco", "ESCO_A"),
        **env: str | None,
    ) -> None:
        self.records: list[dict[str, Any]] = []
        self._changed = threading.Condition()
        self.process = subprocess.Popen(
            [*argv_prefix, str(program), *args],
            env=fleet.env(**env),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            try:
                record = json.loads(line)
            except ValueError:
                record = {"event": None, "text": line}  # a traceback: kept for the failure message
            with self._changed:
                self.records.append(record)
                self._changed.notify_all()

    def wait_for(self, found: Callable[[list[dict[str, Any]]], bool]) -> None:
        with self._changed:
            if not self._changed.wait_for(lambda: found(self.records), timeout=WAIT):
                raise AssertionError(f"the job never wrote the awaited record: {self.records[-3:]}")

    def wait_until_open(self, path: Path) -> None:
        """Wait until the process holds ``path`` open."""
        fds = Path(f"/proc/{self.process.pid}/fd")
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            try:
                if any(os.readlink(fd) == str(path) for fd in fds.iterdir()):
                    return
            except FileNotFoundError:
                pass  # a descriptor closed while being read
            time.sleep(0.01)
        raise AssertionError(f"the job never opened {path}")

    def send(self, signum: int) -> float:
        self.process.send_signal(signum)
        return time.monotonic()

    def end(self) -> tuple[int, float]:
        """The exit status, and the moment the process was seen to end."""
        status = self.process.wait(timeout=WAIT)
        ended = time.monotonic()
        self._reader.join(timeout=WAIT)
        return status, ended

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._reader.join(timeout=WAIT)
        assert self.process.stderr is not None
        self.process.stderr.close()

    def events(self, prefix: str) -> list[dict[str, Any]]:
        return [r for r in self.records if str(r.get("event", "")).startswith(prefix)]


@pytest.fixture
def launch() -> Iterator[Callable[..., JobProcess]]:
    started: list[JobProcess] = []

    def make(f: Fleet, argv_prefix: list[str] | None = None, **env: str) -> JobProcess:
        job = JobProcess(f, argv_prefix or [], **WRITE_SETTINGS | env)
        started.append(job)
        return job

    yield make
    for job in started:
        job.kill()


def flipped(count: int) -> Callable[[list[dict[str, Any]]], bool]:
    return lambda records: sum(r.get("event") == "prepay disabled" for r in records) >= count


def has_event(prefix: str) -> Callable[[list[dict[str, Any]]], bool]:
    return lambda records: any(str(r.get("event", "")).startswith(prefix) for r in records)


def assert_every_outcome_logged_once(
    f: Fleet, job: JobProcess, signum: signal.Signals, selected: list[Any] | None = None
) -> tuple[int, int]:
    """Every selected meter has one outcome; a refused one never reached its mediator.

    Returns how many meters were switched off and how many were refused.
    """
    outcomes = [r for r in job.records if str(r.get("event", "")).startswith(OUTCOMES)]
    selected = f.meters if selected is None else selected
    assert sorted(r["meter_id"] for r in outcomes) == sorted(m.meter_id for m in selected)
    refused = 0
    for record in outcomes:
        writes = f.sim.writes(record["meter_id"])
        if record["event"] == "prepay disabled":
            assert writes == 1 and f.sim.value(record["meter_id"]) is False
        else:
            assert record["event"] == "Mediator client failure", record
            assert record["error"].startswith("MediatorClientException: ")
            assert f"not attempted because the job is stopping ({signum.name})" in record["error"]
            assert writes == 0, f"a refused meter reached its mediator: {record['meter_id']}"
            refused += 1
    return len(outcomes) - refused, refused


@pytest.mark.parametrize("signum", STOP_SIGNALS, ids=lambda s: s.name)
def test_signal_mid_run_ends_soon_with_every_meter_accounted_for(
    fleet: Any, launch: Any, signum: signal.Signals
) -> None:
    # 100 meters at 0.4 s a write on five workers: 8 s of work, far longer than the bound.
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.4)) for n in range(1, 101)])
    job = launch(f)
    job.wait_for(flipped(5))
    sent = job.send(signum)
    status, ended = job.end()

    assert status == 128 + signum, job.records[-3:]
    assert ended - sent < WRITE_BOUND + WIND_DOWN
    done, refused = assert_every_outcome_logged_once(f, job, signum)
    assert refused > 50, "the signal came early in the run: most meters were still queued"
    written = sum(f.sim.writes(m.meter_id) for m in f.meters)
    (summary,) = job.events(SUMMARY)
    assert summary["event"] == f"{SUMMARY}{written}/100" and written == done
    (stopping,) = job.events(f"Stopping on {signum.name}")
    (stopped,) = job.events("Stopped on")
    assert stopping["signal"] == stopped["signal"] == signum.name
    assert (stopped["status"], stopped["run_status"]) == (128 + signum, 0)
    assert job.records.index(stopping) < job.records.index(summary) < job.records.index(stopped)


@pytest.mark.parametrize(
    "first, second",
    [
        (signal.SIGTERM, signal.SIGTERM),
        (signal.SIGINT, signal.SIGINT),
        (signal.SIGINT, signal.SIGTERM),
    ],
    ids=lambda s: s.name,
)
def test_second_signal_ends_the_process_at_once(
    fleet: Any, launch: Any, first: signal.Signals, second: signal.Signals
) -> None:
    # Writes that take 20 s: only exiting at once ends the process within the wait.
    slow = MeterBehaviour(latency=20)
    f = fleet([meter(1)] + [meter(n, behaviour=slow) for n in range(2, 20)])
    job = launch(f, MEDIATOR_READ_TIMEOUT="25")
    job.wait_for(flipped(1))
    while f.sim.requests("PUT") < 5 and job.process.poll() is None:  # four slow writes in flight, or the run ends first
        time.sleep(0.01)
    job.send(first)
    job.wait_for(has_event("Stopping on"))
    time.sleep(SAME_REQUEST)  # sooner, it repeats the first
    sent = job.send(second)
    status, ended = job.end()

    assert status == 128 + second
    assert ended - sent < WIND_DOWN
    assert job.records[-1]["event"].startswith(f"Exiting at once on {second.name}")
    assert not job.events(SUMMARY) and not job.events("Stopped on")
    assert sum(f.sim.writes(m.meter_id) for m in f.meters) == 1


@pytest.mark.parametrize("signum", STOP_SIGNALS, ids=lambda s: s.name)
@pytest.mark.parametrize(
    "names, run_status",
    [
        ("A-001, A-002, A-003, A-004, A-005", 0),
        ("A-006, NOT-A-METER", 10),  # A-006 is already off: the query selects nothing
    ],
    ids=["selected", "none-selected"],
)
def test_signal_before_the_registry_query_writes_nothing(
    fleet: Any, launch: Any, signum: signal.Signals, names: str, run_status: int
) -> None:
    f = fleet([meter(n) for n in range(1, 6)] + [meter(6, prepay_enabled=False)])
    # A writer holds the registry: the job waits inside SQLite, long after the
    # launcher is ready, until the writer lets go.
    holder = sqlite3.connect(f.registry, isolation_level=None)
    try:
        holder.execute("BEGIN EXCLUSIVE")
        job = launch(f, PREPAY_DISABLED_METER_NAMES=names, REGISTRY_TIMEOUT="20")
        job.wait_until_open(f.registry)
        job.send(signum)
        job.wait_for(has_event(f"Stopping on {signum.name}"))  # while the query still waits
        holder.execute("COMMIT")
        status, _ = job.end()
    finally:
        holder.close()

    assert status == 128 + signum
    assert sum(f.sim.writes(m.meter_id) for m in f.meters) == 0
    (stopped,) = job.events("Stopped on")
    assert (stopped["status"], stopped["run_status"]) == (128 + signum, run_status)
    if run_status == 0:
        assert assert_every_outcome_logged_once(f, job, signum, selected=f.meters[:5]) == (0, 5)
        assert job.events(SUMMARY)[0]["event"] == f"{SUMMARY}0/5"
    else:
        assert [r["event"] for r in job.records if r["level"] == "error"] == ["No meter found to disable"]


def test_signal_the_caller_ignores_stays_ignored(fleet: Any, launch: Any) -> None:
    # `cmd &` in a script starts the job with SIGINT ignored: a Ctrl-C at the
    # terminal is not meant for it.
    f = fleet([meter(n, behaviour=MeterBehaviour(latency=0.2)) for n in range(1, 21)])
    job = launch(f, argv_prefix=["sh", "-c", 'trap "" INT; exec "$0" "$@"'])
    job.wait_for(flipped(1))
    job.send(signal.SIGINT)
    status, _ = job.end()

    assert status == 0
    assert job.events(SUMMARY)[0]["event"] == f"{SUMMARY}20/20"
    assert not job.events("Stopping on") and not job.events("Stopped on")
