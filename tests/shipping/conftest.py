"""The job as it ships: the wheel and sdist from ``make dist``, the image from
``make image`` on a private podman engine, the Kubernetes manifests.

Each artifact is built once per session. Outside CI a machine where no engine can
start skips the image tests with the reason; with REQUIRE_CONTAINER_ENGINE=1 (set
by .ci/run) that fails them.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from collections.abc import Iterator
from pathlib import Path

import pytest

from vaxo_ortane.orchestrate.local_engine import (
    DROPPED_ENV,
    EngineUnavailable,
    PrivatePodman,
    engine_env,
    import_mediator_image,
)

ROOT = Path(__file__).resolve().parents[2]
IMAGE = "localhost/vaxo-ortane:test"


def make(*targets: str, env: dict[str, str] | None = None, **variables: str) -> None:
    """Run make targets of the project; on failure the output is the message."""
    done = subprocess.run(
        ["make", "-C", str(ROOT), *targets, *(f"{k}={v}" for k, v in variables.items())],
        env=env or {k: v for k, v in os.environ.items() if k not in DROPPED_ENV}, capture_output=True, text=True,
    )
    assert done.returncode == 0, f"make {' '.join(targets)} failed:\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}"


@pytest.fixture(scope="session")
def wheel() -> Path:
    make("dist")
    (built,) = (ROOT / "dist").glob("*.whl")
    return built


@pytest.fixture(scope="session")
def engine() -> Iterator[PrivatePodman]:
    try:
        if shutil.which("mmdebstrap") is None:
            raise EngineUnavailable("mmdebstrap is not installed (Debian: apt-get install mmdebstrap)")
        started = PrivatePodman().start()
    except EngineUnavailable as exc:
        if os.environ.get("REQUIRE_CONTAINER_ENGINE") == "1":
            pytest.fail(f"the container engine must run here but cannot: {exc}")
        pytest.skip(f"no private podman engine here: {exc}")
    try:
        import_mediator_image(started.client)
        yield started
    finally:
        started.stop()


@pytest.fixture(scope="session")
def image(engine: PrivatePodman) -> str:
    """The Containerfile built as `make image` builds it, on a base made from Debian's packages."""
    make("base-image", "image", env=engine_env(engine.folder / "containers.conf"),
         CONTAINER_ENGINE=" ".join(engine.podman_args()), IMAGE_BUILD_FLAGS="--pull=never", IMAGE=IMAGE)
    return IMAGE
