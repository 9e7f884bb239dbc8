"""Secrets taken out of a text that a mediator sent back, in every form a body carries them.

A mediator may echo the request it refused: the token then comes back raw, JSON-escaped
(``\\"``, ``\\\\``, ``\\/``, ``\\u0041``), percent-encoded (``%22``, ``%2f``), or a mix of
them, and ``repr`` escapes a quote as ``\\'``. Each secret becomes one pattern that takes
each of its characters in any of those forms, so no spelling of it is left whole.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Iterable

MASK = "***"


def _forms(char: str) -> list[str]:
    forms = [re.escape(char)]
    encoded = char.encode("utf-8", "surrogatepass")
    forms.append("".join(f"%{byte:02x}" for byte in encoded))
    code = ord(char)
    if code > 0xFFFF:  # JSON writes it as a surrogate pair
        code -= 0x10000
        forms.append(f"\\\\u{0xD800 + (code >> 10):04x}\\\\u{0xDC00 + (code & 0x3FF):04x}")
    else:
        forms.append(f"\\\\u{code:04x}")
    if not char.isalnum():
        forms.append("\\\\" + re.escape(char))  # \" \\ \/ and repr's \'
    if char == " ":
        forms.append(r"\+")  # a form's space
    return forms


@functools.lru_cache(maxsize=64)
def _pattern(secret: str) -> re.Pattern[str]:
    # Hex digits in either case: the forms above are written in lower case.
    return re.compile("".join(f"(?:{'|'.join(_forms(c))})" for c in secret), re.IGNORECASE)


def scrubbed(text: str, secrets: Iterable[str]) -> str:
    """``text`` with every form of each of ``secrets`` replaced by ``***``, the longest first."""
    for secret in sorted({s for s in secrets if s}, key=len, reverse=True):
        text = _pattern(secret).sub(MASK, text)
    return text
