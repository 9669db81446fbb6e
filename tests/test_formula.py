"""Formulas: what a compiled formula reports, its errors, and its values against the
direct calls of the same functions, bit for bit, over every kind of data."""

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest
from support import assert_same_bits, assert_same_values

import vexa
from vexa.formula import DataError, Formula, FormulaError


def bars(n=120, seed=1, start=100.0):
    rng = np.random.default_rng(seed)
    c = start * np.exp(np.cumsum(rng.normal(0, 0.02, n)))
    o = c * np.exp(rng.normal(0, 0.005, n))
    h = np.maximum(o, c) * (1 + rng.uniform(0, 0.01, n))
    low = np.minimum(o, c) * (1 - rng.uniform(0, 0.01, n))
    v = rng.integers(100, 10_000, n).astype(np.float64)
    return pd.DataFrame({"Open": o, "High": h, "Low": low, "Close": c, "Volume": v})


MACD = """DIF:=EMA(CLOSE,SHORT)-EMA(CLOSE,LONG);
DEA:=EMA(DIF,MID);
MACD:(DIF-DEA)*2,COLORSTICK;
BUY:CROSS(DIF,DEA),NODRAW;"""


# ---- what a formula is ---------------------------------------------------------------


def test_compiled_formula_reports_itself():
    f = Formula(MACD, SHORT=12, LONG=26, MID=9)
    assert f.outputs == ("MACD", "BUY")
    assert f.params == {"SHORT": 12.0, "LONG": 26.0, "MID": 9.0}
    assert f.inputs == ("CLOSE",)
    assert f.looks_ahead == ()
    g = pickle.loads(pickle.dumps(f))
    assert (g.outputs, g.params, g.text) == (f.outputs, f.params, f.text)
    h = Formula("INPUT: N(5), M(3); {comment} A:MA(c, n) // tail\n; ma(H,m); x:=L;", m=4)
    assert h.outputs == ("A", "ma(H,m)")
    assert h.params == {"N": 5.0, "M": 4.0}
    assert h.inputs == ("HIGH", "CLOSE")


def test_look_ahead_is_marked_per_statement():
    f = Formula(
        "A:MA(C,5); B:=REF(C,-1); X:B+1; Y:REFX(C,N); Z:ZIG(3,5); W:REF(C,BARSLAST(C>O));"
        "VV:REF(C,C-O); U:REFXV(C,N); T:CONST(C); S:REF(C,N);",
        N=2,
    )
    ahead = {a.statement: a.function for a in f.looks_ahead}
    assert ahead == {
        "B": "REF",
        "X": "REF",
        "Y": "REFX",
        "Z": "ZIG",
        "VV": "REF",
        "U": "REFXV",
        "T": "CONST",
    }
    assert not f.lookahead_with(N=-1).__contains__("Y")
    assert {a.statement for a in f.lookahead_with(N=-1)} >= {"S", "B"}
    assert "Y" not in {a.statement for a in f.lookahead_with(N=-1)}
    assert all(a.line == 1 for a in f.looks_ahead)


def test_common_subexpressions_are_one_node():
    f = Formula("A:MA(C,5)+MA(C,5); B:=MA(C,5); D:B*2; E:ma(close, 5);")
    calls = [n for n in f._program.nodes if n.op == "call"]
    assert len(calls) == 1


