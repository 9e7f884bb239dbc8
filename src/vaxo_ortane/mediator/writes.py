"""What the mediator client asks and tells around each write: the launcher's hooks.

The client calls, on the writing thread:

- ``key_for(meter_id, value)`` once per write, for the write's idempotency key,
  which every attempt of the write then carries;
- ``held(key)`` next: the request id of a write with that key that an earlier
  run had accepted, which is then confirmed instead of written again;
- ``on_read(meter_id, value)`` with the value read before the write, under
  ``MEDIATOR_VERIFY=read-back``;
- ``on_accepted(accepted)`` when the mediator accepted the write (or a held
  request is taken up): True when the write is confirmed elsewhere, so that the
  client returns at once; False to have the client confirm it before returning.

Unless something is installed, a write's key holds for its own retries only,
nothing is held, and an accepted write is confirmed by the client itself.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING

from .idempotency import random_key

if TYPE_CHECKING:
    from .confirmation import Accepted


def _random_key(meter_id: object, value: bool) -> str:
    return random_key()


def _none_held(key: str) -> str | None:
    return None


def _no_read(meter_id: object, value: bool) -> None:
    return None


def _confirm_here(accepted: Accepted) -> bool:
    return False


key_for: Callable[[object, bool], str] = _random_key
held: Callable[[str], str | None] = _none_held
on_read: Callable[[object, bool], None] = _no_read
on_accepted: Callable[[Accepted], bool] = _confirm_here


def install(
    key: Callable[[object, bool], str] | None = None,
    holding: Callable[[str], str | None] | None = None,
    read: Callable[[object, bool], None] | None = None,
    accepted: Callable[[Accepted], bool] | None = None,
) -> None:
    """Put the hooks in place; None leaves a hook as it is when nothing is installed."""
    global key_for, held, on_read, on_accepted
    key_for = key or _random_key
    held = holding or _none_held
    on_read = read or _no_read
    on_accepted = accepted or _confirm_here


def reset() -> None:
    install()
