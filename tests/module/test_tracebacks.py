"""Tracebacks through the methods: each method an exception leaves, or is caught in,
has one entry naming it, outermost first, as a def's frame would give."""

import traceback

import pytest

HEADER = "Traceback (most recent call last):\n"
ADDRESS = "tcp://mediator-1"
RUN_JOB = "PrepayEnabledFlipAllJob.run_job"
INIT = "PrepayEnabledFlipJob.__init__"
UPDATE = "PrepayEnabledFlipJob.update"


def methods(exc):
    """The names of the module's entries in the traceback, outermost first."""
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__) if entry.name.startswith("PrepayEnabled")]


def logged_exception(fakes):
    """The `exception` field of the last error record, and the exception it shows."""
    level, _, _, fields = fakes.events.records()[-1]
    assert level == "error"
    return dict(fields)["exception"], dict(fields)["error"]


def _module_type_check(fleet, fakes):
    fakes.hooks["mediator_address"] = lambda meter_id, serial: 1234
    return {"id": 7, "meter_id": "MID-7", "serial": "S-7"}, TypeError, [RUN_JOB, INIT], None


def _row_key_missing(fleet, fakes):
    return {"id": 7, "serial": "S-7"}, KeyError, [RUN_JOB, INIT], None


def _collaborator_raises(fleet, fakes):
    def collaborator(*args):
        raise ValueError("bad address")

    fakes.hooks["client"] = collaborator
    return {"id": 7, "meter_id": "MID-7", "serial": "S-7"}, ValueError, [RUN_JOB, INIT], "collaborator"


@pytest.mark.parametrize("arrange", [_module_type_check, _row_key_missing, _collaborator_raises])
def test_run_job_record_shows_each_method_then_the_raiser(fleet, fakes, arrange):
    meter_row, error_type, expected, raiser = arrange(fleet, fakes)
    assert fleet.run_job(meter_row) is False
    lines, error = logged_exception(fakes)
    assert type(error) is error_type
    assert lines[0] == HEADER
    assert methods(error) == expected
    text = "".join(lines)
    assert text.index(RUN_JOB) < text.index(INIT)
    if raiser is not None:
        assert text.index(INIT) < text.index(f", in {raiser}\n")


@pytest.mark.parametrize("where", ["write", "info"])
def test_update_record_shows_update_then_the_collaborator(mod, fakes, where):
    job = mod.PrepayEnabledFlipJob(meter={"meter_id": "M", "serial": "S"}, mediator_address=ADDRESS, supabase=None)

    def sink_full(*args):
        raise OSError("sink full")

    fakes.hooks[where] = sink_full
    assert job.update() is False
    lines, error = logged_exception(fakes)
    text = "".join(lines)
    assert lines[0] == HEADER and methods(error) == [UPDATE]
    assert text.index(UPDATE) < text.index(", in sink_full\n")


def test_exception_leaving_several_methods_has_one_entry_for_each(fleet, fakes):
    # Not an Exception: update re-raises it and run_job lets it through.
    fakes.hooks["write"] = fakes.raiser(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt) as caught:
        fleet.run_job({"id": 7, "meter_id": "MID-7", "serial": "S-7"})
    assert methods(caught.value) == [RUN_JOB, UPDATE]


@pytest.mark.parametrize(
    "call, error_type, expected",
    [
        (lambda mod, fleet: fleet.run_job({"serial": "S"}), KeyError, [RUN_JOB]),
        (
            lambda mod, fleet: mod.PrepayEnabledFlipJob(meter=[], mediator_address=ADDRESS, supabase=None),
            TypeError,
            [INIT],
        ),
        (lambda mod, fleet: fleet._check_environment(), SystemExit, ["PrepayEnabledFlipAllJob._check_environment"]),
    ],
)
def test_exception_raised_by_the_module_names_the_method(mod, fleet, call, error_type, expected):
    if error_type is SystemExit:
        mod.tramu_role_key = ""
    with pytest.raises(error_type) as caught:
        call(mod, fleet)
    assert traceback.format_exception(caught.value)[0] == HEADER
    assert methods(caught.value) == expected
    entry = traceback.extract_tb(caught.value.__traceback__)[-1]
    assert entry.filename.endswith(".cpp") and entry.lineno > 0


def test_binding_error_adds_no_entry(fleet):
    # As for a def: the call never starts, so no frame of the method is shown.
    with pytest.raises(TypeError) as caught:
        fleet.run_job()
    assert methods(caught.value) == []
