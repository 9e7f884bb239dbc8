"""Every variable the launcher reads, by name, and the commands' ``--help`` text of them."""

from __future__ import annotations

# The job's own variables, which the module reads at its import.
NAMES = "PREPAY_DISABLED_METER_NAMES"
SUPABASE_URL = "SUPABASE_URL"
SUPABASE_ANON_KEY = "SUPABASE_ANON_KEY"
TRAMU_ROLE_KEY = "TRAMU_ROLE_KEY"
KEY_VARIABLES = (SUPABASE_URL, SUPABASE_ANON_KEY, TRAMU_ROLE_KEY)
FILE_SUFFIX = "_FILE"
# Sharding.
SHARD_COUNT = "FLIP_SHARD_COUNT"
SHARD_INDEX = "FLIP_SHARD_INDEX"
SCHEDULER_INDEX = "JOB_COMPLETION_INDEX"  # what a Kubernetes Indexed Job gives each pod
# What the launcher adds around a run.
MAX_FAILURES = "FLIP_MAX_FAILURES"
REPORT = "FLIP_REPORT"
PUSHGATEWAY_URL = "PUSHGATEWAY_URL"
# Rollout controls.
MAX_WRITES_PER_MINUTE = "FLIP_MAX_WRITES_PER_MINUTE"
SHARDS_AT_ONCE = "FLIP_SHARDS_AT_ONCE"
CANARY = "FLIP_CANARY"
CANARY_PAUSE = "FLIP_CANARY_PAUSE"
# The run ledger, and the rollout that the run belongs to.
LEDGER = "FLIP_LEDGER"
ROLLOUT = "FLIP_ROLLOUT"
LEDGER_BACKLOG = "FLIP_LEDGER_BACKLOG"  # outcomes waiting to be saved before writes wait
LEDGER_WAIT = "FLIP_LEDGER_WAIT"  # seconds a ledger that cannot be reached is waited for
FILE_VARIABLES = (*KEY_VARIABLES, LEDGER)  # besides the name list: a ledger URL may hold a password
# Watching a run: progress records every so many seconds (0: none); a live line on a terminal.
PROGRESS_SECONDS = "FLIP_PROGRESS_SECONDS"
TERM = "TERM"  # "dumb": a terminal that cannot redraw a line


# The settings in brief, for the commands' --help (the job's own --help needs the name list set).
HELP = f"""settings, all from the environment (docs/configuration.md has every detail):
  {NAMES}  comma-separated meter names to switch off (required)
  {SUPABASE_URL}  the registry: sqlite:///PATH, https://HOST or postgresql://... (required)
  {SUPABASE_ANON_KEY}, {TRAMU_ROLE_KEY}  the registry's keys; any text for SQLite (required)
  MEDIATOR_INVENTORY  a TOML file listing the mediators, or docker:[ENGINE] (required)
  <VAR>{FILE_SUFFIX}  read one of the four variables above, or {LEDGER}, from a file (names: one a line)
  MEDIATOR_CONNECT_TIMEOUT, MEDIATOR_READ_TIMEOUT, MEDIATOR_RETRIES, MEDIATOR_BACKOFF
      each mediator write's seconds and attempts (3, 10, 2, 0.25)
  MEDIATOR_VERIFY  none, or read-back: read each meter before and after its write (three requests a meter)
  MEDIATOR_CONFIRM_TIMEOUT  seconds for a write a mediator accepted (202) to be seen applied (300)
  MEDIATOR_CA_FILE  the CA that mediators' certificates must chain to (PEM)
  MEDIATOR_CLIENT_CERT_FILE, MEDIATOR_CLIENT_KEY_FILE  the job's certificate and key for mutual TLS
  MEDIATOR_TOKEN_FILE  a bearer token sent to every mediator, read again when the file changes
  REGISTRY_TIMEOUT, REGISTRY_PAGE_SIZE, REGISTRY_MAX_URL  the registry client (15, 1000, 4000)
  LOG_LEVEL, LOG_FORMAT  debug|info|warning|error|critical (info); json|console (console on a terminal, else json)
  {SHARD_COUNT}, {SHARD_INDEX} (or {SCHEDULER_INDEX})  run shard INDEX of COUNT
  {MAX_FAILURES}  stop the run after this many (50) or this share (10%) of failed meters
  {REPORT}  write a JSON report of every meter's outcome, and the names to run again
  {PUSHGATEWAY_URL}  push the run's metrics to a Prometheus Pushgateway (http://[USER:PASSWORD@]HOST:PORT)
  {MAX_WRITES_PER_MINUTE}, {SHARDS_AT_ONCE}  at most R mediator requests a minute for the whole rollout
  {CANARY}, {CANARY_PAUSE}  write a first wave (20, 1%) first; the rest only if it passes, after a pause
  {PROGRESS_SECONDS}  a progress record every this many seconds (1 or more) while meters are worked on (30; 0: none)
  {LEDGER}, {ROLLOUT}  keep each outcome in a ledger (sqlite:///PATH or postgresql://...) under
      a rollout; a run leaves out the names the rollout has already switched off
  {LEDGER_BACKLOG}  writes wait while this many outcomes wait to be saved (50)
  {LEDGER_WAIT}  seconds to wait for a ledger that cannot be reached, then exit status 12 (60)
"""


# The undo's settings in brief: the run's, less the name list and the shards.
UNDO_HELP = f"""settings, all from the environment (docs/undo.md and docs/configuration.md have every detail):
  {LEDGER} (or {LEDGER}{FILE_SUFFIX})  the rollout's ledger, where the undo finds what to put back and records itself (required)
  MEDIATOR_INVENTORY  a TOML file listing the mediators, or docker:[ENGINE] (required)
  MEDIATOR_CONNECT_TIMEOUT, MEDIATOR_READ_TIMEOUT, MEDIATOR_RETRIES, MEDIATOR_BACKOFF
      each mediator write's seconds and attempts (3, 10, 2, 0.25)
  MEDIATOR_VERIFY  none, or read-back: read each meter before and after its write (a meter already on is not written)
  MEDIATOR_CONFIRM_TIMEOUT  seconds for a write a mediator accepted (202) to be seen applied (300)
  MEDIATOR_CA_FILE, MEDIATOR_CLIENT_CERT_FILE, MEDIATOR_CLIENT_KEY_FILE, MEDIATOR_TOKEN_FILE  the job's credentials
  LOG_LEVEL, LOG_FORMAT  debug|info|warning|error|critical (info); json|console
  {MAX_FAILURES}  stop the undo after this many (50) or this share (10%) of failed meters
  {REPORT}  write a JSON report of every meter's outcome, and of the meters left as they are
  {PUSHGATEWAY_URL}  push the undo's metrics to a Prometheus Pushgateway (job prepay_enabled_flip_undo)
  {MAX_WRITES_PER_MINUTE}  at most R mediator requests a minute for the whole undo
  {CANARY}, {CANARY_PAUSE}  put back a first wave (20, 1%) first; the rest only if it passes, after a pause
  {PROGRESS_SECONDS}  a progress record every this many seconds (30; 0: none)
  {LEDGER_BACKLOG}, {LEDGER_WAIT}  as for a run (50 outcomes; 60 s)
  {ROLLOUT}, {NAMES}, {SHARD_COUNT}  ignored, with a warning
"""
