"""Module-level names are looked up when used, so rebinding one redirects the next call."""

import builtins
import os
import types

import pytest

from job_fakes import COLLABORATORS, Fakes

METER = {"id": 1, "meter_id": "MID-1", "serial": "S-1"}


def new_flip(mod):
    return mod.PrepayEnabledFlipJob(meter=METER, mediator_address="tcp://m", supabase=None)


def test_rebound_logger_client_class_and_factories_are_used(mod, fakes):
    other = Fakes()
    mod.logger = other.logger
    mod.OrtaneMediatorClient = other.OrtaneMediatorClient
    mod.get_instance = other.modules[COLLABORATORS[0]].get_instance
    mod.supa_client = other.modules[COLLABORATORS[2]].supa_client
    mod.supabase_url, mod.supabase_key, mod.tramu_role_key = "u", "k", "r"
    fakes.events.clear()
    fleet = mod.PrepayEnabledFlipAllJob("X")
    new_flip(mod).update()
    assert fakes.events.all() == []
    assert other.events.kinds() == ["bind", "get_instance", "supa_client", "client", "bind", "write", "log"]
    assert other.events.of("supa_client") == [("supa_client", ("u", "k", "r"), ())]
    assert fleet.containers is other.adapter and fleet.tramu_supabase is other.client


@pytest.mark.parametrize("attr, code", [("supabase_url", 2), ("supabase_key", 2), ("tramu_role_key", 3)])
def test_rebound_setting_is_checked_and_exit_goes_through_module_sys(mod, fakes, attr, code):
    exits = []

    def exit(status):
        exits.append(status)
        raise SystemExit(status)

    setattr(mod, attr, "")
    mod.sys = types.SimpleNamespace(exit=exit)
    with pytest.raises(SystemExit):
        mod.PrepayEnabledFlipAllJob()
    assert exits == [code]


def test_environment_changes_after_import_are_ignored(mod, fakes, monkeypatch):
    for var in ("SUPABASE_URL", "SUPABASE_ANON_KEY", "TRAMU_ROLE_KEY"):
        monkeypatch.delenv(var)
    monkeypatch.setenv("PREPAY_DISABLED_METER_NAMES", "OTHER")
    mod.PrepayEnabledFlipAllJob().run()
    assert fakes.events.of("in_") == [("in_", ("name", ["M-1", "M-2"]), ())]
    assert os.environ["PREPAY_DISABLED_METER_NAMES"] == "OTHER"


def test_rebound_meter_names_filter_the_next_query(mod, fleet, fakes):
    mod.meter_names = names = ["Z-9"]
    fleet.run()
    [(_, args, _)] = fakes.events.of("in_")
    assert args[1] is names


def _replacement_job(fakes):
    class Replacement:
        def __init__(self, **kwargs):
            fakes.events.add("replacement", tuple(kwargs))

        def update(self):
            return "done"

    return Replacement


def test_run_job_builds_whatever_job_class_the_module_holds_now(mod, fleet, fakes, monkeypatch):
    mod.PrepayEnabledFlipJob = _replacement_job(fakes)
    assert fleet.run_job(dict(METER)) == "done"
    # Deleted from the module, the name falls back to the builtins.
    del mod.PrepayEnabledFlipJob
    monkeypatch.setattr(builtins, "PrepayEnabledFlipJob", _replacement_job(fakes), raising=False)
    assert fleet.run_job(dict(METER)) == "done"
    assert fakes.events.of("replacement") == [("replacement", ("meter", "mediator_address", "supabase"))] * 2
    monkeypatch.delattr(builtins, "PrepayEnabledFlipJob")
    assert fleet.run_job(dict(METER)) is False
    error = dict(fakes.events.records()[-1][3])["error"]
    assert type(error) is NameError and "PrepayEnabledFlipJob" in str(error)


def test_rebound_exception_class_decides_which_handler_logs(mod, fakes):
    job = new_flip(mod)

    class Replaced(Exception):
        pass

    original = mod.MediatorClientException
    mod.MediatorClientException = Replaced
    for exc in (original("old"), Replaced("new")):
        fakes.hooks["write"] = fakes.raiser(exc)
        assert job.update() is False
    assert [m for _, m in fakes.events.messages()][-2:] == [
        "Unknown failure during prepay_enabled flag disable",
        "Mediator client failure",
    ]


def test_rebound_traceback_module_formats_both_handlers(mod, fleet, fakes):
    mod.traceback = types.SimpleNamespace(format_exception=lambda exc: ["formatted", str(exc)])
    job = new_flip(mod)
    fakes.hooks["write"] = fakes.raiser(ValueError("w"))
    job.update()
    fleet.run_job({"id": 1, "serial": "S-1"})
    fields = [dict(r[3])["exception"] for r in fakes.events.records() if r[0] == "error"]
    assert fields == [["formatted", "w"], ["formatted", "'meter_id'"]]


def _stand_in(name, fakes):
    """A replacement for the module global `name` that records its use."""
    if name == "PrepayEnabledFlipJob":
        return _replacement_job(fakes)
    if name == "OrtaneMediatorClient":

        class Client:
            def __init__(self, **kw):
                fakes.events.add("replacement", tuple(kw))

            def prepay_enabled_write(self, value):
                pass

        return Client
    logger = Fakes()
    logger.events = fakes.events
    return types.SimpleNamespace(
        bind=lambda **kw: fakes.events.add("replacement", tuple(kw)) or logger.logger.bind(**kw)
    )


@pytest.mark.parametrize("name", ["logger", "OrtaneMediatorClient", "PrepayEnabledFlipJob"])
def test_names_used_per_meter_follow_each_rebinding_after_use(mod, fleet, fakes, monkeypatch, name):
    assert fleet.run_job(dict(METER)) is True  # every name read once already

    def replacements():
        return len(fakes.events.of("replacement"))

    setattr(mod, name, _stand_in(name, fakes))
    fleet.run_job(dict(METER))
    assert replacements() == 1
    # Gone from the module: the builtins' binding, and each rebinding of it.
    delattr(mod, name)
    monkeypatch.setattr(builtins, name, _stand_in(name, fakes), raising=False)
    fleet.run_job(dict(METER))
    assert replacements() == 2
    monkeypatch.setattr(builtins, name, _stand_in(name, fakes))
    fleet.run_job(dict(METER))
    assert replacements() == 3
    monkeypatch.delattr(builtins, name)
    assert fleet.run_job(dict(METER)) is False
    error = dict(fakes.events.records()[-1][3])["error"]
    assert type(error) is NameError and error.name == name
