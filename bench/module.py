"""The compiled module's own cost, with collaborators that do nothing.

Prints microseconds per meter for `run` over 20,000 rows, for `run_job`, and for
constructing PrepayEnabledFlipJob and calling `update`; then, when valgrind is
installed, instructions per meter for the same work from callgrind, which stay
the same from run to run on a noisy machine.

    python bench/module.py
"""

import os
import re
import subprocess
import sys
import time
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _fakes  # noqa: E402

RUN_ROWS = 20_000
CALLS = 20_000


def workloads(count: int) -> dict[str, Callable[[], None]]:
    rows = _fakes.rows(count)
    job = _fakes.load_job(rows)
    fleet = job.PrepayEnabledFlipAllJob(esco="BENCH")
    address = "http://127.0.0.1:1"

    def run() -> None:
        fleet.run()

    def run_job() -> None:
        for row in rows:
            fleet.run_job(row)

    def flip() -> None:
        for row in rows:
            job.PrepayEnabledFlipJob(meter=row, mediator_address=address, supabase=None).update()

    return {"run": run, "run_job": run_job, "construct+update": flip}


def wall_clock() -> None:
    for name, work in workloads(RUN_ROWS).items():
        work()  # warm-up
        best = min(_timed(work) for _ in range(3))
        print(f"{name:>18}: {best / RUN_ROWS * 1e6:8.2f} us per meter  ({RUN_ROWS} meters, best of 3)")


def _timed(work: Callable[[], None]) -> float:
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def instructions(name: str, count: int) -> int:
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, __file__, "--one", name, str(count)],
        capture_output=True, text=True, check=True,
    )
    match = re.search(r"Collected : (\d+)", out.stderr)
    if match is None:
        raise RuntimeError(f"callgrind printed no total:\n{out.stderr}")
    return int(match.group(1))


def callgrind() -> None:
    small, large = 200, 2_200
    print(f"callgrind, instructions per meter (difference of {large} and {small} meters):")
    for name in ("run", "run_job", "construct+update"):
        per_meter = (instructions(name, large) - instructions(name, small)) / (large - small)
        print(f"{name:>18}: {per_meter:10.0f}")


def main() -> None:
    if sys.argv[1:2] == ["--one"]:
        workloads(int(sys.argv[3]))[sys.argv[2]]()
        return
    wall_clock()
    if subprocess.run(["which", "valgrind"], capture_output=True).returncode == 0:
        callgrind()
    else:
        print("valgrind not installed: no instruction counts")


if __name__ == "__main__":
    main()
