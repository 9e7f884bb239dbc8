"""Fixtures for testing the collaborators one at a time."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from fleet_data import ANON, ROLE
from pg_cluster import Cluster
from postgrest_double import PostgrestDouble
from vaxo_ortane.mediator.sample_fleet import SampleMeter, write_registry


@pytest.fixture
def sqlite_registry(tmp_path: Path) -> Any:
    def make(fleet: list[SampleMeter]) -> Path:
        path = tmp_path / "registry.db"
        write_registry(path, fleet)
        return path

    return make


@pytest.fixture
def postgrest() -> Iterator[Any]:
    started: list[PostgrestDouble] = []

    def make(rows: list[dict[str, Any]], **options: Any) -> PostgrestDouble:
        double = PostgrestDouble(rows, ANON, ROLE, **options).start()
        started.append(double)
        return double

    yield make
    for double in started:
        double.stop()


@pytest.fixture(scope="session")
def pg_registry_db(pg_cluster: Cluster) -> str:
    """One database for the collaborator tests; each test loads its own rows."""
    pg_cluster.create_registry("collaborators")
    return "collaborators"


@pytest.fixture
def postgres_registry(pg_cluster: Cluster, pg_registry_db: str) -> Any:
    def make(fleet: list[SampleMeter]) -> str:
        pg_cluster.replace_rows(
            pg_registry_db, [(m.id, m.name, m.meter_id, m.serial, m.esco, m.prepay_enabled) for m in fleet]
        )
        return pg_cluster.url(pg_registry_db)

    return make
