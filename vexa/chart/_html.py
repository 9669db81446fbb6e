"""A chart as one self-contained interactive HTML file through bokeh (its JavaScript inline)."""

from __future__ import annotations

import html as _text

import numpy as np

from . import _layout as L

try:
    from bokeh.embed import file_html
    from bokeh.layouts import gridplot
    from bokeh.models import (
        ColumnDataSource,
        CustomJS,
        CustomJSTickFormatter,
        HoverTool,
        Range1d,
    )
    from bokeh.plotting import figure
    from bokeh.resources import INLINE
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        'drawing an HTML chart needs bokeh: pip install "vexa[chart]"', name=exc.name
    ) from exc

_MARKERS = {
    "up": "triangle",
    "down": "inverted_triangle",
    "circle": "circle",
    "star": "star",
    "diamond": "diamond",
    "square": "square",
    "hex": "hex",
}
_SIZE = {"star": 1.3, "diamond": 1.1, "circle": 0.9}
_PT = 4.0 / 3.0  # pixels in a point (CSS)
_DOTS = {"pointdot": "circle", "crossdot": "x", "circledot": "circle"}
_PX = 1.3  # a line width in points, as screen pixels
_HEIGHT = {"price": 420, "volume": 130}
_LINES_HEIGHT = 190

# Keeps each panel's vertical range fitted to the bars in view as the chart is panned or zoomed,
# with room for the markers and texts stacked under and over the bars (in pixels of a panel
# `tall` pixels high). _fit computes the same for the first view.
_FIT_Y = """
const n = src.data.x.length;
const i0 = Math.max(0, Math.floor(xr.start)), i1 = Math.min(n - 1, Math.ceil(xr.end));
for (const [yr, cols, zero, under, over, tall] of panels) {
    let lo = zero ? 0 : Infinity, hi = zero ? 0 : -Infinity;
    for (const c of cols) {
        const a = src.data[c];
        for (let i = i0; i <= i1; i++) {
            const v = a[i];
            if (Number.isFinite(v)) { if (v < lo) lo = v; if (v > hi) hi = v; }
        }
    }
    if (lo <= hi) {
        const pad = (hi - lo) * 0.05 || Math.abs(hi) * 0.05 || 1;
        const a = under ? (under + 4) / tall : 0, b = over ? (over + 4) / tall : 0;
        const span = (hi - lo || 2 * pad) / Math.max(1 - a - b, 0.2);
        yr.start = lo - Math.max(pad, a * span);
        yr.end = hi + Math.max(pad, b * span);
    }
}
"""
# A marker moved by its offset: dy[i] pixels up from its point (bar i's), in its shape.
_MARK = """
export default (args, obj, {i, r}) => {
    const p = new Path2D(), y = -args.dy[i], s = args.shape;
    if (s === "up" || s === "down") {
        const k = s === "up" ? 1 : -1;
        p.moveTo(0, y - k * r);
        p.lineTo(r, y + k * 0.8 * r);
        p.lineTo(-r, y + k * 0.8 * r);
    } else if (s === "diamond") {
        p.moveTo(0, y - r); p.lineTo(0.75 * r, y); p.lineTo(0, y + r); p.lineTo(-0.75 * r, y);
    } else if (s === "square") {
        p.rect(-0.8 * r, y - 0.8 * r, 1.6 * r, 1.6 * r);
    } else if (s === "star" || s === "hex") {
        const k = s === "star" ? 10 : 6;
        for (let j = 0; j < k; j++) {
            const t = Math.PI * 2 * j / k - Math.PI / 2;
            const d = s === "star" && j % 2 ? 0.45 * r : r;
            if (j) p.lineTo(d * Math.cos(t), y + d * Math.sin(t));
            else p.moveTo(d * Math.cos(t), y + d * Math.sin(t));
        }
    } else {
        p.arc(0, y, r, 0, 2 * Math.PI);
    }
    p.closePath();
    return p;
};
"""
_SHORT = """
for (const [d, s] of [[1e9, "B"], [1e6, "M"], [1e3, "K"]]) {
    if (Math.abs(tick) >= d) return +(tick / d).toFixed(1) + s;
}
return String(tick);
"""
_TICK = """
const i = Math.round(tick);
return (i >= 0 && i < labels.length && Math.abs(tick - i) < 1e-6) ? labels[i] : "";
"""


