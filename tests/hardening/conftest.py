"""Fixtures for the hardening tests."""

import pytest

from hardening_support import GOOD_ENV, Fakes, exec_fresh


@pytest.fixture
def mod(monkeypatch):
    return exec_fresh(GOOD_ENV, monkeypatch)


@pytest.fixture
def fakes(mod):
    return Fakes(mod)
