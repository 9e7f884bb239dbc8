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
        self.client = self._make_client()
        self.adapter = self._make_adapter()
        self.logger = self._make_logger()
        self.OrtaneMediatorClient = self._make_mediator_client()
        self.modules = self._make_modules()

    @staticmethod
    def raiser(exc):
        def hook(*args):
            raise exc

        return hook

    def _answer(self, name, default, *args):
        hook = self.hooks.get(name)
        if hook is None:
            return default
        return hook(*args)

    def _make_logger(self):
        fakes = self
        events = self.events

        class BoundLogger:
            def __init__(self, context):
                self.context = context

            def info(self, *args, **fields):
                events.add("log", "info", self.context, args, tuple(fields.items()))
                return fakes._answer("info", None, *args)

            def error(self, *args, **fields):
                events.add("log", "error", self.context, args, tuple(fields.items()))
                return fakes._answer("error", None, *args)

        class Logger:
            def bind(self, *args, **context):
                events.add("bind", args, tuple(context.items()))
                fakes._answer("bind", None, *args)
                return BoundLogger(tuple(context.items()))

        return Logger()

    def _make_adapter(self):
        fakes = self

        class Adapter:
            def mediator_address(self, *args, **kw):
                fakes.events.add("mediator_address", args, tuple(kw.items()))
                return fakes._answer("mediator_address", f"tcp://mediator-{args[0]}", *args)

        return Adapter()

    def _make_client(self):
        fakes = self

        class Builder:
            def __getattr__(self, op):
                if op not in ("table", "select", "in_", "neq", "execute"):
                    raise AttributeError(op)

                def call(*args, **kw):
                    fakes.events.add(op, args, tuple(kw.items()))
                    result = types.SimpleNamespace(data=fakes.rows) if op == "execute" else self
                    return fakes._answer(op, result, *args)

                return call

        return Builder()

    def _make_mediator_client(self):
        fakes = self

        class OrtaneMediatorClient:
            def __init__(self, *args, **kw):
                fakes.events.add("client", args, tuple(kw.items()))
                fakes._answer("client", None, *args)
                self.meter_id = kw.get("meter_id")

            def prepay_enabled_write(self, *args, **kw):
                fakes.events.add("write", self.meter_id, args, tuple(kw.items()))
                return fakes._answer("write", None, *args)

        return OrtaneMediatorClient

    def get_logger(self, *args, **kw):
        self.events.add("get_logger", args, tuple(kw.items()))
        self._answer("get_logger", None, *args)
        return self.logger

    def get_instance(self, *args, **kw):
        self.events.add("get_instance", args, tuple(kw.items()))
        return self._answer("get_instance", self.adapter, *args)

    def supa_client(self, *args, **kw):
        self.events.add("supa_client", args, tuple(kw.items()))
        return self._answer("supa_client", self.client, *args)

    def _make_modules(self):
        def module(name, **attrs):
            m = types.ModuleType(name)
            m.__dict__.update(attrs)
            return m

        return {
            COLLABORATORS[0]: module(COLLABORATORS[0], get_instance=self.get_instance),
            COLLABORATORS[1]: module(COLLABORATORS[1], get_logger=self.get_logger),
            COLLABORATORS[2]: module(COLLABORATORS[2], supa_client=self.supa_client, Client=Client),
            COLLABORATORS[3]: module(COLLABORATORS[3], OrtaneMediatorClient=self.OrtaneMediatorClient),
            COLLABORATORS[4]: module(COLLABORATORS[4], MediatorClientException=MediatorClientException),
        }


def fresh_module():
    """A new, not yet executed module object of the job and its spec."""
    spec = importlib.util.find_spec(JOB)
    return spec, importlib.util.module_from_spec(spec)
