"""A chart as a PNG through matplotlib's object API (no pyplot: the caller's state is untouched)."""

from __future__ import annotations

import logging
import unicodedata
import warnings

import numpy as np

from . import _layout as L
from .model import MissingGlyphWarning

try:
    import matplotlib
    from matplotlib.figure import Figure
    from matplotlib.font_manager import FontProperties
    from matplotlib.ticker import FuncFormatter, MaxNLocator
    from matplotlib.transforms import ScaledTranslation
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        'drawing a PNG chart needs matplotlib: pip install "vexa[chart]"', name=exc.name
    ) from exc

# Fonts with CJK glyphs, used as fallbacks when installed (names of outputs are often CJK).
CJK = (
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
BASE = "DejaVu Sans"  # matplotlib's own font: Latin, Greek, Cyrillic, the arrows and symbols
_MARKERS = {
    "up": "^",
    "down": "v",
    "circle": "o",
    "star": "*",
    "diamond": "D",
    "square": "s",
    "hex": "h",
}
_SIZE = {"star": 1.3, "diamond": 0.8}  # markers that look bigger or smaller than the rest
_STYLE = {"dotline": ":", "pointdot": ".", "crossdot": "x", "circledot": "o"}
_WIDTH_IN = 12.0
_DPI = 100
_HEAD_IN = {"title": 0.26, "warning": 0.19}  # a line of the title, of the look-ahead warning

_checked: set[str] = set()  # font files looked at for missing characters
_warned = False  # the missing glyphs have been reported (once a process)


def draw(plan: L.Plan, path, last: int | None = None) -> None:
    """Writes the PNG to path (a file name or a binary file)."""
    log = logging.getLogger("matplotlib.font_manager")  # "failed to find font weight" notes
    level = log.level
    log.setLevel(logging.ERROR)
    try:
        families = fonts(_texts(plan))
        with matplotlib.rc_context({"font.family": families}), warnings.catch_warnings():
            # Missing glyphs are reported once, by fonts(), not once per character.
            warnings.filterwarnings("ignore", message=r"Glyph .* missing", category=UserWarning)
            fig = _figure(plan, families)
            fig.savefig(path, format="png", dpi=_DPI)
    finally:
        log.setLevel(level)


# ---- fonts ---------------------------------------------------------------------------


def fonts(text: str) -> list[str]:
    """The font families to draw `text` with: matplotlib's own font, then every CJK font
    installed (matplotlib falls back glyph by glyph along the list), then any other installed
    font that has characters the first ones lack. A font installed after matplotlib listed
    the system's fonts is found too. Characters that no font has are reported once."""
    global _warned
    from matplotlib import font_manager as fm

    files = _families()
    families = [BASE, *(f for f in CJK if f in files)]
    need = sorted({c for c in text if ord(c) > 0x7E and not c.isspace()})
    missing = _missing(need, families, files)
    if missing:
        known = {e.fname for e in fm.fontManager.ttflist}
        for path in fm.findSystemFonts():
            if path in _checked or path in known:
                continue
            _checked.add(path)
            try:
                font = fm.get_font(path)
                if any(font.get_char_index(ord(c)) for c in missing):
                    fm.fontManager.addfont(path)
            except (OSError, RuntimeError, ValueError):
                continue  # not a font matplotlib reads
        files = _families()
        found = [f for f in CJK if f in files and f not in families]
        families += found
        missing = _missing(missing, families, files)
        for name, path in files.items():
            if missing and name not in families and _covers(path, missing):
                families.append(name)
                missing = _missing(missing, families, files)
    if missing and not _warned:
        _warned = True
        shown = "".join(missing[:12]) + ("..." if len(missing) > 12 else "")
        if any(_is_cjk(c) for c in missing):
            how = (
                "install a CJK font: fonts-noto-cjk on Debian and Ubuntu (apt-get install "
                "fonts-noto-cjk), google-noto-sans-cjk-fonts on Fedora"
            )
        else:
            how = "install a font that has them (the Noto fonts have most: fonts-noto on Debian)"
        warnings.warn(
            f"the chart has characters that no installed font draws ({shown}): they are drawn "
            f"as empty boxes; {how}, then draw the chart again",
            MissingGlyphWarning,
            stacklevel=4,
        )
    return families


def _families() -> dict[str, str]:
    """{family: font file} of the fonts matplotlib knows."""
    from matplotlib import font_manager as fm

    files: dict[str, str] = {}
    for entry in fm.fontManager.ttflist:
        files.setdefault(entry.name, entry.fname)
    return files


def _covers(path: str, chars) -> bool:
    from matplotlib import font_manager as fm

    try:
        font = fm.get_font(path)
    except (OSError, RuntimeError, ValueError):
        return False
    return any(font.get_char_index(ord(c)) for c in chars)


def _missing(chars, families, files) -> list[str]:
    """The characters that none of the families has."""
    from matplotlib import font_manager as fm

    faces = []
    for name in families:
        try:
            faces.append(fm.get_font(files[name]))
        except (KeyError, OSError, RuntimeError, ValueError):
            continue
    return [c for c in chars if not any(f.get_char_index(ord(c)) for f in faces)]


def _is_cjk(c: str) -> bool:
    return unicodedata.east_asian_width(c) in "WF" or "CJK" in unicodedata.name(c, "")


def _texts(plan: L.Plan) -> str:
    """Every text the chart draws."""
    parts = [plan.title, plan.warning or "", *plan.labels.values()]
    parts += [m.name for m in plan.markers]
    for p in plan.panels:
        parts += [t for d in p.drawings if isinstance(d, L.Texts) for t in set(d.text)]
    return "\n".join(parts)


def _wrap(text: str, width: float, prop, renderer) -> str:
    """text in lines that each fit `width` pixels: broken at spaces, and inside a word (CJK
    text has no spaces) only where a word alone is too wide."""

    def fits(s: str) -> bool:
        return renderer.get_text_width_height_descent(s, prop, ismath=False)[0] <= width

    lines, line = [], ""
    for word in text.split(" "):
        trial = f"{line} {word}" if line else word
        if fits(trial):
            line = trial
            continue
        if line:
            lines.append(line)
        while len(word) > 1 and not fits(word):
            k = next(k for k in range(len(word) - 1, 0, -1) if k == 1 or fits(word[:k]))
            lines.append(word[:k])
            word = word[k:]
        line = word
    lines.append(line)
    return "\n".join(lines)


# ---- the figure ------------------------------------------------------------------------


def _figure(plan: L.Plan, families=(BASE,)) -> Figure:
    from matplotlib.backends.backend_agg import RendererAgg

    bars, n = plan.bars, plan.bars.n
    ratios = [{"price": 4.0, "volume": 1.1}.get(p.kind, 1.7) for p in plan.panels]
    measure = RendererAgg(int(_WIDTH_IN * _DPI), 100, _DPI)
    room = 0.97 * _WIDTH_IN * _DPI
    title = _wrap(
        plan.title, room, FontProperties(family=families, size=12, weight="bold"), measure
    )
    warning = None
    if plan.warning:
        prop = FontProperties(family=families, size=9)
        warning = _wrap("\u26a0 " + plan.warning, room, prop, measure)
    head = 0.2 + _HEAD_IN["title"] * (title.count("\n") + 1)
    head += _HEAD_IN["warning"] * (warning.count("\n") + 1) if warning else 0.0
    height = sum(ratios) + head + 0.5
    fig = Figure(figsize=(_WIDTH_IN, height), dpi=_DPI, layout="constrained")
    axes = fig.subplots(
        len(plan.panels), 1, sharex=True, squeeze=False, height_ratios=ratios
    ).ravel()
    x = np.arange(n, dtype=np.float64)
    # A bar's width on the page, in points: thin sticks and wicks scale with the bar count.
    pitch = _WIDTH_IN * 72.0 * 0.9 / max(n, 1)
    stick_lw = float(np.clip(0.5 * pitch, 0.4, 3.0))
    rising = bars.rising
    updown = np.where(rising, L.UP, L.DOWN)
    for ax, panel, ratio in zip(axes, plan.panels, ratios):
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
            _line(ax, x, line, plan.colors[id(line)], plan.labels[id(line)], updown, stick_lw)
        for d in panel.drawings:
            _drawing(ax, x, d, stick_lw)
        if panel.kind != "price" and max(abs(panel.lo), abs(panel.hi)) >= 1e5:
            ax.yaxis.set_major_formatter(FuncFormatter(_short))
        if panel.kind == "price":
            for m in plan.markers:
                _marker(fig, ax, m)
            # Room for the markers and texts stacked under and over the bars, in points of
            # this panel's height (as laid out: the figure less its title and tick labels).
            ax.autoscale_view()
            lo, hi = ax.get_ylim()
            tall = 72.0 * (height - head - 0.6) * ratio / sum(ratios) - 20.0
            a, b = ((r + 3.0) / max(tall, 1.0) if r else 0.0 for r in panel.reach)
            if a or b:
                span = (hi - lo) / max(1.0 - a - b, 0.2)
                ax.set_ylim(lo - a * span, hi + b * span)
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
    fig.suptitle(title, fontsize=12, fontweight="bold")
    if warning:
        axes[0].set_title(warning, fontsize=9, color="#c0392b", loc="left")
    return fig


def _marker(fig, ax, m: L.Marker) -> None:
    """A marker series, each marker moved by its offset in points (one plot per offset)."""
    style = {
        "linestyle": "none",
        "marker": _MARKERS.get(m.shape, "o"),
        "markersize": L.MARK * _SIZE.get(m.shape, 1.0),
        "color": m.color,
        "markeredgecolor": "white",
        "markeredgewidth": 0.4,
        "zorder": 5,
    }
    offsets = np.unique(m.offset)
    if not offsets.size:  # a signal that is never true: in the legend only
        ax.plot([], [], label=m.name, **style)
        return
    for k, off in enumerate(offsets):
        at = m.offset == off
        shift = ax.transData + ScaledTranslation(0.0, off / 72.0, fig.dpi_scale_trans)
        ax.plot(
            m.x[at],
            m.y[at],
            transform=shift,
            label=m.name if k == 0 else "_nolegend_",
            scalex=False,
            scaley=False,
            **style,
        )


def _line(ax, x, line, color, label, updown, stick_lw) -> None:
    v = line.values
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
    if isinstance(d, L.StickLine):
        hit = L.truth(d.cond) & np.isfinite(d.price1) & np.isfinite(d.price2)
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
    if not d.x.size:
        return
    ax.update_datalim(np.column_stack([d.x, d.y]))  # text does not autoscale
    for xi, yi, t, off, above in zip(d.x, d.y, d.text, d.offset, d.above):
        ax.annotate(
            t,
            (xi, yi),
            xytext=(0.0, off),
            textcoords="offset points",
            fontsize=8,
            color=d.color,
            ha="center",
            va="bottom" if above else "top",
            annotation_clip=True,
            clip_on=True,
        )


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


def _short(v: float, _pos=None) -> str:
    """1.5M for 1500000, as short as exact (the volume axis)."""
    for div, suffix in ((1e9, "B"), (1e6, "M"), (1e3, "K")):
        if abs(v) >= div:
            return f"{v / div:g}{suffix}"
    return f"{v:g}"
