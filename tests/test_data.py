"""Price data as exports write it, from Python and from the command line: times read as
times (never sorted as text), column names of common exports, symbols told apart and
kept as text, missing values said, outputs that never replace an input, and a main job
that needs only the package's own dependencies. Every result is compared with the same
formula over the same bars in time order, bit for bit."""

import os
import re
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from support import assert_same_bits

import vexa
from vexa import cli
from vexa.formula import DataError, Formula

ROOT = Path(__file__).resolve().parent.parent
F = Formula("E:EMA(C,12); M:MA(C,5);")


def run(capsys, *argv):
    try:
        status = cli.main([str(a) for a in argv])
    except SystemExit as e:  # argparse's usage errors
        status = e.code
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


def market(symbols=("000001", "600000", "300750"), n=40):
    """A long table in time order, the dates as datetime64: what every other shape of
    the same bars must give. Symbols are six-digit codes, as Chinese exports write them."""
    base = vexa.sample("AAPL").iloc[:n]
    frames = []
    for k, code in enumerate(symbols):
        frames.append(
            pd.DataFrame(
                {
                    "code": code,
                    "date": base.index,
                    "open": base["open"].to_numpy() * (k + 1),
                    "high": base["high"].to_numpy() * (k + 1),
                    "low": base["low"].to_numpy() * (k + 1),
                    "close": base["close"].to_numpy() * (k + 1),
                    "volume": base["volume"].to_numpy(),
                }
            )
        )
    return pd.concat(frames, ignore_index=True)


def shuffled(df, seed=3):
    return df.sample(frac=1.0, random_state=seed)


def same_rows(got, want, outputs, by="code", time="date"):
    """got and want hold the same values for each (symbol, time), whatever their order."""
    key = [by, time] if by else [time]
    g = got.assign(**{time: want.loc[got.index, time]}) if time not in got else got
    g = g.sort_values(key).reset_index(drop=True)
    w = want.sort_values(key).reset_index(drop=True)
    for k in outputs:
        assert_same_bits(g[k].to_numpy(), w[k].to_numpy())


# ---- times --------------------------------------------------------------------------------

DAY = pd.Timestamp("2008-01-02")


def _text(fmt):
    return lambda d: d.strftime(fmt)


