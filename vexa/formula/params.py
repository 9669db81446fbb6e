"""The values of a formula's parameters: each one's value checked as a number, and the
error for parameters left without one."""

from __future__ import annotations

import math

import numpy as np

from .errors import FormulaError, did_you_mean, short

_MISSING_HELP = (
    "a value for each: Formula(text, NAME=value), f(data, NAME=value), -p NAME=value on "
    "the command line, or INPUT: NAME(value); in the formula"
)


def param_value(name, value):
    """A parameter's value as a float, or a FormulaError naming the parameter."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise FormulaError(
            f"parameter {short(str(name))}: a number is needed, not {type(value).__name__}"
        )
    try:
        number = float(value)
    except OverflowError:
        raise FormulaError(
            f"parameter {short(str(name))}: a finite number is needed, not an integer of "
            f"{int(value).bit_length()} bits (beyond the range of a double)"
        ) from None
    if not math.isfinite(number):
        raise FormulaError(f"parameter {short(str(name))}: a finite number is needed, not {number}")
    return number


def missing_error(program, missing):
    """The error for parameters without a value: unknown names, with close matches
    among the formula's names, at the first place one is read."""
    source = program.source
    hints = [(program.free.get(name, (None, ())), name) for name in missing]
    placed = [h for h in hints if h[0][0] is not None]
    pos = min(h[0][0] for h in placed) if placed else None
    if len(missing) == 1:
        (_, close), name = hints[0]
        if close:
            message = f"unknown name {short(name)}" + did_you_mean(close)
        else:
            message = f"unknown name {short(name)}: a parameter without a value"
    else:
        parts = [
            f"{short(name)} (did you mean {' or '.join(close)}?)" if close else short(name)
            for (_, close), name in hints
        ]
        message = "unknown names, parameters without a value: " + ", ".join(parts)
    if pos is None or source is None:
        return FormulaError(f"{message}; expected {_MISSING_HELP}")
    return source.error(message, source.position(pos), _MISSING_HELP)
