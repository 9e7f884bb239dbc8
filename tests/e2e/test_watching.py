"""Watching a run: progress records and the closing summary on a pipe; the live
line and the closing tables on a terminal (a pseudo-terminal)."""

from __future__ import annotations

import fcntl
import io
import os
import pty
import re
import signal
import struct
import subprocess
import termios
import threading
import time
from typing import Any

import pytest

from job_runner import RUN_LIMIT, SCRIPT, SUMMARY, Fleet, meter, skip_unless_built
from vaxo_ortane.launcher.run.signals import SAME_REQUEST
from vaxo_ortane.launcher.watching.live_line import LiveLine
from vaxo_ortane.launcher.watching.progress import Snapshot, message
from vaxo_ortane.mediator.sim import MeterBehaviour

pytestmark = skip_unless_built

OUTCOMES = ("prepay disabled", "Mediator client failure", "No mediator container")
CAUSES = {"mediator": 3, "no_mediator": 1, "error": 0, "stopped": 0}
ERASE = "\x1b[2K"
STYLE = re.compile(r"\x1b\[[0-9;]*m")


def watched_fleet(fleet: Any, latency: float) -> Fleet:
    # 60 meters: three answer 503 (no retries are set), one has no mediator.
    failing = MeterBehaviour(latency=latency, fail_status=503)
    ok = MeterBehaviour(latency=latency)
    return fleet(
        [meter(n, behaviour=failing if n in (7, 8, 9) else ok) for n in range(1, 60)] + [meter(60, has_mediator=False)]
    )


@pytest.mark.parametrize("seconds", ["1", "0"])
def test_progress_records_grow_while_meters_are_worked_on_then_one_summary(fleet: Any, seconds: str) -> None:
    # 12 writes on each worker at 0.25 s: 3 s, long enough for a record each second.
    run = watched_fleet(fleet, 0.25).run("--esco", "ESCO_A", FLIP_PROGRESS_SECONDS=seconds, MEDIATOR_RETRIES="0")
    assert run.status == 0, run.stderr[-2000:]
    events = [str(r["event"]) for r in run.records]
    at = [i for i, event in enumerate(events) if event.startswith("Progress: ")]
    if seconds == "0":  # and no other setting: nothing of the launcher's is installed
        assert not at and not run.events("Summary: ")
        return
    progress = [run.records[i] for i in at]
    ended = [r["ended"] for r in progress]
    assert len(progress) >= 2 and ended == sorted(ended) and ended[0] < ended[-1] < 60
    for r in progress:
        assert r["selected"] == 60 and r["switched_off"] + r["failed"] == r["ended"]
        assert r["failed"] == sum(r["failed_by_cause"].values()) and r["rate"] > 0
        assert re.fullmatch(
            r"Progress: \d+ of 60 meters ended \(\d+ switched off, \d+ failed\), .+ a second, .+", r["event"]
        )
    assert events.index("Processing 60 meters") < at[0] and at[-1] < events.index(f"{SUMMARY}56/60")
    closing = run.records[-1]
    assert closing["event"].startswith("Summary: 56 of 60 meters switched off, 4 failed (3 mediator, 1 no_mediator)")
    assert (closing["selected"], closing["switched_off"], closing["failed"], closing["not_run"]) == (60, 56, 4, 0)
    assert closing["failed_by_cause"] == CAUSES and closing["exit_status"] == 0


class TerminalRun:
    """A command with its standard error on a pseudo-terminal of 100 columns, its output read as it comes."""

    def __init__(self, f: Fleet, argv: list[str], **env: str) -> None:
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 100, 0, 0))
        self.process = subprocess.Popen(
            argv, env=f.env(TERM="xterm-256color", **env), stdin=subprocess.DEVNULL, stdout=slave, stderr=slave
        )
        os.close(slave)
        self._master, self._output, self._changed = master, "", threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        while True:
            try:
                data = os.read(self._master, 65536)
            except OSError:  # EIO: every writer has gone
                data = b""
            with self._changed:
                self._output += data.decode(errors="replace")
                self._changed.notify_all()
            if not data:
                return

    @property
    def text(self) -> str:
        return STYLE.sub("", self._output)

    def wait_for(self, pattern: str, count: int = 1) -> None:
        with self._changed:
            assert self._changed.wait_for(lambda: len(set(re.findall(pattern, self.text))) >= count, RUN_LIMIT), (
                self.text[-2000:]
            )

    def end(self) -> int:
        status = self.process.wait(timeout=RUN_LIMIT)
        self._reader.join(timeout=RUN_LIMIT)
        os.close(self._master)
        return status


