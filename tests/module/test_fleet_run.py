"""The fleet run: the registry query, the pool of five, counting and the summary."""

import concurrent.futures
import threading
import time
import types

import pytest

START = ("info", "Starting prepay_enabled_flip job...")


def rows(n):
    return [{"id": i, "meter_id": f"MID-{i}", "serial": f"S-{i}", "name": "M-1"} for i in range(1, n + 1)]


def summary(success, total):
    return ("info", f"Finished prepay_enabled_flip job. Success: {success}/{total}")


class Truthless:
    """A task result whose truth test fails."""

    def __init__(self, exc):
        self.exc = exc

    def __bool__(self):
        raise self.exc


class Counted:
    """A task result that records when the run looks at it."""

    def __init__(self, events, ident):
        self.events, self.ident = events, ident

    def __bool__(self):
        self.events.add("truth", self.ident)
        return True


def fleet_with_tasks(mod, fakes, outcome):
    """A fleet job whose per-meter task is ``outcome(row)``, run through the instance."""

    class Fleet(mod.PrepayEnabledFlipAllJob):
        def run_job(self, meter_row):
            fakes.events.add("task_start", meter_row["id"])
            try:
                return outcome(meter_row)
            finally:
                fakes.events.add("task_end", meter_row["id"])

    job = Fleet("ESCO-A")
    fakes.events.clear()
    return job


@pytest.fixture
def pool(mod):
    """Route the run's pool through a recorder around the standard one.

    ``pool.fail_at`` makes that submission (counted from 1) raise ``pool.failure``.
    """
    real = concurrent.futures
    pool = types.SimpleNamespace(calls=[], fail_at=None, failure=None)
    calls = pool.calls

    class Submitter:
        def __init__(self, executor):
            self.executor = executor

        def submit(self, fn, *args, **kwargs):
            if len([c for c in calls if c[0] == "submit"]) + 1 == pool.fail_at:
                raise pool.failure
            future = self.executor.submit(fn, *args, **kwargs)
            calls.append(("submit", fn, args, kwargs, future))
            return future

    class Pool:
        def __init__(self, *args, **kwargs):
            calls.append(("pool", args, kwargs))
            self.executor = real.ThreadPoolExecutor(*args, **kwargs)

        def __enter__(self):
            calls.append(("enter",))
            # Work must go to what __enter__ returned, not to the pool object.
            return Submitter(self.executor.__enter__())

        def __exit__(self, *exc_info):
            calls.append(("exit", exc_info))
            return self.executor.__exit__(*exc_info)

    def as_completed(fs, *args, **kwargs):
        calls.append(("as_completed", fs, args, kwargs))
        return real.as_completed(fs)

    mod.concurrent = types.SimpleNamespace(
        futures=types.SimpleNamespace(ThreadPoolExecutor=Pool, as_completed=as_completed)
    )
    return pool


def test_query_selects_configured_meters_not_already_disabled(mod, fleet, fakes):
    fleet.run()
    query = [e for e in fakes.events.all() if e[0] in ("table", "select", "in_", "neq", "execute")]
    assert query == [
        ("table", ("meter_registry",), ()),
        ("select", ("*",), ()),
        ("in_", ("name", ["M-1", "M-2"]), ()),
        ("neq", ("prepay_enabled", False), ()),
        ("execute", (), ()),
    ]
    assert query[2][1][1] is mod.meter_names
    assert query[3][1][1] is False


@pytest.mark.parametrize(
    "data, hook, raised",
    [
        ([], None, SystemExit),
        (rows(1), "execute", LookupError),
    ],
)
def test_run_stops_before_pool_when_query_has_no_rows_or_fails(mod, fleet, fakes, pool, data, hook, raised):
    fakes.rows = data
    if hook:
        fakes.hooks[hook] = fakes.raiser(LookupError("registry down"))
    with pytest.raises(raised) as exc_info:
        fleet.run()
    expected = [START]
    if raised is SystemExit:
        assert type(exc_info.value.code) is int and exc_info.value.code == 10
        expected.append(("error", "No meter found to disable"))
    assert fakes.events.messages() == expected
    assert fakes.events.of("mediator_address") == []
    assert pool.calls == []


def test_pool_of_five_gets_every_row_and_is_left_before_counting(mod, fakes, pool):
    fakes.rows = rows(3)
    job = fleet_with_tasks(mod, fakes, lambda row: True)
    assert job.run() is None
    pool_calls = pool.calls
    kinds = [c[0] for c in pool_calls]
    assert kinds == ["pool", "enter", "submit", "submit", "submit", "exit", "as_completed"]
    assert pool_calls[0][1:] == ((), {"max_workers": 5})
    submits = pool_calls[2:5]
    for call, row in zip(submits, fakes.rows, strict=True):
        _, fn, args, kwargs, _ = call
        assert type(fn) is types.MethodType and fn.__self__ is job
        assert fn.__func__ is type(job).run_job
        assert args[0] is row and len(args) == 1 and kwargs == {}
    assert pool_calls[5][1] == (None, None, None)
    futures = pool_calls[6][1]
    assert type(futures) is list and futures == [c[4] for c in submits]
    assert fakes.events.messages()[-1] == summary(3, 3)


