"""A real podman engine on a private socket for the container tests.

Outside CI a machine without podman skips these tests with the reason; in CI an
engine that cannot start fails them.
"""

from __future__ import annotations

import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

# The end-to-end runner lives beside the e2e tests; reuse it rather than copy it.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))

from servers import unavailable
from vaxo_ortane.orchestrate.local_engine import (
    EngineUnavailable,
    PrivatePodman,
    import_mediator_image,
)


def _start(private_network: bool) -> PrivatePodman:
    try:
        engine = PrivatePodman(private_network=private_network).start()
    except EngineUnavailable as exc:
        unavailable(f"no private podman engine here: {exc}")
    import_mediator_image(engine.client)
    return engine


@pytest.fixture(scope="session")
def engine() -> Iterator[PrivatePodman]:
    """Containers publish ports on 127.0.0.1 through slirp4netns."""
    started = _start(private_network=False)
    yield started
    started.stop()


@pytest.fixture(scope="session")
def bridged_engine() -> Iterator[PrivatePodman]:
    """An engine in a network namespace of its own, whose containers get bridge addresses."""
    started = _start(private_network=True)
    yield started
    started.stop()


@pytest.fixture
def clean(engine: PrivatePodman) -> Iterator[PrivatePodman]:
    """The engine, with every container the test made removed afterwards."""
    before = {row["Id"] for row in engine.client.api.containers(all=True)}
    yield engine
    for row in engine.client.api.containers(all=True):
        if row["Id"] not in before:
            engine.client.api.remove_container(row["Id"], force=True)
