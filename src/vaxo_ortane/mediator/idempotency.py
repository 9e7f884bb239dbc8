"""Idempotency keys: one per intended change, the same on every attempt of it.

A key is derived from what the write means, never from when it is sent: the
scope (a rollout, or one run when no ledger keeps the rollout), the registry
row's id and the value written. Every retry, resumed run, shard and machine of
a rollout therefore sends the same key for the same change, and a mediator that
has taken it answers again without writing again.

A change the head-end refused for good (its request ended failed, or the meter
read back unchanged) is a new change when tried again: it takes the next key of
the chain, derived from the one before, so that the mediator does not answer
the refusal again from its record of the old key.
"""

from __future__ import annotations

import hashlib
import os

PREFIX = "pef-"
# 128 bits of SHA-256: no two changes of a fleet meet, and the header stays short.
DIGITS = 32
LONGEST = 255


def key_for(scope: str, row_id: str, value: bool, previous: str | None = None) -> str:
    """The key of writing ``value`` to the row ``row_id`` within ``scope``; after ``previous``
    (a key the head-end refused), the next one."""
    text = f"{scope}\n{row_id}\n{'true' if value else 'false'}"
    if previous is not None:
        text += f"\nafter {previous}"
    return PREFIX + hashlib.sha256(text.encode("utf-8", "backslashreplace")).hexdigest()[:DIGITS]


def random_key() -> str:
    """A key for a write that nothing else identifies: it holds for that write's own retries."""
    return PREFIX + os.urandom(DIGITS // 2).hex()


def usable(key: object) -> bool:
    """Whether ``key`` can go into a header as it is: printable ASCII, no blank, of a sane length."""
    return isinstance(key, str) and 0 < len(key) <= LONGEST and key.isascii() and key.isprintable() and " " not in key
