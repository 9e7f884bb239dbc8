"""The per-meter task: address look-up, building the single-meter job, reducing failures."""

import collections.abc
import traceback

import pytest

FLEET = (("esco", "ESCO-A"),)
FAILURE = "Failure occurred pushing token"


class RecordingRow(collections.abc.Mapping):
    """A mapping that is not a dict and remembers which keys were read."""

    def __init__(self, **items):
        self.items_, self.reads = items, []

    def __getitem__(self, key):
        self.reads.append(key)
        return self.items_[key]

    def __iter__(self):
        return iter(self.items_)

    def __len__(self):
        return len(self.items_)


def row(**overrides):
    return {"id": 7, "meter_id": "MID-7", "serial": "S-7", "name": "M-1", **overrides}


def first_record(meter_row):
    return ("log", "info", FLEET, ("run_job for meter_row " + format(meter_row, ""),), ())


def test_success_logs_then_looks_up_then_builds_and_updates(fleet, fakes):
    meter_row = row()
    assert fleet.run_job(meter_row) is True
    job_context = (("serial", "S-7"), ("meter_id", "MID-7"), ("mediator_address", "tcp://mediator-7"))
    assert fakes.events.all() == [
        first_record(meter_row),
        ("mediator_address", (7, "S-7"), ()),
        (
            "log",
            "info",
            FLEET,
            ("run_job",),
            (("meter_id", 7), ("serial", "S-7"), ("mediator_address", "tcp://mediator-7")),
        ),
        ("client", (), (("mediator_address", "tcp://mediator-7"), ("meter_id", "MID-7"))),
        ("bind", (), job_context),
        ("write", "MID-7", (False,), ()),
        ("log", "info", job_context, ("prepay disabled",), ()),
    ]


def test_single_meter_job_gets_the_row_itself_and_the_fleet_client(mod, fleet, fakes):
    built = []

    class Spy(mod.PrepayEnabledFlipJob):
        def __init__(self, *args, **kwargs):
            built.append((args, list(kwargs.items())))
            super().__init__(**kwargs)

    mod.PrepayEnabledFlipJob = Spy
    meter_row = row()
    assert fleet.run_job(meter_row=meter_row) is True
    [(args, kwargs)] = built
    assert args == () and [k for k, _ in kwargs] == ["meter", "mediator_address", "supabase"]
    assert kwargs[0][1] is meter_row and kwargs[2][1] is fakes.client
    assert meter_row == row()


def test_update_false_is_passed_through_without_own_record(fleet, fakes):
    fakes.hooks["write"] = fakes.raiser(fakes.MediatorClientException("offline"))
    assert fleet.run_job(row()) is False
    assert fakes.events.messages() == [
        ("info", first_record(row())[3][0]),
        ("info", "run_job"),
        ("error", "Mediator client failure"),
    ]


@pytest.mark.parametrize("serial, ending", [("S-7", "S-7"), (42, "42"), (None, "None")])
def test_missing_mediator_logs_serial_and_returns_false(fleet, fakes, serial, ending):
    fakes.hooks["mediator_address"] = lambda meter_id, serial: None
    meter_row = row(serial=serial)
    assert fleet.run_job(meter_row) is False
    assert fakes.events.all() == [
        first_record(meter_row),
        ("mediator_address", (7, serial), ()),
        ("log", "error", FLEET, ("No mediator container exists for meter " + ending,), ()),
    ]


def test_empty_address_is_not_a_missing_mediator(fleet, fakes):
    fakes.hooks["mediator_address"] = lambda meter_id, serial: ""
    assert fleet.run_job(row()) is True
    assert fakes.events.of("client") == [("client", (), (("mediator_address", ""), ("meter_id", "MID-7")))]


@pytest.mark.parametrize(
    "meter_row, reads",
    [
        (RecordingRow(meter_id="MID-7", serial="S-7"), ["id"]),
        (RecordingRow(id=7, meter_id="MID-7"), ["id", "serial"]),
    ],
)
def test_row_without_id_or_serial_raises_before_adapter(fleet, fakes, meter_row, reads):
    with pytest.raises(KeyError) as raised:
        fleet.run_job(meter_row)
    assert raised.value.args == (reads[-1],)
    assert meter_row.reads == reads
    assert fakes.events.all() == [first_record(meter_row)]


def test_adapter_failure_leaves_run_job_after_first_record(fleet, fakes):
    boom = ConnectionError("docker down")
    fakes.hooks["mediator_address"] = fakes.raiser(boom)
    with pytest.raises(ConnectionError) as raised:
        fleet.run_job(row())
    assert raised.value is boom
    assert fakes.events.kinds() == ["log", "mediator_address"]
    # Reading the adapter is outside the protected steps too.
    del fleet.containers
    with pytest.raises(AttributeError):
        fleet.run_job(row())


def _info_fails_on_run_job(fleet, fakes):
    boom = OSError("log sink full")

    def hook(message):
        if message == "run_job":
            raise boom

    fakes.hooks["info"] = hook
    return row(), OSError, "log sink full"


def _no_meter_id(fleet, fakes):
    meter_row = row()
    del meter_row["meter_id"]
    return meter_row, KeyError, "'meter_id'"


def _mapping_row(fleet, fakes):
    return (RecordingRow(**row()), TypeError, "Argument 'meter' has incorrect type (expected dict, got RecordingRow)")


def _int_address(fleet, fakes):
    fakes.hooks["mediator_address"] = lambda meter_id, serial: 1234
    return row(), TypeError, "Argument 'mediator_address' has incorrect type (expected str, got int)"


def _client_fails(fleet, fakes):
    fakes.hooks["client"] = fakes.raiser(ValueError("bad address"))
    return row(), ValueError, "bad address"


def _no_database_client(fleet, fakes):
    del fleet.tramu_supabase
    return row(), AttributeError, f"{type(fleet).__name__!r} object has no attribute 'tramu_supabase'"


@pytest.mark.parametrize(
    "arrange", [_info_fails_on_run_job, _no_meter_id, _mapping_row, _int_address, _client_fails, _no_database_client]
)
def test_failure_while_building_or_running_job_is_logged_and_false(fleet, fakes, arrange):
    meter_row, error_type, text = arrange(fleet, fakes)
    assert fleet.run_job(meter_row) is False
    level, context, args, fields = fakes.events.records()[-1]
    assert (level, context, args) == ("error", FLEET, (FAILURE,))
    assert [name for name, _ in fields] == ["error", "exception"]
    error, formatted = fields[0][1], fields[1][1]
    assert type(error) is error_type and str(error) == text
    assert type(formatted) is list and formatted == traceback.format_exception(error)
    assert fakes.events.of("write") == []


def test_interrupt_during_update_leaves_run_job_unlogged(fleet, fakes):
    fakes.hooks["write"] = fakes.raiser(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        fleet.run_job(row())
    assert [level for level, *_ in fakes.events.records()] == ["info", "info"]


def test_failure_inside_handler_leaves_run_job_with_context(fleet, fakes):
    handled, broken = ValueError("bad address"), OSError("log sink gone")
    fakes.hooks["client"] = fakes.raiser(handled)
    fakes.hooks["error"] = fakes.raiser(broken)
    with pytest.raises(OSError) as raised:
        fleet.run_job(row())
    assert raised.value is broken and raised.value.__context__ is handled
