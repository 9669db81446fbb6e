"""What formulas draw: the drawing statements (kept for the chart, never computed with)
and the drawing attributes of output lines (colours, widths, styles)."""

from __future__ import annotations

from .func import COND, REAL, SERIES, TEXT, Func
from .lexer import fold

# Drawing statements kept for the chart: (name, params, summary).
DRAWN = {
    "STICKLINE": (
        (("COND", COND), ("PRICE1", SERIES), ("PRICE2", SERIES), ("WIDTH", REAL), ("EMPTY", REAL)),
        "A bar from PRICE1 to PRICE2 where COND holds",
    ),
    "DRAWTEXT": (
        (("COND", COND), ("PRICE", SERIES), ("TEXT", TEXT)),
        "TEXT at PRICE where COND holds",
    ),
    "DRAWICON": (
        (("COND", COND), ("PRICE", SERIES), ("TYPE", REAL)),
        "Icon number TYPE at PRICE where COND holds",
    ),
    "DRAWNUMBER": (
        (("COND", COND), ("PRICE", SERIES), ("NUMBER", SERIES)),
        "The value of NUMBER at PRICE where COND holds",
    ),
}
# The rest of the drawing vocabulary: parsed and checked, reported as not drawn.
NOT_DRAWN = (
    "DRAWLINE",
    "POLYLINE",
    "PLOYLINE",
    "PARTLINE",
    "DRAWKLINE",
    "DRAWBAND",
    "FILLRGN",
    "DRAWGBK",
    "DRAWSL",
    "VERTLINE",
    "DRAWTEXT_FIX",
    "DRAWNUMBER_FIX",
    "DRAWBMP",
    "DRAWRECTREL",
    "DRAWTEXTABS",
    "DRAWTEXTREL",
    "DRAWFLAGTEXT",
    "DRAWCOLORLINE",
    "DRAWCOLORKLINE",
    "DRAWRECTANGLE",
    "DRAWARC",
    "DRAWELLIPSE",
    "EXPLAIN",
)

# Definitions of the table's language-own rows (QX_EXTRA), for the docs and `vexa

DRAWING = [Func(name, params, summary, "draw") for name, (params, summary) in DRAWN.items()] + [
    Func(name, (), "Drawing statement (parsed, not drawn)", "nodraw", variadic=True)
    for name in NOT_DRAWN
]

# ---- drawing attributes ---------------------------------------------------------

# The named colours, as #rrggbb.
COLORS = {
    "COLORBLACK": "#000000",
    "COLORBLUE": "#0000ff",
    "COLORGREEN": "#00ff00",
    "COLORCYAN": "#00ffff",
    "COLORRED": "#ff0000",
    "COLORMAGENTA": "#ff00ff",
    "COLORBROWN": "#804000",
    "COLORLIGRAY": "#c0c0c0",
    "COLORGRAY": "#808080",
    "COLORLIBLUE": "#8080ff",
    "COLORLIGREEN": "#80ff80",
    "COLORLICYAN": "#80ffff",
    "COLORLIRED": "#ff8080",
    "COLORLIMAGENTA": "#ff80ff",
    "COLORYELLOW": "#ffff00",
    "COLORWHITE": "#ffffff",
}
STYLES = {
    "STICK": "stick",
    "COLORSTICK": "colorstick",
    "VOLSTICK": "volstick",
    "LINESTICK": "linestick",
    "DOTLINE": "dotline",
    "POINTDOT": "pointdot",
    "CROSSDOT": "crossdot",
    "CIRCLEDOT": "circledot",
}
# Attributes that parse but change nothing that vexa draws.
IGNORED_ATTRIBUTES = (
    "NOTEXT",
    "NOTITLE",
    "DRAWABOVE",
    "NOFRAME",
    "DASHLINE",
    "DASHDOTLINE",
    "DASHDOT2LINE",
    "LINEDOT",
    "NOKLINE",
)


def attribute(name, numbers=None):
    """The meaning of a drawing attribute: ("color", "#rrggbb"), ("width", k),
    ("style", s), ("nodraw", True) or ("ignored", NAME); None when unknown. `numbers`:
    the numbers in parentheses after the name (RGB(255,0,0)), or None; a ValueError says
    what is wrong with them."""
    upper = fold(name)
    if numbers is not None:
        if upper != "RGB":
            return None
        if len(numbers) != 3 or not all(v.is_integer() and 0 <= v <= 255 for v in numbers):
            raise ValueError("RGB takes three whole numbers from 0 to 255: RGB(red,green,blue)")
        return ("color", "#" + "".join(f"{int(v):02x}" for v in numbers))
    if upper in COLORS:
        return ("color", COLORS[upper])
    if upper.startswith("COLOR") and len(upper) == 11:
        hexa = upper[5:]
        if all(c in "0123456789ABCDEF" for c in hexa):
            # The language writes blue, green, red.
            return ("color", "#" + (hexa[4:6] + hexa[2:4] + hexa[0:2]).lower())
    if upper.startswith("LINETHICK") and len(upper) == 10 and upper[9] in "0123456789":
        return ("width", int(upper[9]))
    if upper in STYLES:
        return ("style", STYLES[upper])
    if upper == "NODRAW":
        return ("nodraw", True)
    if upper in IGNORED_ATTRIBUTES:
        return ("ignored", upper)
    return None


ATTRIBUTE_NAMES = (
    tuple(COLORS)
    + tuple(STYLES)
    + ("NODRAW", "COLORxxxxxx", "RGB", "LINETHICK1", "LINETHICK2", "LINETHICK3")
    + IGNORED_ATTRIBUTES
)
