"""A failure drill: K shards of one rollout side by side, one ledger and one write
budget between them, and a random shard SIGKILLed every 2-5 s and restarted at once,
as Kubernetes restarts a failed index. The mediator service's record of the requests
that reached it is the truth.

Printed, for each ledger:

- the most mediator requests that arrived in any 5 s and any 60 s window, against
  the bound: R / 12 + 5 and R + 5;
- the meters written more than once, against the kills: each kill may repeat its
  writes in flight (5) and the outcomes its ledger writer had not yet saved;
- the union's exactness: every listed meter switched off, none left unwritten, the
  ledger showing every one switched off, and the last attempt of every shard ended 0.

With ``--outage S`` the ledger is also taken away for S seconds once a third of the
meters are written (PostgreSQL halted; the SQLite file held locked by another
connection), the kills going on.

    python bench/drill.py [--meters 3000] [--shards 4] [--per-minute 1200]
                          [--ledger sqlite|postgresql|both] [--outage S] [--seed N]
"""

from __future__ import annotations

import argparse
import os
import random
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from _fleet import BIN, ESCO, job_env, meters
from pg_cluster import Cluster, server_bindir, start_cluster
from vaxo_ortane.launcher.ledger.backends import open_ledger
from vaxo_ortane.launcher.rollout.rate_budget import BURST_MAX
from vaxo_ortane.mediator.sample_fleet import write_inventory, write_registry
from vaxo_ortane.mediator.sim import MediatorSim, most_within

WORKERS = 5
ROLLOUT = "drill"


class Shards:
    """K shard processes, each restarted at once when it is killed or fails."""

    def __init__(self, folder: Path, env: dict[str, str], count: int) -> None:
        self.folder, self.env, self.count = folder, env, count
        self.attempts = [0] * count
        self.running: dict[int, subprocess.Popen[bytes]] = {}
        self.last_status: dict[int, int] = {}
        self.lock = threading.Lock()
        for index in range(count):
            self.start(index)

    def start(self, index: int) -> None:
        self.attempts[index] += 1
        log = self.folder / f"shard-{index}-{self.attempts[index]}.log"
        with log.open("wb") as err:
            self.running[index] = subprocess.Popen(
                [str(BIN / "prepay-enabled-flip"), "--esco", ESCO],
                env=self.env | {"FLIP_SHARD_INDEX": str(index)},
                stdout=subprocess.DEVNULL,
                stderr=err,
            )

    def reap(self) -> None:
        """Restart a shard that failed by itself (a ledger out of reach: 12), as its Job would."""
        with self.lock:
            for index, process in list(self.running.items()):
                if (status := process.poll()) is not None:
                    self.last_status[index] = status
                    del self.running[index]
                    if status != 0:
                        self.start(index)

    def kill_one(self, rng: random.Random) -> bool:
        with self.lock:
            if not self.running:
                return False
            index = rng.choice(sorted(self.running))
            process = self.running.pop(index)
            if process.poll() is not None:  # it ended just now, by itself
                self.running[index] = process
                return False
            process.kill()
            process.wait()
            self.start(index)
            return True


