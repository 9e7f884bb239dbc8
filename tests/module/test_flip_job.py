"""The single-meter flip: argument checks, what the constructor stores, update outcomes."""

import traceback

import pytest

METER = {"meter_id": "MID-1", "serial": "S-1", "id": 1}
ADDRESS = "tcp://mediator-1"
CONTEXT = (("serial", "S-1"), ("meter_id", "MID-1"), ("mediator_address", ADDRESS))


class DictSub(dict):
    pass


class StrSub(str):
    pass


LONG = type("L" * 250, (dict,), {})


def bare(mod):
    return mod.PrepayEnabledFlipJob.__new__(mod.PrepayEnabledFlipJob)


@pytest.mark.parametrize(
    "meter, address, message",
    [
        (None, ADDRESS, "Argument 'meter' has incorrect type (expected dict, got NoneType)"),
        ([], ADDRESS, "Argument 'meter' has incorrect type (expected dict, got list)"),
        (DictSub(METER), ADDRESS, "Argument 'meter' has incorrect type (expected dict, got DictSub)"),
        (LONG(METER), ADDRESS, f"Argument 'meter' has incorrect type (expected dict, got {'L' * 200})"),
        (METER, None, "Argument 'mediator_address' has incorrect type (expected str, got NoneType)"),
        (METER, StrSub(ADDRESS), "Argument 'mediator_address' has incorrect type (expected str, got StrSub)"),
        ([], 5, "Argument 'meter' has incorrect type (expected dict, got list)"),
    ],
)
def test_wrong_argument_type_is_refused_before_anything_is_stored(mod, fakes, meter, address, message):
    job = bare(mod)
    fakes.events.clear()
    with pytest.raises(TypeError) as raised:
        job.__init__(meter=meter, mediator_address=address, supabase=None)
    assert type(raised.value) is TypeError and str(raised.value) == message
    assert vars(job) == {} and fakes.events.all() == []


def test_constructor_stores_arguments_client_and_bound_logger_in_order(mod, fakes):
    meter, supabase = dict(METER), object()
    fakes.events.clear()
    job = mod.PrepayEnabledFlipJob(meter=meter, mediator_address=ADDRESS, supabase=supabase)
    assert list(vars(job)) == ["meter", "mediator_address", "supabase", "ortane_client", "log"]
    assert job.meter is meter and job.mediator_address is ADDRESS and job.supabase is supabase
    assert type(job.ortane_client) is fakes.OrtaneMediatorClient
    assert fakes.events.all() == [
        ("client", (), (("mediator_address", ADDRESS), ("meter_id", "MID-1"))),
        ("bind", (), CONTEXT),
    ]
    assert meter == METER


@pytest.mark.parametrize(
    "missing, stored, calls",
    [
        ("meter_id", ["meter", "mediator_address", "supabase"], []),
        ("serial", ["meter", "mediator_address", "supabase", "ortane_client"], ["client"]),
    ],
)
def test_missing_key_raises_after_partial_construction(mod, fakes, missing, stored, calls):
    meter = {k: v for k, v in METER.items() if k != missing}
    job = bare(mod)
    fakes.events.clear()
    with pytest.raises(KeyError) as raised:
        job.__init__(meter=meter, mediator_address=ADDRESS, supabase=None)
    assert raised.value.args == (missing,)
    assert list(vars(job)) == stored
    assert fakes.events.kinds() == calls


@pytest.mark.parametrize("returned", [None, 0, "ignored"])
def test_normal_write_is_success_whatever_it_returns(mod, fakes, returned):
    job = mod.PrepayEnabledFlipJob(meter=METER, mediator_address=ADDRESS, supabase=None)
    fakes.hooks["write"] = lambda value: returned
    fakes.events.clear()
    assert job.update() is True
    assert fakes.events.all() == [
        ("write", "MID-1", (False,), ()),
        ("log", "info", CONTEXT, ("prepay disabled",), ()),
    ]


def _mediator(fakes):
    return "write", fakes.MediatorClientException("mediator timeout"), "Mediator client failure"


def _other(fakes):
    return "write", ValueError("bad frame"), "Unknown failure during prepay_enabled flag disable"


def _after_write(fakes):
    return "info", RuntimeError("sink"), "Unknown failure during prepay_enabled flag disable"


@pytest.mark.parametrize("arrange", [_mediator, _other, _after_write])
def test_failed_update_logs_error_with_exception_and_traceback(mod, fakes, arrange):
    where, exc, message = arrange(fakes)
    job = mod.PrepayEnabledFlipJob(meter=METER, mediator_address=ADDRESS, supabase=None)

    def fail(*args):
        # Fires on the success record only, never on the error record.
        raise exc

    fakes.hooks[where] = fail
    fakes.events.clear()
    assert job.update() is False
    write, *records = fakes.events.all()
    assert write == ("write", "MID-1", (False,), ())
    kept = [r for r in records if r[1] == "error"]
    assert len(kept) == 1
    _, _, context, args, fields = kept[0]
    assert (context, args) == (CONTEXT, (message,))
    assert [name for name, _ in fields] == ["error", "exception"]
    assert fields[0][1] is exc
    formatted = fields[1][1]
    assert formatted == traceback.format_exception(exc)
    assert any(", in fail\n" in line for line in formatted)
    assert len(records) == (2 if where == "info" else 1)


def test_missing_client_attribute_is_an_unknown_failure(mod, fakes):
    job = mod.PrepayEnabledFlipJob(meter=METER, mediator_address=ADDRESS, supabase=None)
    del job.ortane_client
    fakes.events.clear()
    assert job.update() is False
    [(level, _context, args, fields)] = fakes.events.records()
    assert (level, args) == ("error", ("Unknown failure during prepay_enabled flag disable",))
    assert type(fields[0][1]) is AttributeError


def test_update_repeats_write_and_record_each_call(mod, fakes):
    job = mod.PrepayEnabledFlipJob(meter=METER, mediator_address=ADDRESS, supabase=None)
    fakes.events.clear()
    assert (job.update(), job.update()) == (True, True)
    assert fakes.events.kinds() == ["write", "log", "write", "log"]
    assert list(vars(job)) == ["meter", "mediator_address", "supabase", "ortane_client", "log"]


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupt_in_write_leaves_update_unlogged(mod, fakes, interrupt):
    job = mod.PrepayEnabledFlipJob(meter=METER, mediator_address=ADDRESS, supabase=None)
    fakes.hooks["write"] = fakes.raiser(interrupt())
    fakes.events.clear()
    with pytest.raises(interrupt):
        job.update()
    assert fakes.events.kinds() == ["write"]


def test_failure_inside_handler_leaves_update_with_context(mod, fakes):
    job = mod.PrepayEnabledFlipJob(meter=METER, mediator_address=ADDRESS, supabase=None)
    handled = fakes.MediatorClientException("mediator timeout")
    broken = OSError("log sink gone")
    fakes.hooks["write"] = fakes.raiser(handled)
    fakes.hooks["error"] = fakes.raiser(broken)
    with pytest.raises(OSError) as raised:
        job.update()
    assert raised.value is broken and raised.value.__context__ is handled
