"""Where each part of a chart goes: shared by the PNG and the HTML renderers (numpy only).

A chart has a price panel (candles, or a close line when the bars have no open/high/low), a
volume panel when the bars have volume, and one panel below for each group of output lines that
share a scale but neither the price's nor the volume's. Signal lines and icons are markers on
the price panel. Which panel a line goes to is decided over every bar of the chart, so a PNG of
the last bars and the HTML of all of them put each line in the same panel.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from ..formula.ops import truth
from .model import Icon, Line, Number, StickLine, Text

if TYPE_CHECKING:
    from .figure import Chart

UP = "#e0262b"  # a rising bar, a positive COLORSTICK bar (red: the language's convention)
DOWN = "#14a24a"  # a falling bar, a negative COLORSTICK bar (green)
FLAT = "#555555"  # a close line, drawings without a colour
PALETTE = (
    "#1f5fbf",
    "#f08c00",
    "#8e44ad",
    "#8c564b",
    "#d6338a",
    "#0d9aa8",
    "#9a9a1a",
    "#6c757d",
)
STICKS = frozenset({"stick", "colorstick", "volstick", "linestick"})

# Signal outputs, in order of appearance on each side of the bars: the first buy is the
# language's red arrow under the bar, the first sell its green arrow over it; the next ones
# differ from every other in shape and colour.
BUY_MARKS = (
    ("up", UP),
    ("diamond", "#f08c00"),
    ("circle", "#8e44ad"),
    ("square", "#d6338a"),
    ("star", "#8c564b"),
    ("hex", "#9a9a1a"),
)
SELL_MARKS = (
    ("down", DOWN),
    ("diamond", "#1f5fbf"),
    ("circle", "#0d9aa8"),
    ("square", "#6c757d"),
    ("star", "#000000"),
    ("hex", "#17becf"),
)
# DRAWICON's type -> (marker, colour, side). 1 and 2 are the language's buy and sell arrows
# (under and over their price); the rest are centred on it.
ICONS = {
    1: ("up", UP, -1),
    2: ("down", DOWN, 1),
    3: ("circle", UP, 0),
    4: ("circle", DOWN, 0),
    5: ("star", "#f08c00", 0),
    6: ("diamond", "#8e44ad", 0),
    7: ("square", "#1f5fbf", 0),
}
# Names of signal lines read as selling: drawn as a falling marker above the bar.
_SELL = re.compile(r"SELL|SHORT|卖|空|^S[KP]?$", re.IGNORECASE)

# Markers and the texts beside them are stacked away from their bar in points, the same on
# the page and on screen: a marker MARK wide, then GAP, then the next marker or a text line.
MARK = 7.0
GAP = 2.0
TEXT = 10.0  # the height of one line of the drawings' 8-point type
MIN_CONTRAST = 3.0  # against the white background (the measure of the web's accessibility rules)

_SHARE = 0.8  # share of a line's bars that must lie near the price for it to share its panel
_NEAR = 0.2  # "near": within 20 % of the price outside the bar's low..high
_VOLUME = 4.0  # on the volume's scale: within a factor of 4 of the bar's volume (on _SHARE)
_OVERLAP = 0.4  # lines share a panel when their typical ranges overlap this much (of the union)


@dataclass
class Bars:
    n: int
    labels: list[str]  # one per bar: the date or the bar number
    close: np.ndarray
    open: np.ndarray | None = None  # open, high and low all present or all None
    high: np.ndarray | None = None
    low: np.ndarray | None = None
    volume: np.ndarray | None = None

    @property
    def candles(self) -> bool:
        return self.open is not None

    @property
    def lo(self) -> np.ndarray:
        return self.low if self.low is not None else self.close

    @property
    def hi(self) -> np.ndarray:
        return self.high if self.high is not None else self.close

    @property
    def rising(self) -> np.ndarray:
        if self.open is not None:
            return self.close >= self.open
        prev = np.concatenate([[np.nan], self.close[:-1]])
        return ~(self.close < prev)

    def since(self, start: int) -> Bars:
        def cut(a):
            return None if a is None else a[start:]

        return Bars(
            self.n - start,
            self.labels[start:],
            self.close[start:],
            cut(self.open),
            cut(self.high),
            cut(self.low),
            cut(self.volume),
        )


@dataclass
class Panel:
    kind: str  # "price", "volume" or "lines"
    lines: list[Line] = field(default_factory=list)
    drawings: list = field(default_factory=list)  # StickLine and Texts
    lo: float = np.inf  # the range of everything in the panel
    hi: float = -np.inf
    rlo: float = np.inf  # the typical range of its lines (2nd to 98th percentile)
    rhi: float = -np.inf
    reach: tuple[float, float] = (0.0, 0.0)  # points drawn under and over the bars' range


@dataclass
class Marker:
    name: str
    x: np.ndarray  # bar positions
    y: np.ndarray  # where each is anchored: the bar's low or high, or the icon's price
    shape: str  # "up", "down", "circle", "star", "diamond", "square", "hex"
    color: str
    side: int = 0  # -1: under its anchor, 1: over it, 0: centred on it
    offset: np.ndarray = field(default_factory=lambda: np.zeros(0))  # points from the anchor
    # to the marker's centre (up is positive), one per marker


@dataclass
class Texts:
    """A DRAWTEXT or DRAWNUMBER as drawn: each text at (x, y) moved by offset points, over
    its point (above) or hanging under it."""

    x: np.ndarray
    y: np.ndarray
    text: list[str]
    offset: np.ndarray
    above: np.ndarray
    color: str
    kind: str = "Text"  # or "Number"


@dataclass
class Plan:
    bars: Bars
    panels: list[Panel]  # price first, then volume (when there is volume), then line panels
    markers: list[Marker]  # on the price panel
    colors: dict[int, str]  # id(line) -> colour
    labels: dict[int, str]  # id(line) -> its legend entry: the name and the last bar's value
    title: str  # the chart's title and the bars drawn
    warning: str | None
    total: int = 0  # bars of the chart (bars.n of them are drawn)
    shown: int = 0  # bars in view first (the last ones)


def width(w: int | None) -> float:
    """LINETHICKn as a line width in points (None: the default)."""
    return 1.3 if w is None else max(float(w), 0.6)


def number(v: float) -> str:
    """A value as the legend shows it: 34.85M, 27.72, 0.09342."""
    a = abs(v)
    for div, suffix in ((1e9, "B"), (1e6, "M"), (1e3, "K")):
        if a >= max(div, 1e5):
            return f"{v / div:.2f}{suffix}"
    return f"{v:.2f}" if a >= 1 or v == 0 else f"{v:.4g}"


def label(line: Line) -> str:
    """The legend's entry of a line: its name and its value at the last bar drawn."""
    v = line.values[-1] if line.values.size else np.nan
    return f"{line.name} {number(float(v))}" if np.isfinite(v) else line.name


