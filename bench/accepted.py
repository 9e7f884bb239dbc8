"""Accepted writes confirmed beside the workers: an asynchronous fleet against ``vaxo-mediator-sim``.

N = 2,000 meters whose mediator takes 20 ms to answer each write with 202 and applies
it 2 s later. The five workers must go on to the next meters while the confirmer
polls the accepted requests, so the run may take the synchronous floor, ceil(N/5) x L,
plus the 2 s that the last write takes to apply, and 10 % more: (floor + 2 s) x 1.1.
(Held to floor x 1.1 + 2 s instead, the line says so too.)
The synchronous fleet (200 at once, the same latency) runs in turns with it, as a
reference; figures are medians over the rounds.

    python bench/accepted.py [--rounds 5] [--quick]
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _fleet import Fleet, floor_seconds, rounds_and_count
from vaxo_ortane.mediator.sim import MeterBehaviour

LATENCY = 0.020
APPLY_AFTER = 2.0


def main() -> None:
    rounds, count = rounds_and_count(__doc__ or "", rounds=5, count=2_000, quick=200)
    floor = floor_seconds(count, LATENCY)
    target = (floor + APPLY_AFTER) * 1.10
    stricter = floor * 1.10 + APPLY_AFTER
    accepting = MeterBehaviour(accept=True, apply_after=APPLY_AFTER)
    walls: dict[str, list[float]] = {"synchronous": [], "accepted": []}
    cpu: dict[str, list[float]] = {"synchronous": [], "accepted": []}
    with tempfile.TemporaryDirectory(prefix="bench-accepted-") as tmp:
        folder = Path(tmp)
        with (
            Fleet(folder / "sync", count, LATENCY) as synchronous,
            Fleet(folder / "accepted", count, LATENCY, behaviour=accepting) as accepted,
        ):
            for _ in range(rounds):
                for label, fleet in (("synchronous", synchronous), ("accepted", accepted)):
                    run = fleet.run_job()
                    walls[label].append(run.seconds)
                    cpu[label].append(run.cpu_us_per_meter)
    print(f"N = {count}, L = {LATENCY * 1e3:g} ms a write, applied {APPLY_AFTER:g} s after acceptance; {rounds} rounds")
    print(f"  floor ceil(N/5)*L           {floor:8.3f} s")
    for label in walls:
        print(
            f"  {label:<12} wall median {statistics.median(walls[label]):8.3f} s (best {min(walls[label]):.3f}), "
            f"CPU {statistics.median(cpu[label]):6.0f} us a meter"
        )
    wall = statistics.median(walls["accepted"])
    met = "met" if wall <= target else "NOT met"
    also = "met" if wall <= stricter else "NOT met"
    print(
        f"  target (floor + {APPLY_AFTER:g} s) * 1.1   {target:8.3f} s: {met} (accepted median {wall:.3f} s; "
        f"floor * 1.1 + {APPLY_AFTER:g} s = {stricter:.3f} s: {also})"
    )


if __name__ == "__main__":
    main()
