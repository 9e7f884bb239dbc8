"""The job's settings read from files named by ``<VAR>_FILE``.

A key in the environment shows in ``/proc/<pid>/environ`` and in a container's
inspect output, and one environment string is capped at 128 KiB, too short for a
large name list. So each of the job's four variables may instead name a file:
a mounted secret for a key, one name a line for the list. The launcher resolves
them into the process's own environment before the job module reads it.

Errors name the variables and the path, never a file's content: it is a secret
until proven otherwise.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, MutableMapping

from vaxo_ortane.util.text_files import TextFileError, read_utf8

# A key or an address is a few KiB at most; a names file has no such bound.
KEY_FILE_LIMIT = 64 * 1024


class FileValueError(Exception):
    """A ``<VAR>_FILE`` setting that cannot be used; names variables and path only."""


def resolve_file_values(
    environ: MutableMapping[str, str], names_variable: str | None, text_variables: Iterable[str], suffix: str
) -> None:
    """Replace every ``<VAR><suffix>`` of the name list ``names_variable`` (if any) and the
    ``text_variables`` by ``<VAR>`` holding its value.

    The ``_FILE`` entry is removed once resolved, so the mapping holds one spelling
    of each setting and a second call changes nothing. A text file holds its value
    and, usually, the newline that `echo` or an editor adds.
    """
    for variable in (*(() if names_variable is None else (names_variable,)), *text_variables):
        file_variable = variable + suffix
        path = environ.get(file_variable)
        if path is None:
            continue
        if variable in environ:
            raise FileValueError(f"{variable} and {file_variable} are both set; set only one of them")
        if not path:
            raise FileValueError(f"{file_variable} is empty; set it to the path of a file")
        if variable == names_variable:
            names = read_names_file(path, file_variable)
            if not names:
                # The job would read an empty list as one empty name.
                raise FileValueError(f"{file_variable}={path} holds no meter name")
            value = ",".join(names)
        else:
            value = _read_text(path, file_variable, KEY_FILE_LIMIT).removesuffix("\n")
            if "\0" in value:
                raise FileValueError(f"{file_variable}={path} holds a NUL character, which no setting may hold")
        environ[variable] = value
        del environ[file_variable]


def read_names_file(path: str | os.PathLike[str], variable: str) -> list[str]:
    """The meter names of a names file, in file order, repeats kept.

    One name a line; blanks around a name are dropped and blank lines skipped.
    A name holding a comma is refused, since the job splits its list on commas.
    """
    text = _read_text(path, variable).removeprefix("\ufeff")
    names: list[str] = []
    for number, line in enumerate(text.split("\n"), start=1):
        name = line.strip()
        if not name:
            continue
        if "," in name:
            raise FileValueError(
                f"{variable}={os.fspath(path)} line {number}: a meter name holds a comma, "
                "which the job takes as a separator"
            )
        if "\0" in name:
            raise FileValueError(f"{variable}={os.fspath(path)} line {number}: a meter name holds a NUL character")
        names.append(name)
    return names


def _read_text(path: str | os.PathLike[str], variable: str, limit: int | None = None) -> str:
    try:
        return read_utf8(path, limit)
    except TextFileError as exc:
        raise FileValueError(f"{variable}={os.fspath(path)} {exc}") from None