# (how a date is written, time_format, the wall-clock seconds of 2008-01-02)
FORMS = {
    "iso": (_text("%Y-%m-%d"), None, DAY),
    "year first, no zeros": (lambda d: f"{d.year}/{d.month}/{d.day}", None, DAY),
    "YYYYMMDD number": (lambda d: int(d.strftime("%Y%m%d")), None, DAY),
    "YYYYMMDD text": (_text("%Y%m%d"), None, DAY),
    "iso with time and offset": (
        lambda d: (d + pd.Timedelta(hours=9, minutes=30)).strftime("%Y-%m-%dT%H:%M:%S+08:00"),
        None,
        DAY + pd.Timedelta(hours=9, minutes=30),
    ),
    "month first": (_text("%m/%d/%Y"), "%m/%d/%Y", DAY),
    "day first": (_text("%d/%m/%Y"), "%d/%m/%Y", DAY),
    "epoch seconds": (lambda d: int(d.timestamp()), "s", DAY),
    "epoch milliseconds": (lambda d: int(d.timestamp()) * 1000, "ms", DAY),
    "datetime with a zone": (
        lambda d: d.tz_localize("Asia/Shanghai"),
        None,
        DAY,
    ),
    "date objects": (lambda d: d.date(), None, DAY),
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("kind", ["pandas", "polars"])
def test_every_time_form_orders_the_bars_as_times(form, kind):
    write, time_format, _ = FORMS[form]
    want_table = market()
    want = F(want_table, by="code")
    table = shuffled(want_table.assign(date=[write(d) for d in want_table["date"]]))
    data = table
    if kind == "polars":
        pl = pytest.importorskip("polars")
        if form == "datetime with a zone":
            pytest.skip("zoned times from pandas: the pandas case")
        data = pl.DataFrame({c: table[c].tolist() for c in table.columns})
    told = {"time_format": time_format} if time_format else {}
    got = F(data, by="code", **told)
    for k in F.outputs:  # row for row the caller's rows
        assert_same_bits(np.asarray(got[k]), want.loc[table.index, k].to_numpy())


def test_the_bars_wall_clock_times_for_every_form():
    """What the readers give a formula that reads TIME: seconds since 1970-01-01T00:00
    of each bar's wall-clock time, in time order."""
    from vexa.formula.tables import Table

    walls = {}
    for form, (write, time_format, first) in FORMS.items():
        table = market()
        table = shuffled(table.assign(date=[write(x) for x in table["date"]]))
        t = Table(table, "pandas", ("CLOSE", "TIME"), by="code", time_format=time_format)
        rows = t.blocks[0][1][:, 0]  # the first symbol's rows, in time order
        wall = t.columns["TIME"][rows]
        assert wall[0] == (first - pd.Timestamp(0)).total_seconds(), form
        assert (np.diff(wall) >= 86400).all(), form
        walls[form] = t.columns["TIME"][np.argsort(table.index)]
    # Forms mixed in one column are read value by value: the same times.
    table = market()
    mixed = [FORMS[("iso", "YYYYMMDD text")[k % 2]][0](d) for k, d in enumerate(table["date"])]
    t = Table(table.assign(date=mixed), "pandas", ("TIME",), by="code")
    assert_same_bits(t.columns["TIME"], walls["iso"])


@pytest.mark.parametrize(
    "values, message",
    [
        (["01/02/2008", "01/03/2008"], "'01/02/2008', which read as month/day or as day/month"),
        (["13/02/2008", "14/02/2008"], "'13/02/2008' reads only as day/month"),
        (["Jan 2, 2008", "Jan 3, 2008"], "'Jan 2, 2008', which is not a form of date"),
        (["2008-02-30", "2008-03-01"], "'2008-02-30', which is not a valid date"),
        (["2008-01-02", None], "has missing values"),
    ],
)
def test_text_that_reads_two_ways_is_refused_naming_the_column(values, message, tmp_path, capsys):
    df = pd.DataFrame({"Date": values, "Close": [1.0, 2.0]})
    with pytest.raises(DataError, match="time column 'Date'") as e:
        F(df)
    assert message in str(e.value)
    path = tmp_path / "two.csv"
    df.to_csv(path, index=False)
    status, _, err = run(capsys, "run", "X:C;", "--data", path)
    assert status == 1 and message in err
    if "month/day" in message:
        assert "--time-format %m/%d/%Y or" in err  # the flag, on the command line
        assert "time_format='%m/%d/%Y'" in str(e.value)


def test_the_bars_times_need_a_time():
    from vexa.formula.tables import Mapped, Table

    df = market().drop(columns="date")
    for read in (
        lambda: Table(df, "pandas", ("CLOSE", "TIME")),
        lambda: Mapped({"close": df["close"].to_numpy()}, ("CLOSE", "TIME")),
        lambda: Table(df.assign(t=np.arange(len(df))), "pandas", ("TIME",), time="t"),
    ):
        with pytest.raises(DataError, match="the formula reads the bars' times") as e:
            read()
        assert "time=" in str(e.value) or "time_format=" in str(e.value)
    days = pd.date_range("2020-01-01", periods=5).to_numpy()[::-1]
    m = Mapped({"close": np.arange(5.0), "date": days}, ("CLOSE", "TIME"))
    assert (np.diff(m.panels["TIME"][:, 0]) == 86400).all()  # in time order


# ---- one symbol ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "shape", ["DatetimeIndex", "date column", "trade_date numbers", "polars", "mapping"]
)
def test_one_symbol_newest_first_is_put_in_time_order(shape):
    bars = vexa.sample("IBM").iloc[:300]
    want = F(bars)
    newest_first = bars.iloc[::-1]
    if shape == "DatetimeIndex":
        got = F(newest_first)
    elif shape == "date column":
        got = F(newest_first.reset_index().assign(date=lambda d: d["date"].dt.strftime("%Y/%m/%d")))
    elif shape == "trade_date numbers":
        flat = newest_first.reset_index()
        flat["trade_date"] = flat.pop("date").dt.strftime("%Y%m%d").astype(int)
        got = F(flat)
    elif shape == "polars":
        pl = pytest.importorskip("polars")
        close = newest_first["close"].to_numpy()
        got = F(pl.DataFrame({"date": newest_first.index.to_numpy(), "close": close}))
        got = {k: got[k].to_numpy() for k in F.outputs}
    else:
        got = F({"date": newest_first.index.to_numpy(), "close": newest_first["close"].to_numpy()})
    for k in F.outputs:  # row for row the caller's rows, each computed in time order
        assert_same_bits(np.asarray(got[k])[::-1], want[k].to_numpy())
    twice = pd.concat([bars.iloc[:5], bars.iloc[4:5]])
    with pytest.raises(DataError, match=r"two rows at the index = '2008-01-08'.*by="):
        F(twice)
    no_time = newest_first.reset_index(drop=True)  # no time at all: taken in row order
    assert_same_bits(F(no_time)["E"].to_numpy(), vexa.EMA(no_time["close"].to_numpy(), 12))


