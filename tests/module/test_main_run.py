"""Running the module as the program's main module: command line and exit statuses."""

import argparse
import os
import subprocess
import sys
from pathlib import Path

import pytest

from job_fakes import GOOD_ENV, JOB, MINI_FAKES
from vaxo_ortane.launcher import launch

PROG = "prepay-enabled-flip"
SCRIPT = Path(sys.executable).parent / PROG


def expected_help(prog):
    parser = argparse.ArgumentParser(prog=prog)
    parser.add_argument("--esco", action="store", help="Flip meters in this ESCO only")
    return parser.format_help(), parser.format_usage()


@pytest.fixture
def run_main(fakes, set_env, monkeypatch):
    """Execute the job as __main__ in this process; returns (module, exit code or None)."""

    def run(*argv, **env):
        set_env(**env)
        monkeypatch.setattr(sys, "argv", [f"/opt/bin/{PROG}", *argv])
        monkeypatch.setitem(sys.modules, "__main__", sys.modules["__main__"])
        try:
            launch.run_main()
        except SystemExit as exit_info:
            assert type(exit_info.code) is int
            return sys.modules["__main__"], exit_info.code
        return sys.modules["__main__"], None

    return run


@pytest.mark.parametrize(
    "argv, esco",
    [
        ((), None),
        (("--esco", "E1"), "E1"),
        (("--esco=E1",), "E1"),
        (("--esco", "E1", "--esco", "42"), "42"),
    ],
)
def test_main_run_passes_esco_as_text_and_runs_once(run_main, fakes, argv, esco):
    main, code = run_main(*argv)
    assert code is None
    assert fakes.events.all()[0] == ("get_logger", ("__main__", main.__file__), ())
    assert fakes.events.of("bind")[0] == ("bind", (), (("esco", esco),))
    assert fakes.events.of("get_instance") == [("get_instance", (), (("esco", esco),))]
    assert type(main.parser) is argparse.ArgumentParser
    assert type(main.args) is argparse.Namespace and vars(main.args) == {"esco": esco}
    assert main.esco == esco and type(main.runner) is main.PrepayEnabledFlipAllJob
    assert main.runner.esco == esco
    assert len(fakes.events.of("table")) == 1
    assert fakes.events.messages()[-1] == ("info", "Finished prepay_enabled_flip job. Success: 2/2")
    for cls in (main.PrepayEnabledFlipJob, main.PrepayEnabledFlipAllJob):
        assert cls.__module__ == JOB and cls.__init__.__module__ == JOB


@pytest.mark.parametrize("argv", [("extra",), ("--bogus",), ("--esco",)])
def test_bad_command_line_exits_2_before_any_fleet_job(run_main, fakes, capsys, argv):
    main, code = run_main(*argv)
    assert code == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith(expected_help(PROG)[1])
    assert fakes.events.kinds() == ["get_logger"]
    assert hasattr(main, "parser") and not hasattr(main, "runner")


@pytest.mark.parametrize("flag", ["-h", "--help"])
def test_help_prints_parser_help_and_exits_0(run_main, fakes, capsys, flag):
    _main, code = run_main(flag, "--esco", "E1")
    assert code == 0
    assert capsys.readouterr() == (expected_help(PROG)[0], "")
    assert fakes.events.kinds() == ["get_logger"]


@pytest.mark.parametrize(
    "env, rows, code",
    [
        (dict(PREPAY_DISABLED_METER_NAMES=None), True, 1),
        (dict(SUPABASE_URL=None), True, 2),
        (dict(TRAMU_ROLE_KEY=""), True, 3),
        ({}, False, 10),
    ],
)
def test_precondition_exit_status_reaches_the_caller(run_main, fakes, env, rows, code):
    if not rows:
        fakes.rows = []
    _, status = run_main("--esco", "E1", **env)
    assert status == code


@pytest.mark.skipif(not SCRIPT.exists(), reason="console script not installed")
@pytest.mark.parametrize(
    "name, argv, env, code, out, err",
    [
        (PROG, ["--esco", "E1"], dict(FAKE_ROWS="3"), 0, "", "INFO Finished prepay_enabled_flip job. Success: 3/3"),
        ("flip-meters", ["-h"], {}, 0, expected_help("flip-meters")[0], ""),
        ("flip-meters", ["extra"], {}, 2, "", expected_help("flip-meters")[1]),
        (PROG, [], dict(PREPAY_DISABLED_METER_NAMES=None), 1, "ERROR: PREPAY_DISABLED_METER_NAMES not defined\n", ""),
        (PROG, [], dict(SUPABASE_ANON_KEY=None), 2, "", "ERROR Environment variables"),
        (PROG, [], dict(TRAMU_ROLE_KEY=None), 3, "", "ERROR Environment variable TRAMU"),
        (PROG, [], dict(FAKE_ROWS="0"), 10, "", "ERROR No meter found to disable"),
    ],
)
def test_console_script_exit_status_and_program_name(tmp_path, name, argv, env, code, out, err):
    (tmp_path / "sitecustomize.py").write_text(MINI_FAKES)
    script = tmp_path / name
    script.symlink_to(SCRIPT)
    environ = {k: v for k, v in os.environ.items() if k not in GOOD_ENV}
    # The fakes' logger has no observers: nothing may watch the run.
    environ.update(GOOD_ENV, FAKE_ROWS="1", PYTHONPATH=str(tmp_path), FLIP_PROGRESS_SECONDS="0")
    for var, value in env.items():
        if value is None:
            del environ[var]
        else:
            environ[var] = value
    done = subprocess.run([str(script), *argv], env=environ, capture_output=True, text=True, timeout=30)
    assert done.returncode == code, done.stderr
    assert done.stdout == out
    assert err in done.stderr if err else done.stderr == ""
