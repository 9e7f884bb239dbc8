"""Memory per selected meter in one process, and where it goes.

First the whole job as a process at L = 0 (every meter selected and flipped) for
a one-meter run and for each N: peak RSS from ``os.wait4``, and per meter beyond
the one-meter run. Then, in this process, the things a run holds for each meter
until its end, built the way the job builds them and measured one after the other
with tracemalloc (Python objects) and RSS (what the allocator took from the system):

- the name list: the environment string and the module's split list;
- the selected rows: the embedded registry's answer to the job's query;
- the futures: one ``submit`` per row to a five-worker pool whose workers are held,
  as the job's pool holds them all until the last write ends;
- the mediator inventory, as the container adapter keeps it;
- the outcomes, as the launcher keeps them when it watches a run.

    python bench/meter_memory.py [--sizes 10000,100000]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import gc
import os
import sys
import tempfile
import threading
import tracemalloc
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _fleet import ESCO, Fleet
from vaxo_ortane.launcher.run.outcomes import MeterOutcome, RowTexts
from vaxo_ortane.orchestrate.adapter.inventory import MediatorInventory, load_entries
from vaxo_ortane.util.supabase import supa_client

# Runs the job's entry script under tracemalloc and writes the traced peak to argv[1].
TRACED_RUN = """
import atexit, runpy, sys, tracemalloc
tracemalloc.start()
out = sys.argv[1]
def report():
    with open(out, "w") as file:
        file.write(str(tracemalloc.get_traced_memory()[1]))
atexit.register(report)
sys.argv = sys.argv[2:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def traced_peak(fleet: Fleet, folder: Path) -> int:
    """The job's peak of traced Python memory, in bytes, over one whole run."""
    wrapper, out = folder / "traced_run.py", folder / "traced-peak"
    wrapper.write_text(TRACED_RUN)
    fleet.run_job([sys.executable, str(wrapper), str(out)])
    return int(out.read_text())


def rss_kib() -> int:
    return int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def step(label: str, count: int, build: Callable[[], Any], held: list[Any], results: dict[str, list[float]]) -> None:
    gc.collect()
    before_rss, before_traced = rss_kib(), tracemalloc.get_traced_memory()[0]
    held.append(build())
    gc.collect()
    if tracemalloc.is_tracing():
        results.setdefault(label, []).append((tracemalloc.get_traced_memory()[0] - before_traced) / count)
    else:
        results.setdefault(label, []).append((rss_kib() - before_rss) * 1024 / count)


def measure_steps(fleet: Fleet, results: dict[str, list[float]]) -> None:
    """One pass over the steps; traced when tracemalloc runs, else RSS."""
    count = fleet.count
    client = supa_client(f"sqlite://{fleet.registry}", "bench-anon", "bench-role")
    release = threading.Event()
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=5)
    for _ in range(5):
        pool.submit(release.wait)  # the workers stay busy while every row is queued

    def run_job(row: dict[str, Any]) -> bool:
        return bool(row)

    names_str = fleet.names()
    held: list[Any] = []
    step("name list: the string read from the environment", count, lambda: names_str.encode().decode(), held, results)
    step("name list: split into meter_names", count, lambda: [n.strip() for n in held[0].split(",")], held, results)
    names = held[-1]
    step(
        "rows: the registry's answer (dicts)",
        count,
        lambda: (
            client.table("meter_registry").select("*").in_("name", names).neq("prepay_enabled", False).execute().data
        ),
        held,
        results,
    )
    rows = held[-1]
    step(
        "futures: one submit per row, queued", count, lambda: [pool.submit(run_job, row) for row in rows], held, results
    )
    step(
        "  (for scale: bare Future objects alone)",
        count,
        lambda: [concurrent.futures.Future() for _ in range(count)],
        held,
        results,
    )
    step(
        "inventory: the adapter's",
        count,
        lambda: MediatorInventory(fleet.inventory, load_entries(fleet.inventory), ESCO),
        held,
        results,
    )

    def outcomes() -> tuple[list[MeterOutcome], RowTexts]:
        meters = [MeterOutcome(row) for row in rows]
        return meters, RowTexts(meters)

    step("outcomes: the launcher's, when watching", count, outcomes, held, results)
    release.set()
    pool.shutdown()


def where_it_goes(fleet: Fleet) -> None:
    """Each step twice: first RSS alone (tracemalloc's own records would count), then traced."""
    results: dict[str, list[float]] = {}
    measure_steps(fleet, results)
    tracemalloc.start()
    measure_steps(fleet, results)
    tracemalloc.stop()
    print(f"\nwhere it goes, N = {fleet.count:,} (bytes per meter)")
    print(f"  {'':<48} {'RSS':>8} {'traced':>8}")
    for label, (rss, traced_bytes) in results.items():
        print(f"  {label:<48} {rss:8.0f} {traced_bytes:8.0f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000")
    args = parser.parse_args()
    sizes = [int(size) for size in args.sizes.split(",")]
    print(f"load average at start: {os.getloadavg()}")
    with tempfile.TemporaryDirectory(prefix="bench-memory-") as tmp:
        with Fleet(Path(tmp) / "one", 1, 0.0) as fleet:
            base = min((fleet.run_job() for _ in range(3)), key=lambda run: run.max_rss_kib)
        print(f"one-meter run: peak RSS {base.max_rss_kib / 1024:.1f} MiB")
        print(f"  {'N':>8} {'wall s':>8} {'CPU us/m':>9} {'peak RSS MiB':>13} {'KiB per meter':>14}")
        for size in sizes:
            with Fleet(Path(tmp) / f"n{size}", size, 0.0) as fleet:
                run = fleet.run_job()
                per_meter = (run.max_rss_kib - base.max_rss_kib) / (size - 1)
                print(
                    f"  {size:>8} {run.seconds:8.2f} {run.cpu_us_per_meter:9.0f} {run.max_rss_kib / 1024:13.1f} "
                    f"{per_meter:14.2f}"
                )
        with Fleet(Path(tmp) / "one", 1, 0.0) as fleet:
            base_traced = traced_peak(fleet, Path(tmp))
        print(
            f"\nthe whole run under tracemalloc: peak of traced Python memory "
            f"(one-meter run {base_traced / 2**20:.1f} MiB)"
        )
        for size in sizes:
            with Fleet(Path(tmp) / f"w{size}", size, 0.0) as fleet:
                peak = traced_peak(fleet, Path(tmp))
                print(
                    f"  N = {size:>7}: {peak / 2**20:7.1f} MiB, {(peak - base_traced) / (size - 1) / 1024:5.2f} KiB "
                    "per meter beyond the one-meter run"
                )
                where_it_goes(fleet)
    print(f"load average at end: {os.getloadavg()}")


if __name__ == "__main__":
    main()
