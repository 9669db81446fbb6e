"""The native formula engine against the evaluation one whole panel at a time and the
chain of direct calls, bit for bit (NaN payloads included): random formulas over panels
with missing values, in both memory orders, with blocks that do not divide the symbols,
one symbol, and fewer bars than the windows."""

import formula_gen as gen
import numpy as np
import pytest

import vexa
from vexa import _native
from vexa.formula import Formula, engine, evaluate

pytestmark = pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning")

MARKET = """
DIF:EMA(CLOSE,12)-EMA(CLOSE,26);
DEA:EMA(DIF,9);
MACD:(DIF-DEA)*2;
RSV:=(CLOSE-LLV(LOW,9))/(HHV(HIGH,9)-LLV(LOW,9))*100;
K:SMA(RSV,3,1);
D:SMA(K,3,1);
J:3*K-2*D;
MID:MA(CLOSE,20);
UPPER:MID+2*STD(CLOSE,20);
LOWER:MID-2*STD(CLOSE,20);
"""


def _bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.int64)


def _panels(rng, n, m, fortran):
    cols = [gen.data(rng, n) for _ in range(m)]
    order = "F" if fortran else "C"
    return cols, {k: np.array(np.column_stack([c[k] for c in cols]), order=order) for k in cols[0]}


class _Count:
    """Counts the plans the engine ran (and did not hand back)."""

    def __init__(self, monkeypatch):
        self.ran = 0
        real = engine.run

        def counted(*a, **k):
            out = real(*a, **k)
            self.ran += out is not None
            return out

        monkeypatch.setattr(engine, "run", counted)


def _both(f, data, monkeypatch):
    """The formula's outputs by the engine and by the evaluation of whole panels."""
    got = f(data)
    monkeypatch.setattr(evaluate, "USE_ENGINE", False)
    try:
        want = f(data)
    finally:
        monkeypatch.setattr(evaluate, "USE_ENGINE", True)
    return got, want


@pytest.mark.parametrize("block", [0, 4])
def test_random_formulas_equal_the_panel_evaluation_and_the_direct_calls(monkeypatch, block):
    monkeypatch.setattr(engine, "BLOCK", block)
    count = _Count(monkeypatch)
    rng = np.random.default_rng(23 + block)
    shapes = [(1, 1), (5, 3), (40, 1), (40, 13), (9, 37)]
    tried = 0
    for k in range(60):
        n, m = shapes[k % len(shapes)]
        cols, data = _panels(rng, n, m, fortran=k % 2 == 1)
        t, u = gen.tree(rng), gen.tree(rng)
        f = Formula(f"X:={gen.text(t)}; A:X; B:{gen.text(u)}-X; C2:X*X;")
        got, want = _both(f, data, monkeypatch)
        tried += 1
        for name in f.outputs:
            assert got[name].shape == (n, m)
            assert np.array_equal(_bits(got[name]), _bits(want[name])), (f, name)
        # Each symbol against the chain of direct calls on its own series.
        for j in {0, m - 1}:
            x = np.broadcast_to(gen.value(t, cols[j], n), (n,))
            with np.errstate(all="ignore"):
                b = np.subtract(gen.value(u, cols[j], n), x)
            assert np.array_equal(_bits(got["A"][:, j]), _bits(x)), f
            assert np.array_equal(_bits(got["B"][:, j]), _bits(b)), f
    # Most random formulas are the engine's (the rest use functions it leaves to numpy).
    assert count.ran >= tried // 3


@pytest.mark.parametrize("fortran", [False, True])
def test_market_formula_equals_the_direct_panel_calls(monkeypatch, fortran):
    count = _Count(monkeypatch)
    rng = np.random.default_rng(5)
    # Enough elements for the blocks to be shared among threads; a last block narrower
    # than the others.
    n, m = 400, 171
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (n, m)), axis=0))
    close[rng.random((n, m)) < 0.02] = np.nan
    close[:30, 3] = np.nan  # a symbol that starts late
    order = "F" if fortran else "C"
    d = {
        "close": np.array(close, order=order),
        "high": np.array(close * 1.01, order=order),
        "low": np.array(close * 0.99, order=order),
    }
    before = _native._num_threads()
    _native._num_threads(3)
    try:
        got = Formula(MARKET)(d)
    finally:
        _native._num_threads(before)
    assert count.ran >= 1
    c, h, lo = d["close"], d["high"], d["low"]
    with np.errstate(all="ignore"):
        dif = vexa.EMA(c, 12) - vexa.EMA(c, 26)
        dea = vexa.EMA(dif, 9)
        llv = vexa.LLV(lo, 9)
        k = vexa.SMA((c - llv) / (vexa.HHV(h, 9) - llv) * 100, 3, 1)
        dd = vexa.SMA(k, 3, 1)
        mid, sd = vexa.MA(c, 20), vexa.STD(c, 20)
    want = {"DIF": dif, "DEA": dea, "MACD": (dif - dea) * 2, "K": k, "D": dd}
    want.update(J=3 * k - 2 * dd, MID=mid, UPPER=mid + 2 * sd, LOWER=mid - 2 * sd)
    for name, w in want.items():
        assert np.array_equal(_bits(got[name]), _bits(w)), name
        assert got[name].flags.f_contiguous == fortran


