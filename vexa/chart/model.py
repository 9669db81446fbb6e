"""What a chart is given: the bars of one symbol, a formula's output lines and its drawings.

Pure data over numpy; nothing here imports a plotting library. The formula engine fills these
objects and `vexa.chart.draw` renders them.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas

__all__ = ["STYLES", "Chart", "Icon", "Line", "MissingGlyphWarning", "Number", "StickLine", "Text"]


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


@dataclass
class Chart:
    """One symbol's bars with a formula's lines and drawings.

    bars: a pandas DataFrame indexed by time (DatetimeIndex) or bar number, with columns open,
    high, low, close, volume (lower case); open/high/low and volume may be absent (a close line
    is drawn instead of candles). drawings: StickLine, Text, Icon and Number in statement order.
    title: shown above the chart, followed by the number of bars drawn and their dates.
    warning: shown under the title (e.g. that the formula looks ahead). last: the bars drawn
    in a PNG, the last ones (None: all); an HTML chart keeps every bar and opens on them.
    symbol: the symbol drawn, when known.

    In a notebook a chart displays itself: `_repr_html_` gives the interactive chart (an
    inline frame holding the whole offline HTML file, about 1.5 MB) and `_repr_png_` the
    PNG (`vexa.chart.png(chart)` and `vexa.chart.html(chart)` give them);
    `vexa.chart.draw(chart, "x.png")` or `"x.html"` writes a file.
    """

    bars: pandas.DataFrame
    lines: list[Line] = field(default_factory=list)
    drawings: list[StickLine | Text | Icon | Number] = field(default_factory=list)
    title: str = ""
    warning: str | None = None
    last: int | None = None
    symbol: str | None = None

    def _repr_png_(self) -> bytes:
        from . import png

        return png(self)

    def _repr_html_(self) -> str:
        import html

        from . import _page

        text, height = _page(self)
        return (
            f'<iframe srcdoc="{html.escape(text, quote=True)}" style="width: 100%; '
            f'height: {height}px; border: none" title="{html.escape(self.title)}"></iframe>'
        )
