"""The ledger that a ``FLIP_LEDGER`` URL names."""

from __future__ import annotations

from pathlib import Path

from vaxo_ortane.launcher.ledger.store import Ledger


def open_ledger(url: str, read_only: bool = False) -> Ledger:
    """The ledger at ``url`` (``sqlite:///PATH`` or ``postgresql://...``, as settings checked it)."""
    scheme, _, rest = url.partition("://")
    if scheme.lower() == "sqlite":
        from vaxo_ortane.launcher.ledger.sqlite import SqliteLedger

        return SqliteLedger(Path("/" + rest.lstrip("/")), read_only)
    from vaxo_ortane.launcher.ledger.postgres import PostgresLedger

    return PostgresLedger(url, read_only)
