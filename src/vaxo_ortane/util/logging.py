"""Structured logging for the fleet jobs, on structlog.

Each record is one line on standard error: a compact JSON object (rendered by
orjson), or structlog's console layout. A JSON record keeps a traceback whole; the
console layout shows only its last lines, the exception's own, but at ``LOG_LEVEL=debug``. ``LOG_FORMAT`` chooses; unset, records
are in console layout on a terminal and JSON elsewhere, as structlog's own
default does. ``LOG_LEVEL`` drops records below it.

The logger is built without ``structlog.configure``: a host process that uses
structlog for its own ends keeps its configuration.
"""

from __future__ import annotations

import functools
import json
import logging as std_logging
import os
import sys
import threading
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TextIO

import orjson

from .json_values import AS_IS, describe_exception, plain
from .observers import Observation, Observers
from .terminals import is_terminal, rich_hidden
from .timestamps import utc_now

with rich_hidden():
    import structlog
    from structlog.typing import EventDict, Processor, WrappedLogger

LEVELS: dict[str, int] = {
    "debug": std_logging.DEBUG,
    "info": std_logging.INFO,
    "warning": std_logging.WARNING,
    "error": std_logging.ERROR,
    "critical": std_logging.CRITICAL,
}
FORMATS = ("json", "console")

# What sees a logger's records before they are filtered and rendered, by logger name.
Observer = Callable[[str, EventDict], None]
_observers: dict[str, Observers[Observer]] = {}
_observers_lock = threading.Lock()


def observe(name: str, observer: Observer) -> Observation:
    """Have ``observer(level, event_dict)`` see every record of the loggers named
    ``name`` that are made from now on, whatever ``LOG_LEVEL`` drops, until the
    returned observation is removed (or its ``with`` block left). A logger made
    while it was in place keeps it.

    The launcher learns the job's outcomes this way without touching the job. An
    observer must not raise: what it raises is reported on standard error and dropped,
    so that the record, and the job's flow around it, stay as they were.
    """
    with _observers_lock:
        observers = _observers.setdefault(name, Observers())
    return observers.add(observer)


def _tell(observers: tuple[Observer, ...], method_name: str, event_dict: EventDict) -> None:
    # What an observer raises is reported and dropped; structlog's DropEvent goes on up.
    for observer in observers:
        try:
            observer(method_name, event_dict)
        except Exception as exc:
            print(f"a log observer failed: {exc!r}", file=sys.stderr, flush=True)


def _observing(observers: tuple[Observer, ...], level: int) -> list[Processor]:
    def watch(_: WrappedLogger, method_name: str, event_dict: EventDict) -> EventDict:
        _tell(observers, method_name, event_dict)
        if LEVELS.get(method_name, std_logging.CRITICAL) < level:
            raise structlog.DropEvent
        return event_dict

    return [watch]


@dataclass(frozen=True)
class LogSettings:
    level: int
    format: str

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None, *, terminal: bool = False) -> LogSettings:
        env = os.environ if environ is None else environ
        level_name = env.get("LOG_LEVEL", "info").strip().lower() or "info"
        if level_name not in LEVELS:
            raise ValueError(
                f"LOG_LEVEL={level_name!r} is not a log level; use one of "
                f"{', '.join(LEVELS)} or leave it unset for info"
            )
        fmt = env.get("LOG_FORMAT", "").strip().lower() or ("console" if terminal else "json")
        if fmt not in FORMATS:
            raise ValueError(
                f"LOG_FORMAT={fmt!r} is not a log format; use json or console, "
                "or leave it unset for console on a terminal and json elsewhere"
            )
        return cls(level=LEVELS[level_name], format=fmt)


