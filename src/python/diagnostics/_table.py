"""One way to show every result: a list of tables, printed as text, shown
by IPython as that text and by Jupyter as HTML.

A result type describes itself once, by `_tables()`: each `Table` has a
title, a header (or none), rows of already formatted cells and notes; the
three displays are rendered from that description alone, so that they
cannot disagree.
"""

from __future__ import annotations

import dataclasses
import html
from collections.abc import Sequence
from typing import Any


@dataclasses.dataclass(frozen=True)
class Table:
    """One table: a `title` line, a `header` (empty for none), `rows` of
    formatted cells and `notes` printed below it.

    `align` holds one character per column, "l" or "r"; by default the
    first column is left-aligned and the others right-aligned.
    """

    title: str = ""
    header: tuple[str, ...] = ()
    rows: tuple[tuple[str, ...], ...] = ()
    notes: tuple[str, ...] = ()
    align: str = ""

    def alignment(self, n_columns: int) -> str:
        return self.align or ("l" + "r" * (n_columns - 1) if n_columns else "")


def _text(table: Table) -> list[str]:
    lines = [table.title] if table.title else []
    grid = ([table.header] if table.header else []) + list(table.rows)
    n_columns = max((len(row) for row in grid), default=0)
    widths = [max(len(row[j]) for row in grid if j < len(row)) for j in range(n_columns)]
    alignment = table.alignment(n_columns)
    for row in grid:
        cells = [cell.ljust(widths[j]) if alignment[j] == "l" else cell.rjust(widths[j])
                 for j, cell in enumerate(row)]
        lines.append(("  " + "  ".join(cells)).rstrip())
    lines += [f"  {note}" for note in table.notes]
    return lines


def render_text(tables: Sequence[Table]) -> str:
    """The tables as plain text, one after another."""
    return "\n".join(line for table in tables for line in _text(table))


def _html(table: Table) -> str:
    def cells(tag: str, values: Sequence[str], alignment: str) -> str:
        return "".join(
            f'<{tag} style="text-align:{"left" if side == "l" else "right"}">'
            f"{html.escape(value)}</{tag}>" for value, side in zip(values, alignment))

    n_columns = max([len(table.header)] + [len(row) for row in table.rows])
    alignment = table.alignment(n_columns)
    parts = [f"<p><b>{html.escape(table.title)}</b></p>"] if table.title else []
    if table.header or table.rows:
        head = (f"<thead><tr>{cells('th', table.header, alignment)}</tr></thead>"
                if table.header else "")
        body = "".join(f"<tr>{cells('td', row, alignment)}</tr>" for row in table.rows)
        parts.append(f"<table>{head}<tbody>{body}</tbody></table>")
    parts += [f"<p>{html.escape(note)}</p>" for note in table.notes]
    return "".join(parts)


def render_html(tables: Sequence[Table]) -> str:
    """The tables as HTML, every text escaped."""
    return "<div>" + "".join(_html(table) for table in tables) + "</div>"


class Tabular:
    """Gives a result `__str__`, `_repr_pretty_` (IPython) and `_repr_html_`
    (Jupyter) from its `_tables()`."""

    def _tables(self) -> list[Table]:
        raise NotImplementedError

    def __str__(self) -> str:
        return render_text(self._tables())

    def _repr_html_(self) -> str:
        return render_html(self._tables())

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(f"{type(self).__name__}(...)" if cycle else str(self))


def convergence_note(success: bool, message: str) -> tuple[str, ...]:
    """The line every output built on a fit carries when the fit did not
    converge (none when it did)."""
    if success:
        return ()
    return (f"NOT CONVERGED: the fit stopped before its maximum ({message})",)