@pytest.mark.parametrize(
    "text, message, line, column",
    [
        ("X:MA(C,5", "unexpected end of the formula; expected ',' or ')'", 1, 9),
        ("X:C+*2;", "unexpected '*'", 1, 5),
        ("X:C\nY:2", "unexpected name 'Y'; expected ';' or the end", 2, 1),
        ("X:MAA(C,5);", "unknown function MAA; did you mean MA", 1, 3),
        ("X:MA(CLOS,5);", "unknown name CLOS; did you mean CLOSE", 1, 6),
        ("X:MA(C);", "MA takes 2 arguments (a, N), 1 given", 1, 3),
        ("X:MA(C,N);", "unknown name N", 1, 8),
        ("X:WMA(C,C);", "WMA's N must be a number", 1, 9),
        ("X:C,COLORREDD;", "unknown drawing attribute COLORREDD; did you mean COLORRED", 1, 5),
        ("X:C;X:O;", "X is already defined on line 1", 1, 5),
        ("CLOSE:=O;", "CLOSE is the data field CLOSE", 1, 1),
        ("X:'a';", "a quoted text can only be the text of DRAWTEXT", 1, 3),
        ("X:STICKLINE(C>O,C,O,1,0)+1;", "STICKLINE draws", 1, 3),
        ("X:ZIG(5,5);", "ZIG's K: 0, 1, 2 or 3", 1, 7),
        ("X:MA;", "MA is a function", 1, 3),
        ("X:C；", "the full-width character", 1, 4),
        ("{open", "never closed", 1, 1),
        ("X:1a;", "a name cannot start with a digit", 1, 3),
        ("X:C#WEEK;", "references to other periods", 1, 4),
        ("X:\x00;", "a NUL character", 1, 3),
        ("X:" + "(" * 100 + "1" + ")" * 100, "nested more than 40 deep", 1, 43),
        ("X:" + "A" * 300, "a name of 300 characters", 1, 3),
        ("X:" + "9" * 100, "a number of 100 characters", 1, 3),
        ("INPUT: N(1), N(2);", "the parameter N is declared twice", 1, 14),
        ("X:=C,COLORRED;", "an intermediate (:=) is not drawn", 1, 6),
        ("X:C,LINETHICK²;", "unknown drawing attribute LINETHICK²", 1, 5),
        ("X:C,RGB(300,0,0);", "RGB takes three whole numbers from 0 to 255", 1, 5),
        ("X:EMA(C,0);", "EMA's N = 0: it must be a whole number of 1 or more", 1, 3),
        ("X:SMA(C,3,5);", "SMA's M = 5 is larger than its N = 3", 1, 3),
        ("X:MA(C,-1);", "MA's N = -1: it must be a whole number of 1 or more", 1, 3),
        ("X:ZIG(3,0);", "ZIG's N = 0: a percentage above 0", 1, 3),
        ("X:DRAWTEXT(C>O,C,'a');", "DRAWTEXT draws and has no value for X to name", 1, 1),
        ("", "the formula has no output line", 1, 1),
        ("X:=C;", "the formula has no output line", 1, 1),
        ("X:CLOſE;", "unknown name CLOſE; did you mean CLOSE?", 1, 3),
        ("X:1e400;", "the number 1e400 is beyond the range of a double", 1, 3),
        ("A:B; B:C;", "B is read on line 1, column 3, before this statement", 1, 6),
        ("X:CURRBARSCOUNT(C);", "CURRBARSCOUNT takes no argument, 1 given", 1, 3),
    ],
)
def test_errors_point_at_the_fault(text, message, line, column):
    with pytest.raises(FormulaError) as e:
        Formula(text)(bars(5))  # some are found at the call: parameters without a value
    err = e.value
    assert message in str(err)
    assert (err.line, err.column) == (line, column)
    shown = str(err).split("\n")
    assert len(shown) == 3 and shown[2].rstrip().endswith("^")
    assert pickle.loads(pickle.dumps(err)).line == line


def test_hostile_text_is_refused_quickly():
    with pytest.raises(FormulaError, match="neither UTF-8 nor GBK"):
        Formula(b"X:C;\n\xff\xfe")
    with pytest.raises(FormulaError, match="10,000 statements"):
        Formula("X:=1;" * 1_000_000 if False else "1;" * 200_000)
    with pytest.raises(FormulaError, match="too long"):
        Formula("1;" * 1_000_000)
    with pytest.raises(FormulaError, match="more than 40 signs"):
        Formula("-" * 100_000 + "1")
    with pytest.raises(FormulaError, match="nested"):
        Formula("MA(" * 5000 + "C,1" + ")" * 5000)
    # A long chain is built by a loop, not a recursion.
    f = Formula("X:" + "+".join(["C"] * 5000) + ";")
    assert f.outputs == ("X",)
    with pytest.raises(TypeError):
        Formula(42)


# ---- values ------------------------------------------------------------------------


def test_ma_equals_the_direct_call():
    df = bars()
    got = Formula("X:MA(C,5);")(df)["X"]
    assert_same_bits(got.to_numpy(), vexa.MA(np.array(df["Close"]), 5))
    assert list(got.index) == list(df.index)


def test_macd_equals_the_chain_of_direct_calls():
    df = bars(300)
    c = np.array(df["Close"])
    f = Formula(MACD, SHORT=12, LONG=26, MID=9)
    r = f(df)
    dif = vexa.EMA(c, 12) - vexa.EMA(c, 26)
    dea = vexa.EMA(dif, 9)
    assert_same_values(r["MACD"].to_numpy(), (dif - dea) * 2)
    assert_same_values(r["BUY"].to_numpy(), vexa.CROSS(dif, dea))
    r2 = f(df, MID=5)
    assert_same_values(r2["MACD"].to_numpy(), (dif - vexa.EMA(dif, 5)) * 2)


