"""The wheel from ``make dist`` installed into a fresh venv outside the source
tree, where no compiler can be found; the demo fleet then flipped by the
programs of that installation."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

from vaxo_ortane.orchestrate.local_engine import DROPPED_ENV

ROOT = Path(__file__).resolve().parents[2]


def test_wheel_installs_without_a_compiler_and_flips_the_demo_fleet(wheel: Path, tmp_path: Path) -> None:
    members = zipfile.ZipFile(wheel).namelist()
    assert [m for m in members if m.endswith(".so")] == [
        "vaxo_ortane/jobs/prepay_enabled_flip.cpython-313-x86_64-linux-gnu.so"
    ]
    assert not [m for m in members if m.endswith((".cpp", ".hpp", ".h"))]
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    # Only the venv's own programs: a dependency without a wheel would need a compiler, and fail.
    path = str(venv / "bin")
    assert not any(shutil.which(cc, path=path) for cc in ("cc", "gcc", "c++", "g++", "clang"))
    # Nor the sanitizer run's settings: the wheel's module is not instrumented.
    dropped = ("PYTHONPATH", "VIRTUAL_ENV", *DROPPED_ENV)
    env = {k: v for k, v in os.environ.items() if k not in dropped} | {"PATH": path}
    subprocess.run([venv / "bin" / "python", "-m", "pip", "install", "--quiet", str(wheel)],
                   env=env, cwd=tmp_path, check=True)
    where = subprocess.run([venv / "bin" / "python", "-c", "import importlib.util as u; "
                            "print(u.find_spec('vaxo_ortane.jobs.prepay_enabled_flip').origin)"], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert where.stdout.startswith(str(venv / "lib")), where
    demo = subprocess.run([venv / "bin" / "python", ROOT / "demo" / "run_demo.py"],
                          env=env, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert demo.returncode == 0, demo.stdout + demo.stderr
    # 15 selected; one has no mediator and one's mediator answers 503
    assert "Job summary: 13/15; mediators show 13 of 15 selected meters flipped: they agree." in demo.stdout
