"""Charts of a formula over one symbol's bars: a PNG (matplotlib) or an offline HTML file (bokeh).

The plotting libraries are the optional extra ``chart`` (``pip install "vexa[chart]"``) and are
imported only when a chart is drawn. `vexa.Formula(text).chart(data, symbol=...)` makes a chart
of a formula; in a notebook it displays itself.
"""

from __future__ import annotations

from .figure import Chart, draw, html, png
from .model import STYLES, Icon, Line, MissingGlyphWarning, Number, StickLine, Text

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
