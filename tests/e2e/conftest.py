"""Fixtures for the end-to-end runs of the job process."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import replace
from pathlib import Path
from typing import Any

import pytest

from job_runner import Fleet, SampleMeter
from vaxo_ortane.mediator.sim import MediatorSim


@pytest.fixture
def fleet(tmp_path: Path) -> Iterator[Any]:
    sims: list[MediatorSim] = []

    def make(meters: list[SampleMeter]) -> Fleet:
        # Each mediator starts from the registry's setting (NULL reads as on).
        sim = MediatorSim(
            {m.meter_id: replace(m.behaviour, prepay_enabled=m.prepay_enabled is not False) for m in meters}
        )
        sims.append(sim.start())
        return Fleet(tmp_path, meters, sim)

    yield make
    for sim in sims:
        sim.stop()