# The second signal comes a second after the first, or it would repeat the first: writes must still be in flight.
@pytest.mark.parametrize("signals, latency", [(0, 0.1), (1, 2.0), (2, 5.0)], ids=["end", "stop", "second-signal"])
def test_live_line_redraws_below_the_records_and_leaves_with_the_summary(
    fleet: Any, signals: int, latency: float
) -> None:
    f = watched_fleet(fleet, latency)
    job = TerminalRun(f, [str(SCRIPT), "--esco", "ESCO_A"], MEDIATOR_RETRIES="0")
    try:
        job.wait_for(r"(\d+)/60 ended", 2)
        for n in range(signals):
            time.sleep(SAME_REQUEST if n else 0)
            job.process.send_signal(signal.SIGINT)
            job.wait_for("Stopping on SIGINT" if n == 0 else "Exiting at once")
        status = job.end()
    finally:
        if job.process.poll() is None:
            job.process.kill()
    text = job.text
    assert status == (130 if signals else 0), text[-2000:]
    title = re.search(r"^Outcomes *\r$", text, re.MULTILINE)
    table = title.start() if title else -1
    assert (table > 0) == (signals < 2)
    assert len(set(re.findall(r"(\d+)/60 ended", text[: table if table > 0 else None]))) >= 2
    for line in re.finditer(r"\d+/60 ended", text):  # never left among the records: erased before any line break
        assert ERASE in text[line.end() :].split("\n", 1)[0]
    assert not re.search(r"^\{", text, re.MULTILINE)  # records in console layout on a terminal
    if signals == 2:
        return
    assert sum(line.split("] ", 1)[-1].startswith(OUTCOMES) for line in text.splitlines()) == 60
    rows = dict(re.findall(r"^ ([a-z][^\d\r\n]*?) +(\d+) *\r$", text[table:], re.MULTILINE))
    if signals == 0:
        assert rows == {
            "switched off": "56",
            "failed: the mediator exchange failed": "3",
            "failed: no mediator for the meter": "1",
            "failed: another error": "0",
            "failed: not sent: the run was stopping": "0",
            "selected": "60",
        }
        assert "Exit status 0: the run finished" in text[table:]
    else:
        assert int(rows["failed: not sent: the run was stopping"]) > 40 and int(rows["selected"]) == 60
        assert "Exit status 130: stopped by SIGINT" in text[table:]


def test_meters_refused_unsent_are_counted_apart_from_the_failed() -> None:
    snapshot = Snapshot(100, 10, {"mediator": 3, "stopped": 80}, 5.0, "SIGINT")
    assert "93/100 ended  10 switched off  3 failed  80 not sent" in LiveLine(io.StringIO()).render(snapshot)[0]
    assert "93 of 100 meters ended (10 switched off, 3 failed, 80 not sent)" in message(snapshot)


def test_a_narrowed_terminal_keeps_one_live_line_and_the_closing_table_shows_every_cause(fleet: Any) -> None:
    # 30 mediators refuse and 5 meters have none: each cause has a share of the failed meters' table.
    refusing = MeterBehaviour(latency=0.1, fail_status=503)
    meters = [meter(n, behaviour=refusing) if n <= 30 else meter(n, has_mediator=False) for n in range(1, 36)]
    job = TerminalRun(fleet(meters), [str(SCRIPT), "--esco", "ESCO_A"], MEDIATOR_RETRIES="0")
    try:
        job.wait_for(r"(\d+)/35 ended", 1)
        for columns in (20, 100):  # and back, for a table that reads
            fcntl.ioctl(job._master, termios.TIOCSWINSZ, struct.pack("HHHH", 40, columns, 0, 0))
            job.process.send_signal(signal.SIGWINCH)  # as the kernel does, to the terminal's foreground group
            # The line of 99 columns wraps into 5 rows at 20: the next erase goes up over 4 of them.
            job.wait_for(r"\r\x1b\[4A\x1b\[J" if columns == 20 else "Outcomes")
        status = job.end()
    finally:
        if job.process.poll() is None:
            job.process.kill()
    assert status == 0, job.text[-2000:]
    table = job.text[job.text.index("Failed meters") :]
    assert table.startswith("Failed meters: the first 10 of each cause, 15 of 35")
    causes = re.findall(r"MTR-\d+ +([a-z_]+) ", table)
    assert (causes.count("mediator"), causes.count("no_mediator")) == (10, 5), table


def test_plan_table_on_a_terminal_names_every_name(fleet: Any) -> None:
    f = fleet([meter(1), meter(2, prepay_enabled=False)])
    job = TerminalRun(
        f,
        [str(SCRIPT.with_name("prepay-enabled-flip-plan")), "--esco", "ESCO_A"],
        PREPAY_DISABLED_METER_NAMES="A-001,A-002,[b]",
    )
    assert job.end() == 4
    assert re.search(r"A-001 +would switch off", job.text) and re.search(r"A-002 +already off", job.text)
    assert re.search(r"\[b\] +not in", job.text) and "3 names: 1 would switch off, 1 already off" in job.text


@pytest.mark.parametrize(
    "selected, ended, rate, tail",
    [
        (
            10_000,
            4_000,
            12.3,
            "4,000 of 10,000 meters ended (3,950 switched off, 50 failed), 12 a second, about 8 minutes left",
        ),
        (200_000, 10, 10.0, " 10 a second, about 5.6 hours left"),
        (200, 10, 0.4, " 0.4 a second, about 8 minutes left"),
        (200, 0, 0.0, " 0 a second, time left unknown"),
        (5, 4, 2.0, " 2 a second, about 1 second left"),
    ],
)
def test_progress_message_reads_as_a_person_says_it(selected: int, ended: int, rate: float, tail: str) -> None:
    failed = min(ended, 50)
    assert message(Snapshot(selected, ended - failed, {"mediator": failed}, rate, None)).endswith(tail)