# ---- several symbols, columns of exports --------------------------------------------------


def test_several_symbols_without_by_are_grouped_or_refused():
    table = shuffled(market())
    want = F(table, by="code")
    with pytest.warns(vexa.formula.DataWarning, match="3 symbols in column 'code'.*by='code'"):
        got = F(table)
    pd.testing.assert_frame_equal(got, want)
    assert any("column 'code'" in n for n in F.notes)
    with pytest.raises(DataError, match=r"several columns name symbols.*by="):
        F(table.assign(ticker=table["code"] + ".SZ"))
    with pytest.raises(DataError, match=r"two rows at time column 'date'.*by="):
        F(table.drop(columns="code"))


def _export(shape, table):
    """The table as a CSV export of that shape writes it: (text, symbol column, time
    column)."""
    t = table.sort_values(["code", "date"])
    if shape == "tushare":  # newest first, as tushare's daily() gives them
        t = t.sort_values(["code", "date"], ascending=[True, False])
    d = t["date"]
    if shape == "chinese":
        header, sym, tcol = "代码,日期,开盘,最高,最低,收盘,成交量,成交额", "代码", "日期"
        cols = [t["code"], d.dt.strftime("%Y-%m-%d"), t["open"], t["high"], t["low"]]
        cols += [t["close"], t["volume"], t["volume"] * t["close"]]
    elif shape == "tushare":
        header = "ts_code,trade_date,open,high,low,close,pre_close,change,pct_chg,vol,amount"
        sym, tcol = "ts_code", "trade_date"
        cols = [t["code"] + ".SZ", d.dt.strftime("%Y%m%d"), t["open"], t["high"], t["low"]]
        cols += [t["close"], t["close"], t["close"] * 0, t["close"] * 0, t["volume"], t["volume"]]
    else:  # one symbol, Adj Close holding the table's close and Close twice it
        t = t[t["code"] == "000001"]
        d = t["date"]
        header, sym, tcol = "Date,Open,High,Low,Close,Adj Close,Volume", None, "Date"
        cols = [d.dt.strftime("%Y-%m-%d"), t["open"], t["high"], t["low"], t["close"] * 2]
        cols += [t["close"], t["volume"]]
    lines = [header] + [",".join(map(_num, row)) for row in zip(*cols)]
    return "\n".join(lines) + "\n", sym, tcol


def _num(v):
    return repr(float(v)) if isinstance(v, (float, np.floating)) else str(v)


@pytest.mark.parametrize("shape", ["chinese", "tushare", "yahoo"])
def test_exports_from_the_command_line(shape, tmp_path, capsys):
    from vexa.data import csv_exact

    table = market()
    text, sym, tcol = _export(shape, table)
    path = tmp_path / f"{shape}.csv"
    path.write_text(text, encoding="utf-8")
    out = tmp_path / "out.csv"
    argv = ["run", "E:EMA(C,12); M:MA(C,5);", "--data", path, "--out", out]
    if shape == "yahoo":
        argv += ["--column", "CLOSE=Adj Close"]
    status, _, err = run(capsys, *argv)
    assert status == 0, err
    got = pd.read_csv(out, dtype={c: str for c in (sym, tcol) if c}, **csv_exact())
    if shape == "yahoo":
        want = F(table[table["code"] == "000001"].drop(columns="code"))
        for k in F.outputs:
            assert_same_bits(got[k].to_numpy(), want[k].to_numpy())
        # Without the mapping the Close column is read, never Adj Close.
        run(capsys, "run", "X:C;", "--data", path, "--out", out)
        close = pd.read_csv(out, **csv_exact())["X"].to_numpy()
        assert_same_bits(close, table.loc[table["code"] == "000001", "close"].to_numpy() * 2)
        return
    assert f"3 symbols in column '{sym}'" in err and "--by" in err  # said, not silent
    got = got.sort_values([sym, tcol], kind="stable")
    want = F(table, by="code").sort_values(["code", "date"], kind="stable")
    assert list(got[sym].str[:6]) == list(want["code"])  # leading zeros kept in --out
    for k in F.outputs:
        assert_same_bits(got[k].to_numpy(), want[k].to_numpy())
    # The printed summary: each symbol's latest bar, with its code as written.
    status, printed, _ = run(capsys, "run", "X:C;", "--data", path, "--rows", 2)
    assert status == 0 and "the first 2 of 3 symbols" in printed
    assert "000001" in printed and "300750" in printed and "600000" not in printed
    fmt = "%Y-%m-%d" if shape == "chinese" else "%Y%m%d"
    assert table["date"].max().strftime(fmt) in printed
    assert table["date"].min().strftime(fmt) not in printed


