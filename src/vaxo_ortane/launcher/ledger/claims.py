"""Which run of a rollout may write a name: the one that holds its claim in the ledger.

A run claims every name it will write as it begins, in the transaction that records
it, and gives them up in the one that records its end. Two runs of one rollout side
by side (a CronJob that allows it, a pod retried while the old one still ends, two
operators) so never both write one meter; shards hold names of their own and never
meet. A claim another run holds is taken over once that run is dead:

- its writer thread has not beaten (``flip_runs.heartbeat``, the ledger's own clock)
  for ``LEASE_SECONDS``: a process killed on another machine, or frozen;
- or it ran in this machine's process namespace and its process is gone (or its pid
  now belongs to another process): a process killed and restarted here is not kept
  waiting for the lease.

A name held by a live run is waited for (the holder may be ending, or dead and not
yet known to be), then left out of this run: the run that holds it writes it.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from functools import cache

HEARTBEAT_SECONDS = 2.0
# A heartbeat older than this is a dead run's: ten beats, room for a slow commit.
LEASE_SECONDS = 20.0
# How long a run waits for names that a live run holds, then runs without them: long
# enough to find a killed holder dead; a holder that is stopping is waited for to its end.
WAIT_SECONDS = LEASE_SECONDS + 2 * HEARTBEAT_SECONDS
STOPPING_WAIT_SECONDS = 120.0
POLL_SECONDS = 1.0


@cache
def process_key() -> str | None:
    """This process as no other can be: the boot, the pid namespace, the pid and its start time."""
    try:
        with open("/proc/sys/kernel/random/boot_id") as f:
            boot = f.read().strip()
        namespace = os.readlink("/proc/self/ns/pid")
        started = _start_time("self")
    except OSError:
        return None  # not Linux, or no /proc: the heartbeat alone tells
    return f"{boot}/{namespace}/{os.getpid()}/{started}"


def _start_time(pid: str) -> str:
    with open(f"/proc/{pid}/stat") as f:
        stat = f.read()
    return stat.rpartition(")")[2].split()[19]  # field 22; the name before it may hold spaces


def gone_here(key: str | None) -> bool:
    """Whether the process ``key`` names ran in this machine's pid namespace and has ended."""
    mine = process_key()
    if key is None or mine is None:
        return False
    boot, namespace, pid, started = key.rsplit("/", 3)
    if f"{boot}/{namespace}" != mine.rsplit("/", 2)[0]:
        return False  # another machine or container: only its heartbeat tells
    try:
        return _start_time(pid) != started
    except OSError:
        return True


@dataclass(frozen=True)
class Holder:
    """A run that holds claims of the rollout, and whether it is still alive."""

    run_id: str
    host: str
    pid: int
    stopping: bool
    alive: bool

    @classmethod
    def judged(cls, row: tuple[object, ...]) -> Holder:
        """From ``(run_id, host, pid, process, stopping, seconds since its heartbeat)``."""
        run_id, host, pid, key, stopping, age = row
        beating = isinstance(age, (int, float)) and age < LEASE_SECONDS
        alive = beating and not gone_here(key if isinstance(key, str) else None)
        return cls(str(run_id), str(host), int(str(pid)), bool(stopping), alive)

    @property
    def shown(self) -> str:
        return f"run {self.run_id} on {self.host}, pid {self.pid}" + (", stopping" if self.stopping else "")
