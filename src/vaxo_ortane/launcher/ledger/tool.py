"""``prepay-enabled-flip-ledger``: what a rollout has done so far, read from its ledger.

The ledger is the one the runs write, ``FLIP_LEDGER`` (or ``FLIP_LEDGER_FILE``);
the rollout is ``--rollout`` (or ``FLIP_ROLLOUT``). It only reads: an SQLite
ledger is opened read-only, a PostgreSQL session is made read-only.

- the default, a table: the rollout's names and meters by outcome and cause, then its runs;
- ``--rerun``: the listed names not yet switched off, one a line, the names-file format;
- ``--format json`` or ``csv``: every meter's latest outcome (json adds the counts and the runs).

The table and json also say whether the rollout was undone, and how far
(``undoing``); ``--undo`` shows the undo itself as a rollout, and with ``--rerun``
the names it has still to put back.

Exit status: 0 when the rollout was shown; 1 when the ledger cannot be read or
holds no such rollout; 2 when ``FLIP_LEDGER`` is unset or wrong, or the command line is.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from vaxo_ortane.launcher.ledger.backends import open_ledger
from vaxo_ortane.launcher.ledger.schema import METER_COLUMNS, undo_rollout
from vaxo_ortane.launcher.ledger.store import Ledger, LedgerError, LedgerMissing
from vaxo_ortane.launcher.ledger.undoing import KINDS, NAMED, Undo, read_undo
from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.run.outcomes import ACCEPTED, ALREADY_OFF, CAUSES, FAILED, NOT_RUN, SWITCHED_OFF
from vaxo_ortane.launcher.settings import environment as settings
from vaxo_ortane.launcher.settings import variables
from vaxo_ortane.launcher.settings.file_values import FileValueError, resolve_file_values

PROGRAM = "prepay-enabled-flip-ledger"


class ToolError(Exception):
    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


@dataclass
class Rollout:
    """One rollout as its ledger holds it."""

    name: str
    ledger: str
    listed: list[str]
    done: frozenset[str]
    counts: dict[str, Any]
    runs: list[dict[str, Any]] = field(default_factory=list)
    undo_of: str | None = None  # this is the undo of that rollout

    @property
    def remaining(self) -> list[str]:
        return [name for name in self.listed if name not in self.done]


def _counts(rows: Sequence[tuple[str, str | None, bool, int]]) -> dict[str, Any]:
    # A meter switched off once in the rollout counts as off, whatever a later write said.
    by_cause = dict.fromkeys(CAUSES, 0)
    counts: dict[str, Any] = {"selected": 0, SWITCHED_OFF: 0, ALREADY_OFF: 0, ACCEPTED: 0, FAILED: 0, NOT_RUN: 0}
    for outcome, cause, switched_off, meters in rows:
        counts["selected"] += meters
        if switched_off:
            counts[ALREADY_OFF if outcome == ALREADY_OFF else SWITCHED_OFF] += meters
            continue
        # Accepted: a run ended (killed) while its write waited to be confirmed.
        counts[outcome if outcome in (FAILED, ACCEPTED) else NOT_RUN] += meters
        if outcome == FAILED and cause is not None:
            by_cause[cause] = by_cause.get(cause, 0) + meters
    return counts | {"failed_by_cause": by_cause}


def read_rollout(ledger: Ledger, name: str, undo_of: str | None = None) -> Rollout:
    """The rollout ``name``, or the undo of ``undo_of`` when given (``name`` is then its own)."""
    listed = ledger.listed_names(name)
    runs = ledger.runs(name)
    if not listed and not runs:
        missing = f"rollout {name!r}" if undo_of is None else f"undo of rollout {undo_of!r} yet"
        raise ToolError(f"the ledger {ledger.shown} holds no {missing}", statuses.LEDGER_UNREADABLE)
    counts = _counts(ledger.counts(name))
    return Rollout(name, ledger.shown, listed, ledger.done_names(name), counts, runs, undo_of)


def undo_state(undo: Undo) -> dict[str, Any]:
    """How far the rollout's undo has got: its meters by kind, its runs."""
    counts = undo.counts()
    return {
        "begun": bool(undo.runs),
        "runs": len(undo.runs),
        "to_put_back": counts["put_back"] + counts["undone"],
        "put_back": counts["undone"],
        "remaining": counts["put_back"],
        "kinds": counts,
    }


