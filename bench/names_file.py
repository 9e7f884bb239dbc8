"""200,000 meter names from a file against a 1,000,000-meter registry.

For each registry backend, a fresh process does what ``prepay-enabled-flip`` does
up to the end of its registry query: the launcher's file and shard step, the job
module's import (which reads and splits the list), the fleet job's construction
and the query chain that ``run`` makes, on the module's own ``meter_names``. The
pool and the mediator writes that follow are left out. Printed: the time from
spawning the process to the query's end, with its phases, the peak RSS of the
process at that moment, and whether the selected rows are exactly the expected
ones.

The registry: ids 1..R, name M<id>, ``prepay_enabled`` false for every 7th id.
The list: every 5th id's name (R / 5 names), in a shuffled order; every listed
name exists, and the selection is the listed ids that are not off.

    python bench/names_file.py [--registry 1000000] [--names-every 5] [--runs 3]
                               [--backend sqlite] [--backend postgresql]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import sqlite3
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from pg_cluster import Cluster, server_bindir, start_cluster
from vaxo_ortane.util.supabase.csv_load import SCHEMA

ESCO = "BENCH"

# Runs in the measured process; prints one JSON line.
CHILD = r"""
import hashlib, json, os, resource, sys, time
phases = {"interpreter start": time.monotonic()}
from vaxo_ortane.launcher.settings.environment import job_inputs
job_inputs(os.environ, lambda *_, **__: None)
phases["file read"] = time.monotonic()
import vaxo_ortane.jobs.prepay_enabled_flip as job
phases["module import (split)"] = time.monotonic()
runner = job.PrepayEnabledFlipAllJob(esco=sys.argv[1])
phases["fleet job set-up"] = time.monotonic()
rss_before_query = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
rows = (runner.tramu_supabase.table("meter_registry").select("*").in_("name", job.meter_names)
        .neq("prepay_enabled", False).execute().data)
