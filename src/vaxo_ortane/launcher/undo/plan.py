"""``prepay-enabled-flip-undo --plan``: what the undo would do to each meter of the rollout, and why.

It reads the ledger as the undo does (``ledger.undoing``), looks each meter it would
put back up in the mediator inventory, and with ``--read-mediators`` reads that meter's
setting (``GET``, within the write budget); it never writes. Its table, formats and
statuses are ``prepay-enabled-flip-plan``'s: 0 when no meter needs a look, 4 when one
does (its value before unknown, the rollout's write unconfirmed, no mediator now), 14
when a mediator refused the job's credentials to a read; 1 when the ledger or the
inventory cannot be used, 2 for a bad setting or a rollout the ledger does not hold.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import signal
import sys
from typing import Any

from vaxo_ortane.launcher.ledger.undoing import KINDS, WHY, Undo, read_undo
from vaxo_ortane.launcher.planning.plan import Entry, PlanError, read_mediators, show
from vaxo_ortane.launcher.rollout import plan as rollout_plan
from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.undo import command

# The kinds that need no look: the undo puts them back, or rightly leaves them as they are.
FINE = frozenset({"put_back", "undone", "was_off", "not_switched_off"})


def _note(level: str, message: str, **fields: object) -> None:
    print(f"{command.PROGRAM}: {message}", file=sys.stderr)


def _read(url: str, rollout: str) -> Undo:
    from vaxo_ortane.launcher.ledger.backends import open_ledger
    from vaxo_ortane.launcher.ledger.store import LedgerError, LedgerMissing

    try:
        ledger = open_ledger(url, read_only=True)
        try:
            undo = read_undo(ledger, rollout)
        finally:
            ledger.close()
    except LedgerMissing as exc:
        raise PlanError(f"{exc}: it holds no rollout {rollout!r}", statuses.BAD_SETTING) from None
    except LedgerError as exc:
        raise PlanError(str(exc), statuses.COLLABORATOR_FAILED) from None
    if undo is None:
        raise PlanError(f"the ledger holds no rollout {rollout!r}; --rollout names the rollout", statuses.BAD_SETTING)
    return undo


def entries_of(undo: Undo, containers: Any) -> list[Entry]:
    """One entry a meter of the rollout, in the ledger's order; a meter to put back without a
    mediator now is of its own kind."""
    entries = []
    for kind, meter in undo.meters:
        address = None
        if kind == "put_back":
            address = containers.mediator_address(meter.row_id, meter.serial)
            kind = kind if address is not None else "no_mediator"
        entry = Entry(str(meter.name), kind, KINDS[kind], meter.row_id, meter.meter_id, meter.serial, why=WHY[kind])
        entry.mediator_address = address
        entries.append(entry)
    return entries


def main(args: argparse.Namespace) -> int:
    try:
        return _plan(args)
    except PlanError as exc:
        print(f"{command.PROGRAM}: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        print(f"{command.PROGRAM}: interrupted; nothing was written", file=sys.stderr, flush=True)
        os._exit(statuses.stopped_by(signal.SIGINT))  # at once: not after the reads in flight


def _plan(args: argparse.Namespace) -> int:
    settings = command.settings(args.rollout, os.environ, _note)  # a bad setting ends it, as the undo
    assert settings.ledger is not None
    undo = _read(settings.ledger.url, args.rollout)
    from vaxo_ortane.orchestrate.adapter.factory import InventoryError, get_instance

    try:
        containers = get_instance(esco=args.esco)
    except InventoryError as exc:
        raise PlanError(str(exc), statuses.COLLABORATOR_FAILED) from None
    entries = entries_of(undo, containers)
    # A plan draws nothing from a ledger's budget: its reads take this process's share, as the run's plan.
    rollout = dataclasses.replace(settings.rollout, shared=False)
    latencies: list[float] = []
    if args.read_mediators:
        with rollout_plan.budget(rollout, _note) as budget:
            latencies = read_mediators(entries, budget, kind="put_back")
    from vaxo_ortane.mediator.client import default_settings  # checked with the settings

    selected = [meter.row() for meter in undo.to_put_back()]
    pace = rollout_plan.pace(entries, selected, rollout, latencies, default_settings().read_back, writing="put_back")
    fields = {"undo_of": args.rollout, "esco": args.esco}
    return show(entries, args, fields, pace, KINDS, FINE, "meters", command.PROGRAM)
