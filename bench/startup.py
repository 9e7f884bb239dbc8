"""Start-up: from process start to the moment the registry query begins.

The job writes "Starting prepay_enabled_flip job..." just before its query and
"Processing N meters" just after it; their time stamps, against the clock read
just before the process was spawned, give the start-up and the query's time on
the embedded registry. A run under ``-X importtime`` then shows which modules
the start-up loads, and checks that the embedded path loads no PostgREST client
and no httpx.

    python bench/startup.py
"""

from __future__ import annotations

import json
import os
import re
import statistics
import sys
import tempfile
from datetime import datetime
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _fleet import Fleet, JobRun

METERS = 200
RUNS = 7
START = "Starting prepay_enabled_flip job..."
PROCESSING = "Processing "
IMPORT_LINE = re.compile(r"^import time:\s+(\d+) \|\s+(\d+) \|( *)(\S+)$")
# Only the hosted registry needs these; httpx is the PostgREST client's transport.
HOSTED_ONLY = ("postgrest", "httpx", "vaxo_ortane.util.supabase.hosted")


def stamps(run: JobRun) -> tuple[float, float]:
    """Seconds from spawn to the start record and from there to the processing record."""
    found: dict[str, float] = {}
    for line in run.log.read_text().splitlines():
        if not line.startswith("{"):
            continue
        record = json.loads(line)
        event = str(record.get("event", ""))
        for key in (START, PROCESSING):
            if event.startswith(key) and key not in found:
                found[key] = datetime.fromisoformat(record["timestamp"]).timestamp()
    return found[START] - run.started_at, found[PROCESSING] - found[START]


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="bench-startup-") as tmp, Fleet(Path(tmp), METERS, 0.0) as fleet:
        fleet.run_job()  # warm the file cache
        runs = [stamps(fleet.run_job()) for _ in range(RUNS)]
        start_up = statistics.median(r[0] for r in runs)
        query = statistics.median(r[1] for r in runs)
        print(f"embedded registry, {METERS} meters, median of {RUNS} runs:")
        print(f"  process start -> registry query begins  {start_up * 1e3:7.1f} ms")
        print(f"  registry query ({METERS} names)           {query * 1e3:7.1f} ms")

        traced = fleet.run_job([sys.executable, "-X", "importtime"])
        imports: list[tuple[int, int, str]] = []
        for line in traced.log.read_text().splitlines():
            match = IMPORT_LINE.match(line)
            if match:
                _own, total, indent, name = match.groups()
                imports.append((int(total), len(indent) // 2, name))
        # A blocked import (rich, kept out of structlog's) still shows, in a few microseconds.
        names = {name for total, _, name in imports if total >= 20}
        print(f"\n  modules imported in the whole run: {len(names)}")
        for name in (*HOSTED_ONLY, "rich", "pycurl", "orjson", "structlog", "asyncio", "sqlite3"):
            print(f"    {name:<40} {'imported' if name in names else 'not imported'}")
        print("  heaviest top-level imports (cumulative, under -X importtime):")
        top = sorted((i for i in imports if i[1] == 0), reverse=True)[:8]
        for total, _, name in top:
            print(f"    {name:<40} {total / 1e3:6.1f} ms")
        if any(name in names for name in HOSTED_ONLY):
            raise SystemExit("the embedded registry path imported the hosted registry's client or httpx")
        if "rich" in names:  # structlog loads it when it can, unless kept out
            raise SystemExit("a run without a terminal imported rich")


if __name__ == "__main__":
    main()