class LineWriter:
    """Writes whole records, one per line, under one lock per process.

    A record leaves in a single write followed by a flush, so lines written from
    several threads never interleave and none waits in a buffer when the process
    ends. The stream is looked up at each write unless one was given, so a
    replaced ``sys.stderr`` is honoured: the launcher's live line on a terminal
    stands in for it, to print each record above itself.
    """

    _lock = threading.Lock()

    def __init__(self, stream: TextIO | None = None) -> None:
        self._stream = stream

    def msg(self, message: str) -> None:
        stream = self._stream if self._stream is not None else sys.stderr
        with self._lock:
            stream.write(message + "\n")
            stream.flush()

    # structlog's filtering wrapper calls the method named for the level.
    debug = info = warning = warn = error = critical = exception = fatal = log = msg


def last_lines(traceback_text: str) -> str:
    """What a traceback says of the exception that ended it: the lines after its last frame."""
    lines = traceback_text.rstrip("\n").split("\n")
    frames = [i for i, line in enumerate(lines) if line.startswith("  ")]
    return "\n".join(lines[frames[-1] + 1 :] if frames and frames[-1] + 1 < len(lines) else lines[-1:])


def _render_exceptions(whole: bool) -> Processor:
    """For a person at a terminal: a traceback cut to its last lines, unless ``whole`` (LOG_LEVEL=debug).
    An expected failure's twenty lines would otherwise fill the screen."""

    def render(_: WrappedLogger, __: str, event_dict: EventDict) -> EventDict:
        # The jobs pass traceback.format_exception's list; one text reads better.
        lines = event_dict.get("exception")
        if isinstance(lines, list) and all(isinstance(line, str) for line in lines):
            event_dict["exception"] = "".join(lines)
        if not whole and isinstance(event_dict.get("exception"), str):
            event_dict["exception"] = last_lines(event_dict["exception"])
        for key, value in event_dict.items():
            if isinstance(value, BaseException):
                event_dict[key] = describe_exception(value)
        return event_dict

    return render


def _add_logger_name(name: str) -> Processor:
    def add(_: WrappedLogger, __: str, event_dict: EventDict) -> EventDict:
        event_dict["logger"] = name
        return event_dict

    return add


def _level_name(_: WrappedLogger, method_name: str, event_dict: EventDict) -> EventDict:
    event_dict["level"] = "warning" if method_name == "warn" else method_name
    return event_dict


def _json_renderer(name: str) -> Callable[[WrappedLogger, str, EventDict], str]:
    """The JSON path in one step: name, level, time stamp, exception text and the
    rendering, which the console layout does in separate processors.
    """
    format_exc_info = structlog.processors.format_exc_info

    def render(logger: WrappedLogger, method_name: str, event_dict: EventDict) -> str:
        if "exc_info" in event_dict:
            event_dict = format_exc_info(logger, method_name, event_dict)
        lines = event_dict.get("exception")
        if isinstance(lines, list) and all(isinstance(line, str) for line in lines):
            event_dict["exception"] = "".join(lines)
        # These four open every record, in this order; the context and call fields follow.
        record: dict[str, Any] = {
            "timestamp": utc_now(),
            "level": "warning" if method_name == "warn" else method_name,
            "logger": name,
        }
        if "event" in event_dict:
            value = event_dict["event"]
            record["event"] = value if type(value) in AS_IS else plain(value, 1)
        # Most fields are text already; the others go through plain() as the
        # record's fields (their keys are keyword names, always text).
        for key, value in event_dict.items():
            if key not in record:
                record[key] = value if type(value) in AS_IS else plain(value, 1)
        try:
            return orjson.dumps(record).decode()
        except orjson.JSONEncodeError:
            # What orjson refuses and the standard encoder writes: ints beyond 64 bits,
            # text with lone surrogates. Rare, so the slower encoder is fine.
            return json.dumps(record, ensure_ascii=False, allow_nan=False, separators=(",", ":"))

    return render


