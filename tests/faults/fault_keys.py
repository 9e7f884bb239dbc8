"""Distinctive keys, so that a leak anywhere is found by a plain search."""

from __future__ import annotations

ANON = "fault-anon-3c71e9d2b4"
ROLE = "fault-role-a58b04f6e1"


def assert_no_key(*texts: str) -> None:
    for text in texts:
        assert ANON not in text and ROLE not in text, f"a key leaked into: {text[:300]!r}"
