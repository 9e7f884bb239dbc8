"""The structured logger: record layout, odd values, levels, threads, bind."""

from __future__ import annotations

import io
import json
import subprocess
import sys
import traceback
from datetime import datetime, timedelta
from typing import Any

import pytest

from vaxo_ortane.util.logging import get_logger


def records(stream: io.StringIO) -> list[dict[str, Any]]:
    return [json.loads(line) for line in stream.getvalue().splitlines()]


def logger(env: dict[str, str] | None = None, name: str = "vaxo_ortane.jobs.x") -> tuple[Any, io.StringIO]:
    stream = io.StringIO()
    return get_logger(name, "/x/y.py", stream=stream, environ=env or {}), stream


class TestJsonRecords:
    def test_record_holds_utc_time_level_event_name_bound_and_call_fields(self) -> None:
        log, out = logger()
        log.bind(esco="ESCO_A").bind(meter_id=7).info("run_job", serial="SN-1", mediator_address=None)
        (rec,) = records(out)
        assert list(rec)[:4] == ["timestamp", "level", "logger", "event"]
        assert rec["level"] == "info" and rec["event"] == "run_job" and rec["logger"] == "vaxo_ortane.jobs.x"
        assert (rec["esco"], rec["meter_id"], rec["serial"], rec["mediator_address"]) == ("ESCO_A", 7, "SN-1", None)
        stamp = datetime.fromisoformat(rec["timestamp"])
        assert stamp.utcoffset() == timedelta(0)

    def test_exception_field_and_traceback_list(self) -> None:
        log, out = logger()
        try:
            dict[str, int]()["missing"]
        except KeyError as exc:
            log.error("Mediator client failure", error=exc, exception=traceback.format_exception(exc))
        (rec,) = records(out)
        assert rec["level"] == "error"
        assert rec["error"] == "KeyError: 'missing'"
        assert rec["exception"].startswith("Traceback (most recent call last):\n")
        assert rec["exception"].endswith("KeyError: 'missing'\n")

    @pytest.mark.parametrize(
        ("method", "level"),
        [("warn", "warning"), ("warning", "warning"), ("exception", "error"), ("critical", "critical")],
    )
    def test_own_keys_win_over_bound_ones_and_stay_first(self, method: str, level: str) -> None:
        log, out = logger()
        bound = log.bind(logger="fake", level="fake", timestamp="fake", esco="E")
        try:
            raise OSError("disk")
        except OSError:
            getattr(bound, method)("ev", meter_id=3)
        (rec,) = records(out)
        assert list(rec)[:6] == ["timestamp", "level", "logger", "event", "esco", "meter_id"]
        assert (rec["level"], rec["logger"]) == (level, "vaxo_ortane.jobs.x")
        assert datetime.fromisoformat(rec["timestamp"]).utcoffset() == timedelta(0)
        if method == "exception":
            assert list(rec)[-1] == "exception" and rec["exception"].endswith("OSError: disk")
        else:
            assert "exception" not in rec

    def test_values_json_cannot_hold_are_rendered_not_raised(self) -> None:
        class BrokenRepr:
            def __repr__(self) -> str:
                raise RuntimeError("no repr")

        looped: list[Any] = []
        looped.append(looped)
        log, out = logger()
        log.info(
            "odd",
            a_set={3},
            tuple_keys={(1, 2): "x"},
            nan=float("nan"),
            obj=BrokenRepr(),
            huge=10**5000,
            looped=looped,
            raw=b"\xff",
            nested=[ValueError("inner")],
        )
        (rec,) = records(out)
        assert rec["a_set"] == "{3}" and rec["tuple_keys"] == "{(1, 2): 'x'}" and rec["nan"] == "nan"
        assert "BrokenRepr" in rec["obj"] and "bits" in rec["huge"] and rec["raw"] == "b'\\xff'"
        assert rec["nested"] == ["ValueError: inner"]
        assert isinstance(rec["looped"], list)

    @pytest.mark.parametrize(
        "value",
        [2**70, -(2**64), "lone \ud800 surrogate", "é\u2028\n\x1f", 1e308, [1, "two", None]],
        ids=["int-past-64-bits", "negative-int-past-64-bits", "surrogate", "controls", "large-float", "list"],
    )
    def test_values_keep_their_json_form(self, value: object) -> None:
        log, out = logger()
        log.info("v", bound_first=1, v=value)
        (line,) = out.getvalue().removesuffix("\n").split("\n")  # not splitlines: U+2028 stays raw
        rec = json.loads(line)
        assert rec["v"] == value and list(rec) == ["timestamp", "level", "logger", "event", "bound_first", "v"]

    def test_main_module_is_named_after_its_file(self) -> None:
        stream = io.StringIO()
        get_logger(
            "__main__", "/s/prepay_enabled_flip.cpython-313-x86_64-linux-gnu.so", stream=stream, environ={}
        ).info("m")
        assert records(stream)[0]["logger"] == "prepay_enabled_flip"