class _JsonSink:
    """The JSON path of one logger from the call to the line: the record built, seen
    by the observers, filtered, rendered and written, with no processor chain.

    structlog's chain runs five calls a record around one processor; this is one.
    """

    def __init__(self, name: str, observers: tuple[Observer, ...], level: int, writer: LineWriter) -> None:
        self._render = _json_renderer(name)
        self._observers = observers
        self._level = level
        self._write = writer.msg

    def emit(self, method_name: str, context: Mapping[str, Any], event: Any, event_kw: Mapping[str, Any]) -> None:
        # The record as structlog makes it: context, then the call's fields, then the event.
        event_dict = dict(context)
        if event_kw:
            event_dict.update(event_kw)
        if event is not None:
            event_dict["event"] = event
        if self._observers:
            try:
                _tell(self._observers, method_name, event_dict)
            except structlog.DropEvent:  # what structlog's chain did with it: no record
                return
            if LEVELS.get(method_name, std_logging.CRITICAL) < self._level:
                return
        self._write(self._render(self, method_name, event_dict))


@functools.cache
def _json_logger_class(min_level: int) -> type[Any]:
    """structlog's filtering bound logger at ``min_level`` whose levels go straight to
    its ``_JsonSink``: ``bind``, the levels' filtering and every method stay structlog's."""
    base: type[Any] = structlog.make_filtering_bound_logger(min_level)

    def _proxy_to_logger(self: Any, method_name: str, event: Any = None, **event_kw: Any) -> None:
        self._logger.emit(method_name, self._context, event, event_kw)

    def level_method(name: str) -> Callable[..., None]:
        interpolating = getattr(base, name)  # structlog's own, for a call with format arguments

        def method(self: Any, event: Any, *args: Any, **kw: Any) -> None:
            if args:
                return interpolating(self, event, *args, **kw)  # type: ignore[no-any-return]
            self._logger.emit(name, self._context, event, kw)
            return None

        method.__name__ = name
        return method

    methods: dict[str, Any] = {"_proxy_to_logger": _proxy_to_logger}
    for name, level in LEVELS.items():
        if level >= min_level:
            methods[name] = level_method(name)
    methods |= {"warn": methods.get("warning", base.warn), "fatal": methods.get("critical", base.fatal)}
    methods["msg"] = methods.get("info", base.msg)
    return type(f"Json{base.__name__}", (base,), methods)


def _logger_name(name: str, file: str | None) -> str:
    # Run as a program, a module is called __main__; its file still tells which one.
    if name == "__main__" and file:
        stem = Path(file).name.split(".", 1)[0]
        if stem:
            return stem
    return name


def get_logger(
    name: str,
    file: str | None = None,
    *,
    stream: TextIO | None = None,
    environ: Mapping[str, str] | None = None,
) -> Any:
    """Return a structlog bound logger named ``name`` writing to standard error.

    ``file`` is the caller's ``__file__``; it names the logger when ``name`` is
    ``__main__``. ``stream`` and ``environ`` replace standard error and the process
    environment (tests use them).
    """
    settings = LogSettings.from_env(environ, terminal=is_terminal(sys.stderr if stream is None else stream))
    logger_name = _logger_name(name, file)
    level = settings.level
    observing = _observers.get(logger_name)
    observers = () if observing is None else observing.current()
    if settings.format == "json":
        # The observers see every record; the level is applied after them.
        sink = _JsonSink(logger_name, observers, level, LineWriter(stream))
        return _json_logger_class(std_logging.DEBUG if observers else level)(sink, [], {})
    processors: list[Processor] = [
        _add_logger_name(logger_name),
        _level_name,
        structlog.processors.TimeStamper(fmt="iso", utc=True),
        structlog.processors.format_exc_info,
        _render_exceptions(whole=settings.level <= std_logging.DEBUG),
        structlog.dev.ConsoleRenderer(colors=False),
    ]
    if observers:
        processors = _observing(observers, level) + processors
        level = std_logging.DEBUG
    wrapper: Any = structlog.make_filtering_bound_logger(level)
    return wrapper(LineWriter(stream), processors, {})
