"""Fixtures: fake collaborators in sys.modules and a loader of fresh module objects."""

import sys

import pytest

from job_fakes import ENV_VARS, GOOD_ENV, Fakes, fresh_module


@pytest.fixture
def fakes(monkeypatch):
    f = Fakes()
    for name, mod in f.modules.items():
        monkeypatch.setitem(sys.modules, name, mod)
    return f


@pytest.fixture
def set_env(monkeypatch):
    """Replace the job's four variables; None leaves a variable unset."""

    def set_env(env=GOOD_ENV, **overrides):
        env = {**env, **overrides}
        for var in ENV_VARS:
            monkeypatch.delenv(var, raising=False)
        for var, value in env.items():
            if value is not None:
                monkeypatch.setenv(var, value)

    return set_env


@pytest.fixture
def fresh(fakes):
    return fresh_module


@pytest.fixture
def load(fakes, set_env):
    """Execute a new module object of the job under its full name."""

    def load(env=GOOD_ENV, **overrides):
        set_env(env, **overrides)
        spec, mod = fresh_module()
        spec.loader.exec_module(mod)
        return mod

    return load


@pytest.fixture
def mod(load):
    return load()


@pytest.fixture
def fleet(mod, fakes):
    job = mod.PrepayEnabledFlipAllJob("ESCO-A")
    fakes.events.clear()
    return job
