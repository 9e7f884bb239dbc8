"""Numbers in settings, read one way for every variable.

Only ASCII digits count: ``int`` and ``float`` would also take other scripts'
digits (Arabic-Indic, Devanagari, ...), underscores, signs, exponents, "inf" and "nan", none of which an
operator means. A value is also bounded in length, so that a pasted blob cannot
reach the interpreter's limit on digits and fail without naming its variable.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import NamedTuple

# Far more than any count or duration a setting holds.
MAX_DIGITS = 12
_WHOLE = re.compile(rf"[0-9]{{1,{MAX_DIGITS}}}")
_DECIMAL = re.compile(rf"[0-9]{{1,{MAX_DIGITS}}}(?:\.[0-9]{{0,{MAX_DIGITS}}})?|\.[0-9]{{1,{MAX_DIGITS}}}")


def whole(text: str) -> int | None:
    """``text`` (blanks around it aside) as a whole number, or None when it is not one."""
    text = text.strip()
    return int(text) if _WHOLE.fullmatch(text) else None


def decimal(text: str) -> float | None:
    """``text`` (blanks around it aside) as a decimal number such as 3, 0.25 or .5, or None."""
    text = text.strip()
    return float(text) if _DECIMAL.fullmatch(text) else None


def count_or_share(text: str) -> tuple[int, bool] | None:
    """``text`` as a count of at least 1 (``50``) or a share from 1 % to 100 % (``10%``):
    the number and whether it is a share; None for anything else ("5 %" included)."""
    text = text.strip()
    share = text.endswith("%")
    digits = text.removesuffix("%")
    number = whole(digits) if digits == digits.strip() else None
    if number is None or number < 1 or (share and number > 100):
        return None
    return number, share


def count_or_share_setting(
    variable: str, raw: str, counted: str, examples: tuple[str, str], unset: str
) -> tuple[int, bool] | None:
    """The count or share that ``variable`` holds as ``raw``, None for blank; raises
    NumberSettingError naming the variable, what it counts and what leaving it unset means."""
    if not raw.strip():
        return None
    if (parsed := count_or_share(raw)) is None:
        raise NumberSettingError(
            f"{variable}={shown(raw.strip())} must be a count of {counted} of at least 1 ({examples[0]}) "
            f"or a share from 1% to 100% ({examples[1]}), or be left unset for {unset}"
        )
    return parsed


def shown(text: str) -> str:
    """A bad value as a message quotes it: its start only."""
    return repr(text if len(text) <= 40 else text[:40] + "...")


class NumberSettingError(ValueError):
    """A variable that should hold a number does not; names the variable."""


def setting(env: Mapping[str, str], name: str, default: float, minimum: float, *, above: bool = False) -> float:
    """The decimal number in ``env[name]``, ``default`` when unset or blank.

    It must be at least ``minimum``, or above it with ``above``.
    """
    raw = env.get(name, "")
    if not raw.strip():
        return default
    value = decimal(raw)
    if value is None or value < minimum or (above and value == minimum):
        bound = "a positive number" if above and minimum == 0 else f"a number of at least {minimum:g}"
        raise NumberSettingError(f"{name}={shown(raw.strip())} must be {bound}")
    return value


def whole_setting(env: Mapping[str, str], name: str, default: int, minimum: int) -> int:
    """The whole number in ``env[name]``, at least ``minimum``; ``default`` when unset or blank."""
    raw = env.get(name, "")
    if not raw.strip():
        return default
    value = whole(raw)
    if value is None or value < minimum:
        raise NumberSettingError(f"{name}={shown(raw.strip())} must be a whole number of at least {minimum}")
    return value


class Bound(NamedTuple):
    """The variable that sets a field of a settings class, and the least value it takes."""

    variable: str
    minimum: float
    above: bool = False  # the minimum itself is refused


def settings_from_env[T](cls: type[T], env: Mapping[str, str], bounds: Mapping[str, Bound]) -> T:
    """An instance of the settings class ``cls`` whose fields named in ``bounds`` come from
    their variables in ``env``; an int field takes whole numbers only, and an unset
    variable leaves the class's default."""
    values: dict[str, float] = {}
    for field, (variable, minimum, above) in bounds.items():
        default = getattr(cls, field)
        if isinstance(default, int):
            values[field] = whole_setting(env, variable, default, int(minimum) + above)
        else:
            values[field] = setting(env, variable, default, minimum, above=above)
    return cls(**values)
