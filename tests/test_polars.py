"""vexa.polars: expression methods and frame formulas, against the everyday functions and
Formula on each symbol's own series."""

import re

import numpy as np
import pytest
from support import assert_same_bits, random_periods, random_series

from vexa import _native
from vexa.formula import DataError, Formula, FormulaError
from vexa.table import ALL, COND, INT, PERIODS, REAL

pl = pytest.importorskip("polars")
import vexa.polars  # noqa: E402  (registers the namespaces)

LENGTHS = [1, 2, 9, 40, 57]  # one group of each length, rows interleaved


def _frame(rng, f):
    """(frame of symbol s and one column per series parameter, with nulls; {column:
    float64 values with NaN for the nulls}; the symbol of each row)."""
    sym = np.repeat(np.array([f"S{k}" for k in range(len(LENGTHS))]), LENGTHS)
    rng.shuffle(sym)
    n = len(sym)
    columns, plain = [pl.Series("s", sym)], {}
    for p in f.params:
        if p.kind == COND:
            values = rng.random(n) < 0.4
            if rng.random() < 0.5:
                values = rng.choice(np.array([0, 1, 2, 255], np.uint8), n)
        elif p.kind == PERIODS or (p.kind == INT and f.per_bar is not None):
            values = random_periods(rng, n, hi=12)
        else:
            values = random_series(rng, n)
        nulls = np.flatnonzero(rng.random(n) < 0.1)
        columns.append(pl.Series(p.name, values).scatter(nulls, None))
        want = values.astype(np.float64)
        want[nulls] = np.nan
        plain[p.name] = want
    return pl.DataFrame(columns), plain, sym


def _arguments(rng, f, plain):
    """(arguments of the expression method, the function's own for a group of rows)."""
    given, own = [], []
    for p in f.params[1:]:
        choice = rng.integers(4)
        if p.kind == INT and (f.per_bar is None or choice < 2):
            v = int(rng.integers(-3, 7)) if p.least < 0 else p.least + int(rng.integers(6))
            given.append(v)
            own.append(lambda rows, v=v: v)
        elif p.kind == REAL:
            v = float(rng.choice([0.5, 2.0, 7.5]))
            given.append(v)
            own.append(lambda rows, v=v: v)
        elif choice == 0 and p.kind != INT:  # a number for every bar
            v = float(plain[p.name][np.isfinite(plain[p.name])][0])
            given.append(v)
            own.append(lambda rows, v=v: v)
        elif choice == 1:  # a literal of one row stands for every bar
            v = float(rng.choice([0.0, 1.0, 3.0]))
            given.append(pl.lit(v))
            own.append(lambda rows, v=v: np.full(len(rows), v))
        else:  # a column, by expression or by name
            given.append(pl.col(p.name) if choice == 2 else p.name)
            own.append(lambda rows, name=p.name: plain[name][rows])
    return given, own


@pytest.mark.parametrize("f", ALL, ids=[f.name for f in ALL])
def test_every_function_over_groups_eager_and_lazy(f):
    # Each group of .over is its own series: bit for bit the function on that symbol's
    # rows, nulls read as missing values; eager, lazy and on the streaming engine.
    rng = np.random.default_rng(sum(map(ord, f.name)))
    for _ in range(3):
        df, plain, sym = _frame(rng, f)
        given, own = _arguments(rng, f, plain)
        fn = getattr(_native, f.name)
        first = f.params[0].name
        groups = {s: np.flatnonzero(sym == s) for s in np.unique(sym)}
        try:
            want = {s: fn(plain[first][r], *[a(r) for a in own]) for s, r in groups.items()}
        except (ValueError, TypeError) as e:
            with pytest.raises(type(e), match=re.escape(str(e))):
                getattr(pl.col(first).vexa, f.name)(*given)
            continue
        expr = getattr(pl.col(first).vexa, f.name)(*given).over("s").alias("out")
        results = [
            df.with_columns(expr),
            df.lazy().with_columns(expr).collect(),
            df.lazy().with_columns(expr).collect(engine="streaming"),
        ]
        for got in results:
            assert got.schema["out"] == pl.Float64
            assert got.drop("out").equals(df)
            out = got["out"].to_numpy()
            for s, rows in groups.items():
                assert_same_bits(out[rows], want[s])


def test_nested_expressions_over_groups_in_time_order():
    # CROSS of a column and its own EMA, each symbol's rows in the order of t.
    rng = np.random.default_rng(5)
    n = 600
    df = pl.DataFrame(
        {"s": rng.choice(["a", "b", "c"], n), "t": rng.permutation(n), "x": random_series(rng, n)}
    )
    x = pl.col("x").vexa
    expr = x.CROSS(x.EMA(5)).over("s", order_by="t").alias("up")
    got = df.lazy().with_columns(expr).collect(engine="streaming")
    for _, rows in got.sort("t").group_by("s", maintain_order=True):
        closes = rows["x"].to_numpy()
        assert_same_bits(rows["up"], _native.CROSS(closes, _native.EMA(closes, 5)))


