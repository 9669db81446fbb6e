"""A chart as one self-contained interactive HTML file through bokeh (its JavaScript inline)."""

from __future__ import annotations

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
        Title,
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
}
_DOTS = {"pointdot": "circle", "crossdot": "x", "circledot": "circle"}
_PX = 1.3  # a line width in points, as screen pixels
_HEIGHT = {"price": 420, "volume": 130}
_LINES_HEIGHT = 190

# Keeps each panel's vertical range fitted to the bars in view as the chart is panned or zoomed.
_FIT_Y = """
const n = src.data.x.length;
const i0 = Math.max(0, Math.floor(xr.start)), i1 = Math.min(n - 1, Math.ceil(xr.end));
for (const [yr, cols, zero] of panels) {
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
        yr.start = lo - pad;
        yr.end = hi + pad;
    }
}
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
    doc = _layout(plan, last)
    title = plan.title or "vexa chart"
    html = file_html(doc, INLINE, title=title)
    with open(path, "w", encoding="utf-8") as f:
        f.write(html)


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
            r = _line(fig, data, col, line, plan.colors[id(line)])
            main = main or r
            tips.append((line.name, "@{" + col + "}{0,0.00[00]}"))
            cols.append(col)
            zero = zero or line.style in L.STICKS
        for d in panel.drawings:
            cols += _drawing(fig, data, d)
        if panel.kind == "lines" and max(abs(panel.lo), abs(panel.hi)) >= 1e5:
            fig.yaxis.formatter = CustomJSTickFormatter(code=_SHORT)
        if panel.kind == "price":
            span = float(np.nanmax(bars.hi) - np.nanmin(bars.lo))
            for m in plan.markers:
                hit = np.zeros(n, dtype=bool)
                hit[m.x] = True
                y = np.full(n, np.nan)
                y[m.x] = m.y
                pad = 0.02 * span * {"up": -1.0, "down": 1.0}.get(m.shape, 0.0)
                col = data.masked(hit, y + pad, "m")
                fig.scatter(
                    "x",
                    col,
                    marker=_MARKERS.get(m.shape, "circle"),
                    size=10,
                    color=m.color,
                    line_color="white",
                    legend_label=m.name,
                    source=src,
                )
                cols.append(col)
        fig.y_range.start, fig.y_range.end = _fit(data, cols, zero, start, n)
        fits.append([fig.y_range, cols, zero])
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
    top = figs[0]
    if plan.warning:
        top.add_layout(
            Title(text="\u26a0 " + plan.warning, text_color="#c0392b", text_font_size="10pt"),
            "above",
        )
    if plan.title:
        top.add_layout(Title(text=plan.title, text_font_size="13pt"), "above")
    return gridplot(
        [[f] for f in figs], sizing_mode="stretch_width", toolbar_location="right", merge_tools=True
    )


def _line(fig, data: _Data, col: str, line: L.Line, color: str):
    lw = L.width(line.width) * _PX
    src = data.source
    style, label = line.style, line.name
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
    hit = L.truthy(d.cond)
    color = d.color or L.FLAT
    if isinstance(d, L.StickLine):
        hit &= np.isfinite(d.price1) & np.isfinite(d.price2)
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
    hit &= np.isfinite(d.price)
    if isinstance(d, L.Number):
        hit &= np.isfinite(d.number)
        text = [f"{v:.2f}" if h else "" for v, h in zip(d.number, hit)]
    else:
        text = [d.text if h else "" for h in hit]
    y = data.masked(hit, d.price, "t")
    t = data.add(text, "tx")
    fig.text(
        "x",
        y,
        text=t,
        text_color=color,
        text_font_size="9pt",
        text_align="center",
        text_baseline="bottom",
        source=data.source,
    )
    return [y]


def _fit(data: _Data, cols: list[str], zero: bool, start: float, n: int) -> tuple[float, float]:
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
    return lo - pad, hi + pad
