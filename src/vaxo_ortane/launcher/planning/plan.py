"""``prepay-enabled-flip-plan``: what a run of the job would do to each listed name, and why.

It reads the job's variables, their ``_FILE`` forms and the shard settings as the
launcher does, asks the registry for every row of the listed names (not only the
ones the job would select), and the mediator inventory for their mediators. With
``--read-mediators`` it also reads each meter's current setting from its mediator
(``GET``, five at a time). It never writes, to the registry or to a mediator.

Exit status: 0 when every listed name would be switched off or is already off;
4 when some name needs a look; 14 when a mediator refused the job's credentials to
a read (``--read-mediators``), so that ``plan && run`` does not go on to a run whose
every write would be refused; 1, 2 or 3 when the settings cannot be used, as for
the job (a bad command line is 2).

With a write-rate budget or a canary set, it also shows how long the writes would
take and marks the wave's names (``rollout.plan``); its reads stay within the
budget.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import signal
import sys
import time
from collections.abc import Iterable, Mapping, MutableMapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass
from typing import TYPE_CHECKING, Any

from vaxo_ortane.launcher.rollout import plan as rollout_plan
from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.run.messages import REGISTRY_TABLE
from vaxo_ortane.launcher.run.shards import ShardRun, split_names
from vaxo_ortane.launcher.settings import environment as settings
from vaxo_ortane.launcher.settings import variables
from vaxo_ortane.util.json_values import plain, safe_str
from vaxo_ortane.util.terminals import is_terminal

if TYPE_CHECKING:
    from vaxo_ortane.launcher.rollout.rate_budget import RateBudget

PROGRAM = "prepay-enabled-flip-plan"
READERS = 5

# Each kind, in the order the closing line counts them, and how the plan says it.
KINDS = {
    "switch_off": "would switch off",
    "already_off": "already off",
    "unknown": "setting unknown (NULL)",
    "not_found": "not in the registry",
    "no_mediator": "no mediator for this ESCO",
    "other_esco": "the row belongs to another ESCO",
    "duplicate": "several rows share the name",
    "rollout_done": "already switched off in this rollout",  # shown only with a ledger
}
FINE = frozenset({"switch_off", "already_off", "rollout_done"})
OPTIONAL = frozenset({"rollout_done"})  # counted only when some name is of it
WHY = {
    "already_off": "prepay_enabled is false: the run does not select it",
    "unknown": "prepay_enabled is NULL: the run does not select it; set it to true or false",
    "not_found": "no registry row has this name: check its spelling and case",
    "no_mediator": "the mediator inventory has no mediator for this meter: the run would fail it",
    "duplicate": "the run would write to every row not already off",
    "rollout_done": "the ledger shows every selected row of it switched off: the run leaves it out",
}


@dataclass
class Entry:
    name: str
    kind: str
    plan: str
    id: Any = None
    meter_id: Any = None
    serial: Any = None
    esco: Any = None
    mediator_address: str | None = None
    current: str | None = None
    why: str = ""
    wave: str | None = None
    credentials_refused: bool = False  # its mediator refused the job's credentials to the read


class PlanError(Exception):
    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def _entry(name: str, kind: str, row: Mapping[str, Any] | None = None, **extra: Any) -> Entry:
    fields = {key: plain(row.get(key), shown=safe_str) for key in ("id", "meter_id", "serial", "esco")} if row else {}
    extra.setdefault("why", WHY.get(kind, ""))
    return Entry(name, kind, KINDS[kind], **fields, **extra)


def classify(
    names: Iterable[str],
    rows: Iterable[Mapping[str, Any]],
    esco: str | None,
    containers: Any,
    done: frozenset[str] = frozenset(),
) -> list[Entry]:
    """One entry per listed name, in list order; ``done``: the names the rollout has switched off."""
    by_name: dict[str, list[Mapping[str, Any]]] = {}
    for row in rows:
        by_name.setdefault(str(row.get("name")), []).append(row)
    entries = []
    for name in names:
        found = by_name.get(name, [])
        if name in done:
            entries.append(_entry(name, "rollout_done", found[0] if len(found) == 1 else None))
            continue
        if not found:
            entries.append(_entry(name, "not_found"))
            continue
        if len(found) > 1:
            shown = ", ".join(
                f"id {r.get('id')} ({r.get('esco')}, prepay_enabled {r.get('prepay_enabled')})" for r in found
            )
            entries.append(_entry(name, "duplicate", why=f"{len(found)} rows: {shown}; {WHY['duplicate']}"))
            continue
        row = found[0]
        setting = row.get("prepay_enabled")
        if setting is False:
            entries.append(_entry(name, "already_off", row))
        elif setting is None:
            entries.append(_entry(name, "unknown", row))
        elif esco is not None and row.get("esco") != esco:
            entries.append(
                _entry(
                    name,
                    "other_esco",
                    row,
                    why=(
                        f"the row's ESCO is {row.get('esco')}, not {esco}: the run would select it "
                        f"and fail it for want of a mediator"
                    ),
                )
            )
        elif (address := containers.mediator_address(row.get("id"), row.get("serial"))) is None:
            entries.append(_entry(name, "no_mediator", row))
        else:
            entries.append(
                _entry(
                    name,
                    "switch_off",
                    row,
                    mediator_address=address,
                    why="prepay_enabled is true: the run writes false through this mediator",
                )
            )
    return entries


def read_mediators(entries: Sequence[Entry], budget: RateBudget | None = None, kind: str = "switch_off") -> list[float]:
    """Fill ``current`` for each meter a run would write to (of ``kind``), five reads at a time;
    the seconds each successful read took, waiting for ``budget`` aside."""
    from vaxo_ortane.mediator.client import OrtaneMediatorClient
    from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException

    latencies: list[float] = []

    def read(entry: Entry) -> None:
        waited = 0.0 if budget is None else budget.waited_here()
        started = time.monotonic()
        try:
            client = OrtaneMediatorClient(mediator_address=str(entry.mediator_address), meter_id=entry.meter_id)
            entry.current = "on" if client.prepay_enabled_read() else "off"
        except MediatorClientException as exc:
            entry.current = f"unreadable: {exc.cause}"
            entry.credentials_refused = exc.credentials_refused
            return
        waited = 0.0 if budget is None else budget.waited_here() - waited
        latencies.append(time.monotonic() - started - waited)

    pool = ThreadPoolExecutor(max_workers=READERS)
    try:
        list(pool.map(read, [e for e in entries if e.kind == kind]))
    finally:
        # On Ctrl-C, not waiting for the reads in flight (up to a read's whole time-out).
        pool.shutdown(wait=False, cancel_futures=True)
    return latencies


def _settings(environ: Mapping[str, str]) -> tuple[list[str], str, str, str]:
    # The job's own checks, in its order, with its statuses.
    text = environ.get(variables.NAMES)
    if text is None:
        raise PlanError(f"ERROR: {variables.NAMES} not defined", statuses.NAMES_NOT_SET)
    url, anon, role = (environ.get(v) for v in variables.KEY_VARIABLES)
    if not url or not anon:
        raise PlanError(
            f"Environment variables {variables.SUPABASE_URL} and {variables.SUPABASE_ANON_KEY} not set.",
            statuses.REGISTRY_SETTINGS_NOT_SET,
        )
    if not role:
        raise PlanError(f"Environment variable {variables.TRAMU_ROLE_KEY} not set.", statuses.ROLE_KEY_NOT_SET)
    # The same name twice is one registry look-up; an empty piece names no meter.
    names = list(dict.fromkeys(name for name in split_names(text) if name))
    return names, url, anon, role


def _note(level: str, message: str, **fields: object) -> None:
    print(f"{PROGRAM}: {message}", file=sys.stderr)


def make_plan(
    environ: MutableMapping[str, str], esco: str | None, read: bool
) -> tuple[list[Entry], ShardRun | None, rollout_plan.Pace | None]:
    # The launcher's own step, with its statuses: a file or shard the job would refuse ends the plan too.
    shard_run = settings.job_inputs(environ, _note)
    settings.check_mediator_settings(_note)
    try:
        rollout = settings.rollout_from_env(environ, shard_run)
    except ValueError as exc:
        raise PlanError(str(exc), statuses.BAD_SETTING) from None
    if shard_run is not None and shard_run.empty:
        return [], shard_run, None
    names, url, anon, role = _settings(environ)
    done = _rollout_done(environ, names)
    # Imported here, as the job does at its start: a settings error costs no import.
    from vaxo_ortane.orchestrate.adapter.factory import InventoryError, get_instance
    from vaxo_ortane.util.supabase import RegistryError, supa_client

    try:
        containers = get_instance(esco=esco)
        client = supa_client(url, anon, role)
        # Without the job's neq filter: the rows it would not select are the ones to explain.
        rows = client.table(REGISTRY_TABLE).select("*").in_("name", names).execute().data
    except (InventoryError, RegistryError) as exc:
        raise PlanError(str(exc), statuses.COLLABORATOR_FAILED) from None
    entries = classify(names, rows, esco, containers, done)
    latencies: list[float] = []
    if read:
        with rollout_plan.budget(rollout, _note) as budget:
            latencies = read_mediators(entries, budget)
    from vaxo_ortane.mediator.client import default_settings  # checked above

    read_back = default_settings().read_back
    # The run selects, in the registry's order, the rows not already off and not NULL, of the
    # names its ledger does not leave out.
    selected = [row for row in rows if row.get("prepay_enabled") not in (False, None) and row.get("name") not in done]
    return entries, shard_run, rollout_plan.pace(entries, selected, rollout, latencies, read_back)


def _rollout_done(environ: Mapping[str, str], names: list[str]) -> frozenset[str]:
    # The names a run with this ledger would leave out; none without a ledger.
    try:
        ledger = settings.ledger_from_env(environ)
    except ValueError as exc:
        raise PlanError(str(exc), statuses.BAD_SETTING) from None
    if ledger is None:
        return frozenset()
    from vaxo_ortane.launcher.ledger.resume import done_names
    from vaxo_ortane.launcher.ledger.store import LedgerError

    try:
        return done_names(ledger, names)
    except LedgerError as exc:
        raise PlanError(str(exc), statuses.COLLABORATOR_FAILED) from None


def counts(entries: Iterable[Entry], kinds: Mapping[str, str] = KINDS) -> dict[str, int]:
    result = {kind: 0 for kind in kinds if kind not in OPTIONAL}
    for entry in entries:
        result[entry.kind] = result.get(entry.kind, 0) + 1
    return result


def closing_line(entries: Sequence[Entry], kinds: Mapping[str, str] = KINDS, noun: str = "names") -> str:
    return f"{len(entries)} {noun}: " + ", ".join(f"{n} {kinds[k]}" for k, n in counts(entries, kinds).items())


def _columns(read: bool, entries: Sequence[Entry] = ()) -> list[str]:
    read_column = ["current"] if read else []
    wave_column = ["wave"] if any(e.wave for e in entries) else []
    return ["name", "plan", "id", "meter_id", "serial", "esco", "mediator_address", *read_column, *wave_column, "why"]


def render_table(entries: Sequence[Entry], read: bool, closing: str | None = None) -> str:
    columns = _columns(read, entries)
    cells = [[c.upper() for c in columns]]
    cells += [["" if v is None else str(v) for v in (getattr(e, c) for c in columns)] for e in entries]
    widths = [max(len(row[i]) for row in cells) for i in range(len(columns) - 1)]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(row, widths, strict=False)) + "  " + row[-1] for row in cells]
    return "\n".join([*lines, "", closing or closing_line(entries)]) + "\n"


def write_terminal_table(entries: Sequence[Entry], read: bool, closing: str | None = None) -> None:
    """The table as the run's closing summary draws it, fitted to the terminal."""
    from vaxo_ortane.launcher.watching.tables import write_table

    columns = _columns(read)
    rows = [[getattr(e, c) for c in columns] for e in entries]
    write_table(sys.stdout, [c.upper() for c in columns], rows, lines=["", closing or closing_line(entries)])


