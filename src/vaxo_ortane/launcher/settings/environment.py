"""The launcher's settings, read here from the variables that ``variables`` names.

``job_inputs`` makes the job's own variables ready before the job module reads
them: values from ``<VAR>_FILE`` files first, then the shard's part of the name
list. ``from_env`` then reads the launcher's own settings into one frozen
``Settings``, built once before the run; what the run does lives apart from it
(``run_state``). A setting that cannot be used ends the process before any write,
after one error record that names the variable: status 1 for a file or a name
list without a name, 2 for any other setting, as for a bad command line.
"""

from __future__ import annotations

import re
import sys
from collections.abc import Callable, Mapping, MutableMapping
from dataclasses import dataclass, replace
from pathlib import Path
from typing import NoReturn

from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.run.shards import Shard, ShardRun, keep_shard, split_names
from vaxo_ortane.launcher.settings.counts import Threshold, Wave, parse_threshold, parse_wave
from vaxo_ortane.launcher.settings.file_values import FileValueError, resolve_file_values
from vaxo_ortane.launcher.settings.push_address import PushAddress
from vaxo_ortane.launcher.settings.push_address import parse as parse_push_address
from vaxo_ortane.launcher.settings.variables import (
    CANARY,
    CANARY_PAUSE,
    FILE_SUFFIX,
    FILE_VARIABLES,
    KEY_VARIABLES,
    LEDGER,
    LEDGER_BACKLOG,
    LEDGER_WAIT,
    MAX_FAILURES,
    MAX_WRITES_PER_MINUTE,
    NAMES,
    PROGRESS_SECONDS,
    PUSHGATEWAY_URL,
    REPORT,
    ROLLOUT,
    SCHEDULER_INDEX,
    SHARD_COUNT,
    SHARD_INDEX,
    SHARDS_AT_ONCE,
    TERM,
)
from vaxo_ortane.util import numbers
from vaxo_ortane.util.terminals import is_terminal
from vaxo_ortane.util.urls import without_credentials

Record = Callable[..., None]

MAX_ROLLOUT = 200
DEFAULT_PROGRESS_SECONDS = 30.0
DEFAULT_LEDGER_BACKLOG = 50
DEFAULT_LEDGER_WAIT = 60.0
# Progress records more often than this are noise, and their CPU soon passes the meters' own.
MIN_PROGRESS_SECONDS = 1.0


class ShardError(ValueError):
    """A shard setting that cannot be used; names the variable."""


@dataclass(frozen=True)
class Rollout:
    """A budget of mediator requests a minute for the whole rollout, and a first wave that must pass.

    With a ledger (``shared``) every process of the rollout draws from one bucket kept in it;
    without, the budget is shared out over the processes that run side by side."""

    writes_per_minute: float | None = None
    side_by_side: int = 1
    canary: Wave | None = None
    canary_pause: float = 0.0
    shared: bool = False

    @property
    def share_per_minute(self) -> float | None:
        """This process's fixed part of the budget, None for a shared one: a share left by a process
        that ended early is not passed on."""
        if self.writes_per_minute is None or self.shared:
            return None
        return self.writes_per_minute / self.side_by_side

    @property
    def active(self) -> bool:
        return self.writes_per_minute is not None or self.canary is not None


@dataclass(frozen=True)
class LedgerSetting:
    """``FLIP_LEDGER`` and ``FLIP_ROLLOUT``: where the run's outcomes are kept, and under which rollout;
    how many outcomes may wait to be saved, and how long a ledger out of reach is waited for."""

    url: str
    rollout: str
    backlog: int = DEFAULT_LEDGER_BACKLOG
    wait: float = DEFAULT_LEDGER_WAIT
    undo_of: str | None = None  # the rollout that this one, its undo, puts back

    @property
    def shown(self) -> str:
        """The ledger's address for messages: no user name, password or parameters."""
        return without_credentials(self.url)

    @property
    def title(self) -> str:
        """How records name the rollout."""
        return f"Rollout {self.rollout}" if self.undo_of is None else f"Undo of rollout {self.undo_of}"

    @property
    def fields(self) -> dict[str, object]:
        """How records' fields name the rollout."""
        return {"rollout": self.rollout} if self.undo_of is None else {"rollout": self.undo_of, "undo": True}

    @property
    def done(self) -> str:
        """What the rollout does to a meter, as records say it."""
        return "switched off" if self.undo_of is None else "put back"


