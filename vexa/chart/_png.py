"""A chart as a PNG through matplotlib's object API (no pyplot: the caller's state is untouched)."""

from __future__ import annotations

import logging
import warnings

import numpy as np

from . import _layout as L

try:
    import matplotlib
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter, MaxNLocator
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        'drawing a PNG chart needs matplotlib: pip install "vexa[chart]"', name=exc.name
    ) from exc

# Fonts with CJK glyphs, used as fallbacks when installed (names of outputs are often CJK).
_CJK = (
    "Noto Sans CJK SC",
    "Noto Sans CJK JP",
    "Source Han Sans SC",
    "WenQuanYi Zen Hei",
    "WenQuanYi Micro Hei",
    "Droid Sans Fallback",
    "SimHei",
    "Microsoft YaHei",
    "PingFang SC",
    "Hiragino Sans GB",
    "Arial Unicode MS",
)
_MARKERS = {"up": "^", "down": "v", "circle": "o", "star": "*", "diamond": "D", "square": "s"}
_STYLE = {"dotline": ":", "pointdot": ".", "crossdot": "x", "circledot": "o"}
_WIDTH_IN = 12.0
_DPI = 100


def draw(plan: L.Plan, path, last: int | None = None) -> None:
    from matplotlib import font_manager

    installed = {f.name for f in font_manager.fontManager.ttflist}
    # A list of families makes matplotlib fall back glyph by glyph to the CJK font.
    rc = {"font.family": ["DejaVu Sans", *(f for f in _CJK if f in installed)]}
    log = logging.getLogger("matplotlib.font_manager")  # "failed to find font weight" notes
    level = log.level
    log.setLevel(logging.ERROR)
    try:
        with matplotlib.rc_context(rc), warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=r"Glyph .* missing", category=UserWarning)
            fig = _figure(plan)
            fig.savefig(path, format="png", dpi=_DPI)
    finally:
        log.setLevel(level)


def _figure(plan: L.Plan) -> Figure:
    bars, n = plan.bars, plan.bars.n
    ratios = [{"price": 4.0, "volume": 1.1}.get(p.kind, 1.7) for p in plan.panels]
    head = 0.5 + (0.25 if plan.warning else 0.0)
    fig = Figure(figsize=(_WIDTH_IN, sum(ratios) + head + 0.5), dpi=_DPI, layout="constrained")
    axes = fig.subplots(
        len(plan.panels), 1, sharex=True, squeeze=False, height_ratios=ratios
    ).ravel()
    x = np.arange(n, dtype=np.float64)
    # A bar's width on the page, in points: thin sticks and wicks scale with the bar count.
    pitch = _WIDTH_IN * 72.0 * 0.9 / max(n, 1)
    stick_lw = float(np.clip(0.5 * pitch, 0.4, 3.0))
    rising = bars.rising
    updown = np.where(rising, L.UP, L.DOWN)
    for ax, panel in zip(axes, plan.panels):
        ax.grid(True, color="#e6e6e6", linewidth=0.6)
        ax.set_axisbelow(True)
        ax.tick_params(labelsize=8)
        if panel.kind == "price":
            if bars.candles:
                ok = np.isfinite(bars.open) & np.isfinite(bars.close)
                ax.vlines(x, bars.low, bars.high, colors=updown, linewidth=min(stick_lw, 1.0))
                lo, hi = np.fmin(bars.open, bars.close), np.fmax(bars.open, bars.close)
                _rects(ax, x[ok], lo[ok], hi[ok], 0.7, updown[ok], updown[ok], min(stick_lw, 0.6))
            else:
                ax.plot(x, bars.close, color=L.FLAT, linewidth=1.2, label="close")
        elif panel.kind == "volume":
            ok = np.isfinite(bars.volume)
            _rects(ax, x[ok], np.zeros(int(ok.sum())), bars.volume[ok], 0.7, updown[ok])
            ax.yaxis.set_major_formatter(FuncFormatter(_short))
            ax.set_ylabel("volume", fontsize=8)
        for line in panel.lines:
            _line(ax, x, line, plan.colors[id(line)], updown, stick_lw)
        for d in panel.drawings:
            _drawing(ax, x, d, stick_lw)
        if panel.kind == "lines" and max(abs(panel.lo), abs(panel.hi)) >= 1e5:
            ax.yaxis.set_major_formatter(FuncFormatter(_short))
        if panel.kind == "price":
            span = np.nanmax(bars.hi) - np.nanmin(bars.lo)
            for m in plan.markers:
                pad = 0.02 * span * (-1 if m.shape == "up" else 1 if m.shape == "down" else 0)
                ax.scatter(
                    m.x,
                    m.y + pad,
                    marker=_MARKERS.get(m.shape, "o"),
                    s=36,
                    color=m.color,
                    edgecolors="white",
                    linewidths=0.4,
                    zorder=5,
                    label=m.name,
                )
        if ax.get_legend_handles_labels()[0]:
            ax.legend(loc="upper left", fontsize=8, ncols=6, framealpha=0.7, borderaxespad=0.3)
    bottom = axes[-1]
    bottom.set_xlim(-1, n)
    bottom.xaxis.set_major_locator(MaxNLocator(nbins=10, integer=True))
    labels = plan.bars.labels
    bottom.xaxis.set_major_formatter(
        FuncFormatter(lambda v, _: labels[int(v)] if 0 <= v < n and v == int(v) else "")
    )
    for ax in axes:
        ax.label_outer()
    if plan.title:
        fig.suptitle(plan.title, fontsize=12, fontweight="bold")
    if plan.warning:
        axes[0].set_title("\u26a0 " + plan.warning, fontsize=9, color="#c0392b", loc="left")
    return fig