def draw(plan, path, last: int | None = None) -> None:
    html, _ = page(plan, last)
    with open(path, "w", encoding="utf-8") as f:
        f.write(html)


def page(plan, last: int | None = None) -> tuple[str, int]:
    """The chart as one HTML page, and the page's height in pixels (about). The title and the
    warning are the page's own text above the chart, wrapped to the page's width."""
    grid, tall = _layout(plan, last)
    html = file_html(grid, INLINE, title=plan.title or "vexa chart")
    head = f'<h1 style="font-size: 16px; margin: 0 0 4px 0">{_text.escape(plan.title)}</h1>'
    if plan.warning:
        head += (
            '<p style="font-size: 13px; color: #c0392b; margin: 0">'
            f"\u26a0 {_text.escape(plan.warning)}</p>"
        )
    head = (
        '<header style="font-family: sans-serif; color: #222222; margin: 4px 8px 6px 8px; '
        f'overflow-wrap: anywhere">{head}</header>'
    )
    # The page's own <body> tag (the inline JavaScript above it holds the text too).
    at = html.index("<body>", html.rindex("</head>")) + len("<body>")
    lines = sum(1 + len(t) // 140 for t in (plan.title, plan.warning) if t)
    height = tall + 60 + 22 * lines
    return html[:at] + head + html[at:], height


class _Data:
    """Every series of the chart as one column source, so hovering and fitting see them all."""

    def __init__(self, n: int) -> None:
        self.source = ColumnDataSource({"x": np.arange(n, dtype=np.float64)})
        self.data = self.source.data

    def add(self, values, prefix: str) -> str:
        name = f"{prefix}{len(self.data)}"
        self.data[name] = values
        return name

    def masked(self, hit: np.ndarray, values: np.ndarray, prefix: str) -> str:
        return self.add(np.where(hit, values, np.nan), prefix)


def _layout(plan: L.Plan, last: int | None):
    bars, n = plan.bars, plan.bars.n
    data = _Data(n)
    src = data.source
    data.data["date"] = bars.labels
    updown = np.where(bars.rising, L.UP, L.DOWN)
    data.data["updown"] = updown
    start = -1.0 if last is None else max(n - last, 0) - 1.0
    x_range = Range1d(start, float(n), bounds=(-1.0, float(n)))
    tools = "xpan,xwheel_zoom,box_zoom,reset,save"
    figs, fits, hover_for = [], [], []
    for panel in plan.panels:
        fig = figure(
            height=_HEIGHT.get(panel.kind, _LINES_HEIGHT),
            sizing_mode="stretch_width",
            x_range=x_range,
            y_range=Range1d(0, 1),
            tools=tools,
            active_scroll="xwheel_zoom",
            active_drag="xpan",
        )
        fig.xgrid.grid_line_color = "#eeeeee"
        fig.ygrid.grid_line_color = "#eeeeee"
        fig.min_border_left = 70
        cols: list[str] = []
        zero = False
        tips = [("date", "@date")]
        main = None
        if panel.kind == "price":
            if bars.candles:
                for name in ("open", "high", "low", "close"):
                    data.data[name] = getattr(bars, name)
                    tips.append((name, "@{" + name + "}{0,0.00}"))
                data.data["top"] = np.fmax(bars.open, bars.close)
                data.data["bottom"] = np.fmin(bars.open, bars.close)
                fig.segment("x", "high", "x", "low", color="updown", source=src)
                main = fig.vbar(
                    "x", 0.7, "top", "bottom", fill_color="updown", line_color="updown", source=src
                )
                cols += ["high", "low"]
            else:
                data.data["close"] = bars.close
                main = fig.line(
                    "x", "close", color=L.FLAT, line_width=1.5, legend_label="close", source=src
                )
                tips.append(("close", "@close{0,0.00}"))
                cols.append("close")
            if bars.volume is not None:
                tips.append(("volume", "@volume{0,0}"))
        elif panel.kind == "volume":
            data.data["volume"] = bars.volume
            main = fig.vbar("x", 0.7, "volume", 0, fill_color="updown", line_color=None, source=src)
            fig.yaxis.formatter = CustomJSTickFormatter(code=_SHORT)
            fig.yaxis.axis_label = "volume"
            tips.append(("volume", "@volume{0,0}"))
            cols.append("volume")
            zero = True
        for line in panel.lines:
            col = data.add(line.values, "l")
            r = _line(fig, data, col, line, plan.colors[id(line)], plan.labels[id(line)])
            main = main or r
            tips.append((line.name, "@{" + col + "}{0,0.00[00]}"))
            cols.append(col)
            zero = zero or line.style in L.STICKS
        for d in panel.drawings:
            cols += _drawing(fig, data, d)
        if panel.kind != "price" and max(abs(panel.lo), abs(panel.hi)) >= 1e5:
            fig.yaxis.formatter = CustomJSTickFormatter(code=_SHORT)
        reach = (0.0, 0.0)
        if panel.kind == "price":
            for m in plan.markers:
                cols.append(_marker(fig, data, m))
            reach = tuple(_PT * r for r in panel.reach)
        tall = _HEIGHT.get(panel.kind, _LINES_HEIGHT) - 40
        fig.y_range.start, fig.y_range.end = _fit(data, cols, zero, start, n, *reach, tall)
        fits.append([fig.y_range, cols, zero, *reach, tall])
        if main is not None:
            hover_for.append((fig, main, tips))
        if fig.legend:
            fig.legend.location = "top_left"
            fig.legend.orientation = "horizontal"
            fig.legend.click_policy = "hide"
            fig.legend.background_fill_alpha = 0.7
            fig.legend.label_text_font_size = "8pt"
            fig.legend.spacing = 8
            fig.legend.padding = 4
            fig.legend.margin = 4
        figs.append(fig)
    for fig, main, tips in hover_for:
        fig.add_tools(HoverTool(renderers=[main], tooltips=tips, mode="vline"))
    fit = CustomJS(args={"src": src, "xr": x_range, "panels": fits}, code=_FIT_Y)
    x_range.js_on_change("start", fit)
    x_range.js_on_change("end", fit)
    fmt = CustomJSTickFormatter(args={"labels": bars.labels}, code=_TICK)
    for fig in figs[:-1]:
        fig.xaxis.major_label_text_font_size = "0pt"
        fig.xaxis.major_tick_line_color = None
    figs[-1].xaxis.formatter = fmt
    grid = gridplot(
        [[f] for f in figs], sizing_mode="stretch_width", toolbar_location="right", merge_tools=True
    )
    return grid, sum(f.height for f in figs)


def _marker(fig, data: _Data, m: L.Marker) -> str:
    """A marker series on the price panel: each marker moved by its offset (in screen pixels,
    the same at any zoom) through a marker drawn by the page; the legend shows the plain
    marker."""
    n = len(data.data["x"])
    y, dy = np.full(n, np.nan), np.zeros(n)
    x = m.x.astype(np.int64)
    y[x], dy[x] = m.y, _PT * m.offset
    col = data.add(y, "m")
    size = _PT * L.MARK * _SIZE.get(m.shape, 1.0)
    mark = CustomJS(args={"dy": dy.tolist(), "shape": m.shape}, code=_MARK)
    fig.scatter(
        "x",
        col,
        marker="@mark",
        defs={"@mark": mark},
        size=size,
        fill_color=m.color,
        line_color="white",
        line_width=0.5,
        source=data.source,
    )
    # The legend's entry: the same marker, drawn nowhere else.
    fig.scatter(
        "x",
        data.add(np.full(n, np.nan), "k"),
        marker=_MARKERS.get(m.shape, "circle"),
        size=size,
        fill_color=m.color,
        line_color="white",
        legend_label=m.name,
        source=data.source,
    )
    # The chart fits its range to where the markers sit; their offsets are kept free by the
    # panel's reach.
    return col


def _line(fig, data: _Data, col: str, line: L.Line, color: str, label: str):
    lw = L.width(line.width) * _PX
    src = data.source
    style = line.style
    if style in L.STICKS:
        if style == "colorstick":
            fill = data.add(np.where(line.values > 0, L.UP, L.DOWN), "c")
        elif style == "volstick":
            fill = "updown"
        else:
            fill = color
        r = fig.vbar(
            "x", 0.6, col, 0, fill_color=fill, line_color=None, legend_label=label, source=src
        )
        if style == "linestick":
            fig.line("x", col, color=color, line_width=lw, legend_label=label, source=src)
        return r
    if style in _DOTS:
        return fig.scatter(
            "x",
            col,
            marker=_DOTS[style],
            size=2 + lw if style == "pointdot" else 3 + 2 * lw,
            line_color=color,
            fill_color=None if style == "circledot" else color,
            legend_label=label,
            source=src,
        )
    dash = "dotted" if style == "dotline" else "solid"
    return fig.line(
        "x", col, color=color, line_width=lw, line_dash=dash, legend_label=label, source=src
    )


def _drawing(fig, data: _Data, d) -> list[str]:
    if isinstance(d, L.StickLine):
        color = d.color or L.FLAT
        hit = L.truth(d.cond) & np.isfinite(d.price1) & np.isfinite(d.price2)
        lo = data.masked(hit, np.fmin(d.price1, d.price2), "s")
        hi = data.masked(hit, np.fmax(d.price1, d.price2), "s")
        frac = min(max(float(d.width), 0.0) / 10.0, 1.0)
        if frac == 0.0:
            fig.segment("x", lo, "x", hi, color=color, line_width=1, source=data.source)
        else:
            empty = bool(np.isfinite(d.empty) and d.empty != 0)
            fig.vbar(
                "x",
                frac,
                hi,
                lo,
                fill_color=None if empty else color,
                line_color=color,
                line_width=1 if empty else 0,
                source=data.source,
            )
        return [lo, hi]
    n = len(data.data["x"])
    x = d.x.astype(np.int64)
    y, text = np.full(n, np.nan), np.full(n, "", dtype=object)
    dy, base = np.zeros(n), np.full(n, "bottom", dtype=object)
    y[x], text[x], dy[x] = d.y, d.text, -_PT * d.offset
    base[x] = np.where(d.above, "bottom", "top")
    col = data.add(y, "t")
    fig.text(
        "x",
        col,
        text=data.add(text.tolist(), "tx"),
        y_offset=data.add(dy, "ty"),
        text_baseline=data.add(base.tolist(), "tb"),
        text_color=d.color,
        text_font_size="9pt",
        text_align="center",
        source=data.source,
    )
    return [col]


def _fit(
    data: _Data,
    cols: list[str],
    zero: bool,
    start: float,
    n: int,
    under: float = 0.0,
    over: float = 0.0,
    tall: float = 1.0,
) -> tuple[float, float]:
    """The panel's initial vertical range: what _FIT_Y computes, for the bars first in view."""
    i0 = max(0, int(np.floor(start)))
    lo, hi = (0.0, 0.0) if zero else (np.inf, -np.inf)
    for c in cols:
        v = np.asarray(data.data[c], dtype=np.float64)[i0:n]
        v = v[np.isfinite(v)]
        if v.size:
            lo, hi = min(lo, float(v.min())), max(hi, float(v.max()))
    if lo > hi:
        return 0.0, 1.0
    pad = (hi - lo) * 0.05 or abs(hi) * 0.05 or 1.0
    a = (under + 4) / tall if under else 0.0
    b = (over + 4) / tall if over else 0.0
    span = (hi - lo or 2 * pad) / max(1 - a - b, 0.2)
    return lo - max(pad, a * span), hi + max(pad, b * span)
