"""The job's own texts that the launcher matches: its logger, its table and the
messages of its records.

They are copied from the compiled module, which cannot import them; a test finds
each one in the built module, so the two cannot drift apart unnoticed.
"""

from __future__ import annotations

# The job's logger is named for its file when it runs as __main__.
JOB_LOGGER = "prepay_enabled_flip"
REGISTRY_TABLE = "meter_registry"

STARTING = "Starting prepay_enabled_flip job..."
ROW_START = "run_job for meter_row "  # joined with the row's str()
RUN_JOB = "run_job"
NO_MEDIATOR = "No mediator container exists for meter "
PREPAY_DISABLED = "prepay disabled"
MEDIATOR_FAILURE = "Mediator client failure"
UNKNOWN_FAILURE = "Unknown failure during prepay_enabled flag disable"
PUSHING_TOKEN_FAILURE = "Failure occurred pushing token"
ESCAPED = "Error processing meter: "  # joined with the exception's text
SUMMARY = "Finished prepay_enabled_flip job. Success: "  # joined with "N/M"

ALL = (
    JOB_LOGGER,
    REGISTRY_TABLE,
    STARTING,
    ROW_START,
    RUN_JOB,
    NO_MEDIATOR,
    PREPAY_DISABLED,
    MEDIATOR_FAILURE,
    UNKNOWN_FAILURE,
    PUSHING_TOKEN_FAILURE,
    ESCAPED,
    SUMMARY,
)