def plan(chart: Chart, last: int | None = None, every_bar: bool = False) -> Plan:
    """Where everything goes. Panels are chosen over every bar of the chart; the plan holds
    the last `last` bars (None: all), or every bar with `every_bar` (the HTML, which opens on
    the last `last`)."""
    full = _bars(chart)
    total = full.n
    if last is not None and (
        isinstance(last, bool) or not isinstance(last, (int, np.integer)) or last < 1
    ):
        raise ValueError(f"last must be a positive int or None; got {last!r}")
    shown = total if last is None else min(int(last), total)
    start = 0 if every_bar else total - shown
    bars = full.since(start) if start else full

    def series(name: str, values) -> np.ndarray:
        values = np.asarray(values, dtype=np.float64)
        if values.shape != (total,):
            raise ValueError(
                f"chart: {name} has shape {values.shape}; expected one value per bar ({total})"
            )
        return values

    price = Panel("price")
    panels = [price]
    volume = None
    if full.volume is not None:
        v = full.volume[np.isfinite(full.volume)]
        volume = Panel("volume", lo=min(0.0, float(v.min())), hi=max(0.0, float(v.max())))
        panels.append(volume)
    markers: list[Marker] = []
    colors: dict[int, str] = {}
    labels: dict[int, str] = {}
    signals = {-1: 0, 1: 0}  # signal lines so far under and over the bars
    for i, line in enumerate(chart.lines):
        if not isinstance(line, Line):
            raise TypeError(f"chart.lines[{i}] is a {type(line).__name__}; expected a Line")
        values = series(f"line {line.name!r}", line.values)
        if not line.drawn:
            continue
        if line.signal:
            side = 1 if _SELL.search(line.name) else -1
            marks = SELL_MARKS if side > 0 else BUY_MARKS
            shape, color = marks[signals[side] % len(marks)]
            signals[side] += 1
            anchor = bars.hi if side > 0 else bars.lo
            hit = np.flatnonzero(truth(values[start:]) & np.isfinite(anchor))
            color = _on_white(line.color) or color
            markers.append(Marker(line.name, hit, anchor[hit], shape, color, side))
            continue
        if not np.isfinite(values).any():
            continue
        drawn = Line(line.name, values[start:], line.style, line.color, line.width)
        colors[id(drawn)] = _on_white(line.color) or PALETTE[len(colors) % len(PALETTE)]
        labels[id(drawn)] = label(drawn)
        if line.style not in STICKS and _near_price(values, full):
            price.lines.append(drawn)
        elif volume is not None and _near_volume(values, full.volume):
            volume.lines.append(drawn)
            volume.lo = min(volume.lo, float(np.nanmin(values)))
            volume.hi = max(volume.hi, float(np.nanmax(values)))
        else:
            _panel_for(panels, values, line.style in STICKS).lines.append(drawn)
    texts: list[Texts] = []  # on the price panel, placed beside its markers below
    for i, d in enumerate(chart.drawings):
        kind = type(d).__name__
        if isinstance(d, Icon):
            cond, y = (
                series(f"drawing {i} ({kind}) cond", d.cond),
                series(f"drawing {i} price", d.price),
            )
            if not (truth(cond) & np.isfinite(y)).any():
                continue
            shape, color, side = ICONS.get(int(d.icon), ("circle", PALETTE[int(d.icon) % 8], 0))
            hit = np.flatnonzero(truth(cond[start:]) & np.isfinite(y[start:]))
            markers.append(Marker(f"icon {int(d.icon)}", hit, y[start:][hit], shape, color, side))
            continue
        if isinstance(d, StickLine):
            cond = series(f"drawing {i} (STICKLINE) cond", d.cond)
            p1 = series(f"drawing {i} (STICKLINE) price1", d.price1)
            p2 = series(f"drawing {i} (STICKLINE) price2", d.price2)
            color = _on_white(d.color)
            item = StickLine(cond[start:], p1[start:], p2[start:], d.width, d.empty, color)
            ends = [p1, p2]
        elif isinstance(d, (Text, Number)):
            cond = series(f"drawing {i} ({kind}) cond", d.cond)
            y = series(f"drawing {i} ({kind}) price", d.price)
            hit = truth(cond) & np.isfinite(y)
            if isinstance(d, Number):
                num = series(f"drawing {i} (DRAWNUMBER) number", d.number)
                hit &= np.isfinite(num)
                words = [f"{v:.2f}" for v in num[start:][hit[start:]]]
            else:
                words = [d.text] * int(hit[start:].sum())
            at = np.flatnonzero(hit[start:])
            item = Texts(
                at.astype(np.float64),
                y[start:][at],
                words,
                np.zeros(at.size),
                np.ones(at.size, dtype=bool),
                _on_white(d.color) or FLAT,
                kind,
            )
            ends = [y]
        else:
            raise TypeError(
                f"chart.drawings[{i}] is a {kind}; expected StickLine, Text, Icon or Number"
            )
        ends = [np.where(truth(cond), e, np.nan) for e in ends]
        ys = np.concatenate(ends)
        ys = ys[np.isfinite(ys)]
        if not ys.size:
            continue
        if all(_near_price(e, full) for e in ends):
            price.drawings.append(item)
            if isinstance(item, Texts):
                texts.append(item)
        elif volume is not None and all(_near_volume(e, full.volume) for e in ends):
            volume.drawings.append(item)
        else:
            _panel_holding(panels, ys).drawings.append(item)
    price.reach = _stack(markers, texts, bars)
    title = _title(chart.title or "", full.labels, start, total, shown, every_bar)
    return Plan(bars, panels, markers, colors, labels, title, chart.warning or None, total, shown)


