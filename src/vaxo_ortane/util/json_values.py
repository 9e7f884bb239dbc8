"""Values made safe for JSON: the fields of a record, the cells of a report or a plan."""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from typing import Any

# Deeper structures than this are shown as text: a record stays small and finite.
MAX_DEPTH = 8
AS_IS = frozenset({str, bool, type(None)})
# Ints this short are far inside the interpreter's limit on int-to-text digits.
SAFE_INT_BITS = 4096


def safe_repr(value: object) -> str:
    try:
        return repr(value)
    except Exception:  # a broken __repr__ must not cost the record
        return f"<{type(value).__qualname__} object (repr failed)>"


def safe_str(value: object) -> str:
    try:
        return str(value)
    except Exception:
        return f"<{type(value).__qualname__} object (str failed)>"


def describe_exception(exc: BaseException) -> str:
    try:
        text = str(exc)
    except Exception:
        text = "(str failed)"
    name = type(exc).__qualname__
    return f"{name}: {text}" if text else name


def plain(value: object, depth: int = 0, shown: Callable[[object], str] = safe_repr) -> Any:
    """Turn ``value`` into something ``json.dumps`` writes without error (and
    orjson too, but for ints beyond 64 bits and lone surrogates).

    Exceptions become their type and text; what JSON cannot hold becomes
    ``shown(value)``: its repr in a record, its str (a UUID's text, say) in a table.
    """
    # Every field of every record comes through here: the common exact types
    # return at once, before the general checks.
    kind = type(value)
    if kind in AS_IS:
        return value
    if kind is int and value.bit_length() <= SAFE_INT_BITS:  # type: ignore[attr-defined]  # kind is type(value)
        return value
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        try:
            json.dumps(value)  # ints past the digit limit refuse to become text
        except ValueError:
            return f"<int of {value.bit_length()} bits>"
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, BaseException):
        return describe_exception(value)
    if depth >= MAX_DEPTH:
        return shown(value)
    if isinstance(value, (list, tuple)):
        return [plain(item, depth + 1, shown) for item in value]
    if isinstance(value, dict) and all(isinstance(key, str) for key in value):
        return {key: plain(item, depth + 1, shown) for key, item in value.items()}
    return shown(value)
