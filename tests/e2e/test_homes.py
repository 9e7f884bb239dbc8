"""The facts that live in one place and are copied elsewhere: statuses in the docs,
the job's texts in the compiled module, and the module only where it is built."""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

from job_runner import JOB, skip_unless_built
from vaxo_ortane.launcher.run import messages, statuses
from vaxo_ortane.launcher.settings.variables import HELP

ROOT = Path(__file__).resolve().parents[2]


def _status_tables(text: str) -> list[set[int]]:
    """The statuses of each "| Status | Meaning |" table, in page order."""
    tables = []
    for block in text.split("\n| Status | Meaning |\n|---|---|\n")[1:]:
        cells = [line.split("|")[1] for line in block.split("\n\n")[0].splitlines()]
        # "1 (with a traceback)" is status 1; "143, 130" two statuses.
        tables.append({int(n) for cell in cells for n in re.findall(r"\d+", cell.partition("(")[0])})
    return tables


def test_the_docs_list_every_status_of_every_command() -> None:
    tables = _status_tables((ROOT / "docs" / "stopping.md").read_text(encoding="utf-8"))
    assert tables == [set(statuses.MEANINGS[command]) for command in statuses.MEANINGS]


def test_the_commands_help_names_every_setting_the_configuration_page_lists() -> None:
    page = (ROOT / "docs" / "configuration.md").read_text(encoding="utf-8")
    table = next(block for block in page.split("## Settings")[1].split("\n\n") if block.startswith("| Variable"))
    variables = {v for row in table.splitlines()[2:] for v in re.findall(r"`([A-Z<][A-Z_>]+)`", row.split("|")[1])}
    # TERM is the terminal's own variable, which the launcher only reads.
    assert len(variables) > 15 and [v for v in sorted(variables - {"TERM"}) if v not in HELP] == []


@skip_unless_built
def test_every_text_the_launcher_matches_stands_in_the_built_module() -> None:
    spec = importlib.util.find_spec(JOB)
    assert spec is not None and spec.origin is not None
    binary = Path(spec.origin).read_bytes()
    assert [text for text in messages.ALL if text.encode() not in binary] == []


def test_an_unbuilt_source_tree_does_not_import_the_job(tmp_path: Path) -> None:
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env |= {"PYTHONPATH": str(ROOT / "src"), "PREPAY_DISABLED_METER_NAMES": "A-001"}
    done = subprocess.run(
        [sys.executable, "-c", f"import {JOB}"], env=env, cwd=tmp_path, capture_output=True, text=True, check=False
    )
    assert done.returncode == 1
    assert f"ModuleNotFoundError: No module named '{JOB}'" in done.stderr
