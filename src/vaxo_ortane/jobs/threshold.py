"""``FLIP_MAX_FAILURES``: stop a run whose failures reach a count or a share.

``50`` stops the run at its 50th failed meter; ``10%`` once failures make up 10 %
of the meters that have ended, judged from the 20th ended meter on, so that the
first few meters alone cannot stop a large run. Unset, or empty: no threshold.

Every failure counts (mediator failures, no mediator, errors) but the refusals of
a run that is already stopping. The stop works as a first SIGTERM does: writes
not yet started fail without contacting their mediator, writes in flight finish,
the summary is written; then the process exits with ``STATUS``.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass

from vaxo_ortane.util import stopping

VARIABLE = "FLIP_MAX_FAILURES"
STATUS = 11
REASON = "the failure threshold was crossed"
# A share is judged only once this many meters have ended.
SHARE_MINIMUM = 20
_FORM = re.compile(r"(\d+)(%?)")


class ThresholdError(ValueError):
    """``FLIP_MAX_FAILURES`` holds neither a count nor a share."""


@dataclass(frozen=True)
class Threshold:
    text: str
    count: int | None = None
    percent: int | None = None

    def crossed(self, failures: int, ended: int) -> bool:
        if self.count is not None:
            return failures >= self.count
        assert self.percent is not None
        return ended >= SHARE_MINIMUM and failures * 100 >= self.percent * ended


def from_env(environ: Mapping[str, str]) -> Threshold | None:
    raw = environ.get(VARIABLE, "").strip()
    if not raw:
        return None
    match = _FORM.fullmatch(raw)
    number = int(match.group(1)) if match else 0
    if match is None or number < 1 or (match.group(2) and number > 100):
        raise ThresholdError(
            f"{VARIABLE}={raw!r} must be a count of failed meters of at least 1 (50) "
            "or a share from 1% to 100% (10%), or be left unset for no threshold"
        )
    if match.group(2):
        return Threshold(raw, percent=number)
    return Threshold(raw, count=number)


def watcher(
    threshold: Threshold, record: Callable[..., None], selected: Callable[[], int]
) -> Callable[[int, int], None]:
    """The failure callback that stops the run when ``threshold`` is crossed."""

    def on_failure(failures: int, ended: int) -> None:
        if threshold.crossed(failures, ended) and stopping.request_for(REASON):
            record(
                "warning",
                f"Stopping: {REASON} ({VARIABLE}={threshold.text}): writes not yet started fail without "
                "contacting their mediator, writes in flight finish",
                max_failures=threshold.text,
                failures=failures,
                ended=ended,
                selected=selected(),
            )

    return on_failure
