"""The least a run of N writes can cost in Python: five threads, each with one reused
pycurl handle, writing false to every meter in turn, with no logger, no module and no
registry. ``bench/fleet.py`` runs it as its own process beside the job, against the
same ``vaxo-mediator-sim``, and sets the job's CPU per meter against this one's.

    python bench/_bare_loop.py ADDRESS METER_ID...   # ids also one a line on standard input with "-"
"""

from __future__ import annotations

import sys
import threading
from collections.abc import Iterator

import pycurl

WORKERS = 5
BODY = b'{"value":false}'


def write_all(address: str, meter_ids: Iterator[str], lock: threading.Lock, failures: list[str]) -> None:
    curl = pycurl.Curl()
    curl.setopt(pycurl.NOSIGNAL, 1)
    curl.setopt(pycurl.CUSTOMREQUEST, "PUT")
    curl.setopt(pycurl.HTTPHEADER, ["Content-Type: application/json", "Expect:"])
    curl.setopt(pycurl.POSTFIELDS, BODY)
    curl.setopt(pycurl.CONNECTTIMEOUT_MS, 3000)
    curl.setopt(pycurl.TIMEOUT_MS, 13000)
    body: list[bytes] = []
    curl.setopt(pycurl.WRITEFUNCTION, body.append)
    while True:
        with lock:
            meter_id = next(meter_ids, None)
        if meter_id is None:
            return
        body.clear()
        curl.setopt(pycurl.URL, f"{address}/meters/{meter_id}/prepay_enabled")
        curl.perform()
        if curl.getinfo(pycurl.RESPONSE_CODE) != 200:
            failures.append(meter_id)


def main() -> int:
    address, ids = sys.argv[1], sys.argv[2:]
    if ids == ["-"]:
        ids = sys.stdin.read().split()
    lock, failures = threading.Lock(), []
    meter_ids = iter(ids)
    threads = [threading.Thread(target=write_all, args=(address, meter_ids, lock, failures)) for _ in range(WORKERS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(f"{len(ids) - len(failures)}/{len(ids)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
