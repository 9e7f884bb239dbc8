"""A benchmark fleet: an embedded registry, an inventory and a running
``vaxo-mediator-sim`` with a fixed latency, and one measured run of the job.

The simulator is its own process, started before the job; the job's CPU time
and peak RSS come from ``os.wait4`` on the job's process alone, the simulator's
CPU time from /proc.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from pathlib import Path

from vaxo_ortane.mediator.sample_fleet import (
    SampleMeter,
    write_inventory,
    write_registry,
    write_sim_config,
)
from vaxo_ortane.mediator.sim import MeterBehaviour

BIN = Path(sys.executable).parent
ESCO = "BENCH"
SUMMARY = "Finished prepay_enabled_flip job. Success: "
WORKERS = 5
# One environment string holds at most 128 KiB; a longer list goes through a file.
NAMES_IN_ENVIRONMENT = 100_000


def job_env(registry: Path, inventory: Path) -> dict[str, str]:
    """What a benchmark's job process needs besides its names: the registry, its keys, the inventory."""
    return {
        "PATH": os.environ.get("PATH", ""),
        "SUPABASE_URL": f"sqlite://{registry}",
        "SUPABASE_ANON_KEY": "bench-anon",
        "TRAMU_ROLE_KEY": "bench-role",
        "MEDIATOR_INVENTORY": str(inventory),
    }


def meters(count: int, latency: float, behaviour: MeterBehaviour | None = None) -> list[SampleMeter]:
    behaviour = replace(behaviour or MeterBehaviour(), latency=latency)
    return [
        SampleMeter(
            id=i, name=f"M{i:06d}", meter_id=f"MTR-{i:06d}", serial=f"SN{i:08d}", esco=ESCO, behaviour=behaviour
        )
        for i in range(1, count + 1)
    ]


class Sim:
    """``vaxo-mediator-sim`` as its own process."""

    def __init__(self, config: Path, log: Path, args: Sequence[str] = ()) -> None:
        self.log = log
        self.process = subprocess.Popen(
            [str(BIN / "vaxo-mediator-sim"), "--config", str(config), *args],
            stdout=subprocess.PIPE,
            stderr=log.open("w"),
            text=True,
        )
        assert self.process.stdout is not None
        line = self.process.stdout.readline().strip()
        if not line.startswith("listening on "):
            self.stop()
            raise RuntimeError(f"the mediator simulator did not start; see {log}")
        self.address = line.removeprefix("listening on ")

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=10)

    def cpu_seconds(self) -> float:
        """The simulator's CPU time so far (user and system), from /proc."""
        fields = Path(f"/proc/{self.process.pid}/stat").read_text().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@dataclass
class JobRun:
    meters: int
    seconds: float
    cpu_seconds: float
    max_rss_kib: int
    summary: str
    log: Path
    started_at: float  # time.time() just before the job's process was spawned
    sim_cpu_seconds: float  # the simulator's CPU time during the run

    @property
    def sim_cpu_us_per_meter(self) -> float:
        return self.sim_cpu_seconds / self.meters * 1e6

    @property
    def cpu_us_per_meter(self) -> float:
        return self.cpu_seconds / self.meters * 1e6