def test_language_functions_and_operators():
    df = bars(200, seed=3)
    c, o, h, low = (np.array(df[k]) for k in ("Close", "Open", "High", "Low"))
    x = np.where(np.arange(200) % 7 == 0, np.nan, c - o)
    r = Formula(
        "A:MA(C,BARSLAST(C>O)+1); B:IF(C>O,H,L); D:IFN(C>O,H,L); E:REFX(C,2); "
        "F:C<>O; G:(C>O) AND (H>L) OR 0; K:NOT(C>O); M:MAX(C,O)-MIN(C,O); "
        "P:ROUND(C*10)/10; Q:BETWEEN(C,O,H); R:RANGE(C,L,H); S:MOD(C,3); T:SIGN(C-O); "
        "U:BARSLASTCOUNT(C>O); W:REVERSE(C); Y:-C; Z:C/0; AA:COUNT(C>O,N)+N;",
        N=4,
    )(df)
    barslast = vexa.BARSLAST((c > o).astype(np.uint8))
    barslast = np.where(barslast > 0, barslast - 1, np.nan)  # the terminals' count
    assert_same_values(r["A"], vexa.MA_A(c, barslast + 1))
    assert_same_bits(r["B"], vexa.FIF((c > o).astype(np.uint8), h, low))
    assert_same_bits(r["D"], vexa.FIF((c > o).astype(np.uint8), low, h))
    assert_same_bits(r["E"], vexa.REF(c, -2))
    assert_same_bits(r["F"], (c != o).astype(float))
    assert_same_bits(r["K"], (c <= o).astype(float))
    assert_same_bits(r["M"], np.maximum(c, o) - np.minimum(c, o))
    assert_same_bits(r["S"], np.fmod(c, 3))
    assert_same_bits(r["U"], vexa.BACKCOUNT((c > o).astype(np.uint8)))
    assert_same_bits(r["W"], -c)
    assert_same_bits(r["Y"], -c)
    assert np.isinf(r["Z"]).all()
    assert_same_values(r["AA"], vexa.COUNT((c > o).astype(float), 4) + 4)
    # Comparisons with a missing value give 0; logic reads NaN as false.
    r2 = Formula("A:C<>0; B:C=C; D:C OR 0; E:NOT(C);")({"close": x})
    nan = np.isnan(x)
    assert (r2["A"][nan] == 0).all() and (r2["B"][nan] == 0).all()
    assert (r2["D"][nan] == 0).all() and (r2["E"][nan] == 1).all()


def test_round_halves_away_from_zero():
    x = np.array([2.5, -2.5, 0.49999999999999994, 1.5, -0.5, 3.2, np.nan, -0.0])
    got = Formula("R:ROUND(C);")({"close": x})["R"]
    assert_same_values(got, [3, -3, 0, 2, -1, 3, np.nan, -0.0])  # the sign of zero kept


# ---- data kinds --------------------------------------------------------------------


def to_polars(df):
    """A polars copy of a pandas frame, column by column (no pyarrow needed)."""
    import polars as pl

    return pl.DataFrame(
        {c: df[c].to_numpy() if df[c].dtype.kind in "fiumM" else df[c].tolist() for c in df.columns}
    )


def long_table(symbols=5, seed=0, lengths=None):
    rng = np.random.default_rng(seed)
    parts = []
    for k in range(symbols if lengths is None else len(lengths)):
        n = int(rng.integers(30, 90)) if lengths is None else lengths[k]
        df = bars(n, seed=100 + k)
        df["date"] = pd.date_range("2020-01-01", periods=n, freq="D")
        df["symbol"] = f"S{k}"
        parts.append(df)
    table = pd.concat(parts, ignore_index=True)
    return table.sample(frac=1.0, random_state=1)  # rows shuffled


@pytest.mark.parametrize("layout", ["shuffled", "in order"])
def test_long_table_equals_each_symbol_alone(layout):
    # Symbols of one length one after another (read in place when the table is in
    # order), and apart (gathered).
    table = long_table(lengths=[40, 40, 55, 70, 70, 40])
    if layout == "in order":
        table = table.sort_values(["symbol", "date"])
    before = table.copy()
    f = Formula("A:MA(C,5); B:CURRBARSCOUNT; D:SUM(V,0); E:BARSLAST(C>REF(C,1));")
    r = f(table, by="symbol")
    pd.testing.assert_frame_equal(table, before)
    assert list(r.columns) == ["symbol", "date", "A", "B", "D", "E"]
    assert list(r.index) == list(table.index)
    for _, rows in table.groupby("symbol"):
        alone = f(rows.sort_values("date"))
        mine = r.loc[rows.sort_values("date").index]
        for k in f.outputs:
            assert_same_bits(mine[k].to_numpy(), alone[k].to_numpy())