def test_column_mapping_and_names_from_python():
    bars = market().query("code == '600000'").drop(columns="code").set_index("date")
    yahoo = bars.rename(columns=str.title).assign(**{"Adj Close": bars["close"] / 2})
    assert_same_bits(F(yahoo)["M"].to_numpy(), vexa.MA(bars["close"].to_numpy(), 5))
    got = F(yahoo, columns={"c": "Adj Close"})
    assert_same_bits(got["M"].to_numpy(), vexa.MA(bars["close"].to_numpy() / 2, 5))
    only_adj = yahoo.drop(columns="Close")
    with pytest.raises(DataError, match=r"'Adj Close' is read only when asked: columns=\{'CLOSE'"):
        F(only_adj)
    with pytest.raises(ValueError, match="'PRICE' is not a data field"):
        F(yahoo, columns={"PRICE": "Close"})
    with pytest.raises(DataError, match=r"columns=.*no such column"):
        F(yahoo, columns={"CLOSE": "adj_close"})


def test_a_missing_time_column_is_named_as_the_caller_names_it(tmp_path, capsys):
    table = market().rename(columns={"date": "day"})
    with pytest.raises(DataError, match="name it with time="):
        F(table, by="code")
    path = tmp_path / "t.csv"
    table.to_csv(path, index=False)
    status, _, err = run(capsys, "run", "X:C;", "--data", path, "--by", "code")
    assert status == 1 and "name it with --time" in err and "time=" not in err
    status, out, err = run(capsys, "run", "X:C;", "--data", path, "--by", "code", "--time", "day")
    assert status == 0 and "000001" in out


# ---- missing values -----------------------------------------------------------------------


def test_a_missing_close_is_warned_and_can_be_filled(tmp_path, capsys):
    table = market()
    mine = table.index[table["code"] == "600000"]
    gap = mine[10]
    table.loc[gap, "close"] = np.nan
    with pytest.warns(vexa.MissingDataWarning) as w:
        F(table, by="code")
    assert issubclass(vexa.MissingDataWarning, UserWarning) and len(w) == 1
    text = str(w[0].message)
    day = table.loc[gap, "date"].strftime("%Y-%m-%d")
    assert f"CLOSE of symbol '600000' is missing at '{day}' (1 missing bar in all)" in text
    later = 2 * (len(mine) - 11)  # E and M, every bar after the gap
    assert f"it turned {later} later values" in text and "fill='ffill'" in text
    assert text in F.notes
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        filled = F(table, by="code", fill="ffill")
        assert "CLOSE: missing values of 1 symbol forward-filled" in F.notes
        want = F(table.assign(close=table.groupby("code")["close"].ffill()), by="code")
    pd.testing.assert_frame_equal(filled, want)
    path = tmp_path / "gap.csv"
    table.to_csv(path, index=False)
    status, _, err = run(capsys, "run", "E:EMA(C,12);", "--data", path, "--by", "code")
    assert status == 0 and "vexa: warning: CLOSE of symbol '600000' is missing at" in err
    assert "--fill ffill" in err
    status, _, err = run(capsys, "run", "E:EMA(C,12);", "--data", path, "--fill", "ffill")
    assert status == 0 and "warning" not in err


