"""Keys, accepted writes and read-back between the client and the local mediator service, over real HTTP."""

from __future__ import annotations

import dataclasses
import functools
import json
from collections.abc import Iterator
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from vaxo_ortane.mediator import writes
from vaxo_ortane.mediator.client import MediatorSettings, OrtaneMediatorClient, _Answer, _not_accepted, _scrubbed
from vaxo_ortane.mediator.idempotency import key_for, scope_prefix, usable
from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException
from vaxo_ortane.mediator.sim import MediatorSim, MeterBehaviour, load_config

FAST = MediatorSettings(connect_timeout=0.5, read_timeout=0.5, retries=2, backoff=0.01, confirm_timeout=1.0)
HEAD_ENDS = {
    "at-once": MeterBehaviour(),
    "accepts": MeterBehaviour(accept=True, apply_after=0.3),
    "never": MeterBehaviour(accept=True, apply="never"),
    "refuses": MeterBehaviour(accept=True, apply="fail"),
    "lies": MeterBehaviour(lie=True),
    "accepts-lies": MeterBehaviour(accept=True, lie=True),
    "off": MeterBehaviour(prepay_enabled=False),
    "blip": MeterBehaviour(fail_status=503, fail_times=1),
}


@pytest.fixture
def sim() -> Iterator[MediatorSim]:
    with MediatorSim(HEAD_ENDS) as service:
        yield service
    writes.reset()


def write(sim: MediatorSim, meter_id: str, read_back: bool = False, value: bool = False) -> str | None:
    """The write's failure, or None when it returned."""
    settings = dataclasses.replace(FAST, read_back=read_back)
    client = OrtaneMediatorClient(mediator_address=sim.address, meter_id=meter_id, settings=settings)
    try:
        client.prepay_enabled_write(value)
    except MediatorClientException as exc:
        return exc.cause
    return None


@pytest.mark.parametrize(
    "meter_id, read_back, failure, applied, puts",
    [
        ("at-once", False, None, 1, 1),
        ("accepts", False, None, 1, 1),
        ("never", False, "unconfirmed: request 'req-1' not settled within 1 s", 0, 1),
        ("refuses", False, "refused by the head-end: request 'req-1' failed: the meter refused", 0, 1),
        ("lies", False, None, 0, 1),  # what a job without read-back cannot see
        ("lies", True, "not applied: the write was answered 200, and the meter reads true", 0, 1),
        ("accepts-lies", True, "not applied: request 'req-1' was applied, and the meter reads true", 0, 1),
        ("off", True, None, 0, 0),  # already off at the meter: not written
        ("blip", False, None, 1, 2),  # the retry after a 503 carries the key, and writes
    ],
)
def test_a_write_ends_as_its_head_end_settles_it(
    sim: MediatorSim, meter_id: str, read_back: bool, failure: str | None, applied: int, puts: int
) -> None:
    cause = write(sim, meter_id, read_back)
    assert (cause or "").startswith(failure or "") and (cause is None) == (failure is None), cause
    assert (sim.applied(meter_id), sim.requests("PUT"), sum(sim.keys().values())) == (applied, puts, min(puts, 1))


def test_a_key_seen_again_is_answered_without_a_second_write(sim: MediatorSim) -> None:
    writes.install(key=lambda meter_id, value: f"k-{meter_id}")
    assert [write(sim, "accepts"), write(sim, "accepts"), write(sim, "at-once"), write(sim, "at-once")] == [None] * 4
    assert sim.tally() == {"applied": {"accepts": 1, "at-once": 1}, "repeated_keys": {"accepts": 1, "at-once": 1}}
    cause = write(sim, "at-once", value=True)
    assert cause is not None and "HTTP 422" in cause and "idempotency key for another meter or value" in cause
    assert sim.value("at-once") is False and sim.requests("PUT") == 5


def test_a_held_request_is_polled_and_never_written_again(sim: MediatorSim) -> None:
    writes.install(key=lambda meter_id, value: "k-1")
    assert write(sim, "accepts") is None
    held: list[object] = []
    writes.install(
        key=lambda meter_id, value: "k-1",
        holding=lambda key: "req-1",
        accepted=lambda accepted: held.append(accepted.request_id) is not None,
    )
    assert write(sim, "accepts") is None
    assert (held, sim.requests("PUT"), sim.applied("accepts")) == (["req-1"], 1, 1)


@pytest.mark.parametrize(
    "table, error",
    [
        ('apply = "later"', 'apply must be "never" or "fail"'),
        ("apply_after = -1", "apply_after must be a number"),
        ('accept = "yes"', "accept and lie must be true or false"),
    ],
)
def test_a_head_end_behaviour_it_cannot_play_is_refused(tmp_path: Path, table: str, error: str) -> None:
    config = tmp_path / "meters.toml"
    config.write_text(f'[meters."M-1"]\n{table}\n')
    with pytest.raises(ValueError, match=error):
        load_config(config)


@pytest.mark.parametrize("echoed", ["tok/en+1", "tok%2Fen%2B1"])
def test_a_request_id_that_echoes_the_token_is_refused_without_it(echoed: str) -> None:
    answer = _Answer(202, [], json.dumps({"request_id": f"req-{echoed}", "status": "pending"}).encode())
    problem = _not_accepted(answer, "M-1", functools.partial(_scrubbed, secrets=("tok/en+1",)))
    assert problem is not None and "bearer token" in problem and "en+1" not in problem and "en%2B1" not in problem


ROW_IDS = st.text(st.characters(exclude_categories=("Cs",)), max_size=300)  # a registry's text, as the ledger keeps it


@given(ROW_IDS, ROW_IDS)
def test_keys_fit_a_header_and_tell_rows_apart(first: str, second: str) -> None:
    prefix = scope_prefix("rollout:2026-12")
    keys = [key_for(prefix, row, False) for row in (first, second)]
    assert all(usable(k) and usable(key_for(prefix, "", False, k)) for k in keys)
    assert (keys[0] == keys[1]) == (first == second)
