"""Charts of a formula over one symbol's bars: a PNG (matplotlib) or an offline HTML file (bokeh).

The plotting libraries are the optional extra ``chart`` (``pip install "vexa[chart]"``) and are
imported only when a chart is drawn. `vexa.Formula(text).chart(data, symbol=...)` makes a chart
of a formula; in a notebook it displays itself.
"""

from __future__ import annotations

import io
import os
from typing import TypeVar

from . import _layout
from .model import STYLES, Chart, Icon, Line, MissingGlyphWarning, Number, StickLine, Text

__all__ = [
    "STYLES",
    "Chart",
    "Icon",
    "Line",
    "MissingGlyphWarning",
    "Number",
    "StickLine",
    "Text",
    "draw",
    "html",
    "png",
]

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
