"""Fixtures for the fault tests: misbehaving loopback servers and sample fleets."""

from __future__ import annotations

import ssl
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

# The end-to-end runner lives beside the e2e tests; reuse it rather than copy it.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))

from fault_servers import RawServer, Reply
from job_runner import Fleet, SampleMeter
from vaxo_ortane.mediator.sim import MediatorSim


@pytest.fixture
def raw_server() -> Iterator[Any]:
    started: list[RawServer] = []

    def make(reply: Reply, tls: ssl.SSLContext | None = None) -> RawServer:
        server = RawServer(reply, tls).start()
        started.append(server)
        return server

    yield make
    for server in started:
        server.stop()


@pytest.fixture
def fleet(tmp_path: Path) -> Iterator[Any]:
    sims: list[MediatorSim] = []

    def make(meters: list[SampleMeter]) -> Fleet:
        sim = MediatorSim({m.meter_id: m.behaviour for m in meters}).start()
        sims.append(sim)
        return Fleet(tmp_path, meters, sim)

    yield make
    for sim in sims:
        sim.stop()