def _stack(markers: list[Marker], texts: list[Texts], bars: Bars) -> tuple[float, float]:
    """Stacks the markers of each bar away from it (under the bar for buying ones, over it
    for selling ones), then the texts on that side of the bar beyond them, so that nothing
    drawn at one bar covers anything else. Returns the points used under and over."""
    anchor: dict[tuple[int, int], float] = {}  # (bar, side) -> the stack's outermost anchor
    for m in markers:
        if m.side:
            pick = min if m.side < 0 else max
            for x, y in zip(m.x.tolist(), m.y.tolist()):
                k = (x, m.side)
                anchor[k] = pick(anchor[k], y) if k in anchor else y
    depth: dict[tuple[int, int], float] = {}  # (bar, side) -> points used so far
    for m in markers:
        m.offset = np.zeros(m.x.size)
        if not m.side:
            continue
        for j, x in enumerate(m.x.tolist()):
            k = (x, m.side)
            d = depth.get(k, GAP)
            m.offset[j] = m.side * (d + MARK / 2)
            m.y[j] = anchor[k]
            depth[k] = d + MARK + GAP
    mid = (bars.lo + bars.hi) / 2
    for t in texts:
        for j, x in enumerate(t.x.astype(np.int64).tolist()):
            k = (x, -1 if t.y[j] <= mid[x] else 1)
            if k not in depth:
                continue  # no marker on that side of the bar: the text stays at its price
            t.y[j], t.offset[j], t.above[j] = anchor[k], k[1] * depth[k], k[1] > 0
            depth[k] += TEXT + GAP
    under = max((d for (_, s), d in depth.items() if s < 0), default=0.0)
    over = max((d for (_, s), d in depth.items() if s > 0), default=0.0)
    return under, over


