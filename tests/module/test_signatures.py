"""The compiled classes must look, to Python tooling, like the plain classes below.

The reference classes are made the way the module makes its classes, by calling ``type``
(a class statement would add ``__static_attributes__`` and ``__firstlineno__``), with
functions renamed inside their code objects so that call errors name them the same way.
"""

import copy
import inspect
import pickle
import pydoc
import re
import sys
import types

import pytest

from job_fakes import JOB

UPDATE_DOC = (
    "\n        Update the prepay_enabled flag on the meter.\n"
    "        Returns True if successful, False if failed.\n        "
)


def _reference_class(name, *functions, docs=None):
    docs = docs or {}
    namespace = {"__module__": JOB, "__qualname__": name}
    for fn in functions:
        qualname = f"{name}.{fn.__name__}"
        # The source file would let pydoc and inspect find this test module instead.
        fn.__code__ = fn.__code__.replace(co_qualname=qualname, co_filename="<job>")
        fn.__qualname__ = qualname
        fn.__module__ = JOB
        fn.__doc__ = docs.get(fn.__name__)
        namespace[fn.__name__] = fn
    return type(name, (), namespace)


def _reference_flip_job():
    def __init__(self, *, meter: "Dict[str, Any]", mediator_address: "str", supabase: "SupabaseClient"):  # noqa: F821 - as the module stores them
        pass

    def update(self) -> "bool":
        pass

    return _reference_class("PrepayEnabledFlipJob", __init__, update, docs={"update": UPDATE_DOC})


def _reference_fleet_job():
    def __init__(self, esco=None):
        pass

    def run_job(self, meter_row) -> "bool":
        pass

    def run(self):
        pass

    def _check_environment(self):
        pass

    return _reference_class("PrepayEnabledFlipAllJob", __init__, run_job, run, _check_environment)


REFERENCES = {
    "PrepayEnabledFlipJob": _reference_flip_job(),
    "PrepayEnabledFlipAllJob": _reference_fleet_job(),
}
METHODS = {
    "PrepayEnabledFlipJob": ["__init__", "update"],
    "PrepayEnabledFlipAllJob": ["__init__", "run_job", "run", "_check_environment"],
}
FUNCTION_ATTRS = ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__", "__kwdefaults__")


@pytest.fixture
def instances(mod, fakes):
    """A working instance of each compiled class and a bare one of each reference."""
    ours = {
        "PrepayEnabledFlipJob": mod.PrepayEnabledFlipJob(
            meter={"meter_id": "MID-1", "serial": "S-1"}, mediator_address="tcp://m", supabase=None
        ),
        "PrepayEnabledFlipAllJob": mod.PrepayEnabledFlipAllJob("ESCO-A"),
    }
    theirs = {name: cls.__new__(cls) for name, cls in REFERENCES.items()}
    fakes.events.clear()
    return ours, theirs


def _addressless(text):
    return re.sub(r" at 0x[0-9a-fA-F]+", " at 0x?", text)


@pytest.mark.parametrize("name", REFERENCES)
def test_class_attributes_match_plain_class(mod, name):
    ours, ref = getattr(mod, name), REFERENCES[name]
    assert type(ours) is type and ours.__bases__ == (object,)
    for attr in ("__name__", "__qualname__", "__module__", "__doc__"):
        assert getattr(ours, attr) == getattr(ref, attr), attr
    assert list(vars(ours)) == list(vars(ref))
    assert str(inspect.signature(ours)) == str(inspect.signature(ref))


@pytest.mark.parametrize("name, method", [(c, m) for c in METHODS for m in METHODS[c]])
def test_method_attributes_match_plain_function(mod, name, method):
    ours = getattr(getattr(mod, name), method)
    ref = getattr(REFERENCES[name], method)
    assert vars(getattr(mod, name))[method] is ours
    for attr in FUNCTION_ATTRS:
        assert getattr(ours, attr) == getattr(ref, attr), attr
    assert type(ours.__annotations__) is dict
    assert list(ours.__annotations__.items()) == list(ref.__annotations__.items())
    assert inspect.signature(ours) == inspect.signature(ref)
    assert str(inspect.signature(ours)) == str(inspect.signature(ref))
    assert re.fullmatch(rf"<function {name}\.{method} at 0x[0-9a-f]+>", repr(ours))


@pytest.mark.parametrize("name, method", [(c, m) for c in METHODS for m in METHODS[c]])
def test_methods_bind_to_instances_like_functions(instances, name, method):
    ours, theirs = instances
    inst = ours[name]
    func = vars(type(inst))[method]
    assert func.__get__(None, type(inst)) is func
    bound = getattr(inst, method)
    assert type(bound) is types.MethodType
    assert bound.__func__ is func and bound.__self__ is inst
    assert str(inspect.signature(bound)) == str(inspect.signature(getattr(theirs[name], method)))


def test_keywords_match_by_value_not_identity(mod, instances, fakes):
    ours, _ = instances
    job = ours["PrepayEnabledFlipJob"]
    assert type(job).update(job) is True
    assert type(job).update(**{"".join(["se", "lf"]): job}) is True
    # Keyword names built at run time are equal to, but not the same object as, the
    # parameter names.
    fresh = {
        "".join([name, ""]): value
        for name, value in dict(meter={"meter_id": 1, "serial": 2}, mediator_address="a", supabase=None).items()
    }
    assert vars(mod.PrepayEnabledFlipJob(**fresh))["mediator_address"] == "a"
    assert mod.PrepayEnabledFlipAllJob(**{"".join(["es", "co"]): "E"}).esco == "E"
    row = {"id": 1, "meter_id": "MID-1", "serial": "S-1"}
    assert ours["PrepayEnabledFlipAllJob"].run_job(**{"".join(["meter", "_row"]): row}) is True


