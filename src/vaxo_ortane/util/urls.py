"""Addresses as messages show them."""

from __future__ import annotations


def without_credentials(url: str) -> str:
    """``url`` without user name, password, query or fragment, for messages.

    Written out by hand rather than with ``urlsplit``, which raises on a bad host
    ("http://[bad"): a message about a bad address must not fail in its turn.
    """
    scheme, sep, rest = url.partition("://")
    if not sep:
        scheme, rest = "", url
    end = len(rest)
    for mark in "/?#":
        if (at := rest.find(mark)) != -1:
            end = min(end, at)
    host = rest[:end].rpartition("@")[2]
    path = rest[end:]
    for mark in "?#":
        path = path.partition(mark)[0]
    return f"{scheme}{sep}{host}{path}"
