"""``prepay-enabled-flip-undo``'s command line and settings.

``--rollout R`` and ``FLIP_LEDGER`` are all it needs to find what to put back and to
record itself: the ledger holds each meter the rollout switched off, with its row id,
meter_id, serial and value before. ``FLIP_ROLLOUT``, the name list and the shard
settings are ignored with a warning; the rest are the run's own (``settings``).
"""

from __future__ import annotations

import argparse
from collections.abc import Callable, MutableMapping

from vaxo_ortane.launcher.ledger.schema import undo_rollout
from vaxo_ortane.launcher.settings import environment
from vaxo_ortane.launcher.settings.variables import UNDO_HELP

PROGRAM = "prepay-enabled-flip-undo"
FORMATS = ("table", "json", "csv")


def arguments(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Put back on every meter that a rollout of prepay-enabled-flip switched off and that was on "
        "before it, as the rollout's ledger (FLIP_LEDGER) holds them; --plan shows what it would do, and writes "
        "nothing.",
        epilog=UNDO_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--rollout", required=True, help="the rollout to undo, as its runs' FLIP_ROLLOUT named it")
    parser.add_argument("--esco", help="use only this ESCO's mediators, as the job's --esco")
    parser.add_argument("--plan", action="store_true", help="show what the undo would do to each meter, and why")
    parser.add_argument(
        "--read-mediators", action="store_true", help="with --plan: read each meter's setting (GET, never a write)"
    )
    parser.add_argument("--format", choices=FORMATS, default="table", help="with --plan: table (default), json, csv")
    args = parser.parse_args(argv)
    if not args.plan and (args.read_mediators or args.format != "table"):
        parser.error("--read-mediators and --format go with --plan")
    return args


def settings(rollout: str, environ: MutableMapping[str, str], record: Callable[..., None]) -> environment.Settings:
    """The undo's settings, a setting that cannot be used ending the process as for a run."""
    return environment.undo_from_env(environ, rollout, undo_rollout(rollout), record)