@dataclass(frozen=True)
class Settings:
    shard: ShardRun | None = None
    max_failures: Threshold | None = None
    report: Path | None = None
    pushgateway: PushAddress | None = None
    rollout: Rollout = Rollout()
    ledger: LedgerSetting | None = None
    progress_seconds: float = DEFAULT_PROGRESS_SECONDS
    display: bool = False  # standard error is a terminal: a live line and a closing table

    @property
    def watched(self) -> bool:
        """Whether the run's outcomes are needed: for the threshold, the report, the metrics, the canary,
        the ledger, the progress records or the terminal's display."""
        if self.progress_seconds > 0 or self.display:
            return True
        return (
            self.max_failures is not None
            or self.report is not None
            or self.pushgateway is not None
            or self.rollout.canary is not None
            or self.ledger is not None
        )


def _refuse(record: Record, message: str, status: int) -> NoReturn:
    record("error", message, status=status)
    raise SystemExit(status) from None


def job_inputs(environ: MutableMapping[str, str], record: Record) -> ShardRun | None:
    """Resolve the ``_FILE`` values and the shard in ``environ``; the shard run, if sharded."""
    try:
        resolve_file_values(environ, NAMES, FILE_VARIABLES, FILE_SUFFIX)
    except FileValueError as exc:
        _refuse(record, str(exc), statuses.UNUSABLE_FILE)
    _check_text(environ, record)
    _leave_out_empty_names(environ, record)
    try:
        shard = shard_from_env(environ)
    except ShardError as exc:
        _refuse(record, str(exc), statuses.BAD_SETTING)
    if shard is None:
        return None
    kept, shard_run = keep_shard(environ.get(NAMES), shard)
    if kept is not None:
        environ[NAMES] = kept
    record(
        "info",
        f"Shard {shard.index} of {shard.count}: {shard_run.kept} of {shard_run.total} meter names",
        shard=shard.index,
        shards=shard.count,
        names=shard_run.kept,
        total_names=shard_run.total,
    )
    return shard_run


def _check_text(
    environ: Mapping[str, str], record: Record, variables: tuple[str, ...] = (NAMES, *KEY_VARIABLES, LEDGER)
) -> None:
    # os.environ holds bytes that are not UTF-8 as lone surrogates, which no registry can bind.
    for variable in variables:
        try:
            environ.get(variable, "").encode("utf-8")
        except UnicodeEncodeError as exc:
            _refuse(record, f"{variable} is not UTF-8 text (at character {exc.start})", statuses.BAD_SETTING)


# An empty piece of the list: "A,,B", a leading or trailing comma, or blanks only.
_EMPTY_PIECE = re.compile(r"(?:^|,)\s*(?:,|$)")


def _leave_out_empty_names(environ: MutableMapping[str, str], record: Record) -> None:
    """The job reads an empty piece of its list as the name "", which would select a
    registry row of that name that no plan shows: such pieces are left out."""
    text = environ.get(NAMES)
    if text is None or not _EMPTY_PIECE.search(text):
        return
    pieces = split_names(text)
    names = [name for name in pieces if name]
    if not names:
        _refuse(record, f"{NAMES} holds no meter name", statuses.NAMES_NOT_SET)
    environ[NAMES] = ",".join(names)
    left_out = len(pieces) - len(names)
    record(
        "warning",
        f"{NAMES}: {left_out} empty name(s) left out (as in 'A,,B' or a trailing comma)",
        empty_names=left_out,
        names=len(names),
    )


