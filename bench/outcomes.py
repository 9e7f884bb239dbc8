"""What watching a run's outcomes costs a meter, alone: one process, one thread.

The job's three records a meter go through the project's logger (to /dev/null),
with and without the outcome observers; with them, the registry answer is
observed and the report written at the end, as FLIP_REPORT and FLIP_MAX_FAILURES
do. Prints the least CPU time a meter of 15 rounds for each.

    python bench/outcomes.py
"""

from __future__ import annotations

import os
import tempfile
import time
from contextlib import ExitStack
from pathlib import Path
from typing import Any

from _fakes import rows
from vaxo_ortane.launcher.results import report
from vaxo_ortane.launcher.rollout import threshold
from vaxo_ortane.launcher.run.messages import JOB_LOGGER
from vaxo_ortane.launcher.run.outcomes import Outcomes
from vaxo_ortane.launcher.settings.counts import parse_threshold
from vaxo_ortane.util import logging as job_logging
from vaxo_ortane.util.supabase import query

METERS = 2_000
ROUNDS = 15
ADDRESS = "http://127.0.0.1:1"
# The module benchmark's rows, with the ESCO column a registry row carries.
ROWS = [row | {"esco": "BENCH"} for row in rows(METERS)]


class Registry:
    def fetch(self, _: query.Query) -> list[dict[str, Any]]:
        return ROWS

    def describe(self) -> str:
        return "bench"

    def close(self) -> None:
        pass


def one_run(watched: bool, sink: Any) -> float:
    with ExitStack() as observing:
        outcomes = None
        if watched:
            limit = parse_threshold("FLIP_MAX_FAILURES", "50%")
            assert limit is not None
            outcomes = Outcomes(threshold.watcher(limit, lambda *a, **k: None, lambda: METERS))
            observing.enter_context(job_logging.observe(JOB_LOGGER, outcomes.on_record))
            observing.enter_context(query.observe_responses(outcomes.on_response))
        logger = job_logging.get_logger("__main__", "/x/prepay_enabled_flip.so", stream=sink)
        return _measure(logger, outcomes)


def _measure(logger: Any, outcomes: Outcomes | None) -> float:
    fleet_log = logger.bind(esco="BENCH")
    start = time.process_time()
    for row in query.Query(Registry(), "meter_registry").execute().data:
        fleet_log.info("run_job for meter_row " + format(row, ""))
        fleet_log.info("run_job", meter_id=row["id"], serial=row["serial"], mediator_address=ADDRESS)
        logger.bind(serial=row["serial"], meter_id=row["meter_id"], mediator_address=ADDRESS).info("prepay disabled")
    if outcomes is not None:
        outcomes.finish()
        with tempfile.TemporaryDirectory() as folder:
            report.write(Path(folder) / "run.json", outcomes, {"job": "bench"})
    return (time.process_time() - start) / METERS * 1e6


def main() -> None:
    with open(os.devnull, "w") as sink:
        plain = min(one_run(False, sink) for _ in range(ROUNDS))
        watched = min(one_run(True, sink) for _ in range(ROUNDS))
    print(
        f"records alone {plain:.2f} us a meter, watched and reported {watched:.2f} us: {watched - plain:.2f} us added"
    )


if __name__ == "__main__":
    main()
