"""Support for the hardening tests: a fresh job module over the real package, and
collaborators light enough to call thousands of times without growing."""

import gc
import importlib.util
import sys
import types

JOB = "vaxo_ortane.jobs.prepay_enabled_flip"
ENV_VARS = ("SUPABASE_URL", "SUPABASE_ANON_KEY", "TRAMU_ROLE_KEY", "PREPAY_DISABLED_METER_NAMES")
GOOD_ENV = {
    "SUPABASE_URL": "https://registry.invalid",
    "SUPABASE_ANON_KEY": "anon-key",
    "TRAMU_ROLE_KEY": "role-key",
    "PREPAY_DISABLED_METER_NAMES": "M-1, M-2",
}


def exec_fresh(env, monkeypatch):
    """Execute a new module object of the job with exactly `env` set."""
    for var in ENV_VARS:
        monkeypatch.delenv(var, raising=False)
    for var, value in env.items():
        monkeypatch.setenv(var, value)
    spec = importlib.util.find_spec(JOB)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


class Log:
    """A bound logger that keeps only counts and the last message of each level:
    thousands of records must not grow the heap.

    `fail` maps a level to the exception that level raises."""

    def __init__(self):
        self.info_count = self.error_count = 0
        self.last_info = self.last_error = None
        self.fail = {}

    def info(self, message, **fields):
        self.info_count += 1
        self.last_info = message
        if "info" in self.fail:
            raise self.fail["info"]

    def error(self, message, **fields):
        self.error_count += 1
        self.last_error = message
        if "error" in self.fail:
            raise self.fail["error"]


class Mediator:
    """A mediator client; `outcome` is raised by the write."""

    def __init__(self):
        self.outcome = None
        self.writes = 0

    def prepay_enabled_write(self, value):
        self.writes += 1
        if self.outcome is not None:
            raise self.outcome


class Adapter:
    """Answers `answers[meter_id]`, else `answer`; an exception answer is raised."""

    def __init__(self):
        self.answer = "tcp://" + "mediator-1"  # built at run time: not interned
        self.answers = {}

    def mediator_address(self, meter_id, serial):
        answer = self.answers.get(meter_id, self.answer)
        if isinstance(answer, BaseException):
            raise answer
        return answer


class Registry:
    """Answers every query chain with `response`."""

    def __init__(self, rows):
        self.response = types.SimpleNamespace(data=rows)

    def table(self, name):
        return self

    def select(self, columns):
        return self

    def in_(self, column, values):
        return self

    def neq(self, column, value):
        return self

    def execute(self):
        return self.response


class Fakes:
    def __init__(self, mod):
        self.mod = mod
        self.log = Log()
        self.logger = types.SimpleNamespace(bind=lambda **context: self.log)
        self.mediator = Mediator()
        self.mediators = {}  # meter_id -> its own client; the others share `mediator`
        self.adapter = Adapter()
        self.row = {"id": 1, "meter_id": "MID-1", "serial": "S-1", "name": "M-1"}
        self.registry = Registry([self.row])
        self.esco = "ESCO-" + "A"
        mod.logger = self.logger
        mod.OrtaneMediatorClient = lambda *, mediator_address, meter_id: self.mediators.get(meter_id, self.mediator)
        mod.get_instance = lambda *, esco: self.adapter
        mod.supa_client = lambda url, key, role_key: self.registry


def forget(*excs):
    """Drop what a raise attached to a reused exception (frames, context), so that
    counting references to the objects it passed through stays exact."""
    for exc in excs:
        exc.__traceback__ = None
        exc.__context__ = None
        exc.__cause__ = None


def heap_growth(step, iterations, warmup=200, rounds=3):
    """Growth of allocated blocks and of live GC objects over `iterations` steps.

    Each figure is the smallest over several rounds: a leak grows in every round,
    while a cache or free list filling up shows in one at most.
    """
    for _ in range(warmup):
        step()
    blocks, objects = [], []
    for _ in range(rounds):
        gc.collect()
        b0, o0 = sys.getallocatedblocks(), len(gc.get_objects())
        for _ in range(iterations):
            step()
        gc.collect()
        blocks.append(sys.getallocatedblocks() - b0)
        objects.append(len(gc.get_objects()) - o0)
    return min(blocks), min(objects)