def shard_from_env(environ: Mapping[str, str]) -> Shard | None:
    """This process's shard, or None when the run is not sharded."""
    count_text = environ.get(SHARD_COUNT)
    if count_text is None:
        if SHARD_INDEX in environ:
            raise ShardError(f"{SHARD_INDEX} is set but {SHARD_COUNT} is not; set both, or neither")
        return None
    count = _shard_number(SHARD_COUNT, count_text)
    if count < 1:
        raise ShardError(f"{SHARD_COUNT} must be at least 1, not {count}")
    index_variable = SHARD_INDEX if SHARD_INDEX in environ else SCHEDULER_INDEX
    index_text = environ.get(index_variable)
    if index_text is None:
        raise ShardError(f"{SHARD_COUNT} is set but neither {SHARD_INDEX} nor {SCHEDULER_INDEX} is")
    index = _shard_number(index_variable, index_text)
    if index >= count:
        raise ShardError(f"{index_variable} must be below {SHARD_COUNT} ({count}), not {index}")
    return Shard(index, count)


# Nine digits: far more shards than any fleet.
MAX_SHARD_DIGITS = 9


def _shard_number(variable: str, text: str) -> int:
    value = numbers.whole(text)
    if value is None or len(text.strip()) > MAX_SHARD_DIGITS:
        raise ShardError(f"{variable} must be a whole number of at most nine digits, not {text[:40]!r}")
    return value


def ledger_from_env(environ: Mapping[str, str]) -> LedgerSetting | None:
    """``FLIP_LEDGER`` and its rollout, or None without a ledger; a ValueError names the variable.

    The URL is never quoted back: it may hold a password, or a key pasted into the wrong variable.
    """
    url = environ.get(LEDGER, "").strip()
    if not url:
        return None
    rollout = environ.get(ROLLOUT, "").strip()
    if not rollout:
        raise ValueError(f"{LEDGER} is set but {ROLLOUT} is not; name the rollout that this run belongs to")
    if len(rollout) > MAX_ROLLOUT or not rollout.isprintable():
        raise ValueError(f"{ROLLOUT} must be printable text of at most {MAX_ROLLOUT} characters")
    scheme, sep, rest = url.partition("://")
    if sep and scheme.lower() == "sqlite":
        if not rest.startswith("/"):
            raise ValueError(f"{LEDGER}: an SQLite ledger is sqlite:///ABSOLUTE/PATH, a path from the root")
    elif not sep or scheme.lower() not in ("postgresql", "postgres"):
        raise ValueError(f"{LEDGER} must be sqlite:///ABSOLUTE/PATH or postgresql://[USER@]HOST[:PORT]/DBNAME")
    backlog = numbers.whole_setting(environ, LEDGER_BACKLOG, DEFAULT_LEDGER_BACKLOG, 1)
    return LedgerSetting(url, rollout, backlog, numbers.setting(environ, LEDGER_WAIT, DEFAULT_LEDGER_WAIT, 0))


def check_mediator_settings(record: Record) -> None:
    """The mediator client's settings and credentials, checked now: a bad one would otherwise
    fail every write."""
    from vaxo_ortane.mediator.client import default_settings  # the same settings every write then uses
    from vaxo_ortane.mediator.credentials import default_credentials

    try:
        default_settings()
        credentials = default_credentials()  # the files' paths in its error, never their content
    except ValueError as exc:
        _refuse(record, str(exc), statuses.BAD_SETTING)
    for warning in () if credentials is None else credentials.warnings:
        record("warning", warning)


def rollout_from_env(environ: Mapping[str, str], shard: ShardRun | None, shared: bool = False) -> Rollout:
    """The rollout controls, the budget ``shared`` through a ledger; raises ValueError naming the variable."""
    rate = None
    if environ.get(MAX_WRITES_PER_MINUTE, "").strip():
        rate = numbers.setting(environ, MAX_WRITES_PER_MINUTE, 0.0, 0.0, above=True)
    side_by_side = numbers.whole_setting(environ, SHARDS_AT_ONCE, 1 if shard is None else shard.shard.count, 1)
    canary = parse_wave(CANARY, environ.get(CANARY, ""))
    if canary is None and environ.get(CANARY_PAUSE, "").strip():
        raise ValueError(f"{CANARY_PAUSE} is set but {CANARY} is not: there is no wave to pause after")
    pause = numbers.setting(environ, CANARY_PAUSE, 0.0, 0.0)
    return Rollout(rate, 1 if shared else side_by_side, canary, pause, shared and rate is not None)


