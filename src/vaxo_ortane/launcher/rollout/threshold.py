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

from vaxo_ortane.launcher.settings.counts import Threshold
from vaxo_ortane.util import stopping

REASON = "the failure threshold was crossed"


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
