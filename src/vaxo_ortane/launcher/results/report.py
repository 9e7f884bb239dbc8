"""``FLIP_REPORT=PATH``: one JSON file at the end of every run, and the names to run again.

The rerun list sits beside the report, ``<PATH without its suffix>.rerun``: one
name a line, the names-file format that ``PREPAY_DISABLED_METER_NAMES_FILE``
takes as it is. It holds every selected meter that was neither switched off nor already off:
the failed (unconfirmed writes among them) and the meters a stopped run never reached.

Both files are written whole under temporary names in the same folder, then
renamed, the rerun list first: a reader sees the new pair or the old one, and a
report never names a list that is not there. The report gives its run id and
the rerun list's SHA-256, so that a pair can be checked.
"""

from __future__ import annotations

import hashlib
import json
import os
import uuid
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

import orjson

from vaxo_ortane.launcher.rollout import controls as rollouts
from vaxo_ortane.launcher.run.messages import JOB_LOGGER
from vaxo_ortane.launcher.run.outcomes import Outcomes
from vaxo_ortane.launcher.settings.environment import Settings
from vaxo_ortane.launcher.settings.report_path import TEMP_SUFFIX, rerun_path, unwritable
from vaxo_ortane.util import stopping, temp_files
from vaxo_ortane.util.json_values import plain, safe_str
from vaxo_ortane.util.timestamps import utc_now

Record = Callable[..., None]

METER_FIELDS = ("name", "id", "meter_id", "serial")


def _write_temporary(path: Path, text: str) -> str:
    """``text`` written whole to a new temporary file beside ``path``; its name."""
    fd, temp = temp_files.create(path.parent, f".{path.name}.", TEMP_SUFFIX)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, 0o644)  # mkstemp's 0600 would hide the report from the operator's tools
    except BaseException:
        temp_files.remove(temp)
        raise
    return temp


def document(outcomes: Outcomes, run: Mapping[str, Any]) -> dict[str, Any]:
    """The report's content: ``run`` (status, times, shard, ...) then the counts and meters."""
    meters = [
        {field: plain(m.row.get(field), shown=safe_str) for field in METER_FIELDS}
        | {"outcome": m.outcome, "cause": m.cause, "detail": m.detail, "mediator_address": m.mediator_address}
        | {"request_id": m.request_id, "value_before": m.value_before}
        for m in outcomes.meters
    ]
    return dict(run) | {"esco": plain(outcomes.esco, shown=safe_str), "counts": outcomes.counts(), "meters": meters}


def write(path: Path, outcomes: Outcomes, run: Mapping[str, Any]) -> tuple[Path, int]:
    """Write the rerun list and the report as a pair; returns the rerun list's path and length."""
    names: list[str] = []
    unlisted: list[str] = []
    for name in outcomes.rerun_names():
        # A line break or a comma cannot pass through a names file: such a name is named here instead.
        (unlisted if any(c in name for c in ",\r\n") or not name.strip() else names).append(name)
    rerun = rerun_path(path)
    for target in (path, rerun):
        if reason := unwritable(target):  # it may have changed since the run began
            raise OSError(reason)
    rerun_text = "".join(f"{name}\n" for name in names)
    content = document(outcomes, run) | {
        "rerun_file": str(rerun),
        "rerun_count": len(names),
        "rerun_sha256": hashlib.sha256(rerun_text.encode()).hexdigest(),
        "rerun_unlisted": unlisted,
    }
    try:
        # The standard encoder indents in pure Python: about 1.2 us a meter against orjson's 0.2.
        text = orjson.dumps(content, option=orjson.OPT_INDENT_2).decode()
    except orjson.JSONEncodeError:  # an int beyond 64 bits in a row
        text = json.dumps(content, indent=2, ensure_ascii=False)
    temporaries: list[str] = []
    try:
        temporaries.append(_write_temporary(rerun, rerun_text))
        temporaries.append(_write_temporary(path, text + "\n"))
        temp_files.rename_all(zip(temporaries, (rerun, path), strict=True))
    finally:
        for temp in temporaries:
            temp_files.remove(temp)  # none left after the renames
    return rerun, len(names)


def write_run(
    path: Path,
    settings: Settings,
    outcomes: Outcomes,
    status: int,
    started_at: str,
    seconds: float,
    record: Record,
    *,
    rollout: rollouts.Controls | None = None,
    unselected: Mapping[str, list[str]] | None = None,
    more: Mapping[str, Any] | None = None,
) -> bool:
    """Write the report of a run that ended with ``status``; a failure is logged and changes nothing.

    ``unselected``: the listed names that selected no meter, by kind, when known; ``more``: what a
    command that is not the job adds (the undo). True when it was written.
    """
    run_id = uuid.uuid4().hex
    run = {
        "job": JOB_LOGGER,
        "run_id": run_id,
        "started_at": started_at,
        "ended_at": utc_now(),
        "duration_seconds": round(seconds, 3),
        "exit_status": status,
        "stopped_by": stopping.reason(),
        "summary_written": outcomes.completed,
        "max_failures": None if settings.max_failures is None else settings.max_failures.text,
        "shard": None if settings.shard is None else settings.shard.description(),
        "rollout": rollouts.summary(rollout),
        "unselected_names": None if unselected is None else dict(unselected),
    } | dict(more or {})
    try:
        rerun, listed = write(path, outcomes, run)
    except OSError as exc:
        record("error", f"The run's report could not be written: {exc}", report=str(path))
        return False
    record(
        "info",
        f"Report written to {path}",
        report=str(path),
        rerun_file=str(rerun),
        rerun_count=listed,
        run_id=run_id,
    )
    return True
