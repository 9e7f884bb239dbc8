"""What a test does when a real server it needs cannot run here."""

from __future__ import annotations

import os
from typing import NoReturn

import pytest


def unavailable(reason: str) -> NoReturn:
    """Skip with ``reason`` on a developer's machine; fail in CI, which installs every
    server the tests start, so that a broken set-up never passes as skips."""
    if os.environ.get("CI"):
        pytest.fail(f"{reason} (CI installs it: see .ci/run)")
    pytest.skip(reason)