@pytest.mark.parametrize("name, method", [(c, m) for c in METHODS for m in METHODS[c]])
def test_methods_copy_and_pickle_by_reference_like_functions(mod, monkeypatch, name, method):
    monkeypatch.setitem(sys.modules, JOB, mod)
    func = getattr(getattr(mod, name), method)
    holder = {"task": func, "tasks": [func]}
    assert copy.copy(func) is func and copy.deepcopy(func) is func
    assert copy.deepcopy(holder)["tasks"][0] is func
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        assert pickle.loads(pickle.dumps(func, protocol)) is func


def test_pickle_names_the_module_and_qualified_name(mod, monkeypatch):
    monkeypatch.setitem(sys.modules, JOB, mod)
    data = pickle.dumps(mod.PrepayEnabledFlipJob.update, pickle.HIGHEST_PROTOCOL)
    assert JOB.encode() in data and b"PrepayEnabledFlipJob.update" in data
    # Resolved through the module at load time, as for a def: another module object
    # in its place answers.
    other = type(mod)(JOB)
    other.PrepayEnabledFlipJob = mod.PrepayEnabledFlipJob
    monkeypatch.setitem(sys.modules, JOB, other)
    assert pickle.loads(data) is mod.PrepayEnabledFlipJob.update


@pytest.mark.parametrize("name", REFERENCES)
def test_pydoc_renders_class_like_plain_class(mod, name):
    def render(obj):
        return _addressless(pydoc.plain(pydoc.render_doc(obj)))

    assert render(getattr(mod, name)) == render(REFERENCES[name])


@pytest.mark.parametrize("name, method", [(c, m) for c in METHODS for m in METHODS[c]])
def test_pydoc_renders_methods_like_plain_functions(instances, name, method):
    ours, theirs = instances

    def render(obj):
        # The title names the object's kind and module; the body is what users read.
        text = _addressless(pydoc.plain(pydoc.render_doc(obj)))
        return text.split("\n", 1)[1]

    assert render(getattr(type(ours[name]), method)) == render(getattr(type(theirs[name]), method))
    assert render(getattr(ours[name], method)) == render(getattr(theirs[name], method))


GOOD_FLIP = dict(meter={"meter_id": 1, "serial": 2}, mediator_address="a", supabase=None)
BAD_CALLS = [
    ("PrepayEnabledFlipJob", None, (), {}),
    ("PrepayEnabledFlipJob", None, ({}, "a", None), {}),
    ("PrepayEnabledFlipJob", None, ({},), GOOD_FLIP),
    ("PrepayEnabledFlipJob", None, (), dict(meter={}, mediator_address="a")),
    ("PrepayEnabledFlipJob", None, (), dict(GOOD_FLIP, metre={})),
    ("PrepayEnabledFlipJob", None, (), dict(GOOD_FLIP, self=1)),
    ("PrepayEnabledFlipJob", "__init__", (), {}),
    ("PrepayEnabledFlipJob", "update", (), {}),
    ("PrepayEnabledFlipAllJob", None, (1, 2), {}),
    ("PrepayEnabledFlipAllJob", None, (1,), {"esco": 2}),
    ("PrepayEnabledFlipAllJob", None, (), {"escoo": 1}),
    ("PrepayEnabledFlipAllJob", None, (), {"region": 1}),
    ("PrepayEnabledFlipAllJob", "run", (), {}),
    ("PrepayEnabledFlipAllJob", "run_job", (), {"row": 1}),
]
BAD_BOUND_CALLS = [
    ("PrepayEnabledFlipJob", "update", (1,), {}),
    ("PrepayEnabledFlipJob", "update", (), {"dry_run": True}),
    ("PrepayEnabledFlipJob", "__init__", (GOOD_FLIP["meter"],), {}),
    ("PrepayEnabledFlipAllJob", "__init__", (1, 2), {}),
    ("PrepayEnabledFlipAllJob", "run", (1,), {}),
    ("PrepayEnabledFlipAllJob", "run", (), {"self": 1}),
    ("PrepayEnabledFlipAllJob", "run_job", (), {}),
    ("PrepayEnabledFlipAllJob", "run_job", (1, 2), {}),
    ("PrepayEnabledFlipAllJob", "run_job", (1,), {"meter_row": 2}),
    ("PrepayEnabledFlipAllJob", "run_job", (), {"meter_rows": 1}),
    ("PrepayEnabledFlipAllJob", "_check_environment", (1,), {}),
]


def _type_error(call):
    with pytest.raises(TypeError) as raised:
        call()
    return type(raised.value), str(raised.value)


@pytest.mark.parametrize("name, method, args, kwargs", BAD_CALLS)
def test_bad_call_through_class_fails_like_plain_class(mod, fakes, name, method, args, kwargs):
    def target(cls):
        return cls if method is None else getattr(cls, method)

    expected = _type_error(lambda: target(REFERENCES[name])(*args, **kwargs))
    assert _type_error(lambda: target(getattr(mod, name))(*args, **kwargs)) == expected
    assert fakes.events.kinds() == ["get_logger"]


@pytest.mark.parametrize("name, method, args, kwargs", BAD_BOUND_CALLS)
def test_bad_call_through_instance_fails_like_plain_method(instances, fakes, name, method, args, kwargs):
    ours, theirs = instances
    inst = ours[name]
    before = dict(vars(inst))
    expected = _type_error(lambda: getattr(theirs[name], method)(*args, **kwargs))
    assert _type_error(lambda: getattr(inst, method)(*args, **kwargs)) == expected
    assert fakes.events.all() == []
    assert vars(inst) == before
