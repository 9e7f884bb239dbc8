"""Registry settings read from the environment, shared by the backends."""

from __future__ import annotations

from collections.abc import Mapping

from ..numbers import NumberSettingError, setting
from .errors import RegistryError

DEFAULT_TIMEOUT = 15.0
TIMEOUT_VARIABLE = "REGISTRY_TIMEOUT"


def registry_timeout(env: Mapping[str, str]) -> float:
    """``REGISTRY_TIMEOUT``: how long the registry may keep the job waiting."""
    try:
        return setting(env, TIMEOUT_VARIABLE, DEFAULT_TIMEOUT, 0, above=True)
    except NumberSettingError as exc:
        raise RegistryError(str(exc)) from None
