"""Calling the module's classes: whatever is done to a class after the module made it
(its __init__, __new__, methods, attribute hooks, abstractness) decides the next call,
as it does for a class statement's class."""

import os
import subprocess
import sys

import pytest

METER = {"id": 7, "meter_id": "MID-7", "serial": "S-7"}
KW = {"meter": METER, "mediator_address": "tcp://m", "supabase": None}


def _replaced_init(mod, cls):
    def __init__(self, **kw):
        self.seen = sorted(kw)

    cls.__init__ = __init__
    return lambda job: job.seen == ["mediator_address", "meter", "supabase"]


def _replaced_new(mod, cls):
    made = object()
    cls.__new__ = staticmethod(lambda c, **kw: made)
    return lambda job: job is made


def _init_shadows_update(mod, cls):
    original = cls.__init__

    def __init__(self, **kw):
        original(self, **kw)
        self.update = lambda: "from the instance"

    cls.__init__ = __init__
    return lambda job: job.update() == "from the instance"


def _setattr_hook(mod, cls):
    stored = []

    def __setattr__(self, name, value):
        stored.append(name)
        object.__setattr__(self, name, value)

    cls.__setattr__ = __setattr__
    return lambda job: stored == ["meter", "mediator_address", "supabase", "ortane_client", "log"]


def _abstract(mod, cls):
    cls.__abstractmethods__ = frozenset({"update"})
    return None  # the call raises


CHANGES = [_replaced_init, _replaced_new, _init_shadows_update, _setattr_hook, _abstract]


@pytest.mark.parametrize("change", CHANGES)
def test_change_to_class_decides_next_call(mod, fakes, change):
    cls = mod.PrepayEnabledFlipJob
    cls(**KW)  # the class as made, called once before the change
    check = change(mod, cls)
    if check is None:
        with pytest.raises(TypeError, match="Can't instantiate abstract class PrepayEnabledFlipJob"):
            cls(**KW)
        return
    assert check(cls(**KW))


def test_run_job_calls_update_as_the_class_has_it_now(fleet, fakes):
    cls = fleet.run_job.__globals__["PrepayEnabledFlipJob"]
    assert fleet.run_job(METER) is True
    cls.update = lambda self: "patched"
    assert fleet.run_job(METER) == "patched"
    del cls.update
    assert fleet.run_job(METER) is False
    level, _, _, fields = fakes.events.records()[-1]
    assert level == "error" and type(dict(fields)["error"]) is AttributeError


def test_run_job_calls_update_an_init_put_on_the_instance(fleet, fakes):
    cls = fleet.run_job.__globals__["PrepayEnabledFlipJob"]
    original = cls.__init__
    assert fleet.run_job(METER) is True

    def __init__(self, **kw):
        original(self, **kw)
        self.update = lambda: "instance"

    cls.__init__ = __init__
    assert fleet.run_job(METER) == "instance"
    cls.__init__ = original
    assert fleet.run_job(METER) is True


def test_subclass_runs_its_own_init(mod, fakes):
    class Sub(mod.PrepayEnabledFlipJob):
        def __init__(self, **kw):
            super().__init__(**kw)
            self.extra = True

    job = Sub(**KW)
    assert type(job) is Sub and job.extra and job.ortane_client is not None


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("PrepayEnabledFlipJob", (), {**KW, "a": 1, "b": 2, "c": 3, "d": 4, "e": 5}),
        ("PrepayEnabledFlipAllJob", ("ESCO",) * 9, {}),
    ],
)
def test_calls_with_many_arguments_fail_as_for_a_def(mod, fakes, name, args, kwargs):
    with pytest.raises(TypeError, match=rf"{name}\.__init__\(\) (got an unexpected|takes from)"):
        getattr(mod, name)(*args, **kwargs)


def test_keyword_orders_from_different_call_sites_bind_by_name(mod, fakes):
    cls = mod.PrepayEnabledFlipJob
    first = {"id": 1, "meter_id": "MID-1", "serial": "S-1"}
    second = {"id": 2, "meter_id": "MID-2", "serial": "S-2"}
    for _ in range(3):
        a = cls(meter=first, mediator_address="tcp://a", supabase="db")
        b = cls(supabase="db2", mediator_address="tcp://b", meter=second)
        c = cls.__init__(cls.__new__(cls), meter=first, mediator_address="tcp://c", supabase=None)
        assert (a.meter, a.mediator_address, a.supabase) == (first, "tcp://a", "db")
        assert (b.meter, b.mediator_address, b.supabase) == (second, "tcp://b", "db2")
        assert c is None


def _factory_global(fleet, cls):
    def factory(**kw):
        job = cls(**kw)
        job.update = lambda: "instance"
        return job

    fleet.run_job.__globals__["PrepayEnabledFlipJob"] = factory


def _property_setter(fleet, cls):
    def put_update(self, value):
        self.__dict__["log"] = value
        self.__dict__["update"] = lambda: "instance"

    cls.log = property(lambda self: self.__dict__["log"], put_update)


@pytest.mark.parametrize("change", [_factory_global, _property_setter])
def test_run_job_calls_update_put_on_the_instance_after_the_class_made_it(fleet, fakes, change):
    cls = fleet.run_job.__globals__["PrepayEnabledFlipJob"]
    assert fleet.run_job(METER) is True
    change(fleet, cls)
    assert fleet.run_job(METER) == "instance"


RECURSION = """
import os, sys, threading
sys.path.insert(0, {here!r})
from job_fakes import GOOD_ENV, Fakes, fresh_module
os.environ.update(GOOD_ENV)
sys.modules.update(Fakes().modules)
spec, mod = fresh_module()
spec.loader.exec_module(mod)
meter = {{"id": 7, "meter_id": "MID-7", "serial": "S-7"}}
{arrange}


def guarded():
    try:
        call()
    except RecursionError:
        print("RecursionError")


# Room for the interpreter's recursion limit even in the sanitizer build, whose
# frames are several times larger; without the limit no stack is enough.
threading.stack_size(512 << 20)
worker = threading.Thread(target=guarded)
worker.start()
worker.join()
"""

LOOPS = {
    # C calls only: the fleet job's __init__ builds its containers with the fleet job.
    "class as its own collaborator": """
mod.get_instance = mod.PrepayEnabledFlipAllJob
call = lambda: mod.PrepayEnabledFlipAllJob("ESCO")
""",
    "collaborator calling the class": """
mod.OrtaneMediatorClient = lambda **kw: mod.PrepayEnabledFlipJob(meter=meter, mediator_address="tcp://m", supabase=None)
call = lambda: mod.PrepayEnabledFlipJob(meter=meter, mediator_address="tcp://m", supabase=None)
""",
}


@pytest.mark.parametrize("arrange", LOOPS.values(), ids=LOOPS.keys())
def test_endless_construction_ends_in_recursion_error(arrange):
    here = os.path.dirname(os.path.abspath(__file__))
    script = RECURSION.format(here=here, arrange=arrange)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "RecursionError\n"), done.stderr[-2000:]
