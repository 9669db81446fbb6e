"""Charts of a formula over one symbol's bars: a PNG (matplotlib) or an offline HTML file.

The plotting libraries are the optional extra ``chart`` (``pip install "vexa[chart]"``) and are
imported only when a chart is drawn.
"""

from .model import STYLES, Chart, Icon, Line, Number, StickLine, Text

__all__ = ["STYLES", "Chart", "Icon", "Line", "Number", "StickLine", "Text"]