def drill(folder: Path, url: str, args: argparse.Namespace, outage: Callable[[], None] | None) -> None:
    folder.mkdir(parents=True)
    fleet = meters(args.meters, args.latency)
    registry, inventory = folder / "registry.db", folder / "inventory.toml"
    write_registry(registry, fleet)
    rng = random.Random(args.seed)
    with MediatorSim({m.meter_id: m.behaviour for m in fleet}) as sim:
        write_inventory(inventory, fleet, {ESCO: sim.address})
        env = job_env(registry, inventory) | {
            "PREPAY_DISABLED_METER_NAMES": ",".join(m.name for m in fleet),
            "FLIP_SHARD_COUNT": str(args.shards),
            "FLIP_LEDGER": url,
            "FLIP_ROLLOUT": ROLLOUT,
            "FLIP_MAX_WRITES_PER_MINUTE": f"{args.per_minute:g}",
            "LOG_LEVEL": "warning",  # outcomes are seen before the level drops their records
        }
        load = os.getloadavg()[0]
        started = time.monotonic()
        shards = Shards(folder, env, args.shards)
        kills, outage_thread = 0, None
        while True:
            next_kill = time.monotonic() + rng.uniform(2.0, 5.0)
            while time.monotonic() < next_kill:
                time.sleep(0.05)
                load = max(load, os.getloadavg()[0])
                shards.reap()
                if outage is not None and outage_thread is None and sim.requests("PUT") >= args.meters // 3:
                    outage_thread = threading.Thread(target=outage)
                    outage_thread.start()
            shards.reap()
            if not shards.running:
                break
            kills += shards.kill_one(rng)
        if outage_thread is not None:
            outage_thread.join()
        wall = time.monotonic() - started
        times = [when for when, _, _ in sim.arrivals()]
        writes = [sim.writes(m.meter_id) for m in fleet]
        repeated = sum(sim.repeated(m.meter_id) for m in fleet)  # sent again, answered from the key
        off = sum(sim.value(m.meter_id) is False for m in fleet)
    ledger = open_ledger(url, read_only=True)
    try:
        counts = ledger.counts(ROLLOUT)
        remaining = set(ledger.listed_names(ROLLOUT)) - ledger.done_names(ROLLOUT)
    finally:
        ledger.close()
    switched_off = sum(n for _, _, done, n in counts if done)
    r = args.per_minute
    print(f"\n{url.partition(':')[0]} ledger: {args.meters} meters, {args.shards} shards, R = {r:g} a minute")
    print(
        f"  wall time {wall:.1f} s, {kills} kills, {sum(shards.attempts)} shard starts, load average up to {load:.1f}"
    )
    for window, bound in ((5.0, r / 12 + BURST_MAX), (60.0, r + BURST_MAX)):
        most = most_within(times, window)
        print(
            f"  most requests in any {window:g} s  {most:6d}   bound {bound:g}: {'held' if most <= bound else 'BROKEN'}"
        )
    twice = sum(n > 1 for n in writes)
    extra = sum(n - 1 for n in writes if n > 1)
    print(
        f"  written more than once  {twice:6d} meters ({extra} extra writes), "
        f"{extra / max(kills, 1):.1f} a kill (bound {WORKERS} in flight + the unsaved outcomes)"
    )
    print(f"  sent again under a key already taken, answered without a write: {repeated}")
    exact = (
        off == args.meters
        and min(writes) >= 1
        and switched_off == args.meters
        and not remaining
        and set(shards.last_status.values()) == {0}
    )
    print(
        f"  union: {off}/{args.meters} switched off at the mediators, {sum(n == 0 for n in writes)} never written, "
        f"{switched_off} switched off in the ledger, {len(remaining)} names left, last statuses "
        f"{sorted(shards.last_status.values())}: {'exact' if exact else 'NOT exact'}"
    )


def sqlite_outage(path: Path, seconds: float) -> Callable[[], None]:
    def hold() -> None:
        print(f"  (outage: the ledger file held locked for {seconds:g} s)")
        with sqlite3.connect(path, isolation_level=None) as conn:
            conn.execute("BEGIN EXCLUSIVE")
            time.sleep(seconds)
            conn.execute("ROLLBACK")

    return hold


def postgres_outage(cluster: Cluster, seconds: float) -> Callable[[], None]:
    def halt() -> None:
        print(f"  (outage: PostgreSQL halted for {seconds:g} s)")
        cluster.halt()
        time.sleep(seconds)
        cluster.resume()

    return halt


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--meters", type=int, default=3_000)
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--per-minute", type=float, default=1_200.0)
    parser.add_argument("--latency", type=float, default=0.02, help="seconds a write takes (0.02)")
    parser.add_argument("--ledger", choices=("sqlite", "postgresql", "both"), default="both")
    parser.add_argument("--outage", type=float, default=0.0, help="seconds the ledger is away (default: none)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-drill-") as tmp:
        if args.ledger in ("sqlite", "both"):
            path = Path(tmp) / "ledger.db"
            drill(
                Path(tmp) / "sqlite",
                f"sqlite://{path}",
                args,
                sqlite_outage(path, args.outage) if args.outage else None,
            )
        if args.ledger in ("postgresql", "both"):
            bindir = server_bindir()
            if bindir is None:
                print("postgresql: skipped, no PostgreSQL server programs (initdb, postgres) installed")
                return
            cluster = start_cluster(bindir, log_statements=False)
            try:
                url = cluster.owned_database("bench_drill", "bench-drill-pw")
                drill(
                    Path(tmp) / "postgresql", url, args, postgres_outage(cluster, args.outage) if args.outage else None
                )
            finally:
                cluster.stop()


if __name__ == "__main__":
    main()