def _progress_seconds(environ: Mapping[str, str]) -> float:
    seconds = numbers.setting(environ, PROGRESS_SECONDS, DEFAULT_PROGRESS_SECONDS, 0)
    if 0 < seconds < MIN_PROGRESS_SECONDS:
        raise ValueError(f"{PROGRESS_SECONDS} must be 0 (no progress records) or at least {MIN_PROGRESS_SECONDS:g}")
    return seconds


def from_env(environ: MutableMapping[str, str], record: Record) -> Settings:
    """The job's inputs made ready, then the launcher's and the mediator client's settings,
    checked before the job starts."""
    shard = job_inputs(environ, record)
    check_mediator_settings(record)
    return _launcher_settings(environ, shard, record, ledger_from_env)


def undo_from_env(environ: MutableMapping[str, str], rollout: str, undo_name: str, record: Record) -> Settings:
    """The settings of the undo of ``rollout``, kept in the ledger as ``undo_name``: the run's own,
    but for the name list and the shards, which the ledger's rows stand for; a ledger required."""
    try:
        resolve_file_values(environ, None, (LEDGER,), FILE_SUFFIX)
    except FileValueError as exc:
        _refuse(record, str(exc), statuses.UNUSABLE_FILE)
    _check_text(environ, record, (LEDGER,))
    for variable, why in (
        (ROLLOUT, "--rollout names the rollout to undo"),
        (NAMES, "the undo puts back the meters its rollout switched off"),
        (SHARD_COUNT, "an undo runs whole; two at once never write one meter"),
    ):
        if environ.get(variable, "").strip():
            record("warning", f"{variable} is ignored: {why}", variable=variable)
    check_mediator_settings(record)

    def ledger_of(environ: Mapping[str, str]) -> LedgerSetting:
        setting = ledger_from_env({**environ, ROLLOUT: rollout})
        if setting is None:
            raise ValueError(f"{LEDGER} is not set: an undo finds what it puts back in the rollout's ledger")
        return replace(setting, rollout=undo_name, undo_of=rollout)

    return _launcher_settings(environ, None, record, ledger_of)


def _launcher_settings(
    environ: Mapping[str, str],
    shard: ShardRun | None,
    record: Record,
    ledger_of: Callable[[Mapping[str, str]], LedgerSetting | None],
) -> Settings:
    try:
        max_failures = parse_threshold(MAX_FAILURES, environ.get(MAX_FAILURES, ""))
        report = None
        if environ.get(REPORT, "").strip():
            from vaxo_ortane.launcher.settings.report_path import checked_path  # loaded only when asked for

            report = checked_path(REPORT, environ[REPORT], None if shard is None else shard.shard)
        pushgateway = parse_push_address(PUSHGATEWAY_URL, environ.get(PUSHGATEWAY_URL, ""))
        ledger = ledger_of(environ)
        rollout = rollout_from_env(environ, shard, shared=ledger is not None)
        progress_seconds = _progress_seconds(environ)
    except ValueError as exc:
        _refuse(record, str(exc), statuses.BAD_SETTING)
    if ledger is not None and environ.get(SHARDS_AT_ONCE, "").strip():
        record(
            "warning",
            f"{SHARDS_AT_ONCE} is ignored: with {LEDGER} every process of the rollout draws from one write "
            "budget kept in the ledger",
            variable=SHARDS_AT_ONCE,
        )
    display = is_terminal(sys.stderr) and environ.get(TERM) != "dumb"
    return Settings(
        shard,
        max_failures,
        report,
        pushgateway,
        rollout=rollout,
        ledger=ledger,
        progress_seconds=progress_seconds,
        display=display,
    )
