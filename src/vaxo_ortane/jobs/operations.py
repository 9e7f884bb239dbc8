"""What the launcher adds around a run when the operator asks for it: the failure
threshold, the report and the metrics (``threshold``, ``report``, ``metrics``).

With none of their variables set nothing is installed: the job's records and its
registry answer go by unobserved, and the modules that would watch them are not
even loaded (prometheus_client alone costs a run 30-40 ms to import).
"""

from __future__ import annotations

import datetime
import os
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from vaxo_ortane.jobs import threshold
from vaxo_ortane.util import stopping

if TYPE_CHECKING:
    from vaxo_ortane.jobs.outcomes import Outcomes
    from vaxo_ortane.jobs.shards import ShardRun

# The job's logger is named for its file when it runs as __main__.
JOB_LOGGER = "prepay_enabled_flip"
REPORT_VARIABLE = "FLIP_REPORT"
METRICS_VARIABLE = "PUSHGATEWAY_URL"
BAD_SETTING = 2  # as for a bad command line

Record = Callable[..., None]


def shard_description(shard_run: ShardRun) -> dict[str, int]:
    """The shard as the report shows it."""
    return {
        "index": shard_run.shard.index,
        "count": shard_run.shard.count,
        "names": shard_run.kept,
        "total_names": shard_run.total,
    }


@dataclass
class RunExtras:
    record: Record
    limit: threshold.Threshold | None = None
    report_path: Path | None = None
    pushgateway: str | None = None
    outcomes: Outcomes | None = None
    started: float = field(default_factory=time.monotonic)
    started_at: str = field(default_factory=lambda: now_text())

    @classmethod
    def from_env(cls, record: Record, environ: Mapping[str, str] | None = None) -> RunExtras:
        """The settings, checked before the job starts; a bad one ends the process with status 2."""
        env = os.environ if environ is None else environ
        try:
            limit = threshold.from_env(env)
            report_path = None
            if env.get(REPORT_VARIABLE, "").strip():
                from vaxo_ortane.jobs import report

                report_path = report.path_from_env(env)
        except ValueError as exc:
            record("error", str(exc), status=BAD_SETTING)  # as a bad file or shard setting is reported
            raise SystemExit(BAD_SETTING) from None
        pushgateway = env.get(METRICS_VARIABLE, "").strip() or None
        return cls(record, limit, report_path, pushgateway)

    def install(self) -> None:
        """Start watching the job; call before it is imported."""
        if self.limit is None and self.report_path is None and self.pushgateway is None:
            return
        from vaxo_ortane.jobs.outcomes import Outcomes
        from vaxo_ortane.util.logging import observe
        from vaxo_ortane.util.supabase.query import observe_responses

        on_failure = None
        if self.limit is not None:
            on_failure = threshold.watcher(self.limit, self.record, lambda: len(outcomes.meters))
        self.outcomes = outcomes = Outcomes(on_failure)
        observe(JOB_LOGGER, outcomes.on_record)
        observe_responses(outcomes.on_response)

    def finish(self, status: int, shard: Mapping[str, Any] | None = None) -> None:
        """Write the report and push the metrics for a run that ended with ``status``.

        Neither changes the status: a failure is logged.
        """
        outcomes = self.outcomes
        if outcomes is None:
            return
        outcomes.finish()
        seconds = time.monotonic() - self.started
        if self.report_path is not None:
            from vaxo_ortane.jobs import report

            run = {
                "job": JOB_LOGGER,
                "started_at": self.started_at,
                "ended_at": now_text(),
                "duration_seconds": round(seconds, 3),
                "exit_status": status,
                "stopped_by": stopping.reason(),
                "summary_written": outcomes.completed,
                "max_failures": None if self.limit is None else self.limit.text,
                "shard": shard,
            }
            try:
                rerun, listed = report.write(self.report_path, outcomes, run)
            except OSError as exc:
                self.record("error", f"The run's report could not be written: {exc}", report=str(self.report_path))
            else:
                self.record(
                    "info",
                    f"Report written to {self.report_path}",
                    report=str(self.report_path),
                    rerun_file=str(rerun),
                    rerun_count=listed,
                )
        if self.pushgateway is not None:
            from vaxo_ortane.jobs import metrics

            label = "" if shard is None else str(shard.get("index", ""))
            try:
                metrics.push(self.pushgateway, outcomes, status, seconds, label)
            except Exception as exc:
                where = metrics.shown(self.pushgateway)
                said = str(exc).replace(self.pushgateway, where)
                self.record("error", f"The run's metrics could not be pushed: {said}", pushgateway=where)


def now_text() -> str:
    return datetime.datetime.now(datetime.UTC).isoformat().replace("+00:00", "Z")
