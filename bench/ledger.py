"""What a run ledger costs a meter, and what a kill costs a resumed run.

1. CPU per meter: N meters at L = 0 (the job CPU-bound, the mediator simulator
   its own process), without a ledger, with an SQLite ledger and with a
   PostgreSQL ledger (a throwaway local server), the three modes taking turns in
   the same run; the least of ``--repeat`` runs each, a fresh rollout every run.
   The job process's CPU alone, from ``os.wait4``.
2. Killed and resumed: 10,000 meters at L = 10 ms, the run killed with SIGKILL
   once half of them have reached the mediator, then run again with the same
   ledger. Printed: the writes that had reached the mediator at the kill, those
   whose outcome the ledger had committed, the difference (the writes in flight:
   sent, not yet known to the ledger), and the meters the resumed run wrote a
   second time, which must all be among them.

    python bench/ledger.py [--meters N] [--repeat R] [--kill-meters N]
    python bench/ledger.py --meters 200000 --repeat 1 --cpu-only --job-bin main=../main/.venv/bin

``--job-bin`` adds another installation of the job (another venv's ``bin``) to the
turns; each line then also gives the peak RSS a meter beyond the one-meter run.
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from _fleet import BIN, ESCO, Fleet, job_bins, job_env, meters
from pg_cluster import server_bindir, start_cluster
from vaxo_ortane.launcher.ledger.backends import open_ledger
from vaxo_ortane.mediator.sample_fleet import write_inventory, write_registry
from vaxo_ortane.mediator.sim import MediatorSim

CPU_TARGET = 1.10  # a ledger may cost at most 10 % more CPU a meter


@contextmanager
def ledgers(folder: Path) -> Iterator[dict[str, str | None]]:
    """The ledger of each mode: none, an SQLite file, a PostgreSQL database (when a server is installed)."""
    modes: dict[str, str | None] = {"none": None, "sqlite": f"sqlite://{folder}/ledger.db"}
    bindir = server_bindir()
    if bindir is None:
        print("postgresql: skipped, no PostgreSQL server programs (initdb, postgres) installed")
        yield modes
        return
    cluster = start_cluster(bindir, log_statements=False)
    try:
        modes["postgresql"] = cluster.owned_database("bench_ledger", "bench-ledger-pw")
        yield modes
    finally:
        cluster.stop()


def cpu_per_meter(folder: Path, count: int, repeat: int, modes: dict[str, str | None], bins: dict[str, Path]) -> None:
    # CPU seconds of the whole job process, the least of the runs, for N meters and for one;
    # the least peak RSS likewise. One-meter runs first, while this process is still small:
    # a child's peak RSS counts what it shared with its parent before its exec.
    best = {(job, mode, n): float("inf") for job in bins for mode in modes for n in (1, count)}
    rss = dict.fromkeys(best, float("inf"))
    for n in (1, count):
        with Fleet(folder / f"cpu-{n}", n, 0.0) as fleet:
            for turn in range(repeat):
                for job, bin_dir in bins.items():
                    for mode, url in modes.items():
                        rollout = f"{job}-{mode}-{n}-{turn}"
                        fleet.extra_env = {} if url is None else {"FLIP_LEDGER": url, "FLIP_ROLLOUT": rollout}
                        run = fleet.run_job(bin_dir=bin_dir)
                        best[job, mode, n] = min(best[job, mode, n], run.cpu_seconds)
                        rss[job, mode, n] = min(rss[job, mode, n], run.max_rss_kib)
    print(f"CPU per meter, N = {count}, L = 0, least of {repeat} runs (the job process alone)")
    print("  net: beyond a one-meter run with the same ledger, which holds the fixed cost (imports, connection)")
    for job in bins:
        gross = {mode: best[job, mode, count] / count * 1e6 for mode in modes}
        net = {mode: (best[job, mode, count] - best[job, mode, 1]) / (count - 1) * 1e6 for mode in modes}
        for mode in modes:
            verdict = ""
            if mode != "none":
                met = gross[mode] <= gross["none"] * CPU_TARGET
                verdict = f"  (target <= +{(CPU_TARGET - 1) * 100:.0f} %: {'met' if met else 'NOT met'})"
            memory = (rss[job, mode, count] - rss[job, mode, 1]) / (count - 1)
            print(
                f"  {job:<5} {mode:<11} {gross[mode]:7.1f} us {(gross[mode] / gross['none'] - 1) * 100:+6.1f} %   "
                f"net {net[mode]:7.1f} us {(net[mode] / net['none'] - 1) * 100:+6.1f} %   "
                f"fixed {best[job, mode, 1] * 1e3:6.1f} ms   peak RSS {rss[job, mode, count] / 1024:7.1f} MiB, "
                f"{memory:5.2f} KiB a meter{verdict}"
            )


def killed_and_resumed(folder: Path, mode: str, url: str, count: int, latency: float) -> None:
    folder.mkdir(parents=True)
    fleet = meters(count, latency)
    registry, inventory, names = folder / "registry.db", folder / "inventory.toml", folder / "names.txt"
    write_registry(registry, fleet)
    names.write_text("".join(f"{m.name}\n" for m in fleet))
    with MediatorSim({m.meter_id: m.behaviour for m in fleet}) as sim:
        write_inventory(inventory, fleet, {ESCO: sim.address})
        env = job_env(registry, inventory) | {
            "PREPAY_DISABLED_METER_NAMES_FILE": str(names),
            "FLIP_LEDGER": url,
            "FLIP_ROLLOUT": f"killed-{mode}",
        }
        argv = [str(BIN / "prepay-enabled-flip"), "--esco", ESCO]
        with (folder / "killed.log").open("w") as log:
            process = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=log)
            while sim.requests("PUT") < count // 2 and process.poll() is None:
                time.sleep(0.005)
            process.send_signal(signal.SIGKILL)
            process.wait()
        sent = {m.meter_id for m in fleet if sim.writes(m.meter_id)}
        ledger = open_ledger(url, read_only=True)
        try:
            kept = {m["meter_id"] for m in ledger.meters(env["FLIP_ROLLOUT"]) if m["switched_off_at"]}
        finally:
            ledger.close()
        in_flight = sent - kept
        with (folder / "resumed.log").open("w") as log:
            status = subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=log, check=False).returncode
        twice = {m.meter_id for m in fleet if sim.writes(m.meter_id) == 2}
        off = sum(not sim.value(m.meter_id) for m in fleet)
    print(
        f"  {mode:<11} {len(sent):6} {len(kept):7} {len(in_flight):9} {len(twice):7} "
        f"{len(twice - in_flight):12} {off:>6}/{count} (status {status})"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--meters", type=int, default=2_000, help="meters of the CPU runs (default 2,000)")
    parser.add_argument("--repeat", type=int, default=5, help="runs of each mode (default 5)")
    parser.add_argument("--kill-meters", type=int, default=10_000, help="meters of the killed run (default 10,000)")
    parser.add_argument("--latency", type=float, default=0.01, help="seconds a write of the killed run (0.01)")
    parser.add_argument("--cpu-only", action="store_true", help="the CPU runs alone, not the killed one")
    parser.add_argument(
        "--job-bin", action="append", default=[], metavar="LABEL=DIR", help="another installation of the job"
    )
    args = parser.parse_args()
    bins = job_bins(args.job_bin)
    with tempfile.TemporaryDirectory(prefix="bench-ledger-") as tmp, ledgers(Path(tmp)) as modes:
        cpu_per_meter(Path(tmp), args.meters, args.repeat, modes, bins)
        if args.cpu_only:
            return
        print(f"\nkilled at half of {args.kill_meters} meters (L = {args.latency * 1e3:g} ms), then resumed")
        print(f"  {'ledger':<11} {'sent':>6} {'in ledger':>7} {'in flight':>9} {'twice':>7} {'twice, not':>12}  off")
        print(f"  {'':<11} {'':>6} {'':>7} {'':>9} {'':>7} {'in flight':>12}")
        for mode, url in modes.items():
            if url is not None:
                killed_and_resumed(Path(tmp) / f"killed-{mode}", mode, url, args.kill_meters, args.latency)


if __name__ == "__main__":
    main()
