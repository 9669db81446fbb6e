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


# ---- failed updates, threads, saved streams ---------------------------------------

EDGES = "A:REF(C,1); B:SQRT(C-100); D:REF(C+0,1); E:LN(C-100)+EXP(C*9)+POW(C,C*5)+MOD(C,C-C);"


@pytest.mark.parametrize("settings", ["raise", "warn", "ignore"])
def test_floating_point_settings_are_the_batch_evaluations(settings):
    """Under np.seterr(all="raise") (or warnings as errors, as this suite runs) the
    invalid SQRT and LN, the overflowing EXP and POW and MOD by 0 neither raise nor warn,
    as in the batch evaluation, and the outputs stay equal to it bar by bar."""
    closes = np.array([101.0, 99.0, 102.0, 98.0, 150.0, 103.0])
    f = Formula(EDGES)
    whole = f({"close": closes})
    s = f.stream()
    with np.errstate(all=settings):
        rows = [s.update({"close": c}) for c in closes]
    for k in f.outputs:
        assert same([r[k] for r in rows], whole[k]), k
    assert all(same(r["A"], r["D"]) for r in rows)


class Interrupting:
    """A function's state that raises `error` at its next bar, before or after taking
    it (fault injection: the one way to stop an update at a chosen node)."""

    def __init__(self, inner, error, after):
        self.inner, self.error, self.after, self.params = inner, error, after, inner.params

    @property
    def bars(self):
        return self.inner.bars

    def update(self, *values):
        if self.after:
            self.inner.update(*values)
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError, FloatingPointError])
def test_an_interrupted_update_leaves_the_stream_as_it_was_or_broken(error):
    """Whatever stops an update at whichever node: when no function had taken the bar
    the stream goes on exactly (equal to an uninterrupted one), else every later call
    says it stopped; the exception itself propagates."""
    f = Formula("A:REF(C,1); B:EMA(C,3)+MA(C,2); D:REF(C+0,1);")
    closes = [10.0, 11.0, 12.5, 12.0, 13.0]
    fresh = f.stream()
    want = [fresh.update({"close": c}) for c in closes][-1]
    for k in range(len(f.stream()._streams)):
        for after in (False, True):
            s = f.stream()
            s.update({"close": closes[0]})
            kept = s._streams[k]
            s._streams[k] = Interrupting(kept, error(), after)
            s._link()
            with pytest.raises(error):
                s.update({"close": closes[1]})
            s._streams[k] = kept
            s._link()
            if k == 0 and not after:
                assert s.bars == 1
                assert [s.update({"close": c}) for c in closes[1:]][-1] == want
            else:
                with pytest.raises(FormulaError, match="stopped at bar 1 .*" + error.__name__):
                    s.update({"close": closes[1]})
                with pytest.raises(FormulaError, match="stopped at bar 1"):
                    pickle.dumps(s)


class Reentering(Interrupting):
    """A function's state that calls `call(stream)` at its next bar."""

    def __init__(self, inner, call, stream):
        super().__init__(inner, None, False)
        self.call, self.stream = call, stream

    def update(self, *values):
        return self.call(self.stream)


def test_a_call_from_within_an_update_is_refused():
    """An update or a pickling entered from within an update (as a signal handler
    would) is refused rather than waiting for itself forever."""
    for what, again in (("update", lambda s: s.update({"close": 1.0})), ("pickling", pickle.dumps)):
        s = Formula("A:EMA(C,3); B:MA(C,2);").stream()

        s._streams[1] = Reentering(s._streams[1], again, s)
        s._link()
        with pytest.raises(RuntimeError, match=f"{what} was called from within"):
            s.update({"close": 2.0})
        with pytest.raises(FormulaError, match="stopped at bar 0"):
            s.update({"close": 2.0})


def test_a_stream_shared_among_threads_takes_each_bar_whole():
    """Four threads feeding one stream: every bar is taken by all of its functions at
    once (A and D, the same value by two paths, never differ)."""
    import sys
    import threading

    s = Formula("A:REF(C,1); B:SQRT(C-100); D:REF(C+0,1);").stream()
    differ = []

    def feed(k):
        for i in range(5_000):
            out = s.update({"close": 100.0 + k + i % 7})
            if not same(out["A"], out["D"]):
                differ.append(out)

    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    try:
        threads = [threading.Thread(target=feed, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(before)
    assert not differ and s.bars == 20_000


def test_a_damaged_saved_formula_stream_is_refused():
    s = Formula("X:C*2+MA(C,N);", N=77).stream()
    for c in range(80):
        s.update({"close": float(c)})
    saved = pickle.dumps(s)
    t = pickle.loads(saved)
    assert t.bars == 80 and t.update({"close": 5.0}) == s.update({"close": 5.0})
    for old, new in ((b"C*2", b"C*3"), (b"KM", b"KN")):  # the text; N = 77 made 78
        assert saved.count(old) == 1
        with pytest.raises(ValueError, match="nothing was restored"):
            pickle.loads(saved.replace(old, new))