def test_long_table_polars_and_errors():
    pytest.importorskip("polars")
    table = long_table(3)
    f = Formula("A:MA(C,3);")
    got = f(to_polars(table), by="symbol")
    want = f(table, by="symbol")
    assert got.columns == ["symbol", "date", "A"]
    assert_same_bits(got["A"].to_numpy(), want["A"].to_numpy())
    dup = pd.concat([table, table.iloc[:1]])
    with pytest.raises(DataError, match="has two rows"):
        f(dup, by="symbol")
    with pytest.raises(DataError, match="no time column"):
        f(table.drop(columns="date"), by="symbol")
    with pytest.raises(DataError, match="no column for CLOSE"):
        f(table.drop(columns="Close"), by="symbol")
    with pytest.raises(DataError, match="no column 'ticker'"):
        f(table, by="ticker")
    import polars as pl

    gap = table.astype({"symbol": "str"})
    gap.iloc[2, gap.columns.get_loc("symbol")] = None
    row = pl.int_range(pl.len()) == 2
    pgap = to_polars(table).with_columns(symbol=pl.when(row).then(None).otherwise(pl.col("symbol")))
    for bad in (gap, pgap):
        with pytest.raises(DataError, match="'symbol' has missing values"):
            f(bad, by="symbol")
    mixed = table.astype({"symbol": object})
    mixed.iloc[2, mixed.columns.get_loc("symbol")] = 7
    with pytest.raises(DataError, match="'symbol' mixes values that cannot be ordered"):
        f(mixed, by="symbol")


LAYOUTS = [
    "by symbol",
    "symbols in any order",
    "by day",
    "by day, symbols in any order",
    "by day, ragged",
    "newest first",
    "shuffled",
]
SORTED = ("shuffled",)  # the others are read where they lie


