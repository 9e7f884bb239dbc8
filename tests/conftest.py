"""Fixtures shared by every test folder: one throwaway PostgreSQL server per session."""

from __future__ import annotations

from collections.abc import Iterator

import pytest

from pg_cluster import Cluster, server_bindir, start_cluster
from servers import unavailable


@pytest.fixture(scope="session")
def pg_cluster() -> Iterator[Cluster]:
    bindir = server_bindir()
    if bindir is None:
        reason = "PostgreSQL server programs (initdb, postgres) not found; install postgresql-15, as .ci/run does"
        unavailable(reason)
    cluster = start_cluster(bindir)
    try:
        yield cluster
    finally:
        cluster.stop()
