"""The mediator inventory read from MEDIATOR_INVENTORY."""

from __future__ import annotations

import threading
from pathlib import Path

import pytest

from vaxo_ortane.orchestrate.adapter.factory import InventoryError, get_instance

GOOD = """
[[mediator]]
esco = "ESCO_A"
id = 17
serial = "SN-17"
address = "http://127.0.0.1:9001/"

[[mediator]]
esco = "ESCO_A"
id = "18"
serial = 1018
address = "http://127.0.0.1:9001"

[[mediator]]
esco = "ESCO_B"
id = 30
serial = "SN-30"
address = "https://mediator-b.internal:8443/v2"
"""


@pytest.fixture
def inventory(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    path = tmp_path / "inventory.toml"
    path.write_text(GOOD)
    monkeypatch.setenv("MEDIATOR_INVENTORY", str(path))
    return path


class TestLookup:
    def test_esco_none_knows_every_esco(self, inventory: Path) -> None:
        containers = get_instance(esco=None)
        assert containers.mediator_address(17, "SN-17") == "http://127.0.0.1:9001"
        assert containers.mediator_address(30, "SN-30") == "https://mediator-b.internal:8443/v2"

    def test_esco_restricts_to_its_own_meters(self, inventory: Path) -> None:
        containers = get_instance(esco="ESCO_B")
        assert containers.mediator_address(17, "SN-17") is None
        assert containers.mediator_address(30, "SN-30") == "https://mediator-b.internal:8443/v2"

    def test_ids_and_serials_match_as_text_whatever_their_type(self, inventory: Path) -> None:
        containers = get_instance(esco="ESCO_A")
        assert containers.mediator_address("17", "SN-17") == "http://127.0.0.1:9001"
        assert containers.mediator_address(18, "1018") == "http://127.0.0.1:9001"
        assert type(containers.mediator_address(18, 1018)) is str

    @pytest.mark.parametrize(
        "meter_id, serial", [(17, "SN-99"), (99, "SN-17"), (True, "SN-17"), (None, None), (17.0, "SN-17")]
    )
    def test_unknown_or_mismatched_meter_has_no_mediator(
        self, inventory: Path, meter_id: object, serial: object
    ) -> None:
        assert get_instance().mediator_address(meter_id, serial) is None

    def test_concurrent_lookups_agree(self, inventory: Path) -> None:
        containers = get_instance()
        answers: list[object] = []

        def look() -> None:
            answers.extend(containers.mediator_address(17, "SN-17") for _ in range(2000))

        threads = [threading.Thread(target=look) for _ in range(5)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert answers == ["http://127.0.0.1:9001"] * 10000


class TestMalformed:
    @pytest.mark.parametrize(
        "entry, problem",
        [
            ('esco = "E"\nid = 1\nserial = "S"', "lacks address"),
            ('esco = "E"\nid = 1\nserial = "S"\naddress = "http://h"\nadress = "x"', "unknown keys adress"),
            ('esco = "E"\nid = 1\nserial = "S"\naddress = "ftp://h"', "address must be an http"),
            ('esco = "E"\nid = true\nserial = "S"\naddress = "http://h"', "id must be"),
            ('esco = ""\nid = 1\nserial = "S"\naddress = "http://h"', "esco must be"),
        ],
    )
    def test_bad_entry_names_file_and_entry(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, entry: str, problem: str
    ) -> None:
        path = tmp_path / "inv.toml"
        path.write_text(GOOD + "\n[[mediator]]\n" + entry + "\n")
        monkeypatch.setenv("MEDIATOR_INVENTORY", str(path))
        with pytest.raises(InventoryError, match=f"inv.toml.*mediator entry 4.*{problem}"):
            get_instance(esco="ESCO_B")  # the bad entry is in another ESCO: still reported

    @pytest.mark.parametrize(
        ("content", "problem"),
        [
            (GOOD.encode() + b'\n[[mediator]]\nesco = "\xff"\n', r"is not UTF-8 text: invalid start byte at byte \d+"),
            (GOOD.encode().replace(b"id = 17", b"id = 17\nid = 19"), "is not valid TOML"),  # a key given twice
            (GOOD.encode().replace(b'"SN-17"', b"SN-17"), "is not valid TOML"),  # text without quotes
            (GOOD.encode().replace(b'"SN-17"', b'"SN-\\ud800"'), "is not valid TOML"),  # no such character
        ],
        ids=["not-utf8", "duplicate-key", "bare-text", "surrogate-escape"],
    )
    def test_unreadable_text_stops_the_run(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, content: bytes, problem: str
    ) -> None:
        path = tmp_path / "inv.toml"
        path.write_bytes(content)
        monkeypatch.setenv("MEDIATOR_INVENTORY", str(path))
        with pytest.raises(InventoryError, match=f"inv.toml {problem}"):
            get_instance()

    def test_one_meter_with_two_addresses(self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        path = tmp_path / "inv.toml"
        path.write_text(GOOD + '\n[[mediator]]\nesco = "ESCO_B"\nid = 17\nserial = "SN-17"\naddress = "http://other"\n')
        monkeypatch.setenv("MEDIATOR_INVENTORY", str(path))
        with pytest.raises(InventoryError, match="id 17 serial SN-17 has two mediators"):
            get_instance()

    def test_invalid_toml_missing_file_and_unset_variable(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        path = tmp_path / "broken.toml"
        path.write_text("[[mediator]\n")
        monkeypatch.setenv("MEDIATOR_INVENTORY", str(path))
        with pytest.raises(InventoryError, match=r"broken.toml is not valid TOML"):
            get_instance()
        monkeypatch.setenv("MEDIATOR_INVENTORY", str(tmp_path / "absent.toml"))
        with pytest.raises(InventoryError, match=r"absent.toml does not exist"):
            get_instance()
        monkeypatch.delenv("MEDIATOR_INVENTORY")
        with pytest.raises(InventoryError, match="MEDIATOR_INVENTORY is not set"):
            get_instance()


def _tables(count: int, extra: str = "", at: int = -1) -> str:
    # A fleet's inventory long enough to be read in parts; table ``at`` with ``extra`` added.
    tables = [
        f'[[mediator]]\nesco = "E"\nid = {n}\nserial = "S{n}"\naddress = "http://m{n % 7}:80"\n' for n in range(count)
    ]
    tables[at] += extra
    return "".join(tables)


@pytest.mark.parametrize(
    "extra, at, found",
    [
        # Its line is where the first part would end: the whole file is read instead.
        ('note = """\n[[mediator]]\n"""\n', 9_999, "mediator entry 10000 has unknown keys note"),
        ("port = 1\n", 12_000, "mediator entry 12001 has unknown keys port"),
        ("id = 3\n", 12_000, "is not valid TOML"),
    ],
    ids=["table-line-in-a-string-at-a-cut", "bad-entry-in-a-later-part", "not-toml"],
)
def test_a_large_inventory_read_in_parts_says_what_a_whole_reading_says(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, extra: str, at: int, found: str
) -> None:
    path = tmp_path / "inventory.toml"
    path.write_text(_tables(12_001, extra, at))
    monkeypatch.setenv("MEDIATOR_INVENTORY", str(path))
    with pytest.raises(InventoryError, match=found):
        get_instance(esco=None)
    path.write_text(_tables(12_001))
    containers = get_instance(esco=None)
    assert len(containers) == 12_001 and containers.mediator_address(12_000, "S12000") == "http://m2:80"
