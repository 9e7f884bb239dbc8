"""The undo of a rollout against the rollout itself: N = 10,000 meters at 20 ms a write.

Each round starts a fresh simulator (every meter on), runs the rollout with an SQLite
ledger, then ``prepay-enabled-flip-undo`` of it on the same ledger; both write every
meter once on five workers, so both have the floor ceil(N/5) x L. This prints each
one's wall time against that floor and its CPU per meter (start-up included), as
medians over the rounds, with the undo's over the rollout's.

    python bench/undo.py [--rounds 3] [--quick]
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _fleet import BIN, ESCO, Fleet, JobRun, floor_seconds, rounds_and_count

LATENCY = 0.020
UNDONE = "Summary: {n:,} of {n:,} meters put back on"


def undo(fleet: Fleet, rollout: str) -> JobRun:
    argv = [str(BIN / "prepay-enabled-flip-undo"), "--rollout", rollout, "--esco", ESCO]
    return fleet.run_program(argv, UNDONE.format(n=fleet.count))


def main() -> None:
    rounds, count = rounds_and_count(__doc__ or "", rounds=3, count=10_000, quick=500)
    floor = floor_seconds(count, LATENCY)
    runs: dict[str, list[JobRun]] = {"rollout": [], "undo": []}
    with tempfile.TemporaryDirectory() as folder, Fleet(Path(folder), count, LATENCY) as fleet:
        for n in range(rounds):
            fleet.restart_sim()
            rollout = f"bench-{n}"
            fleet.extra_env = {"FLIP_LEDGER": f"sqlite://{folder}/ledger-{n}.db", "FLIP_ROLLOUT": rollout}
            runs["rollout"].append(fleet.run_job())
            runs["undo"].append(undo(fleet, rollout))
    print(f"N = {count:,}, L = {LATENCY * 1000:g} ms, SQLite ledger, {rounds} rounds; floor {floor:.1f} s")
    medians = {}
    for name, measured in runs.items():
        wall = statistics.median(run.seconds for run in measured)
        cpu = statistics.median(run.cpu_us_per_meter for run in measured)
        rss = max(run.max_rss_kib for run in measured) / 1024
        medians[name] = (wall, cpu)
        print(
            f"  {name:8} wall {wall:6.2f} s ({wall / floor:.3f}x floor)  CPU {cpu:6.0f} us a meter  peak {rss:.0f} MiB"
        )
    (wall, cpu), (wall0, cpu0) = medians["undo"], medians["rollout"]
    print(f"  undo / rollout: wall {wall / wall0:.3f}x, CPU {cpu / cpu0:.3f}x")


if __name__ == "__main__":
    main()