def test_values_that_are_not_numbers_are_refused_like_the_functions_refuse_them():
    n = 4
    when = pd.date_range("2020-01-01", periods=n)
    for bad in (
        when.to_numpy(),
        np.arange(n) + 1j,
        np.array(["1.5", "2.5", "3.5", "4.5"], dtype=object),
        np.array([1.0, "x", 2.0, 3.0], dtype=object),
    ):
        with pytest.raises(TypeError):
            vexa.MA(bad, 2)
        for data in (pd.DataFrame({"close": bad}), {"close": bad}):
            with pytest.raises(DataError, match=r"column 'close' has dtype .* not numbers"):
                F(data)
    masked = np.ma.array([1.0, 2.0, 3.0, 4.0], mask=[0, 1, 0, 0])
    with pytest.warns(vexa.MissingDataWarning):
        got = Formula("M:MA(C,2);")({"close": masked})["M"]
    assert isinstance(got, np.ma.MaskedArray) and got.mask.all()  # 2.0 is not read


# ---- the command line: outputs, rows, charts, parameters, input ---------------------------


def test_out_never_replaces_an_input_and_is_written_whole(tmp_path, capsys, monkeypatch):
    path = tmp_path / "aapl.csv"
    vexa.sample("AAPL").to_csv(path)
    before = path.read_bytes()
    for out in (path, tmp_path / "." / "aapl.csv", tmp_path):
        status, _, err = run(capsys, "run", "X:MA(C,5);", "--data", path, "--out", out)
        assert status == 2 and "would overwrite the input" in err
    assert path.read_bytes() == before
    out = tmp_path / "x.csv"
    out.write_text("kept\n")

    def broken(self, target, *args, **kwargs):
        Path(target).write_text("date,X\n1,")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(pd.DataFrame, "to_csv", broken)
    status, _, err = run(capsys, "run", "X:MA(C,5);", "--data", path, "--out", out)
    assert status == 1 and "No space left" in err
    assert out.read_text() == "kept\n" and sorted(os.listdir(tmp_path)) == ["aapl.csv", "x.csv"]


def test_rows_charts_and_parameters_named_like_keywords(tmp_path, capsys):
    status, out, _ = run(capsys, "run", "X:C;", "--rows", 1)
    assert status == 0 and "AAPL" in out and "MSFT" not in out
    for bad in ("0", "-3", "x"):
        status, _, err = run(capsys, "run", "X:C;", "--rows", bad)
        assert status == 2 and "--rows" in err
    status, _, err = run(capsys, "run", "X:C;", "--chart", tmp_path / "none" / "x.png")
    assert status == 2 and "no folder" in err
    status, _, err = run(capsys, "check", "X:C;", "-p", "self=3")
    assert status == 2 and "unknown parameter self" in err
    text = "X:MA(C,BY)+SELF; INPUT: BY(5), SELF(0);"
    status, out, err = run(capsys, "run", text, "-p", "by=4", "-p", "self=1", "--rows", 4)
    assert status == 0, err
    f = Formula(text)
    aapl = vexa.sample("AAPL")
    want = vexa.MA(aapl["close"].to_numpy(), 4) + 1
    assert_same_bits(f(aapl, params={"by": 4, "self": 1})["X"].to_numpy(), want)
    assert_same_bits(f(aapl, BY=4, SELF=1)["X"].to_numpy(), want)
    with pytest.raises(TypeError, match="both in params= and by keyword"):
        f(aapl, params={"by": 4}, BY=3)


@pytest.mark.parametrize("kind", ["nul", "one long line", "long names"])
def test_binary_or_hostile_input_is_refused_early_and_briefly(kind, tmp_path, capsys):
    path = tmp_path / "data.csv"
    if kind == "nul":
        path.write_bytes(b"\0" * (4 << 20))
    elif kind == "one long line":
        path.write_bytes(b"a," * (2 << 20))
    else:
        names = [f"{'n' * 5000}{k}" for k in range(40)]
        path.write_text(",".join(names) + "\n" + ",".join(["1"] * 40) + "\n")
    status, _, err = run(capsys, "run", "X:C;", "--data", path)
    assert status == 1 and len(err) < 1000, err[:300]


