"""Stopping a large run: SIGTERM to a job with N meters queued.

N meters behind ``vaxo-mediator-sim`` (its own process), every write taking L.
Once the first meters are switched off the job gets SIGTERM. Printed: the time
from the signal to the process's end (seen by the parent), and from the job's own
records, how long its writes in flight held the queue after the "Stopping" record,
the time from the first refused meter's record to the last (failing the queue) and
on to the summary; the exit status; the mediator's writes
against the summary's count. The job runs with the default ``MEDIATOR_*``
settings, whose bound for one write is printed beside the figures.

    python bench/stop.py [--meters N] [--latency SECONDS]
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _fleet import BIN, ESCO, SUMMARY, Fleet
from vaxo_ortane.mediator.client import MAX_PAUSE, MediatorSettings

REFUSED = "not attempted because the job is stopping"


def write_bound(settings: MediatorSettings) -> float:
    pauses = sum(min(settings.backoff * 2.0**attempt, MAX_PAUSE) for attempt in range(settings.retries))
    return (settings.retries + 1) * (settings.connect_timeout + settings.read_timeout) + pauses


def stamp(record: dict[str, object]) -> float:
    return datetime.fromisoformat(str(record["timestamp"])).timestamp()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--meters", type=int, default=10_000)
    parser.add_argument("--latency", type=float, default=0.5, help="seconds per write (default 0.5)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench-stop-") as tmp, Fleet(Path(tmp), args.meters, args.latency) as fleet:
        log = fleet.folder / "job.log"
        with log.open("w") as err:
            process = subprocess.Popen(
                [str(BIN / "prepay-enabled-flip"), "--esco", ESCO],
                env=fleet.env(),
                stdout=subprocess.DEVNULL,
                stderr=err,
            )
            while '"prepay disabled"' not in log.read_text():
                if process.poll() is not None:
                    raise RuntimeError(f"the job ended before its first write; see {log}")
                time.sleep(0.01)
            sent = time.perf_counter()
            process.send_signal(signal.SIGTERM)
            _, wait_status, usage = os.wait4(process.pid, 0)
            to_exit = time.perf_counter() - sent
        status = os.waitstatus_to_exitcode(wait_status)

        records = [json.loads(line) for line in log.read_text().splitlines() if line.startswith("{")]
        stopping = next(r for r in records if str(r["event"]).startswith("Stopping on"))
        refused = [r for r in records if REFUSED in str(r.get("error", ""))]
        done = sum(r["event"] == "prepay disabled" for r in records)
        summary = next(str(r["event"]) for r in records if str(r["event"]).startswith(SUMMARY))

    print(f"N = {args.meters}, L = {args.latency * 1e3:g} ms, SIGTERM after the first write")
    print(f"  exit status                       {status}")
    print(f"  switched off / refused            {done} / {len(refused)}   (summary {summary.removeprefix(SUMMARY)})")
    first, last = stamp(refused[0]), stamp(refused[-1])
    summary_at = stamp(next(r for r in records if str(r["event"]).startswith(SUMMARY)))
    print(f"  signal -> process end             {to_exit:8.3f} s   (parent's clock)")
    print(f"  stop record -> first refusal      {first - stamp(stopping):8.3f} s   (a worker's write in flight ends)")
    print(
        f"  first -> last refusal             {last - first:8.3f} s   "
        f"({(last - first) / max(len(refused) - 1, 1) * 1e6:.0f} us per queued meter)"
    )
    print(f"  last refusal -> summary           {summary_at - last:8.3f} s")
    print(f"  one write's bound (defaults)      {write_bound(MediatorSettings()):8.3f} s")
    print(f"  job CPU in all                    {usage.ru_utime + usage.ru_stime:8.3f} s")


if __name__ == "__main__":
    main()