def test_failed_submission_waits_for_submitted_tasks_and_propagates(mod, fakes, pool):
    fakes.rows = rows(3)

    def slow(row):
        time.sleep(0.05)
        return True

    job = fleet_with_tasks(mod, fakes, slow)
    pool.fail_at, pool.failure = 2, RuntimeError("queue full")
    with pytest.raises(RuntimeError) as raised:
        job.run()
    assert raised.value is pool.failure
    assert [c[0] for c in pool.calls] == ["pool", "enter", "submit", "exit"]
    exit_type, exit_value, exit_tb = pool.calls[-1][1]
    assert (exit_type, exit_value) == (RuntimeError, pool.failure) and exit_tb is not None
    assert fakes.events.of("task_end") == [("task_end", 1)]
    assert fakes.events.messages()[-1] == ("info", "Processing 3 meters")


def test_at_most_five_tasks_run_at_once_and_all_end_before_results_are_read(mod, fakes):
    fakes.rows = rows(7)
    lock = threading.Lock()
    state = {"active": 0, "peak": 0, "arrived": 0}
    threads = set()
    first_five = threading.Barrier(5, timeout=5)

    def task(row):
        with lock:
            state["active"] += 1
            state["arrived"] += 1
            state["peak"] = max(state["peak"], state["active"])
            arrival = state["arrived"]
            threads.add(threading.get_ident())
        try:
            if arrival <= 5:
                # Five tasks can only pass together; then stay busy so a sixth
                # worker, if there were one, would show up in the peak.
                first_five.wait()
            time.sleep(0.05)
            return Counted(fakes.events, row["id"])
        finally:
            with lock:
                state["active"] -= 1

    fleet_with_tasks(mod, fakes, task).run()
    assert state["peak"] == 5
    assert len(threads) == 5 and threading.get_ident() not in threads
    kinds = fakes.events.kinds()
    first_look = kinds.index("truth")
    ends = [i for i, kind in enumerate(kinds) if kind == "task_end"]
    assert len(ends) == 7 and max(ends) < first_look
    assert kinds.count("truth") == 7
    assert fakes.events.messages() == [START, ("info", "Processing 7 meters"), summary(7, 7)]


@pytest.mark.parametrize(
    "results, success, errors",
    [
        ([True], 1, []),
        ([True, True, True], 3, []),
        ([True, False, None, 0, "", "yes", 1], 3, []),
        ([True, ValueError(""), True], 2, ["Error processing meter: "]),
        (
            [KeyError("k"), Truthless(ValueError("no truth")), True, Truthless(RuntimeError())],
            1,
            ["Error processing meter: 'k'", "Error processing meter: no truth", "Error processing meter: "],
        ),
    ],
)
def test_successes_are_counted_and_task_failures_logged(mod, fakes, results, success, errors):
    fakes.rows = rows(len(results))

    def task(row):
        result = results[row["id"] - 1]
        if isinstance(result, Exception):
            raise result
        return result

    fleet_with_tasks(mod, fakes, task).run()
    records = fakes.events.records()
    messages = fakes.events.messages()
    assert messages[:2] == [START, ("info", f"Processing {len(results)} meters")]
    assert sorted(messages[2:-1]) == sorted(("error", text) for text in errors)
    assert messages[-1] == summary(success, len(results))
    assert all(ctx == (("esco", "ESCO-A"),) and fields == () and len(args) == 1 for _, ctx, args, fields in records)


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_non_exception_from_a_task_leaves_run_without_summary(mod, fakes, interrupt):
    fakes.rows = rows(3)

    def task(row):
        if row["id"] == 2:
            raise interrupt()
        return True

    with pytest.raises(interrupt):
        fleet_with_tasks(mod, fakes, task).run()
    assert len(fakes.events.of("task_end")) == 3
    assert not any(m[1].startswith("Finished") for m in fakes.events.messages())


def test_each_run_queries_again_whatever_the_esco(mod, fakes):
    first, second = mod.PrepayEnabledFlipAllJob("A"), mod.PrepayEnabledFlipAllJob("B")
    fakes.events.clear()
    for job in (first, first, second):
        job.run()
    queries = [e for e in fakes.events.all() if e[0] == "in_"]
    assert queries == [("in_", ("name", ["M-1", "M-2"]), ())] * 3
    summaries = [r for r in fakes.events.records() if r[2][0].startswith("Finished")]
    assert [ctx for _, ctx, _, _ in summaries] == [(("esco", "A"),)] * 2 + [(("esco", "B"),)]
    assert [args[0] for _, _, args, _ in summaries] == [summary(2, 2)[1]] * 3
