"""The error the mediator client raises when a meter's setting cannot be written."""

from __future__ import annotations

# How the cause begins when a mediator ended the TLS handshake: it refused the client certificate.
TLS_REFUSED = "TLSAlert: "
REFUSED_STATUSES = frozenset({401, 403})


class MediatorClientException(Exception):
    """A mediator exchange failed for good (after any retries).

    ``status`` is the last HTTP status received, or None when no answer came;
    ``cause`` says what went wrong in words.
    """

    def __init__(
        self, message: str, *, meter_id: object, address: str, status: int | None = None, cause: str = ""
    ) -> None:
        super().__init__(message)
        self.meter_id = meter_id
        self.address = address
        self.status = status
        self.cause = cause

    @property
    def credentials_refused(self) -> bool:
        """Whether the mediator refused the job's credentials: 401, 403, or a handshake it ended."""
        return self.status in REFUSED_STATUSES or self.cause.startswith(TLS_REFUSED)

    def __reduce__(self) -> tuple[object, ...]:
        # Keyword-only fields: rebuild explicitly so the exception survives pickling.
        return (_rebuild, (str(self), self.meter_id, self.address, self.status, self.cause))


def _rebuild(message: str, meter_id: object, address: str, status: int | None, cause: str) -> MediatorClientException:
    return MediatorClientException(message, meter_id=meter_id, address=address, status=status, cause=cause)
