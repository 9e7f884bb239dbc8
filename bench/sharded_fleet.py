"""The fleet benchmark in K shards, run side by side as K processes against one
``vaxo-mediator-sim``.

N meters are selected (every write takes L) out of a registry that also holds
N/10 listed meters already off and N/10 on but not listed; the list, read from a
file, also holds a repeated name and names of no meter. The K processes start
together, each with ``FLIP_SHARD_COUNT=K`` and its ``FLIP_SHARD_INDEX``.

Checked: every shard exits 0 and flips all it selects; each selected meter has
exactly one outcome record over all shards, and no other meter has one; the
shards' selections together are exactly the rows that one unsharded query selects.
Printed: the wall time from the first start to the last exit against the floor
ceil(N / (5K)) x L, CPU per meter (all shards; the simulator apart), and each
shard's peak RSS and names.

    python bench/sharded_fleet.py [--meters 2000] [--latency 0.02] [--shards 8]
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
from collections import Counter
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _fleet import BIN, ESCO, SUMMARY, WORKERS, Fleet  # noqa: E402

from vaxo_ortane.util.supabase import supa_client  # noqa: E402

OUTCOMES = ("prepay disabled", "Mediator client failure", "Unknown failure during prepay_enabled flag disable")


def add_unselected_rows(fleet: Fleet) -> list[str]:
    """Rows no run may select; returns the names of those that are listed."""
    extra = max(1, fleet.count // 10)
    rows = [(fleet.count + 1 + i, f"OFF{i:06d}", f"MTR-OFF{i:06d}", f"SNOFF{i:06d}", ESCO, False) for i in range(extra)]
    rows += [(fleet.count + 1 + extra + i, f"UNL{i:06d}", f"MTR-UNL{i:06d}", f"SNUNL{i:06d}", ESCO, True)
             for i in range(extra)]
    with sqlite3.connect(fleet.registry) as conn:
        conn.executemany("INSERT INTO meter_registry VALUES (?, ?, ?, ?, ?, ?)", rows)
    conn.close()
    return [str(row[1]) for row in rows[:extra]]


def unsharded_selection(fleet: Fleet, names: list[str]) -> set[str]:
    client = supa_client(f"sqlite://{fleet.registry}", "bench-anon", "bench-role")
    rows = client.table("meter_registry").select("*").in_("name", names).neq("prepay_enabled", False).execute().data
    return {row["meter_id"] for row in rows}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--meters", type=int, default=2_000)
    parser.add_argument("--latency", type=float, default=0.020)
    parser.add_argument("--shards", type=int, default=8)
    args = parser.parse_args()
    count, latency, shards = args.meters, args.latency, args.shards
    print(f"load average at start: {os.getloadavg()}")

    with tempfile.TemporaryDirectory(prefix="bench-shards-") as tmp, \
            Fleet(Path(tmp) / "fleet", count, latency) as fleet:
        names = [m.name for m in fleet.meters] + add_unselected_rows(fleet) + ["M000001", "NO-SUCH-METER"]
        names_file = Path(tmp) / "names.txt"
        names_file.write_text("\n".join(names) + "\n")
        expected = unsharded_selection(fleet, names)
        env = fleet.env() | {"PREPAY_DISABLED_METER_NAMES_FILE": str(names_file), "FLIP_SHARD_COUNT": str(shards)}
        env.pop("PREPAY_DISABLED_METER_NAMES", None)

        logs = [Path(tmp) / f"shard-{i}.log" for i in range(shards)]
        sim_cpu = fleet.sim.cpu_seconds()
        start = time.perf_counter()
        processes = [
            subprocess.Popen([str(BIN / "prepay-enabled-flip"), "--esco", ESCO], env=env | {"FLIP_SHARD_INDEX": str(i)},
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log.open("w"))
            for i, log in enumerate(logs)
        ]
        usages = []
        for process in processes:
            _, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
            usages.append(usage)
        wall = time.perf_counter() - start
        sim_cpu = fleet.sim.cpu_seconds() - sim_cpu
        load = os.getloadavg()

        outcomes: Counter[str] = Counter()
        print(f"\nN = {count:,} selected (of {len(names):,} names), L = {latency * 1e3:g} ms, K = {shards} processes")
        print(f"  {'shard':>5} {'status':>6} {'names':>7} {'selected':>9} {'summary':>12} {'CPU s':>7} {'peak RSS MiB':>13}")
        for i, (process, usage, log) in enumerate(zip(processes, usages, logs, strict=True)):
            records = [json.loads(line) for line in log.read_text().splitlines() if line.startswith("{")]
            held = next(r for r in records if str(r["event"]).startswith("Shard "))
            summary = next((str(r["event"]).removeprefix(SUMMARY) for r in records
                            if str(r["event"]).startswith(SUMMARY)), "none")
            for r in records:
                if r["event"] in OUTCOMES:
                    outcomes[r["meter_id"]] += 1
            selected = summary.partition("/")[2]
            print(f"  {i:>5} {process.returncode:>6} {held['names']:>7} {selected:>9} {summary:>12} "
                  f"{usage.ru_utime + usage.ru_stime:7.2f} {usage.ru_maxrss / 1024:13.1f}")
        once = set(outcomes) == expected and set(outcomes.values()) == {1}
        statuses_ok = all(p.returncode == 0 for p in processes)
        floor = -(-count // (WORKERS * shards)) * latency
        cpu = sum(u.ru_utime + u.ru_stime for u in usages)
        print(f"  every shard exited 0: {statuses_ok}")
        print(f"  each selected meter exactly one outcome record, no other meter any: {once} "
              f"({len(outcomes):,} meters with records, {sum(outcomes.values()):,} records)")
        print(f"  union of the shards' selections equals the unsharded selection ({len(expected):,} rows): "
              f"{set(outcomes) == expected}")
        print(f"  wall time, first start to last exit   {wall:8.3f} s")
        print(f"  floor ceil(N/(5K))*L                  {floor:8.3f} s")
        print(f"  ratio                                 {wall / floor:8.3f}")
        print(f"  job CPU per meter, all shards         {cpu / count * 1e6:8.0f} us")
        print(f"  simulator CPU per meter               {sim_cpu / count * 1e6:8.0f} us")
        print(f"  peak RSS per shard                    {min(u.ru_maxrss for u in usages) / 1024:.1f}"
              f"-{max(u.ru_maxrss for u in usages) / 1024:.1f} MiB")
        print(f"load average at end: {load}")


if __name__ == "__main__":
    main()