phases["query"] = time.monotonic()
ids = sorted(row["id"] for row in rows)
print(json.dumps({
    "phases": phases, "rows": len(rows), "names": len(job.meter_names),
    "max_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, "rss_before_query_kib": rss_before_query,
    "digest": hashlib.sha256(",".join(map(str, ids)).encode()).hexdigest(),
}))
"""


def registry_rows(count: int) -> Iterator[tuple[object, ...]]:
    for i in range(1, count + 1):
        yield (i, f"M{i:07d}", f"MTR-{i:07d}", f"SN{i:08d}", ESCO, i % 7 != 0)


def expected(count: int, every: int) -> tuple[list[str], str, int]:
    listed = list(range(1, count + 1, every))
    selected = [i for i in listed if i % 7 != 0]
    names = [f"M{i:07d}" for i in listed]
    random.Random(15).shuffle(names)
    return names, hashlib.sha256(",".join(map(str, selected)).encode()).hexdigest(), len(selected)


@dataclass
class Result:
    start: float  # time.monotonic() just before the process was spawned
    phases: dict[str, float]  # time.monotonic() at the end of each phase, in the process
    rows: int
    names: int
    max_rss_kib: int
    rss_before_query_kib: int
    exact: bool

    @property
    def seconds(self) -> float:
        return self.phases["query"] - self.start


def measure(env: dict[str, str], digest: str, runs: int) -> list[Result]:
    results = []
    for _ in range(runs):
        start = time.monotonic()
        done = subprocess.run([sys.executable, "-c", CHILD, ESCO], env=env, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            raise RuntimeError(f"the measured process failed ({done.returncode}):\n{done.stderr[-3000:]}")
        found = json.loads(done.stdout)
        results.append(
            Result(
                start=start,
                phases=found["phases"],
                rows=found["rows"],
                names=found["names"],
                max_rss_kib=found["max_rss_kib"],
                rss_before_query_kib=found["rss_before_query_kib"],
                exact=found["digest"] == digest,
            )
        )
    return results


def report(label: str, results: list[Result], expected_rows: int) -> None:
    best = min(results, key=lambda r: r.seconds)
    print(
        f"\n{label}: {best.names:,} names, {best.rows:,} rows selected "
        f"(expected {expected_rows:,}; selection exact: {all(r.exact for r in results)})"
    )
    print(
        f"  spawn to query end   {best.seconds:7.3f} s   (best of {len(results)}; all: "
        + ", ".join(f"{r.seconds:.3f}" for r in results)
        + ")"
    )
    previous = best.start
    for phase, moment in best.phases.items():
        print(f"    {phase:<22} {moment - previous:7.3f} s")
        previous = moment
    print(
        f"  peak RSS at query end {max(r.max_rss_kib for r in results) / 1024:6.1f} MiB "
        f"(before the query {best.rss_before_query_kib / 1024:.1f} MiB)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--registry", type=int, default=1_000_000, help="registry rows")
    parser.add_argument("--names-every", type=int, default=5, help="list every n-th registry name")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--backend", action="append", choices=["sqlite", "sqlite-indexed", "postgresql"])
    args = parser.parse_args()
    backends = args.backend or ["sqlite", "sqlite-indexed", "postgresql"]
    print(f"load average at start: {os.getloadavg()}")

    with tempfile.TemporaryDirectory(prefix="bench-names-") as tmp:
        folder = Path(tmp)
        names, digest, selected = expected(args.registry, args.names_every)
        names_file = folder / "names.txt"
        names_file.write_text("\n".join(names) + "\n", encoding="utf-8")
        inventory = folder / "inventory.toml"
        inventory.write_text("")
        print(
            f"names file: {len(names):,} names, {names_file.stat().st_size:,} bytes; "
            f"as PREPAY_DISABLED_METER_NAMES it would be {len(','.join(names)):,} bytes"
        )
        env = {
            "PATH": os.environ.get("PATH", ""),
            "PREPAY_DISABLED_METER_NAMES_FILE": str(names_file),
            "SUPABASE_ANON_KEY": "bench-anon",
            "TRAMU_ROLE_KEY": "bench-role",
            "MEDIATOR_INVENTORY": str(inventory),
            "REGISTRY_TIMEOUT": "600",
        }
        if {"sqlite", "sqlite-indexed"} & set(backends):
            registry = folder / "registry.db"
            start = time.monotonic()
            with sqlite3.connect(registry) as conn:
                conn.execute(SCHEMA)
                conn.executemany("INSERT INTO meter_registry VALUES (?, ?, ?, ?, ?, ?)", registry_rows(args.registry))
            conn.close()
            print(f"SQLite registry of {args.registry:,} rows written in {time.monotonic() - start:.1f} s")
            env["SUPABASE_URL"] = f"sqlite://{registry}"
            if "sqlite" in backends:
                report("SQLite, no index on name", measure(env, digest, args.runs), selected)
            if "sqlite-indexed" in backends:
                with sqlite3.connect(registry) as conn:
                    conn.execute("CREATE INDEX meter_registry_name ON meter_registry (name)")
                conn.close()
                report("SQLite, index on name", measure(env, digest, args.runs), selected)
            print(f"load average: {os.getloadavg()}")
        if "postgresql" in backends:
            bindir = server_bindir()
            if bindir is None:
                print("\nPostgreSQL: no server programs (initdb, postgres) found; skipped")
                return
            cluster: Cluster = start_cluster(bindir, log_statements=False)
            try:
                start = time.monotonic()
                env["SUPABASE_URL"] = cluster.create_registry("bench", registry_rows(args.registry))
                with cluster.admin("bench") as conn:
                    conn.execute("CREATE INDEX ON meter_registry (name)")
                    conn.execute("ANALYZE meter_registry")
                print(
                    f"\nPostgreSQL registry of {args.registry:,} rows, index on name, "
                    f"written in {time.monotonic() - start:.1f} s"
                )
                report("PostgreSQL, index on name", measure(env, digest, args.runs), selected)
            finally:
                cluster.stop()
        print(f"load average at end: {os.getloadavg()}")


if __name__ == "__main__":
    main()
