"""The closing summary, after the job's own last record: what became of the
selected meters, by cause, and what the exit status means.

On a terminal, tables: the outcomes by cause; the failed meters, each with its
name, meter_id and cause, the first few of each cause so that every cause shows
(the ones refused because the run was stopping last); the report's and rerun list's paths; the exit status and its meaning.
Elsewhere, one info record with the same counts as fields, for a log reader. A
run that selected no meter has none: the record that says why is its last.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.run.outcomes import (
    ALREADY_OFF,
    CAUSES,
    CONFIRMATION_CAUSES,
    FAILED,
    NOT_RUN,
    SWITCHED_OFF,
    MeterOutcome,
    Outcomes,
)
from vaxo_ortane.util.json_values import safe_str

Record = Callable[..., None]

PROGRAM = "prepay-enabled-flip"
SHOWN_FAILURES = 20
CAUSE_TEXT = {
    "mediator": "the mediator exchange failed",
    "no_mediator": "no mediator for the meter",
    "error": "another error",
    "stopped": "not sent: the run was stopping",
    "refused_by_head_end": "the head-end refused the accepted write",
    "unconfirmed": "the write was not confirmed in time",
    "not_applied": "read back unchanged: not applied",
}
# Shown in the table only when some meter has them: most head-ends never accept a write for later.
RARE_CAUSES = frozenset(CONFIRMATION_CAUSES.values())


def meaning(status: int, program: str = PROGRAM) -> str:
    return statuses.MEANINGS[program].get(status, "a status this command does not set itself")


def write(
    outcomes: Outcomes, status: int, report: Path | None, terminal: bool, record: Record, program: str = PROGRAM
) -> None:
    """The summary of a run of ``program`` that ended with ``status``; ``report`` is the report written, if any."""
    counts = outcomes.counts()
    if not counts["selected"]:
        return
    rerun = None
    if report is not None:
        from vaxo_ortane.launcher.settings.report_path import rerun_path

        rerun = rerun_path(report)
    if not terminal:
        paths = {} if report is None else {"report": str(report), "rerun_file": str(rerun)}
        message = _message(counts, status, outcomes.words, program)
        record("info", message, **Outcomes.recorded(counts), exit_status=status, **paths)
        return
    try:
        _tables(outcomes, counts, status, report, rerun, program)
    except Exception as exc:  # the run's outcome stands whatever happens to its tables
        record("error", f"The closing summary could not be shown: {exc!r}")


def _message(counts: dict[str, Any], status: int, words: tuple[str, str], program: str) -> str:
    causes = ", ".join(f"{n:,} {cause}" for cause, n in counts["failed_by_cause"].items() if n)
    not_run = f", {counts[NOT_RUN]:,} not run" if counts[NOT_RUN] else ""
    already_off = f"{counts[ALREADY_OFF]:,} {words[1]} at the meter, " if counts[ALREADY_OFF] else ""
    return (
        f"Summary: {counts[SWITCHED_OFF]:,} of {counts['selected']:,} meters {words[0]}, {already_off}"
        f"{counts[FAILED]:,} failed{f' ({causes})' if causes else ''}{not_run}; "
        f"exit status {status}: {meaning(status, program)}"
    )


def _tables(
    outcomes: Outcomes, counts: dict[str, Any], status: int, report: Path | None, rerun: Path | None, program: str
) -> None:
    from vaxo_ortane.launcher.watching.tables import write_table

    done, already = outcomes.words
    rows: list[tuple[str, int]] = [(done, counts[SWITCHED_OFF])]
    if counts[ALREADY_OFF]:
        rows.append((f"{already} at the meter: not written", counts[ALREADY_OFF]))
    rows += [
        (f"failed: {CAUSE_TEXT[cause]}", n)
        for cause, n in counts["failed_by_cause"].items()
        if n or cause not in RARE_CAUSES
    ]
    if counts[NOT_RUN]:
        rows.append(("not run: the run ended first", counts[NOT_RUN]))
    rows.append(("selected", counts["selected"]))
    failed = [m for m in outcomes.meters if m.outcome == FAILED]
    by_cause: dict[str, list[MeterOutcome]] = {}
    for m in failed:
        by_cause.setdefault(m.cause or "error", []).append(m)
    each = SHOWN_FAILURES // max(1, len(by_cause))
    # The causes in their order, "stopped" last; the run's order within each.
    shown = [m for cause in sorted(by_cause, key=_cause_order) for m in by_cause[cause][:each]]
    lines = [f"Report: {report}", f"Rerun list: {rerun}"] if report is not None else []
    lines.append(f"Exit status {status}: {meaning(status, program)}")
    stream = sys.stderr
    stream.write("\n")
    write_table(stream, ["Outcome", "Meters"], rows, title="Outcomes", numeric=["Meters"], lines=() if shown else lines)
    if shown:
        title = (
            "Failed meters"
            if len(shown) == len(failed)
            else f"Failed meters: the first {each} of each cause, {len(shown)} of {len(failed):,}"
        )
        write_table(
            stream, ["Name", "meter_id", "Cause", "Detail"], [_failure(m) for m in shown], title=title, lines=lines
        )


def _cause_order(cause: str) -> int:
    # "stopped" last: meters never sent come after every failure of a write.
    return CAUSES.index(cause) if cause in CAUSES and cause != "stopped" else len(CAUSES)


def _failure(meter: MeterOutcome) -> tuple[str, str, str, str]:
    name, meter_id = (safe_str(meter.row.get(key)) for key in ("name", "meter_id"))
    return name, meter_id, meter.cause or "error", meter.detail or ""
