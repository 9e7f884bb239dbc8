"""What the mediator client asks before it contacts a mediator: the hooks of the
launcher's rollout controls (a write-rate budget, a canary wave).

The client calls ``before_write()`` once per write, before it checks for a stop,
and ``before_request(attempt)`` before every attempt of every request, retries
and reads included, before the attempt's time limits start. Either may wait. A
refusal text from ``before_request`` fails the request unsent. Unless something
is installed, both do nothing.

``after_answer(refused)`` is called once a request has been judged by its mediator:
True when it refused the job's credentials (401, 403, a TLS handshake it ended),
False when it took them. The launcher stops a run whose credentials are refused
again and again; it is installed apart from the other two.
"""

from __future__ import annotations

from collections.abc import Callable


def _no_wait(attempt: int) -> str | None:
    return None


def _no_gate() -> None:
    return None


def _no_count(refused: bool) -> None:
    return None


before_request: Callable[[int], str | None] = _no_wait
before_write: Callable[[], None] = _no_gate
after_answer: Callable[[bool], None] = _no_count


def install(request: Callable[[int], str | None] | None, write: Callable[[], None] | None) -> None:
    """Put ``request`` and ``write`` in place of the hooks; None leaves a hook doing nothing."""
    global before_request, before_write
    before_request = request or _no_wait
    before_write = write or _no_gate


def reset() -> None:
    install(None, None)


def watch_answers(callback: Callable[[bool], None] | None) -> None:
    """Put ``callback`` in place of ``after_answer``; None leaves it doing nothing."""
    global after_answer
    after_answer = callback or _no_count
