"""A run whose mediators refuse the job's credentials is stopped, as the threshold stops one.

A wrong token, a client certificate the mediators do not take, or another CA fails
every meter alike, and a head-end's anomaly detection may quarantine a sender that
keeps knocking. Once ``LIMIT`` requests in a row have been refused for the
credentials (401, 403, or a TLS handshake the mediator ended), the run stops as on
a first SIGTERM: writes not yet started fail unsent and go to the rerun list, writes
in flight finish; the process then ends with status 14. A request the mediator took
(whatever it answered) starts the count again; one that got no answer leaves it.

Always in place: the mediator client reports each judged request (``pacing.after_answer``),
a counter costs nothing beside a write.
"""

from __future__ import annotations

import threading
from collections.abc import Callable

from vaxo_ortane.mediator import pacing
from vaxo_ortane.util import stopping

REASON = "the mediators refused the job's credentials"
LIMIT = 5


class RefusalWatch:
    def __init__(self, record: Callable[..., None], limit: int = LIMIT) -> None:
        self._record, self._limit = record, limit
        self._lock = threading.Lock()
        self.in_a_row = 0

    def on_answer(self, refused: bool) -> None:
        with self._lock:
            self.in_a_row = self.in_a_row + 1 if refused else 0
            if self.in_a_row != self._limit:
                return
        if stopping.request_for(REASON):
            self._record(
                "warning",
                f"Stopping: {REASON} {self._limit} times in a row (401, 403 or a TLS handshake they ended): "
                "writes not yet started fail without contacting their mediator, writes in flight finish; "
                "check MEDIATOR_TOKEN_FILE, MEDIATOR_CLIENT_CERT_FILE and the mediators' CA",
                refused_in_a_row=self._limit,
            )

    def install(self) -> None:
        pacing.watch_answers(self.on_answer)

    def remove(self) -> None:
        pacing.watch_answers(None)
