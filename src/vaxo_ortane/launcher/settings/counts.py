"""The settings that are a count or a share of meters: ``FLIP_MAX_FAILURES`` and ``FLIP_CANARY``."""

from __future__ import annotations

from dataclasses import dataclass

from vaxo_ortane.util import numbers

# A share is judged only once this many meters have ended.
SHARE_MINIMUM = 20


@dataclass(frozen=True)
class Threshold:
    variable: str
    text: str
    count: int | None = None
    percent: int | None = None

    def crossed(self, failures: int, ended: int, least: int = SHARE_MINIMUM) -> bool:
        """Whether ``failures`` of ``ended`` meters reach the threshold; a share is judged from ``least`` ended on."""
        if self.count is not None:
            return failures >= self.count
        assert self.percent is not None
        return ended >= least and failures * 100 >= self.percent * ended


def parse_threshold(variable: str, raw: str) -> Threshold | None:
    """The threshold that ``variable`` holds as ``raw``; None for blank. Raises ValueError naming it."""
    parsed = numbers.count_or_share_setting(variable, raw, "failed meters", ("50", "10%"), "no threshold")
    if parsed is None:
        return None
    number, share = parsed
    raw = raw.strip()
    if share:
        return Threshold(variable, raw, percent=number)
    return Threshold(variable, raw, count=number)


@dataclass(frozen=True)
class Wave:
    variable: str
    text: str
    number: int
    share: bool

    def size(self, selected: int) -> int:
        """How many of ``selected`` meters form the wave."""
        return min(selected, -(-self.number * selected // 100) if self.share else self.number)


def parse_wave(variable: str, raw: str) -> Wave | None:
    """The wave that ``variable`` holds as ``raw``; None for blank. Raises ValueError naming it."""
    parsed = numbers.count_or_share_setting(variable, raw, "selected meters", ("20", "5%"), "no canary")
    return None if parsed is None else Wave(variable, raw.strip(), *parsed)
