"""Every path of the job, repeated thousands of times, must leave the heap and the
reference counts of what it was handed as they were.

The job runs from a scheduler over whole fleets: a reference dropped or kept per
meter, per failure or per refused call grows with the fleet until the process dies.
"""

import collections
import contextlib
import copy
import gc
import importlib.util
import io
import pickle
import sys

import pytest

from hardening_support import JOB, Mediator, forget, heap_growth
from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException

ITERATIONS = 2000
# A leak costs at least one block or object per iteration. Beyond a few blocks of
# constant slack (the measuring itself, a cache filling once), growth must stay
# far below that.
SLACK = 8
MAX_GROWTH = 0.01

PATHS = {}


def path(fn):
    PATHS[fn.__name__] = fn
    return fn


def mediator_failure():
    return MediatorClientException("mediator said 503", meter_id="MID-1", address="tcp://m", status=503)


def flip_job(mod, f, **overrides):
    kw = {"meter": f.row, "mediator_address": f.adapter.answer, "supabase": f.registry}
    kw.update(overrides)
    return mod.PrepayEnabledFlipJob(**kw)


def expect(exc_type, call, check=None):
    """Call, and insist that it raises exc_type; `check` sees the exception."""
    try:
        call()
    except exc_type as exc:
        if check is not None:
            check(exc)
    else:
        raise AssertionError(f"{exc_type.__name__} not raised")


# Each path returns (step, objects whose reference counts must not change).


@path
def flip_job_constructed(mod, f):
    def step():
        job = flip_job(mod, f)
        assert job.ortane_client is f.mediator and job.log is f.log

    return step, [f.row, f.adapter.answer, f.registry, f.mediator, f.log]


@path
def flip_job_missing_meter_id(mod, f):
    row = {"id": 1, "serial": "S-1"}
    return lambda: expect(KeyError, lambda: flip_job(mod, f, meter=row)), [row, f.adapter.answer]


@path
def flip_job_missing_serial(mod, f):
    row = {"id": 1, "meter_id": "MID-1"}
    return lambda: expect(KeyError, lambda: flip_job(mod, f, meter=row)), [row, f.mediator]


@path
def flip_job_meter_refused_by_type(mod, f):
    row = collections.OrderedDict(f.row)
    return lambda: expect(TypeError, lambda: flip_job(mod, f, meter=row)), [row]


@path
def flip_job_address_refused_by_type(mod, f):
    address = b"tcp://mediator-1"

    def step():
        return expect(TypeError, lambda: flip_job(mod, f, mediator_address=address))

    return step, [address, f.row]


@path
def flip_job_through_type_call(mod, f):
    # A class changed after the module made it is called through type.__call__.
    mod.PrepayEnabledFlipJob.__setattr__ = object.__setattr__

    def step():
        job = flip_job(mod, f)
        assert job.ortane_client is f.mediator

    return step, [f.row, f.adapter.answer, f.registry, f.mediator, f.log]


@path
def methods_copied_and_pickled(mod, f, monkeypatch):
    monkeypatch.setitem(sys.modules, JOB, mod)
    method = mod.PrepayEnabledFlipAllJob.run_job

    def step():
        assert copy.copy(method) is method and copy.deepcopy([method])[0] is method
        assert pickle.loads(pickle.dumps(method)) is method

    return step, [method, mod]


@path
def update_succeeds(mod, f):
    job = flip_job(mod, f)

    def step():
        assert job.update() is True

    return step, [job, f.mediator, f.log]


@path
def update_mediator_client_failure(mod, f):
    job = flip_job(mod, f)
    f.mediator.outcome = exc = mediator_failure()

    def step():
        assert job.update() is False
        assert f.log.last_error == "Mediator client failure"
        forget(exc)

    return step, [job, exc, f.log]


@path
def update_other_failure(mod, f):
    job = flip_job(mod, f)
    f.mediator.outcome = exc = ValueError("register 0x1f out of range")

    def step():
        assert job.update() is False
        assert f.log.last_error == "Unknown failure during prepay_enabled flag disable"
        forget(exc)

    return step, [job, exc]


@path
def update_info_raises_after_write(mod, f):
    job = flip_job(mod, f)
    f.log.fail["info"] = exc = OSError("log sink full")

    def step():
        assert job.update() is False
        forget(exc)

    return step, [job, exc, f.log]


@path
def update_handler_raises(mod, f):
    job = flip_job(mod, f)
    f.mediator.outcome = first = mediator_failure()
    f.log.fail["error"] = second = OSError("log sink full")

    def check(exc):
        assert exc is second and exc.__context__ is first

    def step():
        expect(OSError, job.update, check)
        forget(first, second)

    return step, [job, first, second]


@path
def update_lets_keyboard_interrupt_through(mod, f):
    job = flip_job(mod, f)
    f.mediator.outcome = exc = KeyboardInterrupt()

    def step():
        expect(KeyboardInterrupt, job.update)
        forget(exc)

    return step, [job, exc]


@path
def fleet_job_constructed(mod, f):
    def step():
        job = mod.PrepayEnabledFlipAllJob(f.esco)
        assert job.containers is f.adapter and job.tramu_supabase is f.registry

    return step, [f.esco, f.adapter, f.registry, f.log]


def exit_code(code):
    def check(exc):
        assert exc.code == code

    return check


@path
def fleet_job_exit_2_without_database_settings(mod, f):
    mod.supabase_key = ""

    def step():
        return expect(SystemExit, lambda: mod.PrepayEnabledFlipAllJob(esco=f.esco), exit_code(2))

    return step, [f.esco, f.log]


@path
def fleet_job_exit_3_without_role_key(mod, f):
    mod.tramu_role_key = None

    def step():
        return expect(SystemExit, lambda: mod.PrepayEnabledFlipAllJob(f.esco), exit_code(3))

    return step, [f.esco, f.log]


