"""Errors of the formula language: one class, each with its position and a caret."""

from __future__ import annotations

import bisect
import unicodedata


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