def render_csv(entries: Sequence[Entry], read: bool) -> str:
    out = io.StringIO()
    writer = csv.DictWriter(out, [*_columns(read, entries), "kind"], extrasaction="ignore", lineterminator="\n")
    writer.writeheader()
    writer.writerows(asdict(e) for e in entries)
    return out.getvalue()


def render_json(
    entries: Sequence[Entry],
    fields: Mapping[str, Any],
    pace: rollout_plan.Pace | None = None,
    kinds: Mapping[str, str] = KINDS,
) -> str:
    document = dict(fields) | {"counts": counts(entries, kinds), "meters": [asdict(e) for e in entries]}
    document["rollout"] = None if pace is None else pace.document()
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"


def show(
    entries: Sequence[Entry],
    args: argparse.Namespace,
    fields: Mapping[str, Any],
    pace: rollout_plan.Pace | None,
    kinds: Mapping[str, str] = KINDS,
    fine: frozenset[str] = FINE,
    noun: str = "names",
    program: str = PROGRAM,
) -> int:
    """Print a plan as ``args`` ask (``--format``, ``--read-mediators``), json carrying ``fields``;
    its exit status: 0 when every entry is of a ``fine`` kind."""
    read, closing = args.read_mediators, closing_line(entries, kinds, noun)
    if args.format == "table" and is_terminal(sys.stdout):
        write_terminal_table(entries, read, closing)
    elif args.format == "table":
        sys.stdout.write(render_table(entries, read, closing))
    else:
        text = render_csv(entries, read) if args.format == "csv" else render_json(entries, fields, pace, kinds)
        sys.stdout.write(text)
        print(closing, file=sys.stderr)  # data on standard output, the count beside it
    if pace is not None:
        (sys.stdout if args.format == "table" else sys.stderr).write(pace.text())
    if refused := sum(e.credentials_refused for e in entries):
        print(
            f"{program}: {refused} mediator read(s) refused the job's credentials: "
            f"exit status {statuses.CREDENTIALS_REFUSED}, a run would be refused alike",
            file=sys.stderr,
        )
        return statuses.CREDENTIALS_REFUSED
    return statuses.SUCCESS if all(e.kind in fine for e in entries) else statuses.NEEDS_A_LOOK


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Show what a prepay-enabled-flip run would do to each listed meter name; "
        "reads the same variables, files and shard settings as the job, and writes nothing.",
        epilog=variables.HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--esco", help="Plan for this ESCO only, as the job's --esco")
    parser.add_argument(
        "--read-mediators",
        action="store_true",
        help="also read each meter's current setting from its mediator (GET, never a write)",
    )
    parser.add_argument(
        "--format",
        choices=("table", "json", "csv"),
        default="table",
        help="table for a terminal (default), json or csv for tools",
    )
    args = parser.parse_args(argv)
    try:
        entries, shard_run, pace = make_plan(os.environ, args.esco, args.read_mediators)
    except PlanError as exc:
        print(f"{PROGRAM}: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        print(f"{PROGRAM}: interrupted; nothing was written", file=sys.stderr, flush=True)
        # At once: the interpreter's exit would wait for the reads still in flight.
        os._exit(statuses.stopped_by(signal.SIGINT))
    shard = None if shard_run is None else shard_run.description()
    return show(entries, args, {"esco": args.esco, "shard": shard}, pace)


if __name__ == "__main__":
    sys.exit(main())
