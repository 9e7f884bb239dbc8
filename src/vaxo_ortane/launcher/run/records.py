"""The launcher's own records, beside the job's."""

from __future__ import annotations

import functools
import sys
from typing import Any

from vaxo_ortane.util.logging import get_logger

# The name operators' log queries know, kept from before the launcher had a package of its own.
LOGGER_NAME = "vaxo_ortane.jobs.launch"
# What an undo's report and metrics name it by, where a run's name the job.
UNDO_JOB = "prepay_enabled_flip_undo"


def record(level: str, message: str, **fields: object) -> None:
    """Write one of the launcher's records through the project's logger.

    The logger is made at the first record, so a run that needs none makes none.
    Should it fail, the record still reaches standard error as plain text: a stop
    must not depend on the logging settings.
    """
    try:
        getattr(_logger(), level)(message, **fields)
    except Exception as exc:
        print(f"{message} ({fields}; the logger failed: {exc!r})", file=sys.stderr, flush=True)


@functools.cache
def _logger() -> Any:
    return get_logger(LOGGER_NAME)
