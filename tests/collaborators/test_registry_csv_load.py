"""vaxo-registry-load: an operator's CSV file becomes an embedded registry the job
reads as meant, or nothing is written."""

from __future__ import annotations

import subprocess
import sys
from contextlib import closing
from pathlib import Path

import pytest

from vaxo_ortane.util.supabase import supa_client
from vaxo_ortane.util.supabase.csv_load import main

SCRIPT = Path(sys.executable).parent / "vaxo-registry-load"

# A spreadsheet's export: byte-order mark, columns in its own order, an extra column.
GOOD = (
    "\ufeffname,id,esco,serial,meter_id,prepay_enabled,notes\n"
    "A-1,1,ESCO_A,SN-1,MTR-1,true,\n"
    '"Smith, 12 Main St",2,ESCO_A,SN-2,MTR-2,T,has a comma\n'
    "A-3,3,ESCO_A,SN-3,MTR-3,false,\n"
    "A-4,4,ESCO_A,SN-4,MTR-4,,unknown setting\n"
    "A-5,5,ESCO_A,SN-5,MTR-5, Yes ,\n"
    "A-6,6,ESCO_A,SN-6,MTR-6,0,\n"
)


def test_fleet_csv_loads_and_the_job_query_reads_it_as_meant(tmp_path: Path) -> None:
    source, registry = tmp_path / "fleet.csv", tmp_path / "registry.db"
    source.write_text(GOOD, encoding="utf-8")
    done = subprocess.run([str(SCRIPT), str(source), str(registry)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"wrote 6 meters to {registry}\n"
    with closing(supa_client(f"sqlite://{registry}", "a", "r")) as client:
        table = client.table("meter_registry")
        every = table.select("id", "prepay_enabled").execute().data
        chosen = (
            table.select("*")
            .in_("name", [f"A-{i}" for i in range(1, 7)] + ["Smith, 12 Main St"])
            .neq("prepay_enabled", False)
            .execute()
            .data
        )
    assert every == [
        {"id": 1, "prepay_enabled": True},
        {"id": 2, "prepay_enabled": True},
        {"id": 3, "prepay_enabled": False},
        {"id": 4, "prepay_enabled": None},
        {"id": 5, "prepay_enabled": True},
        {"id": 6, "prepay_enabled": False},
    ]
    assert [r["id"] for r in chosen] == [1, 2, 5]
    assert chosen[1] == {
        "id": 2,
        "name": "Smith, 12 Main St",
        "meter_id": "MTR-2",
        "serial": "SN-2",
        "esco": "ESCO_A",
        "prepay_enabled": True,
    }


HEADER = "id,name,meter_id,serial,esco,prepay_enabled\n"


@pytest.mark.parametrize(
    "text, message",
    [
        (
            HEADER + "1,A,M,S,E,true\n2,B,M,S,E,maybe\n",
            "fleet.csv line 3: prepay_enabled 'maybe' is not true, false or empty",
        ),
        (HEADER + "1,A,M,S,E,true\n1,B,M,S,E,true\n", "fleet.csv line 3: id 1 is already used on line 2"),
        (HEADER + "x1,A,M,S,E,true\n", "fleet.csv line 2: id 'x1' is not a whole number"),
        (HEADER + "1,,M,S,E,true\n", "fleet.csv line 2: name is empty"),
        (HEADER + "1,A,M,S,E\n", "fleet.csv line 2: the row has a different number of fields"),
        (HEADER + "1,A,M,S,E,true,extra\n", "fleet.csv line 2: the row has a different number of fields"),
        ("id,name,meter_id,serial,prepay\n1,A,M,S,true\n", "the header row lacks the column(s) esco, prepay_enabled"),
        ("", "the header row lacks the column(s) id, name"),
    ],
    ids=[
        "bad-setting",
        "repeated-id",
        "bad-id",
        "empty-name",
        "short-row",
        "long-row",
        "missing-columns",
        "empty-file",
    ],
)
def test_bad_row_names_its_line_and_writes_nothing(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], text: str, message: str
) -> None:
    source, registry = tmp_path / "fleet.csv", tmp_path / "registry.db"
    source.write_text(text, encoding="utf-8")
    assert main([str(source), str(registry)]) == 1
    assert message in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fleet.csv"]  # no registry, no half-written file


def test_existing_registry_is_kept_unless_replace_is_given(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    source, registry = tmp_path / "fleet.csv", tmp_path / "registry.db"
    source.write_text(HEADER + "1,A,M,S,E,true\n", encoding="utf-8")
    registry.write_bytes(b"the operator's old registry")
    assert main([str(source), str(registry)]) == 1
    assert "already exists; pass --replace" in capsys.readouterr().err
    assert registry.read_bytes() == b"the operator's old registry"
    source.write_text(HEADER + "1,A,M,S,E,nope\n", encoding="utf-8")
    assert main([str(source), str(registry), "--replace"]) == 1  # a bad file does not replace a good one
    assert registry.read_bytes() == b"the operator's old registry"
    source.write_text(HEADER + "1,A,M,S,E,true\n", encoding="utf-8")
    assert main([str(source), str(registry), "--replace"]) == 0
    assert registry.stat().st_mode & 0o777 == 0o644
    with closing(supa_client(f"sqlite://{registry}", "a", "r")) as client:
        assert client.table("meter_registry").select("name").execute().data == [{"name": "A"}]
