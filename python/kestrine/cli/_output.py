"""Formatting for people: sizes, counts, tables that fit the terminal, a progress bar."""

import os
import shutil
import time
from collections.abc import Sequence
from typing import TextIO

DEFAULT_WIDTH = 120  # when the output is not a terminal and $COLUMNS is unset


def human_size(n: int) -> str:
    if n < 1024:
        return f"{n} B"
    value = float(n)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        value /= 1024
        if value < 1024 or unit == "TiB":
            break
    return f"{value:.1f} {unit}"


def count(n: int, noun: str) -> str:
    """ "1 document", "2,870 documents"."""
    return f"{n:,} {noun}" if n == 1 else f"{n:,} {noun}s"


def output_width(stream: TextIO) -> int:
    if os.environ.get("COLUMNS", "").isdigit():
        return max(40, int(os.environ["COLUMNS"]))
    if stream.isatty():
        return max(40, shutil.get_terminal_size().columns)
    return DEFAULT_WIDTH


def one_line(text: str) -> str:
    return " ".join(text.split())


def shorten(text: str, width: int) -> str:
    text = one_line(text)
    if len(text) <= width:
        return text
    return text[: max(0, width - 1)] + "…"


def render_table(
    headers: Sequence[str],
    rows: Sequence[Sequence[str]],
    *,
    right: Sequence[int] = (),
    shrink: Sequence[tuple[int, int]] = (),
    width: int = DEFAULT_WIDTH,
) -> list[str]:
    """Columns two spaces apart, numbers right-aligned (the indexes in `right`). While a line is
    wider than `width`, the columns of `shrink`, (index, narrowest width) pairs, are cut in that
    order, each down to its narrowest width at most; cut cells end with an ellipsis."""
    widths = [max([len(h)] + [len(one_line(r[i])) for r in rows]) for i, h in enumerate(headers)]
    for column, narrowest in shrink:
        excess = sum(widths) + 2 * (len(widths) - 1) - width
        if excess <= 0:
            break
        widths[column] = max(widths[column] - excess, min(narrowest, widths[column]))

    def line(cells: Sequence[str]) -> str:
        out = []
        for i, cell in enumerate(cells):
            cell = shorten(cell, widths[i])
            out.append(cell.rjust(widths[i]) if i in right else cell.ljust(widths[i]))
        return "  ".join(out).rstrip()

    return [line(headers), *(line(r) for r in rows)]


class Progress:
    """A one-line progress bar redrawn in place on a terminal: count, share, rate."""

    BAR = 24

    def __init__(self, stream: TextIO, noun: str) -> None:
        self.stream = stream
        self.noun = noun
        self.start = time.monotonic()
        self.drawn = False

    def update(self, done: int, fraction: float | None) -> None:
        elapsed = max(time.monotonic() - self.start, 1e-9)
        parts = [f"{done:>10,} {self.noun}s"]
        if fraction is not None:
            filled = int(self.BAR * fraction)
            parts.append(f"{fraction:4.0%} [{'#' * filled}{'.' * (self.BAR - filled)}]")
        parts.append(f"{done / elapsed:,.0f}/s")
        self.stream.write("\r" + "  ".join(parts) + "\x1b[K")
        self.stream.flush()
        self.drawn = True

    def finish(self) -> None:
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
