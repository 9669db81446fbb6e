"""The caller's kinds in and out of the everyday functions (vexa._wrap): pandas and polars
objects, masked arrays; neither package imported unless the caller passed one."""

import numpy as np
import pytest
from everyday import IDS, arguments, assert_bits, make_arg

import vexa
from vexa.table import ALL, COND, FUNCTIONS, INT, REAL

# ---- the caller's kinds ------------------------------------------------------------


def test_stream_and_chart_are_attributes_of_vexa():
    """vexa.stream and vexa.chart need no import of their own, and load neither pandas,
    polars nor a plotting library; a name vexa does not have is still an AttributeError."""
    import subprocess
    import sys

    code = (
        "import sys, vexa\n"
        "s = vexa.stream.EMA(N=3); s.update(1.0)\n"
        "assert vexa.chart.Chart is sys.modules['vexa.chart'].Chart\n"
        "assert {'stream', 'chart'} <= set(dir(vexa))\n"
        "try:\n    vexa.no_such_name\nexcept AttributeError:\n    pass\n"
        "else:\n    raise SystemExit('vexa.no_such_name exists')\n"
        "print(sorted({'pandas', 'polars', 'matplotlib', 'bokeh'} & set(sys.modules)))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["[]"]


def test_kinds_are_not_imported_by_vexa():
    import subprocess
    import sys

    code = (
        "import sys, vexa; vexa.MA([1.0, 2.0], 1); "
        "print('pandas' in sys.modules, 'polars' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
def test_pandas_round_trip(f):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(6)
    n, cols = 30, ["AAA", "BBB", "CCC"]
    index = pd.date_range("2024-01-01", periods=n, freq="D", name="date")
    args = [max(p.least, 3) if p.kind == INT else make_arg(rng, p.kind, (n, 3)) for p in f.params]
    frames = [
        pd.DataFrame(a, index=index, columns=cols) if isinstance(a, np.ndarray) else a for a in args
    ]
    fn = getattr(vexa, f.name)
    got = fn(*frames)
    assert isinstance(got, pd.DataFrame) and got.index.equals(index) and list(got.columns) == cols
    assert_bits(got.to_numpy(), fn(*args))
    # Series: the first argument's index and name; a second Series is read by position.
    series = [
        pd.Series(a[:, 1], index=index, name="close") if isinstance(a, np.ndarray) else a
        for a in args
    ]
    got = fn(*series)
    assert isinstance(got, pd.Series) and got.index.equals(index) and got.name == "close"
    assert_bits(
        got.to_numpy(), fn(*[s.to_numpy() if isinstance(s, pd.Series) else s for s in series])
    )
    # Nullable dtypes: a missing value reads as NaN.
    first = pd.array([1.5, None, 2.5, 4.0, None, 7.0], dtype="Float64")
    plain = np.array([1.5, np.nan, 2.5, 4.0, np.nan, 7.0])
    rest = [max(p.least, 2) if p.kind == INT else make_arg(rng, p.kind, (6,)) for p in f.params[1:]]
    if f.params[0].kind == COND:
        plain = (plain != 0) & ~np.isnan(plain)
    assert_bits(fn(pd.Series(first), *rest).to_numpy(), fn(plain, *rest))


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
def test_polars_round_trip(f):
    pl = pytest.importorskip("polars")
    rng = np.random.default_rng(8)
    n = 25
    args = [max(p.least, 3) if p.kind == INT else make_arg(rng, p.kind, (n, 2)) for p in f.params]
    fn = getattr(vexa, f.name)
    frames = [
        pl.DataFrame(a, schema=["x", "y"], orient="row") if isinstance(a, np.ndarray) else a
        for a in args
    ]
    got = fn(*frames)
    assert isinstance(got, pl.DataFrame) and got.columns == ["x", "y"]
    assert_bits(got.to_numpy(), fn(*args))
    values = [1.0, None, 3.0, 4.0, float("nan"), 6.0, None, 8.0]
    s = pl.Series("close", values, dtype=pl.Float64)
    plain = np.array([np.nan if v is None else v for v in values])
    rest = [max(p.least, 2) if p.kind == INT else make_arg(rng, p.kind, (8,)) for p in f.params[1:]]
    got = fn(s, *rest)
    assert isinstance(got, pl.Series) and got.name == "close"
    first = (plain != 0) & ~np.isnan(plain) if f.params[0].kind == COND else plain
    assert_bits(got.to_numpy(), fn(first, *rest))


@pytest.mark.parametrize("f", ALL, ids=str)
def test_masked_arrays_read_masked_values_as_missing(f):
    """A masked value reads as a missing one (a condition's as false); a masked array in
    gives one out, masked where the result has no value, in any argument position and
    for panels along either axis."""
    rng = np.random.default_rng(21)
    fn = getattr(vexa._native, f.name)
    for shape, axis in (((14,), 0), ((14, 3), 0), ((3, 14), 1)):
        args = arguments(rng, f, shape)
        mask = rng.random(shape) < 0.3
        for i, p in enumerate(f.params):
            if p.kind in (INT, REAL):
                continue
            plain = np.asarray(args[i], np.float64).copy()
            plain[mask] = np.nan
            got = fn(*args[:i], np.ma.array(args[i], mask=mask), *args[i + 1 :], axis=axis)
            want = fn(*args[:i], plain, *args[i + 1 :], axis=axis)
            assert type(got) is np.ma.MaskedArray
            assert_bits(got.data, want)
            assert (np.ma.getmaskarray(got) == np.isnan(want)).all()
    # The first argument's kind wins over a masked array after it.
    pd = pytest.importorskip("pandas")
    args = arguments(rng, f, (14,))
    masked = [np.ma.masked_invalid(a) if isinstance(a, np.ndarray) else a for a in args]
    assert isinstance(fn(pd.Series(args[0]), *masked[1:]), pd.Series)
