"""Hostile input, property-based: odd call shapes, odd rows, odd collaborators and odd
environments must end exactly as the same code in plain Python ends (reference_job),
never in a crash, a SystemError or a lost exception message.

Each example runs the compiled module and the reference against twin collaborators
built from one drawn scenario, and compares the outcome (result, or exception type,
text and context) and the records written.
"""

import collections
import concurrent.futures
import contextlib
import functools
import io
import os
import re
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference_job
from hardening_support import ENV_VARS, GOOD_ENV, exec_fresh
from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException

SETTINGS = settings(
    max_examples=400,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class Boom(Exception):
    pass


class Halt(BaseException):
    """Not an Exception: every handler must let it through."""


def raiser(name):
    def method(self, *args):
        raise Boom(f"{name} refused")

    return method


def fixed_repr(text):
    return lambda self: text


class BadFormat:
    __format__ = raiser("__format__")
    __repr__ = fixed_repr("BadFormat()")


class BadStr:
    __str__ = __repr__ = raiser("__str__")


class BadBool:
    __bool__ = raiser("__bool__")
    __repr__ = fixed_repr("BadBool()")


class BadEq:
    __eq__ = raiser("__eq__")
    __hash__ = lambda self: 7  # noqa: E731
    __repr__ = fixed_repr("BadEq()")


class BadHash:
    __hash__ = raiser("__hash__")
    __repr__ = fixed_repr("BadHash()")


class Text(str):
    pass


class RowDict(dict):
    pass


class BadRow:
    __getitem__ = raiser("__getitem__")
    __repr__ = fixed_repr("BadRow()")


class BadStrError(Exception):
    __str__ = raiser("__str__")


class RaisingEqName(str):
    __eq__ = raiser("__eq__")
    __hash__ = str.__hash__


VALUES = {
    "none": lambda: None,
    "int": lambda: 42,
    "huge_int": lambda: 10**5000,  # past the int-to-text digit limit
    "text": lambda: "S-1",
    "empty": lambda: "",
    "non_ascii": lambda: "Zähler-№7 🙂",
    "huge_text": lambda: "x" * 200_000,
    "str_subclass": lambda: Text("S-1"),
    "bytes": lambda: b"S-1",
    "nan": lambda: float("nan"),
    "bad_format": BadFormat,
    "bad_str": BadStr,
    "bad_bool": BadBool,
    "bad_eq": BadEq,
    "bad_hash": BadHash,
    # Type names are cut at 200 bytes in the refusal message, here inside a character.
    "long_type_name": lambda: type("Zä" * 100, (), {"__repr__": fixed_repr("Zä")})(),
}
ROW_SHAPES = {
    "dict": dict,
    "ordered_dict": collections.OrderedDict,
    "dict_subclass": RowDict,
    "user_dict": collections.UserDict,
    "getitem_raises": lambda items: BadRow(),
    "list": lambda items: list(items.values()),
    "none": lambda items: None,
}
ADDRESSES = {
    "address": lambda: "tcp://mediator-1",
    "str_subclass": lambda: Text("tcp://mediator-1"),
    "empty": lambda: "",
    "none": lambda: None,
    "bytes": lambda: b"tcp://mediator-1",
    "int": lambda: 8080,
    "long_type_name": VALUES["long_type_name"],
    "bad_eq": BadEq,
    "bad_bool": BadBool,
    "raises": lambda: Boom("inventory unreadable"),
    "raises_halt": lambda: Halt(),
}
WRITES = {
    "ok": None,
    "returns_bad_bool": None,
    "mediator_failure": lambda: MediatorClientException("503", meter_id=1, address="a"),
    "other_failure": lambda: Boom("register out of range"),
    "empty_message": lambda: Exception(),
    "str_raises": lambda: BadStrError(),
    "halt": lambda: Halt(),
}
LOGGERS = ("ok", "info_raises", "error_raises", "bind_raises")
# supabase_url, supabase_key, tramu_role_key as the module holds them
SETTINGS_VALUES = {
    "set": lambda: ("https://r", "anon", "role"),
    "zero_and_blank": lambda: ("0", " ", "0"),
    "url_empty": lambda: ("", "anon", "role"),
    "key_none": lambda: ("https://r", None, "role"),
    "role_empty": lambda: ("https://r", "anon", ""),
    "all_none": lambda: (None, None, None),
    "truth_raises": lambda: ("https://r", BadBool(), "role"),
    "role_truth_raises": lambda: ("https://r", "anon", BadBool()),
}

values = st.sampled_from(sorted(VALUES))
# A complete row by default, so that most examples get past the key reads; each
# drawn key replaces a value or, with "missing", removes the key.
FULL_ROW = {"id": "int", "serial": "text", "meter_id": "text", "name": "text"}
rows = st.tuples(
    st.one_of(st.just("dict"), st.sampled_from(sorted(ROW_SHAPES))),  # a dict goes deepest
    st.dictionaries(st.sampled_from(sorted(FULL_ROW)), st.one_of(values, st.just("missing"))).map(
        lambda drawn: {k: v for k, v in {**FULL_ROW, **drawn}.items() if v != "missing"}
    ),
)
scenarios = st.fixed_dictionaries(
    {
        "address": st.sampled_from(sorted(ADDRESSES)),
        "client": st.sampled_from(["ok", "raises"]),
        "write": st.sampled_from(sorted(WRITES)),
        "logger": st.sampled_from(LOGGERS),
        "settings": st.sampled_from(sorted(SETTINGS_VALUES)),
    }
)


def build_row(shape, items):
    return ROW_SHAPES[shape]({key: VALUES[tag]() for key, tag in items.items()})


def described(fields):
    """Field names, and the caught exception's type and text: what a reader of the
    record learns about the failure."""
    error = fields.get("error")
    if not isinstance(error, BaseException):
        return tuple(fields)
    try:
        text = str(error)
    except Exception:
        text = "<str raised>"
    return (*fields, type(error).__qualname__, text)


class World:
    """One set of collaborators for one implementation, built from a scenario."""

    def __init__(self, impl, scenario, registry_data=None):
        self.records = []
        world = self

        class Log:
            def info(self, message, **fields):
                world.records.append(("info", message, described(fields)))
                if scenario["logger"] == "info_raises":
                    raise Boom("log sink full")

            def error(self, message, **fields):
                world.records.append(("error", message, described(fields)))
                if scenario["logger"] == "error_raises":
                    raise Boom("log sink full")

        class Logger:
            def bind(self, **context):
                world.records.append(("bind", None, tuple(context)))
                if scenario["logger"] == "bind_raises" and "esco" not in context:
                    raise Boom("bind refused")
                return Log()

        class Adapter:
            def mediator_address(self, meter_id, serial):
                answer = ADDRESSES[scenario["address"]]()
                if isinstance(answer, BaseException):
                    raise answer
                return answer

        class Client:
            def __init__(self, *, mediator_address, meter_id):
                if scenario["client"] == "raises":
                    raise Boom("no route to mediator")

            def prepay_enabled_write(self, value):
                make = WRITES[scenario["write"]]
                if make is not None:
                    raise make()
                if scenario["write"] == "returns_bad_bool":
                    return BadBool()

        class Query:
            def __getattr__(self, name):
                if name == "execute":
                    return lambda: registry_data
                return lambda *args: self

        impl.logger = Logger()
        impl.get_instance = lambda *, esco: Adapter()
        impl.supa_client = lambda url, key, role_key: Query()
        impl.OrtaneMediatorClient = Client
        impl.MediatorClientException = MediatorClientException
        impl.concurrent = IN_SUBMISSION_ORDER
        impl.supabase_url, impl.supabase_key, impl.tramu_role_key = SETTINGS_VALUES[scenario["settings"]]()


# Results are counted in completion order, which decides which failure the counting
# meets first; in submission order (one possible completion order) both
# implementations meet the same one.
IN_SUBMISSION_ORDER = types.SimpleNamespace(
    futures=types.SimpleNamespace(ThreadPoolExecutor=concurrent.futures.ThreadPoolExecutor, as_completed=iter)
)


def outcome(call):
    """What a call ended in, in terms both implementations can be compared by."""
    try:
        result = call()
    except BaseException as exc:  # the outcome is the subject
        assert not isinstance(exc, SystemError), f"SystemError: {exc}"
        try:
            text = str(exc)
        except Exception as err:
            text = f"<str raised {type(err).__name__}>"
        context = exc.__context__
        return ("raised", type(exc), text, type(context) if context is not None else None)
    # The two implementations' classes differ; their names do not.
    return ("returned", result if result is None or isinstance(result, bool) else type(result).__qualname__)


@pytest.fixture(scope="module")
def impls():
    with pytest.MonkeyPatch.context() as mp:
        compiled = exec_fresh(GOOD_ENV, mp)
    for name in ("meter_names", "sys", "traceback"):
        setattr(reference_job, name, getattr(compiled, name))
    return compiled, reference_job


def plain(text):
    """Text with what tells the implementations apart (module, address) taken out."""
    if not isinstance(text, str):
        return text
    return re.sub(r"(vaxo_ortane\.jobs\.prepay_enabled_flip|reference_job)\.|( object) at 0x[0-9a-f]+", r"\2", text)


def run_both(impls, scenario, action, registry_data=None):
    """Run `action(impl)` on each implementation in its own World; they must agree.

    Workers' records interleave in any order, so records are compared as a multiset.
    """
    seen = []
    for impl in impls:
        world = World(impl, scenario, registry_data() if registry_data else None)
        ended = outcome(functools.partial(action, impl))
        seen.append(
            (
                ended[:2] + tuple(map(plain, ended[2:])),
                collections.Counter((lvl, plain(msg), tuple(map(plain, f))) for lvl, msg, f in world.records),
            )
        )
    (compiled, compiled_records), (reference, reference_records) = seen
    assert compiled == reference
    assert compiled_records == reference_records


# Call shapes ---------------------------------------------------------------------

PARAM_NAMES = [
    "self",
    "meter",
    "mediator_address",
    "supabase",
    "esco",
    "meter_row",
    "meterr",
    "mediator_adress",
    "Meter",
    "",
]
keyword_names = st.one_of(
    st.sampled_from(PARAM_NAMES),
    st.text(max_size=6),
    st.sampled_from(PARAM_NAMES).map(Text),
    st.sampled_from(["esco", "self", "escx"]).map(RaisingEqName),
    st.sampled_from([1, None, b"esco"]),
)
ARG_EXTRAS = ("row", "flip_instance", "fleet_instance")
arguments = st.sampled_from(sorted(VALUES) + list(ARG_EXTRAS))
TARGETS = [
    ("PrepayEnabledFlipJob", None),
    ("PrepayEnabledFlipJob", "update"),
    ("PrepayEnabledFlipAllJob", None),
    ("PrepayEnabledFlipAllJob", "run_job"),
    ("PrepayEnabledFlipAllJob", "run"),
    ("PrepayEnabledFlipAllJob", "_check_environment"),
]


def resolve(impl, tag):
    if tag == "row":
        return {"id": 1, "meter_id": "MID-1", "serial": "S-1"}
    if tag == "flip_instance":
        return impl.PrepayEnabledFlipJob(meter=resolve(impl, "row"), mediator_address="a", supabase=None)
    if tag == "fleet_instance":
        return impl.PrepayEnabledFlipAllJob("ESCO-A")
    return VALUES[tag]()


@SETTINGS
@given(
    target=st.sampled_from(TARGETS),
    through=st.sampled_from(["class", "instance"]),
    args=st.lists(arguments, max_size=4),
    kwargs=st.lists(
        st.tuples(keyword_names, arguments),
        max_size=4,
        unique_by=lambda kv: str.__str__(kv[0]) if isinstance(kv[0], str) else repr(kv[0]),
    ),
)
def test_any_call_shape_binds_and_fails_like_a_def(impls, target, through, args, kwargs):
    cls_name, method = target
    healthy = {"address": "address", "client": "ok", "write": "ok", "logger": "ok", "settings": "set"}

    def call(impl):
        cls = getattr(impl, cls_name)
        if method is None:
            fn = cls
        elif through == "class":
            fn = getattr(cls, method)
        else:
            instance = resolve(impl, "flip_instance" if cls is impl.PrepayEnabledFlipJob else "fleet_instance")
            fn = getattr(instance, method)
        return fn(*[resolve(impl, a) for a in args], **{k: resolve(impl, v) for k, v in kwargs})

    run_both(impls, healthy, call, registry_data=lambda: type("R", (), {"data": []})())


def test_run_job_reads_log_before_formatting_the_row(impls):
    compiled, _ = impls
    with pytest.raises(AttributeError, match="has no attribute 'log'"):
        compiled.PrepayEnabledFlipAllJob.run_job(object(), BadFormat())


# Rows and collaborators ----------------------------------------------------------


@SETTINGS
@given(scenario=scenarios, row=rows)
def test_odd_row_or_collaborator_ends_as_documented_for_one_meter(impls, scenario, row):
    def flip(impl):
        job = impl.PrepayEnabledFlipAllJob("ESCO-A")
        return job.run_job(build_row(*row))

    run_both(impls, scenario, flip)


class Response:
    """A registry response whose `data` is read through a property."""

    def __init__(self, reads):
        self._reads = iter(reads)

    @property
    def data(self):
        return next(self._reads)


class Unsized:
    def __iter__(self):
        return iter(())


class BadLen:
    __len__ = raiser("__len__")
    __iter__ = Unsized.__iter__


DATA_KINDS = {
    "list": lambda rows: [rows] * 3,
    "tuple": lambda rows: [tuple(rows)] * 3,
    "empty_then_rows": lambda rows: [[], rows, rows],
    "rows_then_empty": lambda rows: [rows, [], []],
    "shrinks": lambda rows: [rows, rows[:1], rows[:1]],
    "dict": lambda rows: [dict(enumerate(rows))] * 3,
    "unsized": lambda rows: [Unsized()] * 3,
    "len_raises": lambda rows: [BadLen()] * 3,
    "none": lambda rows: [None] * 3,
}


class Truthless:
    __bool__ = raiser("__bool__")


@settings(SETTINGS, max_examples=150)
@given(
    scenario=scenarios,
    batch=st.lists(rows, max_size=6),
    data_kind=st.sampled_from(sorted(DATA_KINDS)),
    results=st.sampled_from(["real", "truthless", "halt"]),
)
def test_odd_registry_response_or_task_result_ends_as_documented_for_a_fleet(
    impls, scenario, batch, data_kind, results
):
    def registry_data():
        built = [build_row(*row) for row in batch]
        return Response(DATA_KINDS[data_kind](built))

    def run(impl):
        job = impl.PrepayEnabledFlipAllJob("ESCO-A")
        if results == "truthless":
            job.run_job = lambda row: Truthless()
        elif results == "halt":
            job.run_job = lambda row: (_ for _ in ()).throw(Halt())
        return job.run()

    run_both(impls, scenario, run, registry_data=registry_data)


# Module loading ------------------------------------------------------------------

env_text = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), max_size=30)
env_values = st.one_of(st.none(), env_text, st.sampled_from(["", ",", ",,,", " , ,", "\t\n"]))


