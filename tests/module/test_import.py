"""What executing the module under its full name binds, reads and refuses."""

import argparse
import concurrent.futures
import os
import sys
import traceback
import typing

import pytest

from job_fakes import COLLABORATORS, JOB

# Module globals in the order the import binds them.
BOUND_ORDER = [
    "argparse",
    "concurrent",
    "os",
    "sys",
    "traceback",
    "Any",
    "Dict",
    "get_instance",
    "get_logger",
    "supa_client",
    "OrtaneMediatorClient",
    "MediatorClientException",
    "SupabaseClient",
    "logger",
    "supabase_url",
    "supabase_key",
    "tramu_role_key",
    "meter_names_str",
    "meter_names",
    "meter_names_len",
    "PrepayEnabledFlipJob",
    "PrepayEnabledFlipAllJob",
]


def own_globals(mod):
    return [name for name in vars(mod) if not name.startswith("__")]


def test_import_binds_globals_in_order_with_their_values(mod, fakes):
    assert own_globals(mod) == BOUND_ORDER
    for name, value in [
        ("argparse", argparse),
        ("concurrent", concurrent),
        ("os", os),
        ("sys", sys),
        ("traceback", traceback),
        ("Any", typing.Any),
        ("Dict", typing.Dict),  # noqa: UP006 - typing's own
        ("OrtaneMediatorClient", fakes.OrtaneMediatorClient),
        ("MediatorClientException", fakes.MediatorClientException),
        ("SupabaseClient", fakes.Client),
        ("logger", fakes.logger),
    ]:
        assert getattr(mod, name) is value, name
    assert mod.concurrent.futures is concurrent.futures
    assert mod.get_instance is fakes.modules[COLLABORATORS[0]].get_instance
    assert mod.supa_client is fakes.modules[COLLABORATORS[2]].supa_client
    assert (mod.supabase_url, mod.supabase_key, mod.tramu_role_key) == (
        "https://registry.invalid",
        "anon-key",
        "role-key",
    )


def test_logger_made_once_from_module_name_and_file_before_anything_else(mod, fakes):
    assert fakes.events.all() == [("get_logger", (JOB, mod.__file__), ())]
    assert mod.__file__.endswith(".so")


@pytest.mark.parametrize(
    "raw, names",
    [
        ("", [""]),
        (" A1 ,B2,,C3 ", ["A1", "B2", "", "C3"]),
        ("\tA1\n", ["A1"]),
        ("A1,A1", ["A1", "A1"]),
        (",", ["", ""]),
    ],
)
def test_meter_names_are_split_and_stripped_without_filtering(load, raw, names):
    mod = load(PREPAY_DISABLED_METER_NAMES=raw)
    assert mod.meter_names_str == raw
    assert type(mod.meter_names) is list and mod.meter_names == names
    assert all(type(name) is str for name in mod.meter_names)
    assert type(mod.meter_names_len) is int and mod.meter_names_len == len(names)


@pytest.mark.parametrize(
    "var, attr",
    [
        ("SUPABASE_URL", "supabase_url"),
        ("SUPABASE_ANON_KEY", "supabase_key"),
        ("TRAMU_ROLE_KEY", "tramu_role_key"),
    ],
)
@pytest.mark.parametrize("value", [None, ""])
def test_unset_database_setting_is_none_and_empty_stays_empty(load, var, attr, value):
    mod = load(**{var: value})
    assert getattr(mod, attr) is None if value is None else getattr(mod, attr) == ""
    assert hasattr(mod, "PrepayEnabledFlipAllJob")


def test_plain_import_never_reads_the_command_line(load, monkeypatch):
    # A command line the parser would refuse: parsing it would end the import.
    monkeypatch.setattr(sys, "argv", ["prog", "--no-such-option", "positional"])
    mod = load()
    for name in ("parser", "args", "esco", "runner"):
        assert not hasattr(mod, name), name


def test_missing_meter_names_prints_one_line_and_exits_1(fresh, set_env, fakes, capsys):
    set_env(PREPAY_DISABLED_METER_NAMES=None)
    spec, mod = fresh()
    with pytest.raises(SystemExit) as exit_info:
        spec.loader.exec_module(mod)
    assert type(exit_info.value.code) is int and exit_info.value.code == 1
    out, err = capsys.readouterr()
    assert (out, err) == ("ERROR: PREPAY_DISABLED_METER_NAMES not defined\n", "")
    assert own_globals(mod) == BOUND_ORDER[: BOUND_ORDER.index("meter_names")]
    assert mod.meter_names_str is None
    # The logger exists but nothing goes through it.
    assert fakes.events.kinds() == ["get_logger"]


def _absent(fakes, monkeypatch, index, attr):
    monkeypatch.setitem(sys.modules, COLLABORATORS[index], None)


def _lacking(fakes, monkeypatch, index, attr):
    monkeypatch.delattr(fakes.modules[COLLABORATORS[index]], attr)


@pytest.mark.parametrize(
    "break_it, index, attr, first_unbound, error",
    [
        (_absent, 0, None, "get_instance", ModuleNotFoundError),
        (_lacking, 1, "get_logger", "get_logger", ImportError),
        (_lacking, 2, "supa_client", "supa_client", ImportError),
        (_absent, 3, None, "OrtaneMediatorClient", ModuleNotFoundError),
        (_lacking, 4, "MediatorClientException", "MediatorClientException", ImportError),
        (_lacking, 2, "Client", "SupabaseClient", ImportError),
    ],
)
def test_failed_collaborator_import_ends_import_after_earlier_bindings(
    fresh, set_env, fakes, monkeypatch, capsys, break_it, index, attr, first_unbound, error
):
    set_env()
    break_it(fakes, monkeypatch, index, attr)
    spec, mod = fresh()
    with pytest.raises(ImportError) as raised:
        spec.loader.exec_module(mod)
    assert type(raised.value) is error
    assert COLLABORATORS[index] in str(raised.value)
    if attr:
        assert attr in str(raised.value)
    assert own_globals(mod) == BOUND_ORDER[: BOUND_ORDER.index(first_unbound)]
    assert fakes.events.all() == []
    assert capsys.readouterr() == ("", "")


def test_get_logger_failure_ends_import_before_configuration(fresh, set_env, fakes):
    set_env()
    boom = RuntimeError("no log sink")
    fakes.hooks["get_logger"] = fakes.raiser(boom)
    spec, mod = fresh()
    with pytest.raises(RuntimeError) as raised:
        spec.loader.exec_module(mod)
    assert raised.value is boom
    assert own_globals(mod) == BOUND_ORDER[: BOUND_ORDER.index("logger")]
