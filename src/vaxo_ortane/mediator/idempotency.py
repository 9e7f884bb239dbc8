"""Idempotency keys: one per intended change, the same on every attempt of it.

A key is derived from what the write means, never from when it is sent: the
scope (a rollout, or one run when no ledger keeps the rollout), the registry
row's id and the value written. Every retry, resumed run, shard and machine of
a rollout therefore sends the same key for the same change, and a mediator that
has taken it answers again without writing again.

``pef-<16 hex digits of the scope's SHA-256>-<row id>-<f or t>``: the row id as it
is when it is short and made of letters, digits, ``.``, ``_`` and ``-``, else
``~`` and 32 hex digits of its SHA-256, which no such id can look like. The scope
is hashed once a run, so a key costs a write a few string operations.

A change the head-end refused for good (its request ended failed, or the meter
read back unchanged) is a new change when tried again: it takes the next key of
the chain, ``^`` and 32 hex digits of a SHA-256 of the key before, so that the
mediator does not answer the refusal again from its record of the old key.
"""

from __future__ import annotations

import hashlib
import os
import re

PREFIX = "pef-"
LONGEST = 255
_PLAIN = re.compile(r"[A-Za-z0-9._-]{1,100}")


def _digest(text: str, digits: int) -> str:
    return hashlib.sha256(text.encode("utf-8", "backslashreplace")).hexdigest()[:digits]


def scope_prefix(scope: str) -> str:
    """What every key of ``scope`` begins with."""
    return f"{PREFIX}{_digest(scope, 16)}-"


def key_for(prefix: str, row_id: str, value: bool, previous: str | None = None) -> str:
    """The key of writing ``value`` to the row ``row_id`` in the scope of ``prefix``; after
    ``previous`` (a key whose change the head-end refused), the next one."""
    if previous is not None:
        return f"{prefix}^{_digest(previous, 32)}"
    # Most registries' ids are numbers: plain without the pattern's cost.
    plain = (row_id.isdecimal() and row_id.isascii() and len(row_id) <= 100) or _PLAIN.fullmatch(row_id)
    row = row_id if plain else f"~{_digest(row_id, 32)}"
    return f"{prefix}{row}-{'t' if value else 'f'}"


def random_key() -> str:
    """A key for a write that nothing else identifies: it holds for that write's own retries."""
    return PREFIX + os.urandom(16).hex()


def usable(key: object) -> bool:
    """Whether ``key`` can go into a header as it is: printable ASCII, no blank, of a sane length."""
    return type(key) is str and 0 < len(key) <= LONGEST and key.isascii() and key.isprintable() and " " not in key
