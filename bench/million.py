"""A million meters in 8 shards on one machine, with a PostgreSQL ledger, and what
the rollout's tools cost at that size. Not part of ``make bench``: a quarter of an
hour on two cores, and some 10 GiB of memory at its peak.

One ``vaxo-mediator-sim`` at L = 0 fronts every meter; the registry is an SQLite
file, the names one file, the ledger a throwaway local PostgreSQL server. The K
shards start together and each is measured on its own (``os.wait4``: CPU and peak
RSS). Then:

- the ledger's size on disk, and what it holds;
- a resume: the same K shards again, which find every name done;
- ``prepay-enabled-flip-ledger --rollout R`` (the counts table) and ``--rerun``;
- ``prepay-enabled-flip-plan --format csv`` of all the names, unsharded.

Every file is made a line at a time, so that this process stays small: a child's
peak RSS counts what it shared with its parent before its exec.

    python bench/million.py [--meters 1000000] [--shards 8] [--folder /tmp]
"""

from __future__ import annotations

import argparse
import json
import os
import sqlite3
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from _fleet import BIN, ESCO, SUMMARY, Sim
from pg_cluster import server_bindir, start_cluster
from vaxo_ortane.util.supabase.csv_load import SCHEMA as REGISTRY_SCHEMA

ROLLOUT = "million"
LEDGER_TABLES = ("flip_rollout_names", "flip_runs", "flip_meter_outcomes")


@dataclass
class Process:
    label: str
    status: int
    seconds: float
    cpu_seconds: float
    max_rss_kib: int
    log: Path

    def line(self) -> str:
        return (
            f"  {self.label:<22} status {self.status:>3}  wall {self.seconds:8.1f} s  CPU {self.cpu_seconds:7.1f} s  "
            f"peak RSS {self.max_rss_kib / 1024:7.1f} MiB"
        )


def rows(count: int) -> Iterator[tuple[int, str, str, str, str, bool]]:
    for i in range(1, count + 1):
        yield i, f"M{i:07d}", f"MTR-{i:07d}", f"SN{i:09d}", ESCO, True


def make_inventory(folder: Path, count: int, address: str) -> None:
    with (folder / "inventory.toml").open("w") as inventory:
        for i, _, _, serial, esco, _ in rows(count):
            inventory.write(f'[[mediator]]\nesco = "{esco}"\nid = {i}\nserial = "{serial}"\naddress = "{address}"\n')


def make_files(folder: Path, count: int) -> None:
    """The registry, the names and the simulator's meters."""
    with sqlite3.connect(folder / "registry.db") as conn:
        conn.execute(REGISTRY_SCHEMA)
        conn.executemany("INSERT INTO meter_registry VALUES (?, ?, ?, ?, ?, ?)", rows(count))
    conn.close()
    with (folder / "names.txt").open("w") as names, (folder / "sim.toml").open("w") as sim:
        for _, name, meter_id, _, _, _ in rows(count):
            names.write(name + "\n")
            sim.write(f'[meters."{meter_id}"]\nprepay_enabled = true\n')


def run(label: str, argv: list[str], env: dict[str, str], folder: Path, stdout: Path | None = None) -> Process:
    log = folder / f"{label}.log"
    start = time.perf_counter()
    with log.open("w") as err, (stdout or Path(os.devnull)).open("w") as out:
        process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        _, status, usage = os.wait4(process.pid, 0)
    return Process(
        label,
        os.waitstatus_to_exitcode(status),
        time.perf_counter() - start,
        usage.ru_utime + usage.ru_stime,
        usage.ru_maxrss,
        log,
    )


def shards(count: int, env: dict[str, str], folder: Path, tag: str) -> tuple[list[Process], float]:
    """The K shards side by side; each one's figures, and the wall time from the first start to the last end."""
    argv = [str(BIN / "prepay-enabled-flip"), "--esco", ESCO]
    start = time.perf_counter()
    started = []
    for index in range(count):
        log = folder / f"{tag}-{index}.log"
        shard_env = env | {"FLIP_SHARD_COUNT": str(count), "FLIP_SHARD_INDEX": str(index)}
        with log.open("w") as err:
            process = subprocess.Popen(
                argv, env=shard_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err
            )
        started.append((index, process, log, time.perf_counter()))
    done = []
    for index, process, log, began in started:
        _, status, usage = os.wait4(process.pid, 0)
        done.append(
            Process(
                f"{tag} shard {index}",
                os.waitstatus_to_exitcode(status),
                time.perf_counter() - began,
                usage.ru_utime + usage.ru_stime,
                usage.ru_maxrss,
                log,
            )
        )
    return done, time.perf_counter() - start