def fleet(mod, f):
    return mod.PrepayEnabledFlipAllJob(f.esco)


@path
def run_job_succeeds(mod, f):
    job = fleet(mod, f)

    def step():
        assert job.run_job(f.row) is True

    return step, [job, f.row, f.adapter.answer, f.registry, f.mediator]


@path
def run_job_update_false(mod, f):
    job = fleet(mod, f)
    f.mediator.outcome = exc = mediator_failure()

    def step():
        assert job.run_job(f.row) is False
        forget(exc)

    return step, [job, f.row, exc]


@path
def run_job_no_mediator(mod, f):
    job = fleet(mod, f)
    f.adapter.answer = None

    def step():
        assert job.run_job(f.row) is False

    return step, [job, f.row]


@path
def run_job_adapter_raises(mod, f):
    job = fleet(mod, f)
    f.adapter.answer = exc = LookupError("inventory unreadable")

    def step():
        expect(LookupError, lambda: job.run_job(f.row))
        forget(exc)

    return step, [job, f.row, exc]


@path
def run_job_protected_block_fails(mod, f):
    job = fleet(mod, f)
    f.adapter.answer = 8080  # not a str: the single-meter job refuses it

    def step():
        assert job.run_job(f.row) is False
        assert f.log.last_error == "Failure occurred pushing token"

    return step, [job, f.row]


def mixed_batch(mod, f):
    """Six rows, one of each outcome; one success."""
    rows = [{"id": i, "meter_id": f"MID-{i}", "serial": f"S-{i}"} for i in range(6)]
    del rows[5]["serial"]  # KeyError out of run_job: "Error processing meter"
    f.adapter.answers = {1: None, 2: LookupError("inventory unreadable"), 3: 8080}
    f.mediators = {"MID-4": Mediator()}
    f.mediators["MID-4"].outcome = mediator_failure()
    f.registry.response.data = rows
    return rows, [f.adapter.answers[2], f.mediators["MID-4"].outcome]


@path
def run_over_mixed_batch(mod, f):
    job = fleet(mod, f)
    rows, excs = mixed_batch(mod, f)

    def step():
        assert job.run() is None
        assert f.log.last_info == "Finished prepay_enabled_flip job. Success: 1/6"
        forget(*excs)

    return step, [job, f.registry, f.adapter, *rows, *excs]


@path
def run_without_rows_exits_10(mod, f):
    job = fleet(mod, f)
    f.registry.response.data = rows = []
    return lambda: expect(SystemExit, job.run, exit_code(10)), [job, rows]


class RaisingEq(str):
    def __eq__(self, other):
        raise LookupError("no comparing")

    __hash__ = str.__hash__


@path
def bad_call_shapes(mod, f):
    Flip, All = mod.PrepayEnabledFlipJob, mod.PrepayEnabledFlipAllJob
    job = fleet(mod, f)
    row, address = f.row, f.adapter.answer
    calls = [
        lambda: Flip(row),
        lambda: Flip(row, meter=row),
        lambda: Flip(),
        lambda: Flip(meter=row),
        lambda: Flip(meter=row, mediator_address=address),
        lambda: Flip(meter=row, mediator_address=address, supabase=None, serial=row),
        lambda: Flip(meter=row, mediator_address=address, supabase=None, meterr=row),
        lambda: Flip(**{"meter": row, 1: row}),
        lambda: All(row, esco=row),
        lambda: All(row, row),
        lambda: All(**{RaisingEq("esco"): row}),
        lambda: All.run_job(),
        lambda: All.run_job(job),
        lambda: job.run_job(row, row),
        lambda: job.run_job(row, meter_row=row),
        lambda: job.run(row),
        lambda: job._check_environment(self=job),
        lambda: Flip(meter=row, mediator_address=address, supabase=None).update(row),
    ]

    def step():
        for call in calls:
            expect((TypeError, LookupError), call)

    return step, [row, address, job]


@path
def module_executed(mod, f):
    spec = importlib.util.find_spec(JOB)

    def step():
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        assert m.meter_names == ["M-1", "M-2"]

    return step, [spec]


@path
def module_exits_1_without_meter_names(mod, f, monkeypatch):
    monkeypatch.delenv("PREPAY_DISABLED_METER_NAMES")
    spec = importlib.util.find_spec(JOB)
    sink = io.StringIO()

    def step():
        with contextlib.redirect_stdout(sink):
            expect(SystemExit, lambda: spec.loader.exec_module(importlib.util.module_from_spec(spec)), exit_code(1))
        sink.seek(0)
        sink.truncate()

    return step, [spec]


# A fleet run starts a pool of threads each time; fewer iterations keep it short.
SHORT = {"run_over_mixed_batch": 400}


@pytest.mark.parametrize("name", list(PATHS))
def test_path_leaks_nothing(name, mod, fakes, monkeypatch, request):
    setup = PATHS[name]
    args = (mod, fakes, monkeypatch) if "monkeypatch" in setup.__code__.co_varnames else (mod, fakes)
    step, watched = setup(*args)
    step()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]

    iterations = SHORT.get(name, ITERATIONS)
    blocks, objects = heap_growth(step, iterations, warmup=min(200, iterations))
    print(f"\n{name}: {iterations} iterations x3, growth {blocks:+d} blocks, {objects:+d} objects")

    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before, f"reference counts of the objects handed in changed: {before} -> {after}"
    assert (blocks - SLACK) / iterations < MAX_GROWTH, f"{blocks} allocated blocks in {iterations} runs"
    assert (objects - SLACK) / iterations < MAX_GROWTH, f"{objects} live objects in {iterations} runs"