def _undo_line(undo: Undo) -> str:
    state = undo_state(undo)
    left = ", ".join(
        f"{n} {KINDS[kind]}" for kind, n in state["kinds"].items() if n and kind not in ("put_back", "undone")
    )
    named = sum(state["kinds"][kind] for kind in NAMED)
    runs = f"{state['runs']} run" + ("s" if state["runs"] > 1 else "")
    begun = f"{runs}: {state['put_back']} put back" if state["begun"] else "not begun"
    return (
        f"  undo    {begun}, {state['remaining']} still to put back of {state['to_put_back']} (--undo --rerun "
        f"lists them); left as they are: {left or 'none'}"
        + (f" ({named} to look at: prepay-enabled-flip-undo --plan)" if named else "")
    )


def render_table(rollout: Rollout, undo: Undo | None = None) -> str:
    c = rollout.counts
    failed = ", ".join(f"{cause} {n}" for cause, n in c["failed_by_cause"].items() if n)
    title = f"Rollout {rollout.name}" if rollout.undo_of is None else f"Undo of rollout {rollout.undo_of}"
    done, already = ("switched off", "already off") if rollout.undo_of is None else ("put back on", "already on")
    lines = [
        f"{title} in {rollout.ledger}",
        f"  names   {len(rollout.listed)} listed: {len(rollout.listed) - len(rollout.remaining)} {done}, "
        f"{len(rollout.remaining)} still to do ({'--rerun' if rollout.undo_of is None else '--undo --rerun'} lists them)",
        f"  meters  {c['selected']} selected: {c[SWITCHED_OFF]} {done}, "
        + (f"{c[ALREADY_OFF]} {already} at the meter, " if c[ALREADY_OFF] else "")
        + (f"{c[ACCEPTED]} accepted and not yet confirmed, " if c[ACCEPTED] else "")
        + f"{c[FAILED]} failed"
        + (f" ({failed})" if failed else "")
        + f", {c[NOT_RUN]} not run",
        *(() if undo is None else (_undo_line(undo),)),
        "",
    ]
    columns = ["run_id", "shard", "started_at", "ended_at", "status", "names", "left_out", "selected"]
    columns += ["switched_off", "already_off", "failed", "not_run", "ledger_complete", "note"]
    cells = [[col.upper() for col in columns]]
    for run in rollout.runs:
        shard = "" if run["shard_index"] is None else f"{run['shard_index']}/{run['shard_count']}"
        values = run | {"shard": shard, "ended_at": run["ended_at"] or NO_END, "note": _note(run)}
        cells.append(["" if values[col] is None else str(values[col]) for col in columns])
    widths = [max(len(row[i]) for row in cells) for i in range(len(columns))]
    lines += ["  ".join(cell.ljust(w) for cell, w in zip(row, widths, strict=True)).rstrip() for row in cells]
    return "\n".join(lines) + "\n"


# A run without an end: killed, or its ledger out of reach from then until it exited (status 12).
NO_END = "(no end: killed, or its ledger out of reach)"


def _note(run: dict[str, Any]) -> str:
    """What a run's end says of its ledger: only a run that ended 12 has something to say."""
    if run["ended_at"] is None or run["status"] != statuses.LEDGER_INCOMPLETE:
        return ""
    if not run["ledger_complete"]:
        return f"ended {statuses.LEDGER_INCOMPLETE}: its last outcomes were not saved"
    return f"ended {statuses.LEDGER_INCOMPLETE}: stopped while its ledger could not be written; all saved since"


def render_rerun(remaining: list[str]) -> tuple[str, list[str]]:
    """The rerun list of the ``remaining`` names, and the names that a names file cannot hold."""
    names: list[str] = []
    unlisted: list[str] = []
    for name in remaining:
        (unlisted if any(c in name for c in ",\r\n") or not name.strip() else names).append(name)
    return "".join(f"{name}\n" for name in names), unlisted


