"""Formula streams: random formulas from the grammar, bar by bar, against the formula
over the whole series; look-ahead refused exactly where the formula reads later bars."""

import math
import pickle

import formula_gen as gen
import numpy as np
import pytest

from vexa.formula import Formula, FormulaError

# The generated data has missing closes on purpose: their warning is expected.
pytestmark = pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning")


def same(got, want):
    got, want = np.asarray(got, np.float64), np.asarray(want, np.float64)
    return bool(
        ((got.view(np.uint64) == want.view(np.uint64)) | np.isnan(got) & np.isnan(want)).all()
    )


def bars(data, n):
    names = {"close": "Close", "open": "OPEN", "high": "high", "low": "Low", "vol": "volume"}
    return [{names[k]: float(v[i]) for k, v in data.items()} for i in range(n)]


@pytest.mark.parametrize("seed", range(30))
def test_random_formulas_stream_bit_for_bit(seed):
    rng = np.random.default_rng(seed)
    n = 60
    data = gen.data(rng, n)
    lines = [f"OUT{k} : {gen.text(gen.tree(rng))};" for k in range(4)]
    f = Formula("\n".join(lines))
    if f.looks_ahead:
        with pytest.raises(FormulaError, match="cannot know later bars"):
            f.stream()
        return
    whole = f(data)
    s = f.stream(max_period=n)
    assert s.outputs == f.outputs
    got = {k: [] for k in f.outputs}
    for i, bar in enumerate(bars(data, n)):
        if i == n // 2:
            s = pickle.loads(pickle.dumps(s))
        out = s.update(bar)
        for k, v in out.items():
            assert type(v) is float
            got[k].append(v)
    assert s.bars == n
    for k in f.outputs:
        assert same(got[k], np.broadcast_to(whole[k], (n,))), (k, lines)


def test_a_ten_line_formula_and_what_is_refused():
    text = """
    MID := MA(CLOSE, N);
    UP : MID + 2 * STD(CLOSE, N);
    DIF := EMA(CLOSE, 12) - EMA(CLOSE, 26);
    DEA := EMA(DIF, 9);
    MACD : (DIF - DEA) * 2;
    RSV := (CLOSE - LLV(LOW, 9)) / (HHV(HIGH, 9) - LLV(LOW, 9)) * 100;
    K : SMA(RSV, 3, 1);
    D : SMA(K, 3, 1);
    J : 3 * K - 2 * D + ABS(MAX(K, 50)) + BARSCOUNT(CLOSE) / 0;
    SIG : CROSS(DIF, DEA) + COUNT(CLOSE > UP, 5);
    """
    rng = np.random.default_rng(5)
    data = gen.data(rng, 200)
    f = Formula(text, N=20)
    whole = f(data, N=10)
    s = f.stream(N=10)
    rows = [s.update(b) for b in bars(data, 200)]
    for k in f.outputs:
        assert same([r[k] for r in rows], whole[k]), k
    assert any(math.isinf(r["J"]) for r in rows)  # the division by zero, as numpy gives it
    with pytest.raises(FormulaError, match=r"reads them: X \(line 1\) through REF"):
        Formula("X : C + REF(C,-1);").stream()
    with pytest.raises(FormulaError, match="ISLASTBAR"):
        Formula("X : ISLASTBAR;").stream()
    with pytest.raises(FormulaError, match="the bar lacks high"):
        Formula("X : H - L;").stream().update({"low": 1.0})
    with pytest.raises(TypeError, match=r"bar\['close'\] must be a number"):
        Formula("X : C;").stream().update({"close": "1"})


def test_the_languages_own_functions_stream():
    text = """
    A : EVERY(C > O, 3) + EXIST(C > O, N) + LAST(C > O, 4, 2) + LAST(C >= O, 0, 1);
    B : LONGCROSS(C, MA(C, 5), 3) + VALUEWHEN(CROSS(C, O), H);
    S : SUMBARS(VOL, 5 * VOL) + HHVBARS(H, 10) + LLVBARS(L, 0);
    D : VAR(C, 5) + VARP(C, N) + DEVSQ(C, 5) + FORCAST(C, 8);
    """
    rng = np.random.default_rng(9)
    data = gen.data(rng, 150)
    f = Formula(text, N=4)
    whole = f(data)
    s = f.stream()
    rows = [s.update(b) for b in bars(data, 150)]
    for k in f.outputs:
        assert same([r[k] for r in rows], whole[k]), k
    with pytest.raises(FormulaError, match="cannot know later bars"):
        Formula("X : PEAK(C, 5, 1);").stream()


def test_a_bar_beyond_max_period_stops_the_stream_for_good():
    s = Formula("X : MA(C, BARSLAST(C > 100) + 1) + EMA(C, 3);").stream(max_period=2)
    with pytest.raises(FormulaError, match="stopped at bar 3"):
        for c in (99.0, 101.0, 98.0, 97.0, 96.0):
            s.update({"close": c})
    with pytest.raises(FormulaError, match="stopped at bar 3"):
        s.update({"close": 95.0})
