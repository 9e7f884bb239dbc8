"""References, independent module copies, subinterpreters and garbage collection."""

import gc
import sys
import textwrap
import weakref

import _interpreters
import pytest

from job_fakes import JOB


def test_main_paths_leave_reference_counts_unchanged(mod, fakes):
    meter_row = {"id": 7, "meter_id": "MID-7", "serial": "S-7", "name": "M-1"}
    address = "".join(["tcp://", "mediator-7"])  # not interned: counts belong to this test
    fakes.rows = [meter_row]
    fakes.hooks["mediator_address"] = lambda meter_id, serial: address
    client = fakes.client
    write_error = fakes.MediatorClientException("mediator timeout")
    log_error = RuntimeError("log sink")
    watched = {"row": meter_row, "address": address, "client": client,
               "write_error": write_error, "log_error": log_error}
    before = {name: sys.getrefcount(obj) for name, obj in watched.items()}

    fleet = mod.PrepayEnabledFlipAllJob("E")
    fleet.run()
    assert fleet.run_job(meter_row) is True
    job = mod.PrepayEnabledFlipJob(meter=meter_row, mediator_address=address, supabase=client)
    assert job.update() is True
    fakes.hooks["write"] = fakes.raiser(write_error)
    assert job.update() is False
    fleet.run()

    def fail_run_job_record(message):
        if message == "run_job":
            raise log_error

    fakes.hooks["info"] = fail_run_job_record
    assert fleet.run_job(meter_row) is False
    del job, fleet
    fakes.events.clear()
    fakes.hooks.clear()
    write_error.__traceback__ = log_error.__traceback__ = None
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


SUBINTERPRETER_RUN = textwrap.dedent('''
    import importlib.util, sys, types

    RECORDS = []

    def module(name, **attrs):
        m = types.ModuleType(name)
        m.__dict__.update(attrs)
        sys.modules[name] = m

    class Bound:
        def __init__(self, ctx):
            self.ctx = ctx
        def info(self, msg, **kw):
            RECORDS.append(("info", msg))
        def error(self, msg, **kw):
            RECORDS.append(("error", msg))

    class Logger:
        def bind(self, **ctx):
            return Bound(ctx)

    class Query:
        def __getattr__(self, name):
            rows = [{"id": i, "meter_id": i, "serial": i} for i in range(3)]
            return lambda *a: types.SimpleNamespace(data=rows) if name == "execute" else self

    class Adapter:
        def mediator_address(self, meter_id, serial):
            return "tcp://m"

    class Client:
        def __init__(self, **kw):
            pass
        def prepay_enabled_write(self, value):
            pass

    module("vaxo_ortane.orchestrate.adapter.factory", get_instance=lambda esco: Adapter())
    module("vaxo_ortane.util.logging", get_logger=lambda name, file: Logger())
    module("vaxo_ortane.util.supabase", supa_client=lambda *a: Query(), Client=object)
    module("vaxo_ortane.mediator.client", OrtaneMediatorClient=Client)
    module("vaxo_ortane.mediator.mediator_client_exception", MediatorClientException=OSError)

    spec = importlib.util.find_spec(%r)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    mod.PrepayEnabledFlipAllJob("SUB").run()
    assert RECORDS[-1] == ("info", "Finished prepay_enabled_flip job. Success: 3/3"), RECORDS
    assert mod.PrepayEnabledFlipJob.__module__ == %r
''' % (JOB, JOB))


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
    assert fakes.events.messages()[-1] == (
        "info", "Finished prepay_enabled_flip job. Success: 2/2")


def test_dropped_module_and_its_classes_are_collected(load, fakes):
    mod = load()
    job = mod.PrepayEnabledFlipAllJob("E")
    job.run()
    refs = [weakref.ref(obj) for obj in
            (mod, mod.PrepayEnabledFlipJob, mod.PrepayEnabledFlipAllJob, job)]
    del mod, job
    fakes.events.clear()
    gc.collect()
    assert [ref() for ref in refs] == [None] * len(refs)