def summary_counts(process: Process) -> str:
    for line in process.log.read_text().splitlines():
        if SUMMARY in line:
            return str(json.loads(line)["event"]).removeprefix(SUMMARY)
    return "no summary"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--meters", type=int, default=1_000_000)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--folder", type=Path, default=Path(tempfile.gettempdir()))
    args = parser.parse_args()
    bindir = server_bindir()
    if bindir is None:
        raise SystemExit("needs the PostgreSQL server programs (initdb, postgres), as .ci/run installs them")
    print(f"load average at start: {os.getloadavg()}", flush=True)
    with tempfile.TemporaryDirectory(prefix="bench-million-", dir=args.folder) as tmp:
        folder = Path(tmp)
        began = time.perf_counter()
        make_files(folder, args.meters)
        cluster = start_cluster(bindir, log_statements=False)
        sim = Sim(folder / "sim.toml", folder / "sim.log")
        try:
            make_inventory(folder, args.meters, sim.address)
            print(f"{args.meters:,} meters: files written in {time.perf_counter() - began:.0f} s", flush=True)
            with cluster.admin() as admin:
                admin.execute("CREATE ROLE bench_ledger LOGIN PASSWORD 'bench-ledger-pw'")
                admin.execute("CREATE DATABASE bench_ledger OWNER bench_ledger")
            env = {
                "PATH": os.environ.get("PATH", ""),
                "PREPAY_DISABLED_METER_NAMES_FILE": str(folder / "names.txt"),
                "SUPABASE_URL": f"sqlite://{folder / 'registry.db'}",
                "SUPABASE_ANON_KEY": "bench-anon",
                "TRAMU_ROLE_KEY": "bench-role",
                "MEDIATOR_INVENTORY": str(folder / "inventory.toml"),
                "FLIP_LEDGER": cluster.url("bench_ledger", "bench_ledger", "bench-ledger-pw"),
                "FLIP_ROLLOUT": ROLLOUT,
            }
            sim_cpu = sim.cpu_seconds()
            done, wall = shards(args.shards, env, folder, "run")
            sim_cpu = sim.cpu_seconds() - sim_cpu
            print(f"\n{args.shards} shards side by side, L = 0: {wall:.1f} s from the first start to the last end")
            for process in done:
                print(process.line() + f"  {summary_counts(process)}")
            cpu = sum(p.cpu_seconds for p in done)
            print(
                f"  all shards: CPU {cpu:.1f} s ({cpu / args.meters * 1e6:.0f} us a meter), the simulator's "
                f"{sim_cpu:.1f} s; peak RSS {max(p.max_rss_kib for p in done) / 1024:.1f} MiB at most, "
                f"{sum(p.max_rss_kib for p in done) / 1024**2:.2f} GiB together"
            )
            with cluster.admin("bench_ledger") as conn:
                sizes = [
                    conn.execute("SELECT pg_total_relation_size(%s)", (table,)).fetchone()[0] for table in LEDGER_TABLES
                ]
                database = conn.execute("SELECT pg_database_size('bench_ledger')").fetchone()[0]
                held = conn.execute(
                    "SELECT count(*), count(switched_off_at) FROM flip_meter_outcomes WHERE rollout = %s", (ROLLOUT,)
                ).fetchone()
            print(
                f"\nthe ledger: {database / 2**20:.0f} MiB in all ("
                + ", ".join(f"{t} {s / 2**20:.0f} MiB" for t, s in zip(LEDGER_TABLES, sizes, strict=True))
                + f"); {held[0]:,} meters, {held[1]:,} switched off"
            )
            done, wall = shards(args.shards, env, folder, "resume")
            print(f"\nresumed, the same {args.shards} shards: {wall:.1f} s from the first start to the last end")
            for process in done:
                print(process.line())
            tool = [str(BIN / "prepay-enabled-flip-ledger"), "--rollout", ROLLOUT]
            print("\nthe rollout's tools")
            counts = run("ledger --rollout", tool, env, folder, folder / "counts.txt")
            print(counts.line() + f"  ({(folder / 'counts.txt').stat().st_size:,} bytes out)")
            rerun = run("ledger --rerun", [*tool, "--rerun"], env, folder, folder / "rerun.txt")
            print(rerun.line() + f"  ({len((folder / 'rerun.txt').read_text().splitlines()):,} names to rerun)")
            plan = run(
                "plan --format csv",
                [str(BIN / "prepay-enabled-flip-plan"), "--esco", ESCO, "--format", "csv"],
                env,
                folder,
                folder / "plan.csv",
            )
            print(plan.line() + f"  ({len((folder / 'plan.csv').read_text().splitlines()) - 1:,} names planned)")
        finally:
            sim.stop()
            cluster.stop()
    print(f"load average at end: {os.getloadavg()}")


if __name__ == "__main__":
    main()