def render_json(rollout: Rollout, meters: list[dict[str, Any]], undo: Undo | None = None) -> str:
    document = {
        "rollout": rollout.name if rollout.undo_of is None else rollout.undo_of,
        **({} if rollout.undo_of is None else {"undo": True}),
        "ledger": rollout.ledger,
        "names": len(rollout.listed),
        "names_remaining": len(rollout.remaining),
        "counts": rollout.counts,
        "runs": rollout.runs,
        **({} if undo is None else {"undone": undo_state(undo)}),
        "meters": meters,
    }
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"


def render_csv(meters: list[dict[str, Any]]) -> str:
    out = io.StringIO()
    writer = csv.DictWriter(out, METER_COLUMNS, lineterminator="\n")
    writer.writeheader()
    writer.writerows(meters)
    return out.getvalue()


def _ledger_setting(rollout: str | None) -> settings.LedgerSetting:
    # FLIP_LEDGER_FILE as the launcher reads it; nothing else of the environment is resolved.
    names = (variables.LEDGER, variables.LEDGER + variables.FILE_SUFFIX)
    environ = {key: os.environ[key] for key in names if key in os.environ}
    try:
        resolve_file_values(environ, variables.NAMES, (variables.LEDGER,), variables.FILE_SUFFIX)
    except FileValueError as exc:
        raise ToolError(str(exc), statuses.BAD_SETTING) from None
    environ[variables.ROLLOUT] = os.environ.get(variables.ROLLOUT, "") if rollout is None else rollout
    if environ.get(variables.LEDGER, "").strip() and not environ[variables.ROLLOUT].strip():
        raise ToolError(f"name the rollout: --rollout NAME, or {variables.ROLLOUT}", statuses.BAD_SETTING)
    try:
        setting = settings.ledger_from_env(environ)
    except ValueError as exc:
        raise ToolError(str(exc), statuses.BAD_SETTING) from None
    if setting is None:
        raise ToolError(f"{variables.LEDGER} is not set; set it to the runs' ledger", statuses.BAD_SETTING)
    return setting


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Show what a rollout of prepay-enabled-flip has done, from the ledger in FLIP_LEDGER; reads only.",
    )
    parser.add_argument("--rollout", help="the rollout (default: FLIP_ROLLOUT)")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--rerun", action="store_true", help="print the listed names not yet switched off, one a line")
    parser.add_argument(
        "--undo", action="store_true", help="show the rollout's undo; with --rerun, the names it has still to put back"
    )
    formats = "table: counts and runs (default); json or csv: every meter's latest outcome"
    shown.add_argument("--format", choices=("table", "json", "csv"), default="table", help=formats)
    args = parser.parse_args(argv)
    try:
        setting = _ledger_setting(args.rollout)
        try:
            ledger = open_ledger(setting.url, read_only=True)
        except LedgerMissing as exc:
            raise ToolError(str(exc), statuses.LEDGER_UNREADABLE) from None
        try:
            rollout = read_rollout(ledger, setting.rollout)
            undo = None
            if args.undo and not args.rerun:  # the undo shown as a rollout of its own
                rollout = read_rollout(ledger, undo_rollout(setting.rollout), setting.rollout)
            elif args.undo or not args.rerun:
                undo = read_undo(ledger, setting.rollout)
            meters = ledger.meters(rollout.name) if args.format != "table" else []
        finally:
            ledger.close()
    except LedgerError as exc:
        print(f"{PROGRAM}: {exc}", file=sys.stderr)
        return statuses.LEDGER_UNREADABLE
    except ToolError as exc:
        print(f"{PROGRAM}: {exc}", file=sys.stderr)
        return exc.status
    if args.rerun:
        remaining = rollout.remaining if undo is None else undo.remaining_names()
        text, unlisted = render_rerun(remaining)
        sys.stdout.write(text)
        for name in unlisted:
            print(f"{PROGRAM}: not listed, a names file cannot hold it: {name!r}", file=sys.stderr)
        if undo is None:
            print(f"{len(remaining)} of {len(rollout.listed)} names not yet switched off", file=sys.stderr)
        else:
            print(f"{len(remaining)} names with meters still to put back", file=sys.stderr)
    elif args.format == "table":
        sys.stdout.write(render_table(rollout, undo))
    else:
        sys.stdout.write(render_json(rollout, meters, undo) if args.format == "json" else render_csv(meters))
    return statuses.SUCCESS


if __name__ == "__main__":
    sys.exit(main())