def _layout(table, layout):
    """The long table as an export of that layout writes it."""
    if layout == "by symbol":
        return table.sort_values(["symbol", "date"])
    order = {s: k for k, s in enumerate(["S3", "S0", "S6", "S1", "S5", "S2", "S4"])}
    if layout == "symbols in any order":
        return table.sort_values(["date"]).sort_values(
            "symbol", key=lambda s: s.map(order), kind="stable"
        )
    if layout.startswith("by day,") and "ragged" not in layout:
        table = table.sort_values("symbol", key=lambda s: s.map(order))
        layout = "by day"
    if layout == "by day":  # every bar has every symbol: a panel bar by bar
        full = table.groupby("symbol")["date"].transform("size") == 40
        return table[full].sort_values(["date"], kind="stable")
    if layout == "by day, ragged":
        return table.sort_values(["date", "symbol"])
    if layout == "newest first":
        return table.sort_values(["symbol", "date"], ascending=[True, False])
    return table.sample(frac=1.0, random_state=4)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_long_tables_in_every_layout_equal_each_symbol_alone(layout):
    """Symbols of 40, 25 and 1 bars with a gap inside one, in the layouts exports write,
    with symbols as text, objects, categories, numbers and polars text: every value is
    the symbol's own run, bit for bit, missing values are told alike, two rows of one
    symbol at one time are refused, and the layouts that need no sort are read in
    place."""
    from vexa.formula.tables import Table

    parts = []
    for k, n in enumerate([40, 40, 25, 40, 1, 40, 1]):
        df = bars(n, seed=200 + k)
        df["date"] = pd.bdate_range("2021-01-04", periods=40)[40 - n :]
        df["symbol"] = f"S{k}"
        parts.append(df)
    base = pd.concat(parts, ignore_index=True)
    base.loc[(base["symbol"] == "S2") & (base.index % 25 == 7), "Close"] = np.nan
    f = Formula("A:MA(C,5); B:CURRBARSCOUNT; D:SUM(V,0); E:BARSLAST(C>REF(C,1)); T:DATE;")
    table = _layout(base, layout)
    alone = {}
    for sym, rows in table.groupby("symbol"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            alone[sym] = f(rows.drop(columns="symbol").sort_values("date"))
    with pytest.warns(vexa.formula.MissingDataWarning):
        f(_layout(base, "by symbol"), by="symbol")
    told = f.notes
    codes = {f"S{k}": 600000 + k for k in range(7)}
    kinds = {
        "text": table,
        "objects": table.astype({"symbol": object}),
        "categories": table.astype({"symbol": "category"}),
        "numbers": table.assign(symbol=table["symbol"].map(codes)),
        "polars": "polars",
    }
    for kind, data in kinds.items():
        if kind == "polars":
            pl = pytest.importorskip("polars")  # converted without pyarrow
            data = pl.DataFrame({c: table[c].to_numpy() for c in table.columns})
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            got = f(data, by="symbol")
        if kind == "polars":
            got = pd.DataFrame({c: got[c].to_numpy() for c in got.columns}, index=table.index)
        if layout not in ("by day", "by day, symbols in any order"):
            said = [t.replace("'S2'", "600002") if kind == "numbers" else t for t in told]
            assert list(f.notes) == said, kind
        for want in alone.values():
            for o in f.outputs:
                assert_same_bits(got.loc[want.index, o].to_numpy(), want[o].to_numpy())
        twice = data[:1] if kind == "polars" else data.iloc[:1]
        twice = pl.concat([data, twice]) if kind == "polars" else pd.concat([data, twice])
        with pytest.raises(DataError, match=r"symbol .* has two rows at time column 'date'"):
            f(twice, by="symbol")
        if kind in ("text", "numbers"):  # the symbols of 40 bars: one block
            full = data[data.groupby("symbol")["date"].transform("size") == 40]
            read = Table(full, "pandas", f.inputs, by="symbol")
            assert read.in_order == (layout not in SORTED), kind
            (n, rows), close = read.blocks[0], full["Close"].to_numpy()
            viewed = read.in_order and layout != "newest first"  # read backwards: copied
            assert np.shares_memory(read.panels(n, rows)["CLOSE"], close) == viewed


def test_columns_read_are_named():
    f = Formula("A:MA(C,3)+VOL; B:HHV(H,4);")
    assert f.columns(["Date", "High", "close", "volume", "Open"]) == {
        "HIGH": "High",
        "CLOSE": "close",
        "VOL": "volume",
    }
    with pytest.raises(DataError, match="no column for VOL"):
        f.columns(["high", "close"])
    with pytest.raises(DataError, match="several columns for CLOSE"):
        f.columns(["high", "close", "C", "vol"])


def test_polars_mappings_and_panels():
    pytest.importorskip("polars")
    df = bars(50)
    f = Formula("A:MA(C,3); B:HHV(H,4);")
    got = f(to_polars(df))
    assert_same_bits(got["A"].to_numpy(), vexa.MA(np.array(df["Close"]), 3))
    m = f({"close": df["Close"].to_numpy(), "high": df["High"].to_numpy()})
    assert_same_bits(m["B"], vexa.HHV(np.array(df["High"]), 4))
    panel = np.column_stack([bars(50, seed=s)["Close"].to_numpy() for s in range(4)])
    p = f({"close": panel, "high": panel})
    assert p["A"].shape == (50, 4)
    for j in range(4):
        assert_same_bits(p["A"][:, j], vexa.MA(panel[:, j].copy(), 3))
    wide = pd.DataFrame(panel, columns=list("abcd"))
    pw = f({"close": wide, "high": wide})
    assert list(pw["A"].columns) == list("abcd")
    with pytest.raises(DataError, match="several columns for CLOSE"):
        f(pd.DataFrame({"close": [1.0], "Close": [2.0], "high": [1.0]}))
    with pytest.raises(FormulaError, match="unknown parameter Q"):
        f(df, Q=3)


def test_unicode_names_and_case():
    df = bars(30)
    r = Formula("均线:=MA(close,N); 差:C-均线; Diff:c-均线;", n=5)(df)
    assert list(r.columns) == ["差", "Diff"]
    assert_same_bits(r["差"].to_numpy(), r["Diff"].to_numpy())
    with pytest.raises(FormulaError) as e:
        Formula("均线:MA(C,5); 均綫:均线+均线x;")(df)
    assert "did you mean 均线" in str(e.value)


def test_errors_of_parameters_and_periods():
    df = bars(20)
    with pytest.raises(FormulaError) as e:
        Formula("X:C;\nY:MA(C,N);", N=1e10)(df)
    assert "MA's N = 10000000000.0 is not a period" in str(e.value)
    assert (e.value.line, e.value.column) == (2, 3)
    with pytest.raises(FormulaError, match="parameter N: a number is needed, not str"):
        Formula("X:MA(C,N);", N="5")
    with pytest.raises(FormulaError, match="a finite number"):
        Formula("X:MA(C,N);", N=float("nan"))
    with pytest.raises(FormulaError, match="differ only in case"):
        Formula("X:MA(C,N);", N=5, n=6)
    with pytest.raises(DataError, match="data must be a pandas or polars DataFrame"):
        Formula("X:C;")([1.0, 2.0])
