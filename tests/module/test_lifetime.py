"""References, independent module copies, subinterpreters and garbage collection."""

import _interpreters
import gc
import sys
import textwrap
import weakref

import pytest

from job_fakes import JOB, MINI_FAKES


def test_main_paths_leave_reference_counts_unchanged(mod, fakes):
    meter_row = {"id": 7, "meter_id": "MID-7", "serial": "S-7", "name": "M-1"}
    address = "".join(["tcp://", "mediator-7"])  # not interned: counts belong to this test
    esco, names, client = "".join(["ES", "CO"]), mod.meter_names, fakes.client
    write_error = fakes.MediatorClientException("mediator timeout")
    log_error, adapter_error = RuntimeError("log sink"), OSError("no docker")
    watched = dict(
        row=meter_row,
        address=address,
        esco=esco,
        names=names,
        client=client,
        write_error=write_error,
        log_error=log_error,
        adapter_error=adapter_error,
    )
    fakes.rows = [meter_row]
    answers = iter([address, address, address, None, adapter_error, address])

    def mediator_address(meter_id, serial):
        answer = next(answers)
        if isinstance(answer, Exception):
            raise answer
        return answer

    def fail_run_job_record(message):
        if message == "run_job":
            raise log_error

    before = {name: sys.getrefcount(obj) for name, obj in watched.items()}
    fakes.hooks["mediator_address"] = mediator_address
    fleet = mod.PrepayEnabledFlipAllJob(esco)
    fleet.run()
    assert fleet.run_job(meter_row) is True
    job = mod.PrepayEnabledFlipJob(meter=meter_row, mediator_address=address, supabase=client)
    assert job.update() is True
    fakes.hooks["write"] = fakes.raiser(write_error)
    assert job.update() is False
    fleet.run()
    assert fleet.run_job(meter_row) is False
    with pytest.raises(OSError):
        fleet.run_job(meter_row)
    fakes.hooks["info"] = fail_run_job_record
    assert fleet.run_job(meter_row) is False
    del job, fleet
    fakes.events.clear()
    fakes.hooks.clear()
    write_error.__traceback__ = log_error.__traceback__ = adapter_error.__traceback__ = None
    gc.collect()
    after = {name: sys.getrefcount(obj) for name, obj in watched.items()}
    assert after == before


def test_two_loads_are_independent_modules(load, fakes):
    first = load(PREPAY_DISABLED_METER_NAMES="A")
    second = load(PREPAY_DISABLED_METER_NAMES="B, C")
    assert first is not second
    assert first.PrepayEnabledFlipJob is not second.PrepayEnabledFlipJob
    assert first.PrepayEnabledFlipAllJob.run is not second.PrepayEnabledFlipAllJob.run
    assert (first.meter_names, second.meter_names) == (["A"], ["B", "C"])

    replaced = []
    first.OrtaneMediatorClient = lambda **kw: replaced.append(kw)
    fakes.events.clear()
    second.PrepayEnabledFlipAllJob().run()
    first.PrepayEnabledFlipAllJob().run()
    assert [e[1][1] for e in fakes.events.of("in_")] == [["B", "C"], ["A"]]
    # Only the first copy's jobs went to the replacement client.
    assert len(fakes.events.of("client")) == 2 and len(replaced) == 2


SUBINTERPRETER_RUN = MINI_FAKES + textwrap.dedent(
    f"""
    import importlib.util
    spec = importlib.util.find_spec({JOB!r})
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    mod.PrepayEnabledFlipAllJob("SUB").run()
    assert RECORDS[-1] == ("info", "Finished prepay_enabled_flip job. Success: 3/3"), RECORDS
    assert mod.PrepayEnabledFlipJob.__module__ == {JOB!r}
"""
)


def test_module_works_in_isolated_subinterpreter_beside_main_copy(mod, fakes):
    interp = _interpreters.create()
    try:
        failure = _interpreters.exec(interp, SUBINTERPRETER_RUN)
    finally:
        _interpreters.destroy(interp)
    assert failure is None, failure.errdisplay
    # The main interpreter's copy is untouched and still works.
    fakes.events.clear()
    mod.PrepayEnabledFlipAllJob("MAIN").run()
    assert fakes.events.messages()[-1] == ("info", "Finished prepay_enabled_flip job. Success: 2/2")


def test_dropped_module_classes_and_methods_are_collected(load, fakes):
    mod = load()
    job = mod.PrepayEnabledFlipAllJob("E")
    job.run()
    refs = [
        weakref.ref(obj)
        for obj in (
            mod,
            mod.PrepayEnabledFlipJob,
            mod.PrepayEnabledFlipAllJob,
            job,
            mod.PrepayEnabledFlipJob.update,
            mod.PrepayEnabledFlipAllJob.run,
        )
    ]
    del mod, job
    fakes.events.clear()
    gc.collect()
    assert [ref() for ref in refs] == [None] * len(refs)


def test_instance_outliving_its_module_reference_still_runs(load, fakes):
    # Methods must keep what they look names up in alive, as a def keeps __globals__.
    job = load().PrepayEnabledFlipAllJob("E")
    gc.collect()
    job.run()
    assert fakes.events.messages()[-1] == ("info", "Finished prepay_enabled_flip job. Success: 2/2")
