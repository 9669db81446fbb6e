"""What every function's prose is made of: `Doc`, and the passages that several
functions share (warm-up rules, how a missing value flows)."""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass(frozen=True)
class Doc:
    computes: str  # what the function computes, in formula terms
    params: dict[str, str]  # parameter name -> what it is
    warmup: str  # which leading bars are NaN
    missing: str  # how a NaN in the input shows in the result
    example: str  # a doctest: ">>> ..." lines and the output
    notes: tuple[str, ...] = field(default=())


def per_bar(what: str, fixed: str, window: str) -> str:
    return (
        f"{what} At each bar i the period P is N[i] truncated toward zero (2.9 counts as "
        f"2), and {window} Every window is computed afresh, with nothing carried from one "
        f"bar to the next. This is {fixed} with a period that can change from bar to bar."
    )


PER_BAR_WARMUP = (
    "Bar i needs P <= i, that is P + 1 bars up to and including itself: bar 0 never has a "
    "value, and with one period P for every bar the first value stands at bar P, one bar "
    "later than with the fixed period. Leading NaNs are not skipped."
)
PER_BAR_PERIODS = (
    "A period that is NaN, zero, negative, or beyond the 32-bit range gives NaN at its bar only."
)
RECURSIVE_WARMUP = (
    "None: leading NaNs stay NaN, and the first value that is not NaN is the first result "
    "itself (the seed of the recursion)."
)
RECURSIVE_MISSING = (
    "Every bar builds on the one before it, so a NaN after the first value makes that bar "
    "and every later bar NaN."
)
SKIP_WARMUP = (
    "Leading NaNs are skipped: the first window starts at the first value that is not NaN "
    "(bar f), and bars before f + N - 1 are NaN. When fewer than N bars remain from f on, "
    "every bar is NaN."
)
EXTREME_WARMUP = (
    "None: the first bars use the bars there are (a window is never longer than the bars so far)."
)
COUNTER_MISSING = (
    "x is true where it is non-zero and not NaN. The result holds whole numbers and no NaN."
)
DISPERSION_MISSING = (
    "The mean comes from a running total of every value since the first one, so a NaN "
    "after the first value makes that bar (or the first full window) and every later bar "
    "NaN, also after it has left the window; an infinity makes every bar NaN from the first "
    "window that holds it."
)


def ahead(when: str) -> str:
    return f"Looks ahead: {when}, bar i reads a later bar, which a backtest must not do."


def dispersion(measure: str, divisor: str, example: str, extra: str = "") -> Doc:
    return Doc(
        computes=(
            f"The {measure} of the last N values of a (divisor {divisor}). The window's mean "
            "is a running total divided by N (the value leaving subtracted first, then the "
            "entering one added); the deviations from it are summed afresh for every window, "
            f"from its oldest bar to its newest.{extra}"
        ),
        params={"a": "The values.", "N": "The window length in bars."},
        warmup=SKIP_WARMUP,
        missing=DISPERSION_MISSING,
        example=example,
    )


def counter(computes: str, example: str) -> Doc:
    return Doc(
        computes=computes,
        params={"x": "The condition."},
        warmup="None.",
        missing=COUNTER_MISSING,
        example=example,
    )
