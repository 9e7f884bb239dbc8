"""The artifacts, each built once per session. Where no engine can start the image
tests skip saying why; in CI they fail."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "demo"))  # the Indexed Job demo builds the image and runs the pods

from run_demo_shards import build_image  # noqa: E402
from servers import unavailable  # noqa: E402
from vaxo_ortane.orchestrate.local_engine import DROPPED_ENV, EngineUnavailable, PrivatePodman  # noqa: E402


@pytest.fixture(scope="session")
def wheel() -> Path:
    env = {k: v for k, v in os.environ.items() if k not in DROPPED_ENV}
    done = subprocess.run(["make", "-C", ROOT, "dist"], env=env, capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    (built,) = (ROOT / "dist").glob("*.whl")
    return built


@pytest.fixture(scope="session")
def engine() -> Iterator[PrivatePodman]:
    try:
        if shutil.which("mmdebstrap") is None:
            raise EngineUnavailable("mmdebstrap is not installed (Debian: apt-get install mmdebstrap)")
        started = PrivatePodman().start()
    except EngineUnavailable as exc:
        unavailable(f"no private podman engine here: {exc}")
    yield started
    started.stop()


@pytest.fixture(scope="session")
def image(engine: PrivatePodman) -> str:
    build_image(engine, "localhost/vaxo-ortane:test")
    return "localhost/vaxo-ortane:test"
