"""Charts: where lines and drawings go, what the PNG holds, and the HTML rendered by chromium.

Needs the chart extra (matplotlib, bokeh, pandas) and Debian's chromium; each test skips
without what it needs, unless VEXA_CHART_TESTS=required (CI), where a skip would hide a
missing install and fails instead.
"""

import colorsys
import importlib
import io
import json
import logging
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vexa
import vexa.chart
from vexa.chart import Chart, Icon, Line, Number, StickLine, Text, draw

REQUIRED = os.environ.get("VEXA_CHART_TESTS") == "required"


def need(module):
    try:
        return importlib.import_module(module)
    except ImportError:
        if REQUIRED:
            raise
        pytest.skip(f'{module} is not installed (pip install "vexa[chart]")')


def chromium():
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if exe is None:
        if REQUIRED:
            pytest.fail("chromium is not installed (apt-get install chromium)")
        pytest.skip("Debian's chromium is not installed (apt-get install chromium)")
    return exe


def macd_chart(bars, warning="looks ahead: ZIG uses later bars"):
    """A formula's worth of everything a chart draws, computed with vexa's own functions."""
    c = np.array(bars["close"], dtype=float)
    h = np.array(bars["high"], dtype=float) if "high" in bars else c
    l = np.array(bars["low"], dtype=float) if "low" in bars else c
    dif = vexa.EMA(c, 12) - vexa.EMA(c, 26)
    dea = vexa.EMA(dif, 9)
    buy, sell = vexa.CROSS(dif, dea), vexa.CROSS(dea, dif)
    n = len(c)
    with np.errstate(invalid="ignore", divide="ignore"):  # a close-only table: high == low
        k = 100 * (c - vexa.LLV(l, 9)) / (vexa.HHV(h, 9) - vexa.LLV(l, 9))
    every = (np.arange(n) % 40 == 5).astype(float)
    lines = [
        Line("MA10", vexa.MA(c, 10), color="#ff00ff", width=2),
        Line("DIF", dif),
        Line("DEA", dea, style="dotline"),
        Line("MACD", (dif - dea) * 2, style="colorstick"),
        Line("K", k, style="circledot"),
        Line("L80", np.full(n, 80.0)),
        Line("BUY", buy, signal=True),
        Line("SELL", sell, drawn=False, signal=True),
        Line("HIDDEN", vexa.MA(c, 5) * 1000, drawn=False),
    ]
    drawings = [
        StickLine(every, h, l, 8, 1, "#0000ff"),
        Text(every, h, "T"),
        Icon(every, l, 1),
        Number(every, dif, dif),
    ]
    return Chart(bars, lines, drawings, title="MSFT test", warning=warning)


@pytest.fixture(scope="module")
def bars():
    need("pandas")
    return vexa.sample("MSFT").iloc[-200:]