class Fleet:
    """N meters behind one simulator whose writes all take ``latency`` seconds."""

    def __init__(
        self,
        folder: Path,
        count: int,
        latency: float,
        sim_args: Sequence[str] = (),
        behaviour: MeterBehaviour | None = None,
    ) -> None:
        folder.mkdir(parents=True, exist_ok=True)
        self.folder, self.count, self.latency = folder, count, latency
        self.meters = meters(count, latency, behaviour)
        self.registry = folder / "registry.db"
        self.registry.unlink(missing_ok=True)
        write_registry(self.registry, self.meters)
        self._config, self._sim_args = folder / "sim.toml", sim_args
        write_sim_config(self._config, self.meters)
        self.extra_env: dict[str, str] = {}
        self.inventory = folder / "inventory.toml"
        self._start_sim()

    def _start_sim(self) -> None:
        self.sim = Sim(self._config, self.folder / "sim.log", self._sim_args)
        write_inventory(self.inventory, self.meters, {ESCO: self.sim.address})

    def restart_sim(self) -> None:
        """A new simulator, every meter on again and no key kept: a run that reads meters
        first would find them off after the one before."""
        self.sim.stop()
        self._start_sim()

    def __enter__(self) -> Fleet:
        return self

    def __exit__(self, *exc: object) -> None:
        self.sim.stop()

    def names(self) -> str:
        return ",".join(m.name for m in self.meters)

    def env(self) -> dict[str, str]:
        names = self.names()
        if len(names) > NAMES_IN_ENVIRONMENT:
            names_file = self.folder / "names.txt"
            names_file.write_text(names.replace(",", "\n") + "\n")
            listed = {"PREPAY_DISABLED_METER_NAMES_FILE": str(names_file)}
        else:
            listed = {"PREPAY_DISABLED_METER_NAMES": names}
        return (
            listed
            | {
                "PATH": os.environ.get("PATH", ""),
                "SUPABASE_URL": f"sqlite://{self.registry}",
                "SUPABASE_ANON_KEY": "bench-anon",
                "TRAMU_ROLE_KEY": "bench-role",
                "MEDIATOR_INVENTORY": str(self.inventory),
            }
            | self.extra_env
        )

    def run_job(self, argv_prefix: list[str] | None = None, bin_dir: Path = BIN) -> JobRun:
        """One run of the job, the one installed in ``bin_dir`` (another venv's, say)."""
        argv = [*(argv_prefix or []), str(bin_dir / "prepay-enabled-flip"), "--esco", ESCO]
        return self._measure(argv, self.env(), None, self._check_summary)

    def run_bare(self) -> JobRun:
        """The same writes from ``_bare_loop.py``: five pycurl threads and nothing else."""
        argv = [sys.executable, str(Path(__file__).with_name("_bare_loop.py")), self.sim.address, "-"]
        ids = "\n".join(m.meter_id for m in self.meters)
        return self._measure(argv, {"PATH": os.environ.get("PATH", "")}, ids, lambda log: f"{self.count}/{self.count}")

    def run_program(self, argv: list[str], expected: str) -> JobRun:
        """One run of another of the package's programs with the job's settings; its log must hold ``expected``."""

        def check(log: Path) -> str:
            if expected not in log.read_text():
                raise RuntimeError(f"{Path(argv[0]).name} did not end as expected ({expected!r}); see {log}")
            return expected

        return self._measure(argv, self.env(), None, check)

    def _check_summary(self, log: Path) -> str:
        summary = next((line for line in log.read_text().splitlines() if SUMMARY in line), "")
        expected = f"{SUMMARY}{self.count}/{self.count}"
        if expected not in summary:
            raise RuntimeError(f"the job did not flip every meter ({summary or 'no summary'}); see {log}")
        return expected.removeprefix(SUMMARY)

    def _measure(self, argv: list[str], env: dict[str, str], stdin: str | None, check: Callable[[Path], str]) -> JobRun:
        log = self.folder / "job.log"
        sim_cpu = self.sim.cpu_seconds()
        with log.open("w") as err:
            started_at = time.time()
            start = time.perf_counter()
            process = subprocess.Popen(
                argv,
                env=env,
                stdin=subprocess.DEVNULL if stdin is None else subprocess.PIPE,
                stdout=subprocess.DEVNULL,
                stderr=err,
            )
            if stdin is not None:
                assert process.stdin is not None
                process.stdin.write(stdin.encode())
                process.stdin.close()
            _, status, usage = os.wait4(process.pid, 0)
            seconds = time.perf_counter() - start
        sim_cpu = self.sim.cpu_seconds() - sim_cpu
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            raise RuntimeError(f"{argv[0]} exited with status {process.returncode}; see {log}")
        summary = check(log)
        return JobRun(
            meters=self.count,
            seconds=seconds,
            cpu_seconds=usage.ru_utime + usage.ru_stime,
            max_rss_kib=usage.ru_maxrss,
            summary=summary,
            log=log,
            started_at=started_at,
            sim_cpu_seconds=sim_cpu,
        )


def job_bins(given: list[str]) -> dict[str, Path]:
    """This installation of the job, then each ``LABEL=DIR`` given (another venv's bin folder)."""
    return {"job": BIN} | {label: Path(path) for label, _, path in (item.partition("=") for item in given)}


def rounds_and_count(doc: str, rounds: int, count: int, quick: int) -> tuple[int, int]:
    """A benchmark's command line, ``--rounds`` and ``--quick`` (``quick`` meters, for a smoke run):
    the rounds and the number of meters."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=rounds)
    parser.add_argument("--quick", action="store_true", help=f"N = {quick}, for a smoke run")
    args = parser.parse_args()
    return args.rounds, quick if args.quick else count


def floor_seconds(count: int, latency: float) -> float:
    return -(-count // WORKERS) * latency
