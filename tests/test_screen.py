"""Screens: each symbol's latest bar (or its bar at a date) of a long table, filtered by an
output's truth and ranked, against a model built from the formula's call on the same
table (pandas groups, Python's sort): the same symbols, times and bits, in pandas and
polars; dates read as each form of time column reads them; the errors; the command line
on real files."""

import datetime as dt
import re

import numpy as np
import pandas as pd
import pytest
from support import assert_same_bits

from vexa import cli
from vexa.data import csv_exact
from vexa.formula import DataError, DataWarning, Formula, FormulaError, MissingDataWarning

# X ties nowhere, R (whole tens) and BUY (0 or 1) tie often; each is NaN somewhere.
FORMULA = "X:C-MA(C,5); R:ROUND(C/10); BUY:C>REF(C,1);"


def market(seed=0, symbols=14, n=60):
    """A long table as exports write it: text dates, text codes with leading zeros, rows
    shuffled. Histories differ: some end early, some start late, one has one bar, one is
    suspended for a few days, and one's closes are missing at its end."""
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2024-01-02", periods=n)
    parts = []
    for k in range(symbols):
        first = int(rng.integers(0, n // 3)) if k % 3 == 1 else 0
        last = n - int(rng.integers(1, n // 3)) if k % 4 == 2 else n
        idx = np.arange(first, last)
        if k == 5:
            idx = idx[-1:]  # one bar
        if k == 6:
            idx = idx[(idx < 30) | (idx > 33)]  # suspended around the middle date
        close = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.03, len(idx)))), 2)
        if k == 7:
            close[-2:] = np.nan
        parts.append(
            pd.DataFrame(
                {
                    "code": f"{k * 7 % 100:06d}",
                    "date": days[idx].strftime("%Y-%m-%d"),
                    "close": close,
                }
            )
        )
    table = pd.concat(parts, ignore_index=True)
    return table.sample(frac=1.0, random_state=seed).reset_index(drop=True)


def model(data, f, by, when, date, sort, descending, top):
    """The screen from the formula's call: pandas picks the rows, Python sorts them."""
    full = f(data, by=by)
    full["_t"] = pd.to_datetime(full["date"])
    if date is None:
        picked = full.loc[full.groupby(by)["_t"].idxmax()]
    else:
        picked = full[full["_t"] == pd.Timestamp(date)]
    rows = [r for _, r in picked.iterrows()]
    if when is not None:
        rows = [r for r in rows if r[when] == r[when] and r[when] != 0]
    if sort is None:
        rows.sort(key=lambda r: r[by])
    else:
        sign = -1 if descending else 1
        rows.sort(key=lambda r: (r[sort] != r[sort], sign * np.nan_to_num(r[sort]), r[by]))
    return rows[:top] if top is not None else rows


def assert_screen(got, want, f, by="code"):
    if not isinstance(got, pd.DataFrame):  # polars, read without pyarrow
        got = pd.DataFrame({c: got[c].to_list() for c in got.columns})
    assert list(got.columns) == [by, "date", *f.outputs]
    assert got[by].tolist() == [r[by] for r in want]
    assert got["date"].tolist() == [r["date"] for r in want]
    for o in f.outputs:
        assert_same_bits(got[o].to_numpy(), np.array([r[o] for r in want], dtype=np.float64))


REQUESTS = [
    {"when": "BUY", "date": None, "sort": None, "descending": True, "top": None},
    {"when": None, "date": None, "sort": "R", "descending": True, "top": None},
    {"when": None, "date": None, "sort": "X", "descending": False, "top": 5},
    {"when": "X", "date": "2024-02-16", "sort": "R", "descending": False, "top": None},
    {"when": None, "date": "2024-02-16", "sort": "BUY", "descending": True, "top": 4},
]


@pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning", "ignore::vexa.formula.DataWarning")
@pytest.mark.parametrize("kind", ["pandas", "polars"])
def test_screen_equals_the_call_picked_and_sorted(kind):
    data = market()
    f = Formula(FORMULA)
    table = data
    if kind == "polars":
        pl = pytest.importorskip("polars")
        table = pl.DataFrame({c: data[c].to_numpy() for c in data.columns})  # no pyarrow
    for req in REQUESTS:
        want = model(data, f, "code", **req)
        got = f.screen(table, by="code", **req)
        assert type(got).__module__.split(".")[0] == kind
        assert_screen(got, want, f)
        if req["date"] is not None:  # symbols without a bar at the date are left out
            assert len(want) < data["code"].nunique()
        if req["sort"] in ("R", "BUY"):  # ties, broken by symbol
            values = [r[req["sort"]] for r in want]
            assert len(set(values)) < len(values)
        if req["top"] is None and req["when"] is None:  # NaN kept, last whatever the order
            assert np.isnan(want[-1][req["sort"]]) and not np.isnan(want[-2][req["sort"]])


def test_symbols_at_an_older_bar_or_without_a_value_there_are_said():
    data = market()
    f = Formula(FORMULA)
    said = r"1 symbol misses CLOSE at the bar screened \('000049' at '2024-03-25'\).*fill="
    with pytest.warns(MissingDataWarning, match=said):
        f.screen(data, by="code")  # 000049 left out of BUY without its close
    f.screen(data, by="code", fill="ffill")
    data = data[data["code"] != "000049"]
    with pytest.warns(DataWarning, match=r"symbols screened have no bar at the table's latest"):
        f.screen(data, by="code", when=None)
    with pytest.warns(DataWarning, match=r"\('000014' at '2024-03-\d\d', "):  # symbol order
        f.screen(data, by="code", when=None)
    f.screen(data[data["date"] < "2024-02-01"], by="code", when=None)  # every one up to date
    f.screen(data, by="code", when=None, date="2024-03-01")


def epoch_ms(text):
    return pd.to_datetime(text).dt.as_unit("s").astype("int64") * 1000


# (the time column made from ISO text, time_format, dates given for 2024-02-16)
FORMS = [
    (pd.to_datetime, None, ["2024-02-16", dt.date(2024, 2, 16)]),
    (lambda t: t, None, ["2024-02-16", "20240216", pd.Timestamp("2024-02-16")]),
    (
        lambda t: pd.to_datetime(t).dt.strftime("%d/%m/%Y"),
        "%d/%m/%Y",
        ["16/02/2024", dt.datetime(2024, 2, 16)],
    ),
    (lambda t: t.str.replace("-", "").astype(np.int64), None, [20240216, "2024-02-16"]),
    (epoch_ms, "ms", [1708041600000, "2024-02-16", np.datetime64("2024-02-16")]),
    (
        lambda t: pd.to_datetime(t).dt.tz_localize("Asia/Shanghai"),
        None,
        ["2024-02-16", "2024-02-16T00:00+08:00", pd.Timestamp("2024-02-15 16:00", tz="UTC")],
    ),
]


@pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning")
@pytest.mark.parametrize("form", range(len(FORMS)))
def test_a_date_is_read_as_the_time_column_is(form):
    make, time_format, dates = FORMS[form]
    data = market()
    want = model(data, Formula(FORMULA), "code", None, "2024-02-16", "X", True, None)
    data["date"] = make(data["date"])
    f = Formula(FORMULA)
    for date in dates:
        got = f.screen(data, by="code", when=None, date=date, sort="X", time_format=time_format)
        assert got["code"].tolist() == [r["code"] for r in want], date
        assert_same_bits(got["X"].to_numpy(), np.array([r["X"] for r in want]))


def test_polars_dates_and_symbols_found_by_name():
    pl = pytest.importorskip("polars")
    data = market()
    want = model(data, Formula(FORMULA), "code", None, "2024-02-16", None, True, None)
    table = pl.DataFrame({c: data[c].to_numpy() for c in data.columns}).with_columns(
        pl.col("date").str.to_date()
    )
    with pytest.warns(DataWarning, match="the symbols are those of column 'code', as with by="):
        got = Formula(FORMULA).screen(table, when=None, date=dt.date(2024, 2, 16))
    assert got["code"].to_list() == [r["code"] for r in want]
    assert got["date"].dtype == pl.Date


@pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning")
@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (
            {"when": "SELL"},
            FormulaError,
            r"when='SELL' is not an output .*X, R, BUY\); when=None keeps",
        ),
        ({"sort": "macd"}, FormulaError, r"sort='macd' is not an output .*\(its outputs: X, R"),
        ({"top": 0}, ValueError, "top= takes a positive whole number"),
        ({"top": 2.0}, ValueError, "top= takes a positive whole number"),
        ({"date": [1]}, TypeError, "date= takes a date"),
        ({"by": "sym"}, DataError, r"no column 'sym' to group by"),
        (
            {"date": "2024-02-17"},
            DataError,
            r"no symbol has a bar at date='2024-02-17'.*'2024-02-16'.*'2024-02-19'",
        ),
        (
            {"date": "02/16/2024"},
            DataError,
            r"write it as time column 'date' writes its times \('20",
        ),
        ({"date": "01/02/2024"}, DataError, r"reads as month/day or as day/month"),
        ({"date": "2024-02-16T00:00+08:00"}, DataError, r"without a UTC offset"),
        ({"date": 20240216.5}, DataError, "date= 20240216.5 is not a date"),
    ],
)
def test_errors_name_what_to_pass(kwargs, error, message):
    data = market()
    kwargs.setdefault("by", "code")
    with pytest.raises(error, match=message):
        Formula(FORMULA).screen(data, **kwargs)


def test_what_cannot_be_screened():
    data = market()
    f = Formula(FORMULA)
    with pytest.raises(DataError, match="not a mapping"):
        f.screen({"close": data["close"].to_numpy()})
    with pytest.raises(DataError, match="a screen needs the symbol column"):
        f.screen(data.drop(columns="code"))
    with pytest.raises(DataError, match="holds times with a UTC offset: give date= with one"):
        f.screen(data.assign(date=data["date"] + "T09:30+08:00"), date="2024-02-16 09:30")
    with pytest.raises(DataError, match="output date has the name of the time column"):
        Formula("date:C;").screen(data, by="code", when=None)
    assert Formula("BUY:C>0;").screen(data.iloc[:0], by="code").empty
    # 01:30 twice in New York on 2024-11-03: the wall-clock time alone is refused.
    times = pd.date_range("2024-11-03 00:30", periods=5, freq="30min", tz="America/New_York")
    bars = pd.DataFrame({"symbol": "A", "date": times, "close": np.arange(5.0)})
    with pytest.raises(DataError, match=r"two bars at date='2024-11-03 01:30' .*UTC offset"):
        f.screen(bars, when=None, date="2024-11-03 01:30")
    got = f.screen(bars, when=None, date="2024-11-03 01:30-05:00")
    assert got["date"].tolist() == [times[4]]


def test_command_line_on_files(tmp_path, capsys):
    data = market(symbols=60)
    path = tmp_path / "prices.csv"
    data.to_csv(path, index=False)
    formula = tmp_path / "f.txt"
    formula.write_text(FORMULA)
    f = Formula(FORMULA)
    with pytest.warns(DataWarning, match="latest time"), pytest.warns(MissingDataWarning):
        want = f.screen(data, by="code", when=None, sort="X")
    out = tmp_path / "screen.csv"
    argv = ["screen", formula, "--data", path, "--by", "code", "--sort", "X"]
    assert cli.main([str(a) for a in [*argv, "--all", "--out", out]]) == 0
    err = capsys.readouterr().err
    assert "have no bar at the table's latest time" in err and "misses CLOSE at" in err
    got = pd.read_csv(out, dtype={"code": str}, **csv_exact())
    assert got["code"].tolist() == want["code"].tolist()
    assert_same_bits(got["X"].to_numpy(), want["X"].to_numpy())  # CSV keeps every digit
    assert cli.main([str(a) for a in [*argv, "--top", "7", "--rows", "3"]]) == 0
    printed = capsys.readouterr().out
    buy = want[want["BUY"] == 1]
    assert "# 7 symbols where BUY is true at their latest bar, by X (largest first)" in printed
    assert buy["code"].iloc[2] in printed and buy["code"].iloc[3] not in printed
    for extra, status, said in [
        (["--when", "SELL"], 2, r"--when SELL is not an output .*BUY\); --all keeps"),
        (["--date", "2024-02-17"], 1, "no symbol has a bar at --date 2024-02-17"),
    ]:
        assert cli.main([str(a) for a in [*argv, *extra]]) == status
        assert re.search(said, capsys.readouterr().err)
