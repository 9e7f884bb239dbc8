"""The ledger that a ``FLIP_LEDGER`` URL names."""

from __future__ import annotations

from pathlib import Path

from vaxo_ortane.launcher.ledger.store import Ledger


def open_ledger(url: str, read_only: bool = False) -> Ledger:
    """The ledger at ``url`` (``sqlite:///PATH`` or ``postgresql://...``, as settings checked it).

    A ledger written by an older release is brought up to date when it is opened, even
    to be read: a run does it as it begins, a reader through a connection of its own.
    """
    ledger = _connect(url, read_only)
    try:
        if read_only and ledger.outdated():
            writable = _connect(url, False)
            try:
                writable.upgrade()
            finally:
                writable.close()
    except BaseException:
        ledger.close()
        raise
    return ledger


def _connect(url: str, read_only: bool) -> Ledger:
    scheme, _, rest = url.partition("://")
    if scheme.lower() == "sqlite":
        from vaxo_ortane.launcher.ledger.sqlite import SqliteLedger

        return SqliteLedger(Path("/" + rest.lstrip("/")), read_only)
    from vaxo_ortane.launcher.ledger.postgres import PostgresLedger

    return PostgresLedger(url, read_only)
