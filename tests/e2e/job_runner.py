"""A sample fleet on the embedded registry and a local mediator service, and a
way to run the real ``prepay-enabled-flip`` process against it."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

from vaxo_ortane.mediator.sample_fleet import SampleMeter, write_inventory, write_registry
from vaxo_ortane.mediator.sim import MediatorSim

JOB = "vaxo_ortane.jobs.prepay_enabled_flip"
SCRIPT = Path(sys.executable).parent / "prepay-enabled-flip"
ANON = "e2e-anon-5b1f0c9a"
ROLE = "e2e-role-8d2e7f41"
SUMMARY = "Finished prepay_enabled_flip job. Success: "
RUN_LIMIT = 60


def job_is_built() -> bool:
    spec = importlib.util.find_spec(JOB)
    return spec is not None and str(spec.origin).endswith(".so") and SCRIPT.exists()


skip_unless_built = pytest.mark.skipif(
    not job_is_built(), reason="the compiled job is not installed here; run `make install` first"
)


@dataclass
class Run:
    status: int
    stdout: str
    stderr: str
    seconds: float

    @property
    def records(self) -> list[dict[str, Any]]:
        return [json.loads(line) for line in self.stderr.splitlines() if line.strip()]

    def events(self, prefix: str) -> list[dict[str, Any]]:
        return [r for r in self.records if str(r.get("event", "")).startswith(prefix)]

    @property
    def summary(self) -> str:
        (record,) = self.events(SUMMARY)
        return str(record["event"]).removeprefix(SUMMARY)


@dataclass
class Fleet:
    folder: Path
    meters: list[SampleMeter]
    sim: MediatorSim

    def __post_init__(self) -> None:
        self.registry = self.folder / "registry.db"
        self.inventory = self.folder / "inventory.toml"
        write_registry(self.registry, self.meters)
        write_inventory(self.inventory, self.meters, {m.esco: self.sim.address for m in self.meters})

    def env(self, **changes: str | None) -> dict[str, str]:
        # Only what the run needs, plus the sanitizer build's runtime settings.
        env = {
            key: os.environ[key]
            for key in ("PATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
            if key in os.environ
        }
        env |= {
            "PREPAY_DISABLED_METER_NAMES": ", ".join(m.name for m in self.meters if m.in_name_list),
            "SUPABASE_URL": f"sqlite://{self.registry}",
            "SUPABASE_ANON_KEY": ANON,
            "TRAMU_ROLE_KEY": ROLE,
            "MEDIATOR_INVENTORY": str(self.inventory),
            "MEDIATOR_READ_TIMEOUT": "2",
            "MEDIATOR_BACKOFF": "0.05",
        }
        for key, value in changes.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        return env

    def run(self, *args: str, **env_changes: str | None) -> Run:
        import time

        started = time.monotonic()
        done = subprocess.run(
            [str(SCRIPT), *args],
            env=self.env(**env_changes),
            capture_output=True,
            text=True,
            timeout=RUN_LIMIT,
            stdin=subprocess.DEVNULL,
        )
        run = Run(done.returncode, done.stdout, done.stderr, time.monotonic() - started)
        for key in (ANON, ROLE):
            assert key not in run.stdout and key not in run.stderr, "a key reached the job's output"
        return run


def meter(n: int, **options: Any) -> SampleMeter:
    return SampleMeter(
        id=n, name=f"A-{n:03d}", meter_id=f"MTR-{n:04d}", serial=f"SN-{1000 + n}", esco="ESCO_A", **options
    )