def _title(title: str, labels: list[str], start: int, total: int, shown: int, every: bool):
    """The title followed by the bars drawn: how many, and their first and last dates."""

    def count(k: int) -> str:
        return f"{k:,} bar" + ("" if k == 1 else "s")

    def dates(a: int) -> str:
        return labels[a] if a == total - 1 else f"{labels[a]} to {labels[total - 1]}"

    if every:
        span = f"{count(total)}, {dates(0)}"
        if shown < total:
            span += f" (the last {shown:,} in view)"
    elif shown < total:
        span = f"the last {shown:,} of {count(total)}, {dates(start)}"
    else:
        span = f"{count(total)}, {dates(0)}"
    return f"{title} \u2014 {span}" if title else span


def _on_white(color: str | None) -> str | None:
    """A formula's colour as drawn here. The language's charts are black, so formulas draw in
    white (COLORWHITE), yellow or light colours what this chart's white background would hide:
    a colour with less than MIN_CONTRAST against white is darkened, keeping its hue (a grey
    is turned to its opposite: white is drawn black)."""
    if color is None or len(color) != 7 or color[0] != "#":
        return color
    try:
        rgb = np.array([int(color[k : k + 2], 16) for k in (1, 3, 5)], dtype=np.float64)
    except ValueError:
        return color
    if contrast(rgb) >= MIN_CONTRAST:
        return color
    if rgb.max() - rgb.min() <= 0x20:
        rgb = 255.0 - rgb
    else:
        lo, hi = 0.0, 1.0  # the largest scale of the colour that is dark enough
        for _ in range(30):
            k = (lo + hi) / 2
            lo, hi = (k, hi) if contrast(np.floor(rgb * k)) >= MIN_CONTRAST else (lo, k)
        rgb = np.floor(rgb * lo)
    return "#" + "".join(f"{int(c):02x}" for c in rgb)


def contrast(rgb) -> float:
    """The contrast ratio of a colour (0..255 per channel) against white."""
    c = np.asarray(rgb, dtype=np.float64) / 255.0
    linear = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
    return 1.05 / (float(linear @ np.array([0.2126, 0.7152, 0.0722])) + 0.05)


def _bars(chart: Chart) -> Bars:
    frame = chart.bars
    if not (hasattr(frame, "iloc") and hasattr(frame, "index")):
        raise TypeError(f"chart.bars must be a pandas DataFrame, not {type(frame).__name__}")
    columns = {str(c).lower(): c for c in getattr(frame, "columns", ())}
    if "close" not in columns:
        raise ValueError(
            "chart.bars needs a 'close' column (and optionally open, high, low, volume); "
            f"it has {list(columns)}"
        )
    if len(frame) == 0:
        raise ValueError("chart.bars has no rows: nothing to draw")

    def col(name: str) -> np.ndarray | None:
        if name not in columns:
            return None
        return np.asarray(frame[columns[name]], dtype=np.float64)

    ohlc = [col(c) for c in ("open", "high", "low")]
    if any(c is None for c in ohlc):
        ohlc = [None, None, None]
    volume = col("volume")
    if volume is not None and not np.isfinite(volume).any():
        volume = None
    return Bars(len(frame), _labels(frame.index), col("close"), *ohlc, volume)