def _line(ax, x, line, color, updown, stick_lw) -> None:
    v = line.values
    last = v[np.isfinite(v)]
    label = f"{line.name} {_short(last[-1], digits=2)}" if last.size else line.name
    lw = L.width(line.width)
    style = line.style
    if style in L.STICKS:
        ok = np.isfinite(v)
        colors = {
            "stick": color,
            "linestick": color,
            "colorstick": np.where(v > 0, L.UP, L.DOWN)[ok],
            "volstick": updown[ok],
        }[style]
        ax.vlines(x[ok], 0.0, v[ok], colors=colors, linewidth=max(stick_lw, lw * 0.6))
        if style != "linestick":
            ax.plot([], [], color=color if style == "stick" else L.UP, label=label)
            ax.axhline(0.0, color="#999999", linewidth=0.6)
            return
    if style in ("pointdot", "crossdot", "circledot"):
        face = "none" if style == "circledot" else color
        ax.plot(
            x,
            v,
            linestyle="none",
            marker=_STYLE[style],
            markersize=1.5 + lw,
            markerfacecolor=face,
            markeredgecolor=color,
            label=label,
        )
        return
    ax.plot(x, v, color=color, linewidth=lw, linestyle=_STYLE.get(style, "-"), label=label)


def _drawing(ax, x, d, stick_lw) -> None:
    hit = L.truthy(d.cond)
    if isinstance(d, L.StickLine):
        hit &= np.isfinite(d.price1) & np.isfinite(d.price2)
        color = d.color or L.FLAT
        frac = min(max(float(d.width), 0.0) / 10.0, 1.0)
        if frac == 0.0:
            ax.vlines(x[hit], d.price1[hit], d.price2[hit], colors=color, linewidth=stick_lw)
            return
        lo = np.fmin(d.price1, d.price2)[hit]
        hi = np.fmax(d.price1, d.price2)[hit]
        empty = bool(np.isfinite(d.empty) and d.empty != 0)
        _rects(ax, x[hit], lo, hi, frac, "none" if empty else color, color, 0.8 if empty else 0)
        return
    hit &= np.isfinite(d.price)
    color = d.color or L.FLAT
    if isinstance(d, L.Number):
        hit &= np.isfinite(d.number)
        texts = [f"{v:.2f}" for v in d.number[hit]]
    else:
        texts = [d.text] * int(hit.sum())
    ax.update_datalim(np.column_stack([x[hit], d.price[hit]]))  # text does not autoscale
    for xi, yi, t in zip(x[hit], d.price[hit], texts):
        ax.text(xi, yi, t, fontsize=8, color=color, ha="center", va="bottom", clip_on=True)


def _rects(ax, x, lo, hi, width, face, edge="none", lw=0.0) -> None:
    """Bars from lo to hi centred on x, as one collection (thousands of patches are slow)."""
    from matplotlib.collections import PolyCollection

    if not len(x):
        return
    left, right = x - width / 2, x + width / 2
    verts = np.stack(
        [np.column_stack(p) for p in ((left, lo), (left, hi), (right, hi), (right, lo))], axis=1
    )
    ax.add_collection(
        PolyCollection(verts, facecolors=face, edgecolors=edge, linewidths=lw), autolim=True
    )
    ax.autoscale_view()


def _short(v: float, _pos=None, digits: int | None = None) -> str:
    """1.5M for 1500000; digits: fixed decimals (else as short as exact)."""
    for div, suffix in ((1e9, "B"), (1e6, "M"), (1e3, "K")):
        if abs(v) >= div and (digits is None or abs(v) >= 1e5):
            return f"{v / div:.{digits}f}{suffix}" if digits is not None else f"{v / div:g}{suffix}"
    return f"{v:.{digits}f}" if digits is not None else f"{v:g}"