def test_nan_payloads_numbers_conditions_and_native_functions(monkeypatch):
    """A missing operand gives numpy's NaN: the first operand's of a difference or
    quotient of two, a number's before a series' in a sum or product, an invalid
    operation's own. (A sum or product of two missing series has no one NaN in numpy: its
    vector loop gives the first operand's, its scalar tail the second's; the engine gives
    the first's.) Conditions of numbers and series, MAX/MIN/NOT/SQRT/SIGN/BETWEEN."""
    count = _Count(monkeypatch)
    rng = np.random.default_rng(3)
    _, data = _panels(rng, 30, 5, fortran=False)
    data["close"][::4] = np.nan
    text = (
        "Z:=0/0; A:Z+C; B:C+Z; P:C*Z; Q:Z*C; S:C-Z; T:Z/C; U:(C-C/0)-C; V:-(Z)-(-C);"
        "W:MAX(C,Z)-MIN(Z,O); W2:MAX(O,C)-MIN(C,O); Y:(C-Z)/(O-Z); N:NOT(C>O)-(C>=O);"
        "R:SQRT(C-O); G:SIGN(O-C); E:BETWEEN(C,O,H)-RANGE(C,L,H); AB:ABS(O-C);"
        "F:IF(C>O,C,Z)/IF(1,O,C)-IF(Z,C,O); CN:COUNT(C>O AND 1,3)-COUNT(0 OR C,4);"
        "X:CROSS(C,O)-REF(C,-2)/REF(C,40);"
    )
    f = Formula(text)
    got, want = _both(f, data, monkeypatch)
    assert count.ran >= 1
    both = np.isnan(data["close"])  # Z and C missing: which NaN numpy gives varies by version
    for name in f.outputs:
        g, w = _bits(got[name]), _bits(want[name])
        if name in ("A", "B", "P", "Q"):
            assert np.isnan(got[name][both]).all() and np.isnan(want[name][both]).all(), name
            g, w = g[~both], w[~both]
        assert np.array_equal(g, w), name


def test_plans_the_engine_cannot_run_are_evaluated_the_usual_way(monkeypatch):
    """Functions left to numpy (LN, the per-symbol ones), a refused period and outputs
    that are the data itself: the same values or the same error as without the engine."""
    count = _Count(monkeypatch)
    rng = np.random.default_rng(4)
    _, data = _panels(rng, 20, 3, fortran=True)
    for text in ("A:LN(C)+MA(C,3);", "A:BARSCOUNT(C)+1;", "A:C; B:2;", "A:MA(C,2)+C; B:C;"):
        f = Formula(text)
        got, want = _both(f, data, monkeypatch)
        for name in f.outputs:
            assert np.array_equal(_bits(got[name]), _bits(want[name])), (text, name)
            assert not np.shares_memory(got[name], data["close"])
    assert count.ran >= 1  # the last one
    with pytest.raises(vexa.formula.FormulaError, match="MA"):
        Formula("N:=0; A:MA(C,N)+1;")(data)


def test_the_code_kept_for_a_formula_follows_its_parameters(monkeypatch):
    rng = np.random.default_rng(6)
    _, data = _panels(rng, 30, 9, fortran=False)
    f = Formula("INPUT: N(5), K(2); A:MA(C,N)*K+REF(C,K); B:EMA(C-O,N)/N;")
    for params in ({}, {"N": 3}, {"N": 3, "K": 0.5}, {"N": 7}, {}):
        got = f(data, **params)
        monkeypatch.setattr(evaluate, "USE_ENGINE", False)
        want = f(data, **params)
        monkeypatch.setattr(evaluate, "USE_ENGINE", True)
        for name in f.outputs:
            assert np.array_equal(_bits(got[name]), _bits(want[name])), (params, name)