def _labels(index) -> list[str]:
    if hasattr(index, "strftime"):  # a DatetimeIndex
        times = index
        daily = bool(len(times)) and bool(
            ((times.hour == 0) & (times.minute == 0) & (times.second == 0)).all()
        )
        return list(times.strftime("%Y-%m-%d" if daily else "%Y-%m-%d %H:%M"))
    return [str(v) for v in index]


def _near_price(values: np.ndarray, bars: Bars) -> bool:
    """Whether a series lives on the price's scale: most of its bars lie near the bar."""
    lo, hi = bars.lo, bars.hi
    ok = np.isfinite(values) & np.isfinite(lo) & np.isfinite(hi)
    if not ok.any():
        return False
    v, lo, hi = values[ok], lo[ok], hi[ok]
    tol = _NEAR * np.maximum(np.abs(lo), np.abs(hi))
    inside = (v >= lo - tol) & (v <= hi + tol)
    if inside.mean() >= _SHARE:
        return True
    # A level that trails the price (a trough, a stop, a long average) strays further from
    # the bar but stays within a factor of two of it, and inside the price's own range.
    if (lo <= 0).any():
        return False
    ratio = v / lo
    span = hi.max() - lo.min()
    rlo, rhi = np.percentile(v, [2.0, 98.0])
    return (
        ((ratio >= 0.5) & (ratio <= 2.0)).mean() >= _SHARE
        and rlo >= lo.min() - 0.1 * span
        and rhi <= hi.max() + 0.1 * span
    )


def _near_volume(values: np.ndarray, volume: np.ndarray) -> bool:
    """Whether a series lives on the volume's scale (the volume itself, its averages): most
    of its bars lie within a factor of _VOLUME of the bar's volume."""
    ok = np.isfinite(values) & np.isfinite(volume) & (volume > 0)
    if not ok.any():
        return False
    ratio = values[ok] / volume[ok]
    return ((ratio >= 1 / _VOLUME) & (ratio <= _VOLUME)).mean() >= _SHARE


def _panel_for(panels: list[Panel], values: np.ndarray, from_zero: bool) -> Panel:
    """The first line panel whose lines' typical range overlaps this line's, else a new one.

    Typical ranges (2nd to 98th percentile, from zero for sticks) keep an oscillator around 50
    apart from one around 0 even when their extremes overlap; a level line (one value) joins
    the first panel whose range holds it.
    """
    v = values[np.isfinite(values)]
    lo, hi = float(v.min()), float(v.max())
    rlo, rhi = (float(q) for q in np.percentile(v, [2.0, 98.0]))
    if from_zero:
        lo, hi, rlo, rhi = min(lo, 0.0), max(hi, 0.0), min(rlo, 0.0), max(rhi, 0.0)
    for p in panels:
        if p.kind != "lines":
            continue
        if rlo == rhi:
            fits = p.lo <= rlo <= p.hi
        elif p.rlo == p.rhi:
            fits = rlo <= p.rlo <= rhi
        else:
            common = min(rhi, p.rhi) - max(rlo, p.rlo)
            fits = common >= _OVERLAP * (max(rhi, p.rhi) - min(rlo, p.rlo))
        if fits:
            break
    else:
        p = Panel("lines")
        panels.append(p)
    p.lo, p.hi = min(p.lo, lo), max(p.hi, hi)
    p.rlo, p.rhi = min(p.rlo, rlo), max(p.rhi, rhi)
    return p


def _panel_holding(panels: list[Panel], ys: np.ndarray) -> Panel:
    """The line panel holding most of a drawing's values (the first such), else a new one."""
    for p in panels:
        if p.kind == "lines":
            pad = 0.1 * (p.hi - p.lo)
            if ((ys >= p.lo - pad) & (ys <= p.hi + pad)).mean() >= 0.5:
                return p
    p = Panel("lines", lo=float(ys.min()), hi=float(ys.max()))
    panels.append(p)
    return p
