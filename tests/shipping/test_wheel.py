"""The wheel from ``make dist``, installed into a fresh venv outside the source tree
where no compiler can be found, flips the demo fleet with that venv's programs."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

from vaxo_ortane.orchestrate.local_engine import DROPPED_ENV

DEMO = Path(__file__).resolve().parents[2] / "demo" / "run_demo.py"


def test_wheel_installs_without_a_compiler_and_flips_the_demo_fleet(wheel: Path, tmp_path: Path) -> None:
    members = zipfile.ZipFile(wheel).namelist()
    assert [m for m in members if m.endswith((".so", ".cpp", ".hpp", ".h"))] == [
        "vaxo_ortane/jobs/prepay_enabled_flip.cpython-313-x86_64-linux-gnu.so"
    ]
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True)
    # Only the venv's programs on PATH: a dependency without a wheel would need a compiler, and fail.
    # Nor the sanitizer run's settings: the wheel's module is not instrumented.
    assert not any(shutil.which(cc, path=venv / "bin") for cc in ("cc", "gcc", "c++", "g++", "clang"))
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", *DROPPED_ENV)} | {"PATH": str(venv / "bin")}
    # With the demo extra: the demo makes its mediators' and the job's certificates.
    subprocess.run([venv / "bin" / "pip", "install", "--quiet", f"{wheel}[demo]"], env=env, cwd=tmp_path, check=True)
    demo = subprocess.run(
        [venv / "bin" / "python", DEMO], env=env, cwd=tmp_path, capture_output=True, text=True, check=False
    )
    assert demo.returncode == 0, demo.stdout + demo.stderr
    # 15 selected; one has no mediator and one's mediator answers 503
    assert "Job summary: 13/15; mediators show 13 of 15 selected meters flipped: they agree." in demo.stdout
