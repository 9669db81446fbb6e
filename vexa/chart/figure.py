"""A chart (one symbol's bars with a formula's lines and drawings) and its drawing: a PNG
(matplotlib) or an offline HTML file (bokeh), the plotting library imported only then."""

from __future__ import annotations

import html as _text
import io
import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, TypeVar

from . import _layout
from .model import Icon, Line, Number, StickLine, Text

if TYPE_CHECKING:
    import pandas

__all__ = ["Chart", "draw", "html", "png"]


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
        return png(self)

    def _repr_html_(self) -> str:
        text, height = _page(self)
        return (
            f'<iframe srcdoc="{_text.escape(text, quote=True)}" style="width: 100%; '
            f'height: {height}px; border: none" title="{_text.escape(self.title)}"></iframe>'
        )


_P = TypeVar("_P", str, os.PathLike)
_SUFFIXES = (".png", ".html", ".htm")


def draw(chart: Chart, path: _P, *, last: int | None = None) -> _P:
    """Draw a chart to path and return path.

    The suffix chooses the format: ``.png`` (matplotlib) or ``.html``/``.htm`` (one
    self-contained interactive file that needs no network). The price panel shows candles (a
    close line when the bars have no open, high and low), then volume with the lines on its
    scale, then one panel for each group of output lines that share a scale but neither the
    price's nor the volume's. The title states how many bars are drawn, and their dates.

    last: draw only the last N bars in a PNG; in HTML, all bars are kept and the last N are
    shown first (zoom out or pan to see the rest). None: chart.last (None there: every bar).
    """
    _check(chart)
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if suffix not in _SUFFIXES:
        raise ValueError(
            f"draw: cannot tell the format of {os.fspath(path)!r}; the path must end in "
            f"{', '.join(_SUFFIXES)}"
        )
    last = chart.last if last is None else last
    # The chart is checked before the plotting library is imported, so a bad chart is
    # reported as such even where the library is missing. HTML keeps every bar.
    plan = _layout.plan(chart, last, every_bar=suffix != ".png")
    if suffix == ".png":
        from . import _png as backend
    else:
        from . import _html as backend
    backend.draw(plan, path, last)
    return path


def png(chart: Chart, *, last: int | None = None) -> bytes:
    """The chart as PNG bytes (what draw writes to a .png file)."""
    _check(chart)
    last = chart.last if last is None else last
    plan = _layout.plan(chart, last)
    from . import _png

    out = io.BytesIO()
    _png.draw(plan, out, last)
    return out.getvalue()


def html(chart: Chart, *, last: int | None = None) -> str:
    """The chart as an HTML page (what draw writes to a .html file)."""
    return _page(chart, last)[0]


def _page(chart: Chart, last: int | None = None) -> tuple[str, int]:
    """The HTML page and its height in pixels."""
    _check(chart)
    last = chart.last if last is None else last
    plan = _layout.plan(chart, last, every_bar=True)
    from . import _html

    return _html.page(plan, last)


def _check(chart) -> None:
    if not isinstance(chart, Chart):
        raise TypeError(f"draw: chart must be a vexa.chart.Chart, not {type(chart).__name__}")
