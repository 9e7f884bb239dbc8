"""Fake collaborators of the compiled job.

Every fake records its calls, in order, into one thread-safe event list, so a test can
assert the exact sequence of calls across the logger, the adapter, the registry client
and the mediator clients, including which arguments were positional and the order of
the keywords.
"""

import importlib.util
import threading
import types

JOB = "vaxo_ortane.jobs.prepay_enabled_flip"
ENV_VARS = ("SUPABASE_URL", "SUPABASE_ANON_KEY", "TRAMU_ROLE_KEY", "PREPAY_DISABLED_METER_NAMES")
GOOD_ENV = {
    "SUPABASE_URL": "https://registry.invalid",
    "SUPABASE_ANON_KEY": "anon-key",
    "TRAMU_ROLE_KEY": "role-key",
    "PREPAY_DISABLED_METER_NAMES": "M-1, M-2",
}
COLLABORATORS = (
    "vaxo_ortane.orchestrate.adapter.factory",
    "vaxo_ortane.util.logging",
    "vaxo_ortane.util.supabase",
    "vaxo_ortane.mediator.client",
    "vaxo_ortane.mediator.mediator_client_exception",
)


class Events:
    """Calls seen by the fakes, from any thread, in the order they happened."""

    def __init__(self):
        self._lock = threading.Lock()
        self._items = []

    def add(self, *event):
        with self._lock:
            self._items.append(event)

    def all(self):
        with self._lock:
            return list(self._items)

    def clear(self):
        with self._lock:
            self._items.clear()

    def kinds(self):
        return [e[0] for e in self.all()]

    def of(self, kind):
        return [e for e in self.all() if e[0] == kind]

    def records(self):
        """Log records as (level, context, positional args, keyword fields)."""
        return [e[1:] for e in self.all() if e[0] == "log"]

    def messages(self):
        return [(level, args[0] if args else None) for level, _, args, _ in self.records()]


class MediatorClientException(Exception):
    pass


class Client:
    """Stands in for the registry client type; the job only names it."""


class Fakes:
    """One set of collaborators sharing one event list.

    ``hooks`` maps a call name to a callable that replaces the fake's default answer; it
    receives the call's positional arguments and may raise.
    """

    def __init__(self):
        self.events = Events()
        self.hooks = {}
        self.rows = [
            {"id": 1, "meter_id": "MID-1", "serial": "S-1", "name": "M-1"},
            {"id": 2, "meter_id": "MID-2", "serial": "S-2", "name": "M-2"},
        ]
        self.MediatorClientException = MediatorClientException
        self.Client = Client
        call = self._call
        fakes = self

        class BoundLogger:
            def __init__(self, context):
                self.context = context

            def info(self, *args, **fields):
                return call("info", None, args, fields, ("log", "info", self.context))

            def error(self, *args, **fields):
                return call("error", None, args, fields, ("log", "error", self.context))

        class Logger:
            def bind(self, *args, **context):
                call("bind", None, args, context)
                return BoundLogger(tuple(context.items()))

        class Adapter:
            def mediator_address(self, *args, **kw):
                return call("mediator_address", f"tcp://mediator-{args[0]}", args, kw)

        class Query:
            def __getattr__(self, op):
                if op not in ("table", "select", "in_", "neq", "execute"):
                    raise AttributeError(op)
                return lambda *args, **kw: call(
                    op, types.SimpleNamespace(data=fakes.rows) if op == "execute" else self, args, kw
                )

        class OrtaneMediatorClient:
            def __init__(self, *args, **kw):
                call("client", None, args, kw)
                self.meter_id = kw.get("meter_id")

            def prepay_enabled_write(self, *args, **kw):
                return call("write", None, args, kw, ("write", self.meter_id))

        self.logger, self.adapter, self.client = Logger(), Adapter(), Query()
        self.OrtaneMediatorClient = OrtaneMediatorClient

        def module(name, **attrs):
            m = types.ModuleType(name)
            m.__dict__.update(attrs)
            return m

        self.modules = {
            m.__name__: m
            for m in (
                module(COLLABORATORS[0], get_instance=lambda *a, **k: call("get_instance", self.adapter, a, k)),
                module(COLLABORATORS[1], get_logger=lambda *a, **k: call("get_logger", self.logger, a, k)),
                module(
                    COLLABORATORS[2], Client=Client, supa_client=lambda *a, **k: call("supa_client", self.client, a, k)
                ),
                module(COLLABORATORS[3], OrtaneMediatorClient=OrtaneMediatorClient),
                module(COLLABORATORS[4], MediatorClientException=MediatorClientException),
            )
        }

    def _call(self, name, default, args, kw, event=None):
        """Record one call, then answer through the hook of that name if there is one."""
        self.events.add(*(event or (name,)), args, tuple(kw.items()))
        hook = self.hooks.get(name)
        return default if hook is None else hook(*args)

    @staticmethod
    def raiser(exc):
        def hook(*args):
            raise exc

        return hook


# A self-contained set of fakes for another interpreter or process: records go to
# RECORDS and, as "LEVEL message" lines, to standard error; FAKE_ROWS rows are selected.
MINI_FAKES = """
import os, sys, types

RECORDS = []

def module(name, **attrs):
    m = types.ModuleType(name)
    m.__dict__.update(attrs)
    sys.modules[name] = m

class Bound:
    def info(self, msg, **kw):
        RECORDS.append(("info", msg))
        print("INFO", msg, file=sys.stderr)
    def error(self, msg, **kw):
        RECORDS.append(("error", msg))
        print("ERROR", msg, file=sys.stderr)

class Query:
    def __getattr__(self, name):
        n = int(os.environ.get("FAKE_ROWS", "3"))
        rows = [{"id": i, "meter_id": i, "serial": i} for i in range(n)]
        return lambda *a: types.SimpleNamespace(data=rows) if name == "execute" else self

class Mediator:
    def __init__(self, **kw):
        pass
    def prepay_enabled_write(self, value):
        pass

logger = types.SimpleNamespace(bind=lambda **ctx: Bound())
adapter = types.SimpleNamespace(mediator_address=lambda meter_id, serial: "tcp://m")
module("vaxo_ortane.orchestrate.adapter.factory", get_instance=lambda esco: adapter)
module("vaxo_ortane.util.logging", get_logger=lambda name, file: logger)
module("vaxo_ortane.util.supabase", supa_client=lambda *a: Query(), Client=object)
module("vaxo_ortane.mediator.client", OrtaneMediatorClient=Mediator, default_settings=lambda: None)
module("vaxo_ortane.mediator.mediator_client_exception", MediatorClientException=OSError)
"""


def fresh_module():
    """A new, not yet executed module object of the job, with its loader."""
    spec = importlib.util.find_spec(JOB)
    return spec, importlib.util.module_from_spec(spec)
