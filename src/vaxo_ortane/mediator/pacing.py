"""What the mediator client asks before it contacts a mediator: the hooks of the
launcher's rollout controls (a write-rate budget, a canary wave).

The client calls ``before_write()`` once per write, before it checks for a stop,
and ``before_request(attempt)`` before every attempt of every request, retries
and reads included, before the attempt's time limits start. Either may wait. A
refusal text from ``before_request`` fails the request unsent. Unless something
is installed, both do nothing.
"""

from __future__ import annotations

from collections.abc import Callable


def _no_wait(attempt: int) -> str | None:
    return None


def _no_gate() -> None:
    return None


before_request: Callable[[int], str | None] = _no_wait
before_write: Callable[[], None] = _no_gate


def install(request: Callable[[int], str | None] | None, write: Callable[[], None] | None) -> None:
    """Put ``request`` and ``write`` in place of the hooks; None leaves a hook doing nothing."""
    global before_request, before_write
    before_request = request or _no_wait
    before_write = write or _no_gate


def reset() -> None:
    install(None, None)