def test_arguments_refused_when_the_expression_is_made():
    x = pl.col("close").vexa
    with pytest.raises(ValueError, match="MA: N = 0 is out of range"):
        x.MA(0)
    with pytest.raises(TypeError, match="MA: N must be an integer"):
        x.MA(2.5)
    with pytest.raises(TypeError, match="SMA: M must be an integer, not an expression"):
        x.SMA(5, pl.col("m"))
    with pytest.raises(TypeError, match="SMA: M must be an integer, not str"):
        x.SMA(5, "m")
    with pytest.raises(TypeError, match="CROSS: y must be an expression, a column name or a "):
        x.CROSS([1.0, 2.0])
    with pytest.raises(TypeError, match=r"CROSS: y must be .* not Series"):
        x.CROSS(pl.Series([1.0, 2.0]))
    with pytest.raises(TypeError, match="MA: missing a required argument: 'N'"):
        x.MA()
    with pytest.raises(TypeError, match="LAST: got an unexpected keyword argument 'C'"):
        x.LAST(1, 2, C=3)
    # Keywords by the function's own names; data that is no numbers fails at collect.
    df = pl.DataFrame({"close": [1.0, 2.0, 3.0], "name": ["a", "b", "c"]})
    assert_same_bits(df.select(x.SMA(M=1, N=2))["close"], _native.SMA(df["close"], 2, 1))
    with pytest.raises(TypeError, match="MA: a has dtype object"):
        df.lazy().select(pl.col("name").vexa.MA(2)).collect()
    # Several columns in one expression: each its own result.
    got = df.select(pl.col("close", "close").vexa.EMA(2).name.suffix("_e"), pl.col("close"))
    assert_same_bits(got["close_e"], _native.EMA(df["close"], 2))


def _long(order):
    """The sample's bars as a polars table (column by column: no pyarrow needed)."""
    sample = vexa.sample()
    table = pl.DataFrame({c: sample[c].to_numpy() for c in sample.columns})
    table = table.with_columns(pl.col("symbol").cast(pl.String))
    return table.sample(fraction=1.0, shuffle=True, seed=3) if order == "shuffled" else table


MACD = "DIF:=EMA(C,SHORT)-EMA(C,LONG); DEA:EMA(DIF,MID); MACD:(DIF-DEA)*2; BUY:CROSS(DIF,DEA);"


@pytest.mark.parametrize("order", ["shuffled", "in order"])
def test_formula_over_a_long_table_eager_and_lazy(order):
    df = _long(order)
    f = Formula(MACD, SHORT=12, LONG=26, MID=9)
    want = f(df, by="symbol", MID=5)
    got = df.vexa.formula(MACD, by="symbol", SHORT=12, LONG=26, MID=5)
    lazy = df.lazy().vexa.formula(f, by="symbol", MID=5)
    assert isinstance(lazy, pl.LazyFrame)
    for frame in (got, lazy.collect(), lazy.collect(engine="streaming")):
        assert frame.columns == [*df.columns, "DEA", "MACD", "BUY"]
        assert frame.select(df.columns).equals(df)  # the caller's rows, in its order
        for name in f.outputs:
            assert frame.schema[name] == pl.Float64
            assert_same_bits(frame[name], want[name])
    # A filter after the step reads the outputs of whole symbols (not moved before it).
    late = lazy.filter(pl.col("date").dt.year() == 2013).collect()
    assert late.equals(got.filter(pl.col("date").dt.year() == 2013))
    # The time column named with time=.
    renamed = df.rename({"date": "day"}).vexa.formula(f, by="symbol", time="day", MID=5)
    assert_same_bits(renamed["MACD"], want["MACD"])
    # One symbol without by, in the frame's order.
    one = df.filter(pl.col("symbol") == "IBM").sort("date")
    alone = Formula("A:MA(C,5); B:SUM(VOL,0);")(one)
    for frame in (
        one.vexa.formula("A:MA(C,5); B:SUM(VOL,0);"),
        one.lazy().vexa.formula("A:MA(C,5); B:SUM(VOL,0);").collect(),
    ):
        assert_same_bits(frame["A"], alone["A"])
        assert_same_bits(frame["B"], alone["B"])


def test_lazy_formula_checked_before_collect():
    lf = _long("in order").lazy()
    with pytest.raises(FormulaError, match="unknown parameter"):
        lf.vexa.formula(MACD, by="symbol", SHORT=12, LONG=26, MID=9, SLOW=3)
    with pytest.raises(FormulaError, match="MID"):
        lf.vexa.formula(MACD, by="symbol", SHORT=12, LONG=26)
    with pytest.raises(DataError, match="no column for AMOUNT"):
        lf.vexa.formula("A:MA(AMOUNT,5);", by="symbol")
    with pytest.raises(DataError, match="no column 'ticker' to group by"):
        lf.vexa.formula("A:MA(C,5);", by="ticker")
    with pytest.raises(TypeError, match=r"text must be formula text or a vexa\.Formula"):
        lf.vexa.formula(5)