class TestSettings:
    def test_level_filters(self) -> None:
        log, out = logger({"LOG_LEVEL": "error"})
        log.info("dropped")
        log.error("kept")
        assert [r["event"] for r in records(out)] == ["kept"]

    def test_console_format_is_human_readable(self) -> None:
        log, out = logger({"LOG_FORMAT": "console"})
        log.bind(esco="E").error("Failure occurred pushing token", error=ValueError("bad"))
        line = out.getvalue()
        assert not line.startswith("{")
        assert "Failure occurred pushing token" in line and "esco=E" in line and "ValueError: bad" in line

    @pytest.mark.parametrize(
        "fmt, level, whole", [("json", "info", True), ("console", "info", False), ("console", "debug", True)]
    )
    def test_a_terminal_shows_a_traceback_whole_only_at_debug(self, fmt: str, level: str, whole: bool) -> None:
        log, out = logger({"LOG_FORMAT": fmt, "LOG_LEVEL": level})
        try:
            raise ValueError("the mediator refused\nits second line")
        except ValueError as exc:
            log.error("Mediator client failure", error=exc, exception=traceback.format_exception(exc))
        text = out.getvalue()
        shown = json.loads(text)["exception"] if fmt == "json" else text
        assert ("Traceback (most recent call last)" in shown) is whole
        assert shown.rstrip().endswith("ValueError: the mediator refused\nits second line")

    @pytest.mark.parametrize("env", [{"LOG_LEVEL": "loud"}, {"LOG_FORMAT": "xml"}])
    def test_bad_setting_names_the_variable(self, env: dict[str, str]) -> None:
        with pytest.raises(ValueError, match=next(iter(env))):
            logger(env)


def test_bind_returns_a_new_logger_and_leaves_the_original_alone() -> None:
    log, out = logger()
    a = log.bind(esco="A")
    b = a.bind(meter_id=1)
    log.info("root")
    a.info("a")
    b.info("b")
    root, ra, rb = records(out)
    assert "esco" not in root and "meter_id" not in ra and (rb["esco"], rb["meter_id"]) == ("A", 1)


def test_five_threads_on_stderr_lose_and_interleave_nothing() -> None:
    # Real stderr of a real process: what the job writes to.
    code = """
import threading
from vaxo_ortane.util.logging import get_logger
log = get_logger("t", None)
def work(n):
    bound = log.bind(thread=n, pad="x" * 3000)
    for i in range(400):
        bound.info("record", i=i)
threads = [threading.Thread(target=work, args=(n,)) for n in range(5)]
for t in threads: t.start()
for t in threads: t.join()
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    lines = done.stderr.splitlines()
    parsed = [json.loads(line) for line in lines]
    assert len(parsed) == 2000
    for n in range(5):
        assert sorted(r["i"] for r in parsed if r["thread"] == n) == list(range(400))
