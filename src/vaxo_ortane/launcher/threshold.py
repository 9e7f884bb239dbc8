"""``FLIP_MAX_FAILURES``: stop a run whose failures reach a count or a share.

``50`` stops the run at its 50th failed meter; ``10%`` once failures make up 10 %
of the meters that have ended, judged from the 20th ended meter on, so that the
first few meters alone cannot stop a large run. Unset, or empty: no threshold.

Every failure counts (mediator failures, no mediator, errors) but the refusals of
a run that is already stopping. The stop works as a first SIGTERM does: writes
not yet started fail without contacting their mediator, writes in flight finish,
the summary is written; then the process exits with status 11.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from vaxo_ortane.util import numbers, stopping

REASON = "the failure threshold was crossed"
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


def watcher(
    threshold: Threshold, record: Callable[..., None], selected: Callable[[], int]
) -> Callable[[int, int], None]:
    """The failure callback that stops the run when ``threshold`` is crossed."""

    def on_failure(failures: int, ended: int) -> None:
        if threshold.crossed(failures, ended) and stopping.request_for(REASON):
            record(
                "warning",
                f"Stopping: {REASON} ({threshold.variable}={threshold.text}): writes not yet started fail without "
                "contacting their mediator, writes in flight finish",
                max_failures=threshold.text,
                failures=failures,
                ended=ended,
                selected=selected(),
            )

    return on_failure
