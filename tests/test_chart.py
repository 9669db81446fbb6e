"""Charts: where lines and drawings go, what the PNG holds, and the HTML rendered by chromium.

Needs the chart extra (matplotlib, bokeh, pandas) and Debian's chromium; each test skips
without what it needs, unless VEXA_CHART_TESTS=required (CI), where a skip would hide a
missing install and fails instead.
"""

import importlib
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
    buy = vexa.CROSS(dif, dea)
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
        Line("BUY", buy, drawn=False, signal=True),
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
    # the signal as markers; NODRAW lines nowhere.
    assert kinds == ["price", "volume", "lines", "lines"]
    assert names == [["MA10"], [], ["DIF", "DEA", "MACD"], ["K", "L80"]]
    assert [m.name for m in plan.markers] == ["BUY", "icon 1"]
    assert plan.markers[0].x.tolist() == np.flatnonzero(vexa.CROSS(*_dif_dea(bars)) == 1).tolist()
    drawn = {type(d).__name__: i for i, p in enumerate(plan.panels) for d in p.drawings}
    assert drawn == {"StickLine": 0, "Text": 0, "Number": 2}
    # A close-only table without volume: a price panel and the lines' panels only.
    close = bars[["close"]].reset_index(drop=True)
    plan = _layout.plan(macd_chart(close))
    assert [p.kind for p in plan.panels] == ["price", "lines", "lines"]
    assert not plan.bars.candles
    # last=N keeps the last N bars of everything.
    plan = _layout.plan(macd_chart(bars), last=50)
    assert plan.bars.n == 50 and plan.panels[0].lines[0].values.shape == (50,)


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


def test_html_in_chromium(bars, tmp_path):
    need("bokeh")
    exe = chromium()
    path = draw(macd_chart(bars), str(tmp_path / "chart.html"), last=120)
    html = Path(path).read_text(encoding="utf-8")
    assert "<script src=" not in html and "<link" not in html  # everything inline
    probe = tmp_path / "probe.html"
    probe.write_text(
        html.replace("</body>", _PROBE.replace("ZOOM", "110") + "</body>"),
        encoding="utf-8",
    )
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