def test_csv_prices_are_read_as_the_nearest_double(tmp_path, monkeypatch):
    """The CSV reader gives every price the double nearest its text (what float() gives),
    on prices of 2 to 6 decimals, long decimals, exponents, signs and whole numbers of
    many digits; spellings of NaN that pandas keeps as text are read by pandas."""
    pytest.importorskip("pyarrow")
    from vexa.cli import files

    rng = np.random.default_rng(23)
    x = rng.lognormal(3, 2, 4000)
    digits = rng.integers(0, 10, (4000, 30)).astype(str)
    texts = [f"{v:.{2 + k % 5}f}" for k, v in enumerate(x[:2000])]
    long = enumerate(zip(x[2000:3000], digits))
    texts += [f"{int(v)}.{''.join(d[: 15 + k % 16])}" for k, (v, d) in long]
    texts += [f"{v:.{k % 19}e}" for k, v in enumerate(x[3000:3500] * 10.0 ** (x[:500] % 40 - 20))]
    texts += ["".join(d[: 12 + k % 18]).lstrip("0") or "0" for k, d in enumerate(digits[3500:])]
    texts = [("-" if k % 7 == 3 else "") + t for k, t in enumerate(texts)]
    path = tmp_path / "prices.csv"
    rows = [f"{600000 + k % 9:06d},2024-01-{1 + k // 9 % 28:02d},{t}" for k, t in enumerate(texts)]
    path.write_text("code,date,close\n" + "\n".join(rows) + "\n")
    slow = []
    monkeypatch.setattr(files, "_csv_pandas", lambda *a: slow.append(a))
    close = files.read_data(path, "code", lambda names: names)["close"].to_numpy()
    want = np.array([float(t) for t in texts])
    assert not slow and np.array_equal(close.view(np.int64), want.view(np.int64))
    monkeypatch.undo()
    path.write_text("code,date,close\n600000,2024-01-02,12.5\n600000,2024-01-03,NAN\n")
    got = files.read_data(path, "code", lambda names: names)["close"]
    assert list(got) == list(pd.read_csv(path)["close"]) == ["12.5", "NAN"]


def test_run_needs_only_the_packages_dependencies(tmp_path):
    """vexa run in a process where every package of the extras that pyproject.toml does
    not make a dependency of vexa is missing (polars, pyarrow, matplotlib, dask, ...)."""
    text = (ROOT / "pyproject.toml").read_text("utf-8")
    deps = set(_names(re.search(r"^dependencies = \[(.*?)\]", text, re.M | re.S).group(1)))
    extras = text[text.index("[project.optional-dependencies]") :].split("\n[", 1)[0]
    blocked = set(_names(extras)) - deps | {"tqdm"}
    assert "numpy" in deps and {"polars", "pyarrow", "matplotlib", "dask"} <= blocked
    data = tmp_path / "ibm.csv"
    vexa.sample("IBM").iloc[:60].to_csv(data)
    fake = tmp_path / "ibm.parquet"
    fake.write_bytes(b"PAR1" + bytes(64) + b"PAR1")
    script = (
        "import sys\n"
        f"BLOCKED = {sorted(blocked)!r}\n"
        "class Missing:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.partition('.')[0] in BLOCKED:\n"
        "            raise ImportError(f'No module named {name!r}')\n"
        "sys.meta_path.insert(0, Missing())\n"
        "from vexa.cli import main\n"
        "sys.exit(main(sys.argv[1:]))\n"
    )
    for source, status, said in ((data, 0, "IBM" if False else "the latest"), (fake, 1, "pyarrow")):
        proc = subprocess.run(
            [sys.executable, "-c", script, "run", "X:MA(C,5);", "--data", str(source)],
            capture_output=True,
            text=True,
            cwd=tmp_path,
        )
        assert proc.returncode == status, proc.stderr[-2000:]
        assert said in proc.stdout + proc.stderr and "Traceback" not in proc.stderr


def _names(requirements):
    """Import names of the packages in a list of requirement strings."""
    found = re.findall(r'"([A-Za-z][A-Za-z0-9_.-]*)', requirements)
    return [{"ta-lib": "talib"}.get(n.lower(), n.lower().replace("-", "_")) for n in found]


def test_the_quick_start_uses_a_virtual_environment():
    text = (ROOT / "README.md").read_text("utf-8")
    section = text[text.index("## Quick start") : text.index("## Use")]
    blocks = [b for b in re.findall(r"```sh\n(.*?)```", section, re.S) if "pip install" in b]
    assert blocks
    for b in blocks:
        assert "python3 -m venv" in b and "activate" in b
        assert b.index("activate") < b.index("pip install")
