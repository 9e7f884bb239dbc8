"""Time stamps as records and reports write them."""

from __future__ import annotations

import time

# The last second stamped and its text: the records of one second share it.
_second: tuple[int, str] = (-1, "")


def utc_now() -> str:
    """Now, in UTC, as ISO 8601 text ending in ``Z``: ``2026-12-09T07:49:28.123456Z``.

    The microseconds are left out when they are 0, as ``datetime.isoformat`` does.
    Half the cost of ``datetime.now(tz=UTC).isoformat()``, which made every record.
    """
    global _second
    seconds, micros = divmod(time.time_ns() // 1000, 1_000_000)
    second, text = _second
    if second != seconds:
        text = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds))
        _second = (seconds, text)  # one assignment: a thread sees the old pair or the new one
    return f"{text}.{micros:06d}Z" if micros else f"{text}Z"
