"""Registry settings read from the environment, shared by both backends."""

from __future__ import annotations

from collections.abc import Mapping

from .errors import RegistryError

DEFAULT_TIMEOUT = 15.0


def positive(env: Mapping[str, str], name: str, default: float) -> float:
    raw = env.get(name, "").strip()
    if not raw:
        return default
    try:
        value = float(raw)
    except ValueError:
        value = -1.0
    if not value > 0:
        raise RegistryError(f"{name}={raw!r} must be a positive number")
    return value


def registry_timeout(env: Mapping[str, str]) -> float:
    """``REGISTRY_TIMEOUT``: how long the registry may keep the job waiting."""
    return positive(env, "REGISTRY_TIMEOUT", DEFAULT_TIMEOUT)