def test_import_is_light():
    code = (
        "import sys, vexa, vexa.chart; "
        "print([m for m in ('pandas', 'matplotlib', 'bokeh') if m in sys.modules])"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_layout(bars):
    from vexa.chart import _layout

    plan = _layout.plan(macd_chart(bars))
    names = [[line.name for line in p.lines] for p in plan.panels]
    kinds = [p.kind for p in plan.panels]
    # MA over the price; DIF, DEA and the MACD sticks together; K with its level line apart;
    # the signal as markers; NODRAW lines and signals nowhere.
    assert kinds == ["price", "volume", "lines", "lines"]
    assert names == [["MA10"], [], ["DIF", "DEA", "MACD"], ["K", "L80"]]
    assert [m.name for m in plan.markers] == ["BUY", "icon 1"]
    assert plan.markers[0].x.tolist() == np.flatnonzero(vexa.CROSS(*_dif_dea(bars)) == 1).tolist()
    drawn = {
        getattr(d, "kind", type(d).__name__): i
        for i, p in enumerate(plan.panels)
        for d in p.drawings
    }
    assert drawn == {"StickLine": 0, "Text": 0, "Number": 2}
    # A close-only table without volume: a price panel and the lines' panels only.
    close = bars[["close"]].reset_index(drop=True)
    plan = _layout.plan(macd_chart(close))
    assert [p.kind for p in plan.panels] == ["price", "lines", "lines"]
    assert not plan.bars.candles
    # White, the language's colour for a line on its black charts, is drawn black here.
    white = macd_chart(bars)
    white.lines[1] = Line("DIF", white.lines[1].values, color="#ffffff")
    plan = _layout.plan(white)
    assert [plan.colors[id(line)] for line in plan.panels[2].lines][:1] == ["#000000"]
    # last=N keeps the last N bars of everything.
    plan = _layout.plan(macd_chart(bars), last=50)
    assert plan.bars.n == 50 and plan.panels[0].lines[0].values.shape == (50,)
    # The volume, its averages and sticks share the volume's panel; OBV has its own scale.
    vol = np.array(bars["volume"], dtype=float)
    c = np.array(bars["close"], dtype=float)
    obv = np.cumsum(np.sign(np.diff(c, prepend=c[0])) * vol)
    lines = [
        Line("VOLUME", vol, style="volstick"),
        Line("MA5", vexa.MA(vol, 5)),
        Line("MA60", vexa.MA(vol, 60)),
        Line("OBV", obv),
    ]
    plan = _layout.plan(Chart(bars, lines))
    assert [[line.name for line in p.lines] for p in plan.panels] == [
        [],
        ["VOLUME", "MA5", "MA60"],
        ["OBV"],
    ]
    # Colours the language draws on black stay visible on white: every named colour keeps
    # a contrast of 3 against the white page (its hue kept; a grey turned to its opposite).
    from vexa.formula.drawing import COLORS

    def wcag(color):
        c = np.array([int(color[k : k + 2], 16) for k in (1, 3, 5)]) / 255
        lin = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
        return 1.05 / (lin @ [0.2126, 0.7152, 0.0722] + 0.05), colorsys.rgb_to_hsv(*c)

    colored = [Line(name, c, color=rgb) for name, rgb in COLORS.items()]
    plan = _layout.plan(Chart(bars, colored))
    for line in plan.panels[0].lines:
        given, drawn = wcag(COLORS[line.name]), wcag(plan.colors[id(line)])
        assert drawn[0] >= 3.0, (line.name, plan.colors[id(line)])
        if given[1][1] > 0.2:  # a colour, not a grey
            assert abs(drawn[1][0] - given[1][0]) < 0.02, line.name
    assert plan.colors[id(plan.panels[0].lines[-1])] == "#000000"  # COLORWHITE


def test_one_truth_rule(bars):
    """A drawing's condition is true where the language's is: not 0 and not NaN (inf is
    true), through the language's own function."""
    from vexa.chart import _layout
    from vexa.formula import ops

    assert _layout.truth is ops.truth
    n = len(bars)
    cond = np.zeros(n)
    cond[[3, 5, 7, 9, 11]] = [np.inf, -np.inf, np.nan, 0.5, 1.0]
    low = np.array(bars["low"], dtype=float)
    plan = _layout.plan(Chart(bars, drawings=[Icon(cond, low, 3), Text(cond, low, "t")]))
    want = np.flatnonzero(ops.truth(cond)).tolist()
    assert want == [3, 5, 9, 11]
    assert plan.markers[0].x.tolist() == want
    assert plan.panels[0].drawings[0].x.tolist() == want


def _dif_dea(bars):
    c = np.array(bars["close"], dtype=float)
    dif = vexa.EMA(c, 12) - vexa.EMA(c, 26)
    return dif, vexa.EMA(dif, 9)


def test_png(bars, tmp_path):
    matplotlib = need("matplotlib")
    from matplotlib.image import imread

    from vexa.chart import _layout, _png

    state = (matplotlib.rcParams["font.family"], logging.getLogger("matplotlib").level)
    chart = macd_chart(bars)
    fig = _png._figure(_layout.plan(chart))
    assert len(fig.axes) == 4
    path = tmp_path / "chart.png"
    assert draw(chart, path) is path
    assert (matplotlib.rcParams["font.family"], logging.getLogger("matplotlib").level) == state
    img = imread(path)[..., :3]
    height, width = img.shape[:2]
    assert (width, height) == (1200, round(fig.get_figheight() * 100))
    ink = img.min(axis=2) < 0.9
    red = (img[..., 0] > 0.7) & (img[..., 1] < 0.35) & (img[..., 2] < 0.35)
    green = (img[..., 1] > 0.5) & (img[..., 0] < 0.3) & (img[..., 2] < 0.5)
    # Each panel's region holds drawing; the candles, the volume and the MACD sticks are red
    # and green.
    for i, ax in enumerate(fig.axes):
        box = ax.get_position()
        y0, y1 = round((1 - box.y1) * height), round((1 - box.y0) * height)
        x0, x1 = round(box.x0 * width), round(box.x1 * width)
        region = (slice(y0 + 3, y1 - 3), slice(x0 + 3, x1 - 3))
        assert ink[region].mean() > 0.02, f"panel {i} is blank"
        if i < 3:
            assert red[region].mean() > 0.002 and green[region].mean() > 0.002, f"panel {i}"
    # The warning is drawn above the price panel in red.
    top = round((1 - fig.axes[0].get_position().y1) * height)
    assert red[:top].any()
    # A close line when the bars have no open, high and low.
    plain = macd_chart(bars[["close"]].reset_index(drop=True), warning=None)
    draw(plain, tmp_path / "plain.png")
    assert (imread(tmp_path / "plain.png")[..., :3].min(axis=2) < 0.9).mean() > 0.02
    # A long look-ahead warning and the title fit the page; the title states the bars drawn.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.text import Text as Label

    fig = _png._figure(_layout.plan(macd_chart(bars, warning=LONG), last=50))
    FigureCanvasAgg(fig).draw()
    renderer = fig.canvas.get_renderer()
    said = {t.get_text(): t.get_window_extent(renderer) for t in fig.findobj(Label)}
    title = next(t for t in said if "MSFT test" in t)
    assert "the last 50 of 200 bars, 2012-12-18 to 2013-03-01" in " ".join(title.split())
    warning = next(t for t in said if "looks ahead" in t)
    assert " ".join(warning.split()).endswith("X12 through ZIG (line 12)")
    for text in (title, warning):
        box = said[text]
        assert 0 <= box.x0 and box.x1 <= fig.bbox.width and 0 <= box.y0 <= box.y1 <= fig.bbox.height


LONG = "looks ahead, a backtest on this formula is wrong: " + "; ".join(
    f"X{i} through ZIG (line {i})" for i in range(1, 13)
)


def test_signals_and_texts(bars):
    """Every signal has its own marker; markers and texts at one bar are stacked away from
    it, none covering another, all inside the panel."""
    need("matplotlib")
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    from vexa.chart import _layout, _png

    n = len(bars)
    one = np.zeros(n)
    one[n - 10] = 1.0
    low, high = (np.array(bars[c], dtype=float) for c in ("low", "high"))
    lines = [Line(name, one, signal=True) for name in ("BUY", "B2", "SELL", "S2")]
    drawings = [
        Text(one, low, "B"),
        Text(one, low * 0.999, "B2"),
        Icon(one, low, 1),
        Text(one, high, "S"),
        Number(one, high, high),
    ]
    plan = _layout.plan(Chart(bars, lines, drawings), last=60)
    styles = [(m.shape, m.color) for m in plan.markers]
    assert [m.name for m in plan.markers] == ["BUY", "B2", "SELL", "S2", "icon 1"]
    assert len(set(styles[:4])) == 4
    fig = _png._figure(plan)
    FigureCanvasAgg(fig).draw()
    renderer = fig.canvas.get_renderer()
    ax = fig.axes[0]
    boxes = [line.get_window_extent(renderer) for line in ax.lines]
    boxes += [t.get_window_extent(renderer) for t in ax.texts]
    assert len(boxes) == 5 + 4
    panel = ax.get_window_extent(renderer)
    for i, a in enumerate(boxes):
        assert panel.x0 <= a.x0 and a.x1 <= panel.x1 and panel.y0 <= a.y0 and a.y1 <= panel.y1
        for b in boxes[:i]:
            common = min(a.x1, b.x1) - max(a.x0, b.x0), min(a.y1, b.y1) - max(a.y0, b.y0)
            assert min(common) < 0.5, (a, b)


_PROBE = """<script>
// Runs once the chart is drawn: measures each canvas, lists the models, then moves the view's
// right edge to bar ZOOM and (after bokeh's asynchronous callbacks) reads the price range.
const report = (out) => {
  const pre = document.createElement("pre");
  pre.id = "vexa-probe";
  pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre);
};
window.addEventListener("load", () => setTimeout(() => {
  const out = {};
  try {
    const canvases = [];
    const walk = (root) => {
      for (const el of root.querySelectorAll("*")) {
        if (el.tagName === "CANVAS") canvases.push(el);
        if (el.shadowRoot) walk(el.shadowRoot);
      }
    };
    walk(document);
    out.ink = canvases.filter((c) => c.width > 200).map((c) => {
      const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
      let n = 0;
      for (let i = 0; i < d.length; i += 4) {
        if (d[i + 3] > 0 && Math.min(d[i], d[i + 1], d[i + 2]) < 200) n++;
      }
      return n / (c.width * c.height);
    });
    const models = [...Bokeh.documents[0].all_models];
    out.types = [...new Set(models.map((m) => m.type))];
    const price = models.find((m) => m.type === "Figure" && m.height > 300);
    const label = (l) => (l !== null && typeof l === "object" ? l.value : l);
    const grid = models.find((m) => m.type === "GridPlot");
    out.legends = [...grid.children].sort((a, b) => a[1] - b[1]).map(([fig]) => {
      const legend = fig.center.find((r) => r.type === "Legend");
      return legend ? legend.items.map((item) => label(item.label)) : [];
    });
    const head = document.querySelector("header");
    if (head) {
      out.head = {
        text: head.innerText,
        right: head.getBoundingClientRect().right,
        wide: head.scrollWidth,
        page: document.documentElement.clientWidth,
      };
    }
    out.x = [price.x_range.start, price.x_range.end];
    price.x_range.end = ZOOM;
    setTimeout(() => {
      out.price_y = [price.y_range.start, price.y_range.end];
      report(out);
    }, 1000);
  } catch (e) {
    out.error = String(e);
    report(out);
  }
}, 1500));
</script>"""


def browse(page, tmp_path):
    """What the script in `page` reports in a <pre id="vexa-probe">, in a headless chromium."""
    exe = chromium()
    probe = tmp_path / "probe.html"
    probe.write_text(page, encoding="utf-8")
    # No network: every request goes to a closed port on this machine.
    cmd = [
        exe,
        "--headless",
        "--disable-gpu",
        "--no-sandbox",
        f"--user-data-dir={tmp_path / 'profile'}",
        "--proxy-server=127.0.0.1:9",
        "--proxy-bypass-list=<-loopback>",
        "--window-size=1200,1000",
        "--virtual-time-budget=10000",
        "--dump-dom",
        probe.as_uri(),
    ]
    dom = subprocess.run(cmd, capture_output=True, text=True, timeout=120).stdout
    start = dom.find('<pre id="vexa-probe">')
    assert start >= 0, "the page did not run"
    text = dom[start:].split(">", 1)[1].split("</pre>", 1)[0]
    out = json.loads(text.replace("&quot;", '"').replace("&amp;", "&"))
    assert "error" not in out, out
    return out


def test_html_in_chromium(bars, tmp_path):
    need("bokeh")
    need("matplotlib")
    from vexa.chart import _layout, _png

    # A line near the price in the bars first shown and not before: its panel is chosen over
    # every bar, the same in the PNG and the HTML.
    chart = macd_chart(bars, warning=LONG)
    far = np.array(bars["close"], dtype=float)
    far[:80] *= 3
    chart.lines.append(Line("FAR", far))
    path = draw(chart, str(tmp_path / "chart.html"), last=120)
    html = Path(path).read_text(encoding="utf-8")
    assert "<script src=" not in html and "<link" not in html  # everything inline
    out = browse(html.replace("</body>", _PROBE.replace("ZOOM", "110") + "</body>"), tmp_path)
    # Four panels rendered with something on each.
    assert sum(ink > 0.01 for ink in out["ink"]) >= 4, out["ink"]
    assert {"HoverTool", "WheelZoomTool", "Legend"} <= set(out["types"])
    # The view opens on the last 120 bars; zooming to bars 79..110 fits the price panel to
    # those bars' lows, highs and MA10.
    assert out["x"] == [79, 200]
    window = bars.iloc[79:111]
    ma10 = vexa.MA(np.array(bars["close"], dtype=float), 10)[79:111]
    lo, hi = min(window["low"].min(), ma10.min()), max(window["high"].max(), ma10.max())
    assert out["price_y"][0] < lo and out["price_y"][1] > hi
    assert out["price_y"][0] > lo - 0.2 * (hi - lo) and out["price_y"][1] < hi + 0.2 * (hi - lo)
    # The same lines in the same panels as the PNG, the legends with the last values.
    png = _png._figure(_layout.plan(chart, 120))
    legends = [
        [t.get_text() for t in a.get_legend().get_texts()] if a.get_legend() else []
        for a in png.axes
    ]
    assert out["legends"] == legends
    assert legends[0][0] == "MA10 " + _layout.number(vexa.MA(np.array(bars["close"]), 10)[-1])
    # The title states the bars; the long warning is wrapped inside the page.
    head = out["head"]
    assert "200 bars, 2012-05-14 to 2013-03-01 (the last 120 in view)" in head["text"]
    assert "X12 through ZIG (line 12)" in head["text"]
    assert head["right"] <= head["page"] and head["wide"] <= head["page"]


def test_errors(bars, tmp_path, monkeypatch):
    chart = macd_chart(bars)
    with pytest.raises(ValueError, match=r"\.png, \.html"):
        draw(chart, tmp_path / "chart.svg")
    with pytest.raises(ValueError, match="'short' has shape"):
        draw(Chart(bars, [Line("short", np.ones(3))], []), tmp_path / "c.png")
    with pytest.raises(ValueError, match="'close' column"):
        draw(Chart(bars[["open"]], [], []), tmp_path / "c.png")
    with pytest.raises(TypeError, match="Chart"):
        draw(bars, tmp_path / "c.png")
    with pytest.raises(ValueError, match="style"):
        Line("x", np.ones(3), style="dots")
    # A missing plotting library names the extra to install.
    for module, suffix in (("matplotlib", "png"), ("bokeh", "html")):
        for name in [m for m in sys.modules if m == module or m.startswith(module + ".")]:
            monkeypatch.setitem(sys.modules, name, None)
        monkeypatch.setitem(sys.modules, module, None)
        monkeypatch.delitem(sys.modules, f"vexa.chart._{suffix}", raising=False)
        monkeypatch.delattr(vexa.chart, f"_{suffix}", raising=False)
        with pytest.raises(ImportError, match=r'pip install "vexa\[chart\]"'):
            draw(chart, tmp_path / f"c.{suffix}")
    assert not list(tmp_path.iterdir())


def cjk_font():
    """Whether a CJK font is installed (fontconfig's list)."""
    try:
        out = subprocess.run(["fc-list", ":lang=zh", "family"], capture_output=True, text=True)
    except OSError:
        out = None
    if out is None or not out.stdout.strip():
        if REQUIRED:
            pytest.fail("no CJK font is installed (apt-get install fonts-noto-cjk)")
        pytest.skip("no CJK font is installed (apt-get install fonts-noto-cjk)")


def test_cjk_names_and_texts(bars, tmp_path):
    """Chinese names and texts are drawn in an installed CJK font, even one installed after
    matplotlib listed the fonts: two different texts give two different pictures (missing
    glyphs would be the same empty boxes), and nothing is said about missing glyphs."""
    need("matplotlib")
    cjk_font()
    from matplotlib.image import imread

    n = len(bars)
    every = (np.arange(n) % 20 == 3).astype(float)
    low = np.array(bars["low"], dtype=float)
    ma = vexa.MA(np.array(bars["close"], dtype=float), 5)
    pictures = []
    for name, text in (("均线", "买"), ("指标", "入")):
        chart = Chart(bars, [Line(name, ma)], [Text(every, low, text)], name)
        pictures.append(imread(draw(chart, tmp_path / f"{text}.png")))
    assert pictures[0].shape == pictures[1].shape
    assert (np.abs(pictures[0] - pictures[1]).max(axis=2) > 0.2).sum() > 200


def test_missing_glyphs_are_said_once(bars, tmp_path, monkeypatch, capsys):
    """Without a font for them, the chart says once which characters are missing and which
    package provides them (the command line as a warning line)."""
    need("matplotlib")
    from matplotlib import font_manager

    from vexa import cli
    from vexa.chart import _png

    only = {_png.BASE: font_manager.findfont(_png.BASE)}
    monkeypatch.setattr(_png, "_families", lambda: dict(only))
    monkeypatch.setattr(font_manager, "findSystemFonts", lambda *a, **k: [])
    monkeypatch.setattr(_png, "_warned", False)
    chart = Chart(bars, [Line("均线", vexa.MA(np.array(bars["close"]), 5))], title="买入")
    with pytest.warns(vexa.chart.MissingGlyphWarning, match="fonts-noto-cjk") as said:
        draw(chart, tmp_path / "a.png")
        draw(chart, tmp_path / "b.png")
    assert len(said) == 1 and "均" in str(said[0].message)
    monkeypatch.setattr(_png, "_warned", False)
    status = cli.main(["run", "均线:MA(C,5);", "--chart", str(tmp_path / "c.png")])
    err = capsys.readouterr().err
    assert status == 0 and err.count("vexa: warning: the chart has characters") == 1
    assert "fonts-noto-cjk" in err


def test_formula_chart_displays_itself(tmp_path):
    """Formula.chart reads the data as evaluation does and gives a chart that a notebook
    shows: a PNG, and the interactive HTML in a frame of its own."""
    pd = need("pandas")
    need("matplotlib")
    need("bokeh")
    from matplotlib.image import imread

    f = vexa.Formula(
        "DIF:EMA(C,12)-EMA(C,26); DEA:EMA(DIF,9); B:CROSS(DIF,DEA),NODRAW;"
        "DRAWTEXT(B,L,'B'); DRAWICON(CROSS(DEA,DIF),H,2);"
    )
    data = vexa.sample().sample(frac=1.0, random_state=1)  # rows in no order
    chart = f.chart(data, "MSFT", by="symbol", last=100)
    want = f(data, by="symbol")
    want = want[want["symbol"] == "MSFT"].sort_values("date")
    assert chart.symbol == "MSFT" and chart.title == "DIF, DEA, B on MSFT"
    assert (chart.bars.index == pd.DatetimeIndex(want["date"])).all()
    for line in chart.lines:
        np.testing.assert_array_equal(line.values, want[line.name].to_numpy())
    assert [line.drawn for line in chart.lines] == [True, True, False]
    assert [type(d).__name__ for d in chart.drawings] == ["Text", "Icon"]
    # One symbol's table: taken in time order too.
    one = vexa.sample("IBM")
    chart_one = f.chart(one.iloc[::-1])
    np.testing.assert_array_equal(chart_one.lines[0].values, f(one)["DIF"].to_numpy())
    with pytest.raises(vexa.formula.DataError, match=r"no symbol 'XYZ'.*'AAPL', 'GOOG', 'IBM'"):
        f.chart(data, "XYZ", by="symbol")
    with pytest.raises(vexa.formula.DataError, match="by="):
        f.chart(one, "IBM")
    png = chart._repr_png_()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    assert imread(io.BytesIO(png)).shape[1] == 1200
    page = chart._repr_html_()
    assert page.startswith("<iframe srcdoc=")
    out = browse(f"<html><body>{page}{_FRAME}</body></html>", tmp_path)
    assert out["ink"] > 0.01 and out["legend"] == [
        "DIF " + vexa.chart._layout.number(want["DIF"].iloc[-1])
    ]


_FRAME = """<script>
// Waits for the chart in the notebook's frame to be drawn, then reports its ink.
const report = (out) => {
  const pre = document.createElement("pre");
  pre.id = "vexa-probe";
  pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre);
};
let tries = 0;
const look = () => {
  const win = document.querySelector("iframe").contentWindow;
  const docs = win.Bokeh ? win.Bokeh.documents : [];
  const walk = (root, found) => {
    for (const el of root.querySelectorAll("*")) {
      if (el.tagName === "CANVAS" && el.width > 200) found.push(el);
      if (el.shadowRoot) walk(el.shadowRoot, found);
    }
    return found;
  };
  const canvases = walk(win.document, []);
  if (!docs.length || !canvases.length) {
    if (++tries < 50) setTimeout(look, 200);
    else report({ error: "no chart in the frame" });
    return;
  }
  setTimeout(() => {
    const c = canvases.sort((a, b) => b.width * b.height - a.width * a.height)[0];
    const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let i = 0; i < d.length; i += 4) {
      if (d[i + 3] > 0 && Math.min(d[i], d[i + 1], d[i + 2]) < 200) n++;
    }
    const models = [...docs[0].all_models];
    const legends = models.filter((m) => m.type === "Legend");
    const lines = legends.flatMap((l) => l.items.map((i) => i.label.value ?? i.label));
    report({ ink: n / (c.width * c.height), legend: lines.filter((t) => t.startsWith("DIF")) });
  }, 500);
};
window.addEventListener("load", () => setTimeout(look, 300));
</script>"""
