"""Registry faults: each is a RegistryError that names what failed, never a key,
and none waits longer than REGISTRY_TIMEOUT."""

from __future__ import annotations

import os
import re
import sqlite3
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from fault_keys import ANON, ROLE, assert_no_key
from fault_servers import answer, echo_keys_401, http
from vaxo_ortane.mediator.sample_fleet import SampleMeter, write_registry
from vaxo_ortane.util.supabase import RegistryError, supa_client
from vaxo_ortane.util.supabase.embedded import SqliteRegistry

NAMES = [f"M-{i}" for i in range(1, 2001)]


def job_query(client: Any) -> list[dict[str, Any]]:
    return client.table("meter_registry").select("*").in_("name", NAMES).neq("prepay_enabled", False).execute().data


def fail(url: str) -> RegistryError:
    """The error of opening ``url`` and running the job's query on it."""
    client = None
    with pytest.raises(RegistryError) as raised:
        client = supa_client(url, ANON, ROLE)
        job_query(client)
    assert_no_key(str(raised.value), repr(raised.value), repr(client))
    return raised.value


@pytest.fixture
def registry(tmp_path: Path) -> Path:
    path = tmp_path / "registry.db"
    write_registry(
        path, [SampleMeter(id=i, name=f"M-{i}", meter_id=f"X{i}", serial=f"S{i}", esco="E") for i in range(1, 2001)]
    )
    return path


def overwrite_page(page: int) -> Callable[[bytes], bytes]:
    # Past page 1 the header and schema survive: the damage shows only while rows are read.
    return lambda data: data[: page * 4096] + b"\xff" * 4096 + data[(page + 1) * 4096 :]


class TestEmbedded:
    @pytest.mark.parametrize(
        "damage, problem",
        [
            (lambda data: data[:100], r"registry\.db' cannot be read as SQLite: database disk image is malformed"),
            (
                overwrite_page(3),
                r"reading registry table 'meter_registry' from '.*registry\.db' failed: database disk image is malformed",
            ),
            (
                overwrite_page(12),
                r"reading registry table 'meter_registry' from '.*registry\.db' failed: database disk image is malformed",
            ),
            (lambda data: b"", r"registry table 'meter_registry' not found in '.*registry\.db'"),
        ],
        ids=["truncated", "damaged-early-page", "damaged-late-page", "empty"],
    )
    def test_damaged_file_names_the_file(self, registry: Path, damage: Callable[[bytes], bytes], problem: str) -> None:
        registry.write_bytes(damage(registry.read_bytes()))
        error = str(fail(f"sqlite://{registry}"))
        assert re.search(problem, error), error

    def test_directory_instead_of_file(self, tmp_path: Path) -> None:
        assert "does not exist or is not a file" in str(fail(f"sqlite://{tmp_path}"))

    @pytest.mark.parametrize(
        "file_mode, folder_mode, problem",
        [
            (0, 0o755, "cannot be read: Permission denied; check its permissions"),
            (0o644, 0, "cannot be reached: Permission denied"),
        ],
        ids=["file", "folder"],
    )
    def test_unreadable_registry_says_permission_denied(
        self, registry: Path, file_mode: int, folder_mode: int, problem: str
    ) -> None:
        # Outside pytest's own private folders, so that only these modes decide.
        with tempfile.TemporaryDirectory(dir="/tmp") as folder:
            path = Path(folder) / "registry.db"
            path.write_bytes(registry.read_bytes())
            path.chmod(file_mode)
            Path(folder).chmod(folder_mode)
            as_root = os.geteuid() == 0
            if as_root:
                os.seteuid(65534)  # root reads anything; a service account does not
            try:
                error = fail(f"sqlite://{path}")
            finally:
                if as_root:
                    os.seteuid(0)
                Path(folder).chmod(0o700)
        assert f"{str(path)!r} {problem}" in str(error)

    @pytest.mark.parametrize("when", ["open", "query"])
    def test_locked_file_waits_registry_timeout_then_says_so(
        self, registry: Path, monkeypatch: pytest.MonkeyPatch, when: str
    ) -> None:
        monkeypatch.setenv("REGISTRY_TIMEOUT", "0.3")
        client = supa_client(f"sqlite://{registry}", ANON, ROLE) if when == "query" else None
        writer = sqlite3.connect(registry, isolation_level=None)
        writer.execute("BEGIN EXCLUSIVE")
        try:
            started = time.monotonic()
            with pytest.raises(
                RegistryError, match=r"registry\.db.*database is locked \(still locked after 0\.3 s; REGISTRY_TIMEOUT"
            ) as raised:
                job_query(client or supa_client(f"sqlite://{registry}", ANON, ROLE))
            assert time.monotonic() - started < 2.0
            assert_no_key(str(raised.value))
        finally:
            writer.rollback()
            writer.close()

    @pytest.mark.parametrize("stored", ["false", "", "true", b"\x00"])
    def test_boolean_column_holding_text_stops_the_query(self, registry: Path, stored: Any) -> None:
        # Text is never equal to 0: "not false" would pick it and a plain bool() would misread it.
        with sqlite3.connect(registry) as conn:
            conn.execute("UPDATE meter_registry SET prepay_enabled = ? WHERE id = 7", [stored])
        conn.close()
        error = str(fail(f"sqlite://{registry}"))
        assert (
            "column 'prepay_enabled' holds text or a blob, not 1, 0 or NULL, in a row the query selected (id 7)"
            in error
        )

    def test_connection_refuses_writes(self, registry: Path) -> None:
        with (
            SqliteRegistry(registry)._connect() as conn,
            pytest.raises(sqlite3.OperationalError, match="readonly"),
        ):
            conn.execute("UPDATE meter_registry SET prepay_enabled = 0")


class TestHosted:
    @pytest.mark.parametrize(
        "reply, problem",
        [
            (
                echo_keys_401,
                r"refused the query on 'meter_registry': code PGRST301; message refused apikey=\[key\] auth=Bearer \[key\]",
            ),
            (
                answer(http(500, {"message": "boom", "code": "XX000"})),
                r"refused the query on 'meter_registry': code XX000; message boom$",
            ),
            (
                answer(http(502, "<html>" + "gateway " * 2000, "text/html")),
                r"refused the query on 'meter_registry': code 502; .*details <html>gateway .*\.\.\.$",
            ),
            (
                answer(http(200, "<html>maintenance</html>", "text/html")),
                r"answered HTTP 200 with a body that is not JSON",
            ),
            (answer(http(200, b"")), r"answered HTTP 200 with an empty body"),
            (answer(http(200, b'[{"id": 1, "name": ')), r"answered HTTP 200 with a body that is not JSON"),
            (answer(http(200, {"rows": []})), r"answered 'meter_registry' with non-row data"),
            (
                answer(b'HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\n[{"id": 1'),
                r"could not be reached for 'meter_registry': RemoteProtocolError",
            ),
            (
                answer(b"HTTP/1.1 200 OK\r\nContent-Le"),
                r"could not be reached for 'meter_registry': RemoteProtocolError",
            ),
        ],
        ids=[
            "401-quoting-keys",
            "500",
            "502-html-page",
            "200-html",
            "200-empty",
            "200-cut-json",
            "200-object",
            "closed-mid-body",
            "closed-mid-headers",
        ],
    )
    def test_faulty_server_gives_a_named_error(self, raw_server: Any, reply: Any, problem: str) -> None:
        server = raw_server(reply)
        error = fail(server.address)
        assert str(error).startswith(f"registry at {server.address}/rest/v1 ")
        assert re.search(problem, str(error)), str(error)
        assert len(str(error)) < 600
