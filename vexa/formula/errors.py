"""Errors of the formula language: one class, each with its position and a caret."""

from __future__ import annotations

import bisect
import contextvars
import shlex
import unicodedata
from contextlib import contextmanager


class FormulaError(ValueError):
    """A formula that cannot be compiled or evaluated.

    `line` and `column` count from 1 (the column in characters); `source_line` is the
    line of the formula text, and `str()` shows it with a caret under the fault and what
    was expected there. Errors without a place in the text (bad data, a missing
    parameter value at the call) have `line` None.
    """

    def __init__(self, message, line=None, column=None, source_line=None, expected=None):
        super().__init__(message)
        self.message = message
        self.line = line
        self.column = column
        self.source_line = source_line
        self.expected = expected

    def __str__(self):
        if self.line is None:
            return self.message
        text = f"line {self.line}, column {self.column}: {self.message}"
        if self.expected:
            text += f"; expected {self.expected}"
        if self.source_line is not None:
            shown, caret = _excerpt(self.source_line, self.column)
            text += f"\n  {shown}\n  {' ' * _width(shown[:caret])}^"
        return text

    def __reduce__(self):
        return (
            type(self),
            (self.message, self.line, self.column, self.source_line, self.expected),
        )


# Lines are cut to this many characters around the fault, so that an error about a
# megabyte-long line stays short.
_SHOWN = 80


def _excerpt(line, column):
    """(the part of `line` shown, the caret's offset in it) for a 1-based column."""
    line = line.replace("\t", " ")
    at = max(column - 1, 0)
    start = max(0, at - _SHOWN // 2)
    end = min(len(line), start + _SHOWN)
    shown = line[start:end]
    if start > 0:
        shown = "..." + shown
        at += 3
    if end < len(line):
        shown += "..."
    return _printable(shown), at - start


def _width(text):
    """Columns that `text` takes in a terminal: East Asian wide characters take two."""
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def _printable(text):
    """The text with control characters (NUL included) shown as escapes of one cell."""
    return "".join(c if c.isprintable() else "?" for c in text)


class Source:
    """The text of a formula, with the lines that errors quote."""

    def __init__(self, text):
        self.text = text
        self._lines = None
        self._starts = None

    def position(self, offset):
        """(line, column) of a character offset, both from 1."""
        if self._starts is None:
            starts = [0]
            find = self.text.find
            at = find("\n")
            while at >= 0:
                starts.append(at + 1)
                at = find("\n", at + 1)
            self._starts = starts
        line = bisect.bisect_right(self._starts, offset)
        return line, offset - self._starts[line - 1] + 1

    def line(self, number):
        if self._lines is None:
            self._lines = self.text.split("\n")
        if 1 <= number <= len(self._lines):
            return self._lines[number - 1].rstrip("\r")
        return ""

    def error(self, message, pos, expected=None):
        """A FormulaError at `pos`, a (line, column) pair."""
        line, column = pos
        return FormulaError(message, line, column, self.line(line), expected)


class DataError(ValueError):
    """Data that a formula cannot be evaluated over: a missing or ambiguous column,
    values that are not numbers, rows that cannot be ordered in time."""


class DataWarning(UserWarning):
    """Data that a formula was evaluated over as it is, with something the caller should
    know: a symbol column used to group the rows without by=, missing values."""


class MissingDataWarning(DataWarning):
    """Missing values inside a symbol's bars of a field the formula reads: every later
    value of a running total (MA, SUM, EMA, STD, ...) over them is missing too."""


# ---- quoting what the caller gave ---------------------------------------------------

QUOTED = 60  # characters of a quoted name or value shown in a message


def quote(value, limit=QUOTED):
    """`value` as a message quotes it: repr() of text, str() of other values, cut to
    about `limit` characters (with how long it was), control characters escaped."""
    text = repr(value) if isinstance(value, str) else str(value)
    if len(text) <= limit:
        return _printable(text)
    head = _printable(text[: limit - 5])
    size = f"{len(value):,} characters" if isinstance(value, str) else f"{len(text):,} in all"
    return f"{head}... ({size})"


def short(text, width=40):
    """`text` cut to `width` characters, ending in "..." where it was longer."""
    return text if len(text) <= width else text[: width - 3] + "..."


def did_you_mean(close):
    """ "; did you mean A or B?" for close matches, or nothing."""
    if not close:
        return ""
    return "; did you mean " + " or ".join(close) + "?"


def number(v):
    """A number as a message writes it: a whole number without a fraction."""
    v = float(v)
    return str(int(v)) if v.is_integer() and abs(v) < 1e16 else repr(v)


def quote_list(names, limit=12):
    """Up to `limit` of `names`, each quoted and cut, with how many there are in all."""
    names = list(names)
    shown = ", ".join(quote(n, 40) for n in names[:limit])
    if len(names) > limit:
        shown += f", ... ({len(names):,} in all)"
    return shown or "none"


# ---- naming an argument as the caller writes it --------------------------------------

_COMMAND_LINE = contextvars.ContextVar("vexa_command_line", default=False)
_FLAGS = {
    "by": "--by",
    "time": "--time",
    "time_format": "--time-format",
    "columns": "--column",
    "fill": "--fill",
    "when": "--when",
    "date": "--date",
    "sort": "--sort",
    "top": "--top",
}


@contextmanager
def command_line():
    """Within it, messages name arguments by their command-line flags."""
    token = _COMMAND_LINE.set(True)
    try:
        yield
    finally:
        _COMMAND_LINE.reset(token)


def arg(name, value=None):
    """The argument `name` (a keyword of Formula's call) as the caller writes it:
    `time=` in Python, `--time` on the command line; with a value, the whole argument.
    For columns the value is a (field, column) pair."""
    cli = _COMMAND_LINE.get()
    if value is None:
        return _FLAGS.get(name, name) if cli else f"{name}="
    if name == "columns":
        field, column = value
        if cli:
            return f"--column {shlex.quote(f'{field}={column}')}"
        return f"columns={{{field!r}: {quote(column, 40)}}}"
    if cli:
        return f"{_FLAGS.get(name, name)} {shlex.quote(str(value))}"
    return f"{name}={quote(value, 40)}"
