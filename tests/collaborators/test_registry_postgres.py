"""The registry client on a real PostgreSQL server: the job's query, one bound
statement, credentials from each of libpq's sources, and no writes."""

from __future__ import annotations

from contextlib import closing
from pathlib import Path
from typing import Any

import psycopg
import pytest

from fleet_data import meters
from pg_cluster import READER, READER_PASSWORD, Cluster
from vaxo_ortane.mediator.sample_fleet import SampleMeter
from vaxo_ortane.util.supabase import supa_client
from vaxo_ortane.util.supabase.postgres import PostgresRegistry

ODD_NAMES = ["a,b", "o'neil", 'q"uote', "p(ar)en", "back\\slash", "{brace}", "a", "ünï cödé", "semi;colon --"]


def job_query(url: str, names: list[str]) -> list[dict[str, Any]]:
    with closing(supa_client(url, "a", "r")) as client:
        data = client.table("meter_registry").select("*").in_("name", names).neq("prepay_enabled", False).execute().data
    assert isinstance(data, list)
    return data


def selected_ids(fleet: list[SampleMeter], names: list[str]) -> list[int]:
    wanted = set(names)
    return sorted(m.id for m in fleet if m.name in wanted and m.prepay_enabled is True)


class TestQuery:
    def test_rows_are_plain_dicts_with_bools_ordered_by_id_and_null_is_not_selected(
        self, postgres_registry: Any
    ) -> None:
        fleet = meters(60)  # every seventh has NULL, True or False
        url = postgres_registry(list(reversed(fleet)))
        rows = job_query(url, [m.name for m in fleet])
        assert [r["id"] for r in rows] == selected_ids(fleet, [m.name for m in fleet])
        assert all(type(r) is dict and r["prepay_enabled"] is True for r in rows)
        assert set(rows[0]) == {"id", "name", "meter_id", "serial", "esco", "prepay_enabled"}

    @pytest.mark.parametrize(
        "columns, expected",
        [
            (("name",), [{"name": "M-00002"}, {"name": "M-00003"}]),
            (("serial, id",), [{"serial": "SN2", "id": 2}, {"serial": "SN3", "id": 3}]),
            (("esco", "meter_id"), [{"esco": "E", "meter_id": "MID2"}, {"esco": "E", "meter_id": "MID3"}]),
        ],
    )
    def test_chosen_columns_only_still_ordered_by_id(
        self, postgres_registry: Any, columns: tuple[str, ...], expected: list[dict[str, Any]]
    ) -> None:
        url = postgres_registry(list(reversed(meters(4))))
        with closing(supa_client(url, "a", "r")) as client:
            rows = client.table("meter_registry").select(*columns).in_("name", ["M-00003", "M-00002"]).execute().data
        assert rows == expected

    def test_100000_names_are_one_bound_statement(self, postgres_registry: Any, pg_cluster: Cluster) -> None:
        fleet = meters(3000)
        url = postgres_registry(fleet)
        names = [f"X-{i}" for i in range(97_000)] + [m.name for m in fleet] * 1  # 100,000 names
        assert len(names) == 100_000
        mark = pg_cluster.log_size()
        rows = job_query(url, names)
        assert [r["id"] for r in rows] == selected_ids(fleet, names)
        (statement,) = pg_cluster.statements(READER, mark)
        assert (
            statement
            == 'SELECT * FROM "meter_registry" WHERE "name" = ANY($1) AND "prepay_enabled" <> $2 ORDER BY "id"'
        )

    def test_names_with_quotes_commas_and_braces_match_exactly_and_are_never_spliced(
        self, postgres_registry: Any, pg_cluster: Cluster
    ) -> None:
        fleet = [
            SampleMeter(id=i, name=n, meter_id=f"m{i}", serial=f"s{i}", esco="E") for i, n in enumerate(ODD_NAMES, 1)
        ]
        url = postgres_registry(fleet)
        mark = pg_cluster.log_size()
        wanted = [*ODD_NAMES[:-2], "b", "a,b,c"]  # neither part of "a,b" nor a longer list must match
        rows = job_query(url, wanted)
        assert [r["name"] for r in rows] == ODD_NAMES[:-2]
        (statement,) = pg_cluster.statements(READER, mark)
        assert "$1" in statement and not any(name in statement for name in ODD_NAMES if len(name) > 1)

    def test_empty_name_list_selects_nothing(self, postgres_registry: Any) -> None:
        assert job_query(postgres_registry(meters(5)), []) == []


class TestConnection:
    @pytest.mark.parametrize("source", ["url", "PGPASSWORD", "password-file"])
    def test_credentials_from_each_libpq_source(
        self, source: str, postgres_registry: Any, pg_cluster: Cluster, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        url = postgres_registry(meters(3))
        for name in ("PGPASSWORD", "PGPASSFILE", "PGUSER", "PGHOST", "PGPORT", "PGDATABASE"):
            monkeypatch.delenv(name, raising=False)
        if source != "url":
            url = pg_cluster.url("collaborators", password=None)
        if source == "PGPASSWORD":
            monkeypatch.setenv("PGPASSWORD", READER_PASSWORD)
        if source == "password-file":
            passfile = tmp_path / "pgpass"
            escaped = READER_PASSWORD.replace("\\", "\\\\").replace(":", "\\:")
            passfile.write_text(f"{pg_cluster.host}:{pg_cluster.port}:collaborators:{READER}:{escaped}\n")
            passfile.chmod(0o600)
            monkeypatch.setenv("PGPASSFILE", str(passfile))
        assert [r["id"] for r in job_query(url, ["M-00001", "M-00002"])] == [1, 2]

    @pytest.mark.parametrize("scheme", ["postgres", "POSTGRESQL"])
    def test_both_scheme_spellings_choose_postgresql(self, scheme: str, postgres_registry: Any) -> None:
        url = postgres_registry(meters(2)).replace("postgresql", scheme, 1)
        with closing(supa_client(url, "a", "r")) as client:
            assert repr(client).startswith("<registry client postgresql://127.0.0.1:")
            assert READER_PASSWORD not in repr(client)

    def test_connection_refuses_writes_and_the_registry_is_unchanged(
        self, postgres_registry: Any, pg_cluster: Cluster
    ) -> None:
        fleet = meters(3)
        url = postgres_registry(fleet)
        # The reader may write here, so only the connection's own setting stops it.
        with pg_cluster.admin("collaborators") as admin:
            admin.execute(f'GRANT UPDATE ON meter_registry TO "{READER}"')
        try:
            with (
                PostgresRegistry(url, 5.0)._connect() as conn,
                pytest.raises(psycopg.errors.ReadOnlySqlTransaction),
            ):
                conn.execute("UPDATE meter_registry SET prepay_enabled = false")
        finally:
            with pg_cluster.admin("collaborators") as admin:
                admin.execute(f'REVOKE UPDATE ON meter_registry FROM "{READER}"')
                assert admin.execute("SELECT count(*) FROM meter_registry WHERE prepay_enabled").fetchone() == (3,)