def load_with(env, monkeypatch):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            return exec_fresh({k: v for k, v in env.items() if v is not None}, monkeypatch), out
        except SystemExit as exc:
            return exc, out


@settings(SETTINGS, max_examples=200)
@given(env=st.fixed_dictionaries({var: env_values for var in ENV_VARS}))
def test_any_environment_loads_or_exits_1(env):
    with pytest.MonkeyPatch.context() as mp:
        loaded, out = load_with(env, mp)
    names = env["PREPAY_DISABLED_METER_NAMES"]
    if names is None:
        assert isinstance(loaded, SystemExit) and loaded.code == 1
        assert out.getvalue() == "ERROR: PREPAY_DISABLED_METER_NAMES not defined\n"
        return
    assert loaded.meter_names == [piece.strip() for piece in names.split(",")]
    assert loaded.meter_names_len == len(loaded.meter_names)
    assert (loaded.supabase_url, loaded.supabase_key, loaded.tramu_role_key) == (
        env["SUPABASE_URL"],
        env["SUPABASE_ANON_KEY"],
        env["TRAMU_ROLE_KEY"],
    )
    assert out.getvalue() == ""


def test_hundred_thousand_meter_names_load_in_order(monkeypatch):
    names = [f" M-{i:06d}\t" if i % 3 else "" for i in range(100_000)]
    loaded, _ = load_with({**GOOD_ENV, "PREPAY_DISABLED_METER_NAMES": ",".join(names)}, monkeypatch)
    assert loaded.meter_names_len == 100_000
    assert loaded.meter_names == [name.strip() for name in names]
    assert os.environ["PREPAY_DISABLED_METER_NAMES"].count(",") == 99_999
