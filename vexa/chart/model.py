"""What a chart draws beside the bars: a formula's output lines and its drawings.

Pure data over numpy; nothing here imports a plotting library. The formula engine fills these
objects, a `vexa.chart.Chart` holds them and `vexa.chart.draw` renders them.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

__all__ = ["STYLES", "Icon", "Line", "MissingGlyphWarning", "Number", "StickLine", "Text"]


class MissingGlyphWarning(UserWarning):
    """A chart's names or texts have characters that no installed font draws (given once a
    process, with the package that provides them)."""


# The drawing styles an output line may have (the formula's STICK, COLORSTICK, ... attributes).
STYLES = (
    "line",
    "stick",
    "colorstick",
    "volstick",
    "linestick",
    "dotline",
    "pointdot",
    "crossdot",
    "circledot",
)


def _series(value: Any) -> np.ndarray:
    return np.asarray(value, dtype=np.float64)


@dataclass
class Line:
    """One output line of a formula.

    values: float64, one per bar (NaN: nothing drawn at that bar). color: "#rrggbb" or None
    (the chart picks). width: LINETHICK0..9 or None (default). drawn: False for NODRAW.
    signal: every value is 0, 1 or NaN; drawn as markers at the bars where it is 1.
    """

    name: str
    values: np.ndarray
    style: str = "line"
    color: str | None = None
    width: int | None = None
    drawn: bool = True
    signal: bool = False

    def __post_init__(self) -> None:
        self.values = _series(self.values)
        if self.style not in STYLES:
            raise ValueError(f"Line.style must be one of {', '.join(STYLES)}; got {self.style!r}")


@dataclass
class StickLine:
    """STICKLINE(COND, PRICE1, PRICE2, WIDTH, EMPTY): a bar from price1 to price2 where cond."""

    cond: np.ndarray
    price1: np.ndarray
    price2: np.ndarray
    width: float = 1.0
    empty: float = 0.0
    color: str | None = None

    def __post_init__(self) -> None:
        self.cond, self.price1, self.price2 = map(_series, (self.cond, self.price1, self.price2))


@dataclass
class Text:
    """DRAWTEXT(COND, PRICE, TEXT): the text at price where cond."""

    cond: np.ndarray
    price: np.ndarray
    text: str
    color: str | None = None

    def __post_init__(self) -> None:
        self.cond, self.price = _series(self.cond), _series(self.price)


@dataclass
class Icon:
    """DRAWICON(COND, PRICE, TYPE): icon number TYPE at price where cond."""

    cond: np.ndarray
    price: np.ndarray
    icon: int

    def __post_init__(self) -> None:
        self.cond, self.price = _series(self.cond), _series(self.price)


@dataclass
class Number:
    """DRAWNUMBER(COND, PRICE, NUMBER): the value of number at price where cond."""

    cond: np.ndarray
    price: np.ndarray
    number: np.ndarray
    color: str | None = None

    def __post_init__(self) -> None:
        self.cond, self.price, self.number = map(_series, (self.cond, self.price, self.number))
