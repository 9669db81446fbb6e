"""Where each part of a chart goes: shared by the PNG and the HTML renderers (numpy only).

A chart has a price panel (candles, or a close line when the bars have no open/high/low), a
volume panel when the bars have volume, and one panel below for each group of output lines that
share a scale but not the price's. Signal lines and icons are markers on the price panel.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field

import numpy as np

from .model import Chart, Icon, Line, Number, StickLine, Text

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

# DRAWICON's type -> (marker, colour). 1 and 2 are the language's buy and sell arrows; the
# rest get distinct shapes.
ICONS = {
    1: ("up", UP),
    2: ("down", DOWN),
    3: ("circle", UP),
    4: ("circle", DOWN),
    5: ("star", "#f08c00"),
    6: ("diamond", "#8e44ad"),
    7: ("square", "#1f5fbf"),
}
# Names of signal lines read as selling: drawn as a falling marker above the bar.
_SELL = re.compile(r"SELL|SHORT|卖|空|^S[KP]?$", re.IGNORECASE)

_SHARE = 0.8  # share of a line's bars that must lie near the price for it to share its panel
_NEAR = 0.2  # "near": within 20 % of the price outside the bar's low..high
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


@dataclass
class Panel:
    kind: str  # "price", "volume" or "lines"
    lines: list[Line] = field(default_factory=list)
    drawings: list = field(default_factory=list)
    lo: float = np.inf  # the range of everything in the panel
    hi: float = -np.inf
    rlo: float = np.inf  # the typical range of its lines (2nd to 98th percentile)
    rhi: float = -np.inf


@dataclass
class Marker:
    name: str
    x: np.ndarray  # bar positions
    y: np.ndarray
    shape: str  # "up", "down", "circle", "star", "diamond", "square"
    color: str


@dataclass
class Plan:
    bars: Bars
    panels: list[Panel]  # price first, then volume (when there is volume), then line panels
    markers: list[Marker]  # on the price panel
    colors: dict[int, str]  # id(line) -> colour
    title: str
    warning: str | None


def width(w: int | None) -> float:
    """LINETHICKn as a line width in points (None: the default)."""
    return 1.3 if w is None else max(float(w), 0.6)


def truthy(cond: np.ndarray) -> np.ndarray:
    return np.isfinite(cond) & (cond != 0)


def plan(chart: Chart, last: int | None = None) -> Plan:
    bars = _bars(chart, last)
    n = bars.n
    start = len(chart.bars) - n

    def cut(name: str, values: np.ndarray) -> np.ndarray:
        values = np.asarray(values, dtype=np.float64)
        if values.shape != (len(chart.bars),):
            raise ValueError(
                f"chart: {name} has shape {values.shape}; expected one value per bar "
                f"({len(chart.bars)})"
            )
        return values[start:]

    price = Panel("price")
    panels = [price]
    if bars.volume is not None:
        panels.append(Panel("volume"))
    markers: list[Marker] = []
    colors: dict[int, str] = {}
    for i, line in enumerate(chart.lines):
        if not isinstance(line, Line):
            raise TypeError(f"chart.lines[{i}] is a {type(line).__name__}; expected a Line")
        values = cut(f"line {line.name!r}", line.values)
        line = Line(line.name, values, line.style, line.color, line.width, line.drawn, line.signal)
        if line.signal:
            hit = np.flatnonzero(values == 1)
            if hit.size:
                sell = bool(_SELL.search(line.name))
                y = bars.hi[hit] if sell else bars.lo[hit]
                color = line.color or (DOWN if sell else UP)
                markers.append(Marker(line.name, hit, y, "down" if sell else "up", color))
            continue
        if not line.drawn or not np.isfinite(values).any():
            continue
        colors[id(line)] = line.color or PALETTE[len(colors) % len(PALETTE)]
        if line.style not in STICKS and _near_price(values, bars):
            price.lines.append(line)
        else:
            _panel_for(panels, values, line.style in STICKS).lines.append(line)
    for i, d in enumerate(chart.drawings):
        kind = type(d).__name__
        if isinstance(d, Icon):
            cond, y = cut(f"drawing {i} ({kind}) cond", d.cond), cut(f"drawing {i} price", d.price)
            hit = np.flatnonzero(truthy(cond) & np.isfinite(y))
            if hit.size:
                shape, color = ICONS.get(int(d.icon), ("circle", PALETTE[int(d.icon) % 8]))
                markers.append(Marker(f"icon {int(d.icon)}", hit, y[hit], shape, color))
            continue
        if isinstance(d, StickLine):
            cond = cut(f"drawing {i} (STICKLINE) cond", d.cond)
            p1 = cut(f"drawing {i} (STICKLINE) price1", d.price1)
            p2 = cut(f"drawing {i} (STICKLINE) price2", d.price2)
            d = StickLine(cond, p1, p2, d.width, d.empty, d.color)
            ends = [p1, p2]
        elif isinstance(d, (Text, Number)):
            cond = cut(f"drawing {i} ({kind}) cond", d.cond)
            y = cut(f"drawing {i} ({kind}) price", d.price)
            if isinstance(d, Text):
                d = Text(cond, y, d.text, d.color)
            else:
                d = Number(cond, y, cut(f"drawing {i} (DRAWNUMBER) number", d.number), d.color)
            ends = [y]
        else:
            raise TypeError(
                f"chart.drawings[{i}] is a {kind}; expected StickLine, Text, Icon or Number"
            )
        ends = [np.where(truthy(cond), e, np.nan) for e in ends]
        ys = np.concatenate(ends)
        ys = ys[np.isfinite(ys)]
        if not ys.size:
            continue
        if all(_near_price(e, bars) for e in ends):
            price.drawings.append(d)
        else:
            _panel_holding(panels, ys).drawings.append(d)
    title = chart.title or ""
    return Plan(bars, panels, markers, colors, title, chart.warning or None)


def _bars(chart: Chart, last: int | None) -> Bars:
    frame = chart.bars
    if not (hasattr(frame, "iloc") and hasattr(frame, "index")):
        raise TypeError(f"chart.bars must be a pandas DataFrame, not {type(frame).__name__}")
    columns = {str(c).lower(): c for c in getattr(frame, "columns", ())}
    if "close" not in columns:
        raise ValueError(
            "chart.bars needs a 'close' column (and optionally open, high, low, volume); "
            f"it has {list(columns)}"
        )
    total = len(frame)
    if total == 0:
        raise ValueError("chart.bars has no rows: nothing to draw")
    if last is not None:
        if isinstance(last, bool) or not isinstance(last, int) or last < 1:
            raise ValueError(f"last must be a positive int or None; got {last!r}")
        frame = frame.iloc[max(total - last, 0) :]

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
    return inside.mean() >= _SHARE


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
