"""Time stamps as records and reports write them."""

from __future__ import annotations

import datetime

_UTC = datetime.UTC
_now = datetime.datetime.now


def utc_now() -> str:
    """Now, in UTC, as ISO 8601 text ending in ``Z``: ``2026-12-09T07:49:28.123456Z``."""
    return _now(tz=_UTC).isoformat().replace("+00:00", "Z")
