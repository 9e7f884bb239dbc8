"""The write-rate budget, measured: N meters at ``FLIP_MAX_WRITES_PER_MINUTE=R``
as one run, then the same N as K shards side by side, against one mediator
service that answers at once and records when each write arrives.

Printed for each: the most writes that arrived in any 5-second window, against
what R allows there (5 R / 60, plus the bursts: at most five a process, never
more than a second's worth); the span from the first write to the last, and the
run's wall time, against the floor (N - bursts) / R.

    python bench/rollout.py [--meters 300] [--per-minute 600] [--shards 4]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _fleet import BIN, ESCO, job_env, meters
from vaxo_ortane.launcher.rollout.rate_budget import burst_of
from vaxo_ortane.mediator.sample_fleet import write_inventory, write_registry
from vaxo_ortane.mediator.sim import MediatorSim, most_within

WINDOW = 5.0


def run(folder: Path, count: int, per_minute: float, shards: int) -> None:
    fleet = meters(count, 0.0)
    registry, inventory = folder / f"registry-{shards}.db", folder / "inventory.toml"
    write_registry(registry, fleet)
    with MediatorSim({m.meter_id: m.behaviour for m in fleet}) as sim:
        write_inventory(inventory, fleet, {ESCO: sim.address})
        env = job_env(registry, inventory) | {
            "PREPAY_DISABLED_METER_NAMES": ",".join(m.name for m in fleet),
            "FLIP_MAX_WRITES_PER_MINUTE": f"{per_minute:g}",
        }
        sharding = [{"FLIP_SHARD_COUNT": str(shards), "FLIP_SHARD_INDEX": str(i)} for i in range(shards)]
        started = time.monotonic()
        processes = [
            subprocess.Popen(
                [str(BIN / "prepay-enabled-flip"), "--esco", ESCO],
                env=env | (sharding[i] if shards > 1 else {}),
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
            for i in range(shards)
        ]
        statuses = [p.wait() for p in processes]
        wall = time.monotonic() - started
        times = [when for when, method, _ in sim.arrivals() if method == "PUT"]
    if statuses != [0] * shards or len(times) != count:
        raise RuntimeError(f"the runs ended {statuses} with {len(times)} of {count} writes")
    bursts = shards * burst_of(per_minute / 60 / shards)
    allowed = WINDOW * per_minute / 60
    floor = (count - bursts) / (per_minute / 60)
    label = "one run" if shards == 1 else f"{shards} shards side by side, counted together"
    print(f"\n{label}: {count} writes at R = {per_minute:g} a minute")
    print(
        f"  most writes in any {WINDOW:g} s  {most_within(times, WINDOW):6d}   (R allows {allowed:g}, + bursts {bursts})"
    )
    print(f"  first to last write          {max(times) - min(times):6.1f} s (floor (N - bursts) / R = {floor:.1f} s)")
    print(f"  wall time                    {wall:6.1f} s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--meters", type=int, default=300)
    parser.add_argument("--per-minute", type=float, default=600.0)
    parser.add_argument("--shards", type=int, default=4)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-rollout-") as tmp:
        for shards in (1, args.shards):
            run(Path(tmp), args.meters, args.per_minute, shards)


if __name__ == "__main__":
    main()
