"""Tables for a person at a terminal: the run's closing summary and the plan.

rich lays them out to the terminal's width; it is imported only by the commands
that write to a terminal. On a pipe each command keeps its own plain text.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TextIO

from rich import box
from rich.console import Console
from rich.table import Table
from rich.text import Text


def write_table(
    stream: TextIO,
    columns: Sequence[str],
    rows: Sequence[Sequence[object]],
    *,
    title: str | None = None,
    numeric: Sequence[str] = (),
    lines: Sequence[str] = (),
) -> None:
    """One table on ``stream``, then ``lines`` of plain text beneath it; ``numeric`` columns align right."""
    # Cells are Text, never markup: a meter's name or an error's text may hold "[...]".
    table = Table(
        title=None if title is None else Text(title, style="bold"),
        title_justify="left",
        box=box.SIMPLE_HEAD,
        header_style="bold",
        pad_edge=False,
    )
    for column in columns:
        table.add_column(column, justify="right" if column in numeric else "left", overflow="fold")
    for row in rows:
        table.add_row(*(Text("" if cell is None else f"{cell:,}" if type(cell) is int else str(cell)) for cell in row))
    console = Console(file=stream, highlight=False, emoji=False)
    console.print(table)
    for line in lines:
        console.print(Text(line))
