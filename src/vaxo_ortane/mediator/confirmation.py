"""Accepted writes, confirmed.

A mediator that answers a write with 202 has only taken the command: the
head-end applies it later, or never. ``GET <address>/requests/<request_id>``
says how it stands (pending, applied or failed). It is asked after half a
second, then after pauses that grow by half each time, up to 30 s apart, until
the request is applied or failed, or ``MEDIATOR_CONFIRM_TIMEOUT`` seconds have
passed since its acceptance. With ``MEDIATOR_VERIFY=read-back`` an applied
request is confirmed only when the meter then reads the value written.

``look`` is one such step, for whoever schedules them (the launcher polls many
requests beside its workers); ``confirm_here`` waits on the calling thread, as
the client does when nothing else confirms for it. A stop ends the wait at once.

The causes of a write that was not confirmed begin with ``REFUSED`` (the
request ended failed), ``NOT_APPLIED`` (the meter reads the old value) or
``UNCONFIRMED`` (no answer that settles it in time).
"""

from __future__ import annotations

import json
import threading
import time
from typing import NamedTuple, Protocol

from ..util import stopping
from .mediator_client_exception import MediatorClientException

FIRST_PAUSE = 0.5
GROWTH = 1.5
LONGEST_PAUSE = 30.0

PENDING, APPLIED, FAILED = "pending", "applied", "failed"
STATUSES = (PENDING, APPLIED, FAILED)

CONFIRMED = "confirmed"
REFUSED = "refused by the head-end"
NOT_APPLIED = "not applied"
UNCONFIRMED = "unconfirmed"


# Plain classes, not dataclasses: every run loads this module, and a dataclass costs about a
# millisecond to make at import.
class RequestState(NamedTuple):
    """How an accepted request stands, as its mediator says."""

    status: str
    value: bool | None = None
    error: str | None = None


class Confirmable(Protocol):
    """What a confirmation asks of the meter's client."""

    meter_id: object

    def request_status(self, request_id: str) -> RequestState: ...

    def prepay_enabled_read(self) -> bool: ...


class Accepted:
    """A write the mediator accepted, while it is being confirmed, at most ``timeout`` seconds
    from now; ``next_at`` (time.monotonic()) is when to look at it next, half a second after its
    acceptance unless given."""

    __slots__ = (
        "client",
        "deadline",
        "looks",
        "next_at",
        "problem",
        "read_back",
        "request_id",
        "timeout",
        "value",
    )

    def __init__(
        self,
        client: Confirmable,
        request_id: str,
        value: bool,
        read_back: bool,
        timeout: float,
        next_at: float = 0.0,
    ) -> None:
        self.client, self.request_id, self.value, self.read_back = client, request_id, value, read_back
        accepted_at = time.monotonic()
        self.timeout, self.deadline = timeout, accepted_at + timeout
        self.next_at = next_at or accepted_at + FIRST_PAUSE
        self.looks = 0
        self.problem: str | None = None  # why the last look could not tell

    def schedule(self, now: float) -> bool:
        """Set when to look next; False once the time to confirm it is up."""
        if now >= self.deadline:
            return False
        pause = min(LONGEST_PAUSE, FIRST_PAUSE * GROWTH**self.looks)
        self.next_at = min(self.deadline, now + pause)  # one last look at the deadline
        return True


class Verdict(NamedTuple):
    """What became of an accepted write, and when (time.time()): ``CONFIRMED``, or a failure
    whose ``detail`` begins with its kind."""

    kind: str
    detail: str | None
    at: float

    @property
    def confirmed(self) -> bool:
        return self.kind == CONFIRMED


def verdict(kind: str, detail: str | None = None) -> Verdict:
    return Verdict(kind, detail, time.time())


def look(accepted: Accepted) -> Verdict | None:
    """Ask once how the request stands and, applied, with read-back, read the meter;
    None while that cannot tell yet."""
    accepted.looks += 1
    request = repr(accepted.request_id)
    try:
        state = accepted.client.request_status(accepted.request_id)
    except MediatorClientException as exc:
        accepted.problem = exc.cause
        return None
    if state.status == PENDING:
        accepted.problem = None
        return None
    if state.status == FAILED:
        return verdict(REFUSED, f"{REFUSED}: request {request} failed" + (f": {state.error}" if state.error else ""))
    if state.value is not None and state.value is not accepted.value:
        return verdict(NOT_APPLIED, f"{NOT_APPLIED}: request {request} applied the value {json.dumps(state.value)}")
    if accepted.read_back:
        try:
            now = accepted.client.prepay_enabled_read()
        except MediatorClientException as exc:
            accepted.problem = f"request {request} applied, and the read back failed: {exc.cause}"
            return None
        if now is not accepted.value:
            return verdict(
                NOT_APPLIED, f"{NOT_APPLIED}: request {request} was applied, and the meter reads {json.dumps(now)}"
            )
    return verdict(CONFIRMED)


def unconfirmed(accepted: Accepted, why: str) -> Verdict:
    """The verdict on a request that nothing settled: ``why`` says what ended the wait."""
    last = f" (last look: {accepted.problem})" if accepted.problem else ""
    return verdict(UNCONFIRMED, f"{UNCONFIRMED}: request {accepted.request_id!r} {why}{last}")


def timed_out(accepted: Accepted) -> Verdict:
    return unconfirmed(accepted, f"not settled within {accepted.timeout:g} s of its acceptance")


def stopped(accepted: Accepted) -> Verdict:
    return unconfirmed(accepted, f"not settled when the run stopped ({stopping.reason()})")


def confirm_here(accepted: Accepted) -> Verdict:
    """Look at the request on this thread until it is settled, its time is up, or the run stops."""
    woken = threading.Event()
    with stopping.on_stop(woken.set):
        while stopping.reason() is None:
            delay = accepted.next_at - time.monotonic()
            if delay > 0 and woken.wait(delay):
                break
            if (verdict := look(accepted)) is not None:
                return verdict
            if not accepted.schedule(time.monotonic()):
                return timed_out(accepted)
    return stopped(accepted)
