"""Random formulas from the grammar: every result equals the chain of direct calls bit
for bit; random and mutated text never raises anything but a FormulaError."""

import time

import formula_gen as gen
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import assert_same_values

from vexa.formula import Formula, FormulaError

# The generated data has missing closes on purpose: their warning is expected.
pytestmark = pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning")

leaves = st.one_of(
    st.sampled_from(list(gen.FIELDS)).map(lambda k: ("field", k)),
    st.sampled_from([0.0, 1.0, 2.0, 0.5, 3.25, 100.0]).map(lambda v: ("num", v)),
    st.sampled_from(gen.BARE).map(lambda b: ("bare", b)),
)


def _extend(children):
    def call(name):
        lo = gen.MIN_PERIOD.get(name, -3 if name in ("REF", "REFXV") else 0)
        return st.tuples(st.just("call"), st.just(name), children, st.integers(lo, 12))

    return st.one_of(
        st.tuples(st.just("op"), st.sampled_from(gen.OPS), children, children),
        st.tuples(st.just("neg"), children),
        st.sampled_from(gen.PERIODIC).flatmap(call),
        st.tuples(
            st.just("calla"),
            st.sampled_from(list(gen.PER_BAR)),
            children,
            children.map(lambda c: ("bars", c)),
        ),
        st.tuples(st.just("if"), children, children, children),
        st.tuples(st.just("sma"), children, st.integers(1, 9), st.integers(1, 2)),
        st.tuples(st.just("cross"), children, children),
        # The terminals' functions, through their mappings onto library calls.
        st.tuples(st.just("since"), children),
        st.tuples(
            st.just("nday"), st.sampled_from(["UPNDAY", "DOWNNDAY"]), children, st.integers(1, 4)
        ),
        st.tuples(st.just("expmema"), children, st.integers(1, 6)),
        st.tuples(st.just("emas"), children, children),
        st.tuples(st.just("smas"), children, children, st.integers(1, 3)),
        st.tuples(st.just("filterx"), children, st.integers(0, 4)),
        st.tuples(st.just("backset"), children, st.integers(1, 4)),
    )


trees = st.recursive(leaves, _extend, max_leaves=12)


@settings(
    max_examples=150, deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow]
)
@given(t=trees, u=trees, n=st.sampled_from([1, 2, 7, 40]), seed=st.integers(0, 1000))
def test_formula_equals_the_direct_calls(t, u, n, seed):
    data = gen.data(np.random.default_rng(seed), n)
    # Two statements sharing a variable, so that shared nodes are exercised too.
    f = Formula(f"X:={gen.text(t)}; A:X; B:{gen.text(u)}-X;")
    got = f(data)
    x = gen.value(t, data, n)
    with np.errstate(all="ignore"):
        b = np.subtract(gen.value(u, data, n), x)
    assert_same_values(got["A"], np.broadcast_to(x, (n,)))
    assert_same_values(got["B"], np.broadcast_to(b, (n,)))


SEEDS = [
    "DIF:=EMA(CLOSE,12)-EMA(CLOSE,26); DEA:EMA(DIF,9); MACD:(DIF-DEA)*2,COLORSTICK;",
    "INPUT: N(9); RSV:=(C-LLV(L,N))/(HHV(H,N)-LLV(L,N))*100; K:SMA(RSV,3,1);",
    "A:IF(C>O AND V>REF(V,1),H,L),LINETHICK2; STICKLINE(C>O,C,O,2,0),COLORRED;",
    "{c} X:MA(C,BARSLAST(C>REF(C,1))+1); DRAWTEXT(CROSS(C,X),L,'买'); 中文:X*2;",
    "Z:ZIG(3,5); P:PEAKBARS(3,5,1); T:VALUEWHEN(C>O,C); E:EVERY(C>O,3)||EXIST(C<O,2);",
]


def _survives(text, data):
    try:
        f = Formula(text)
    except FormulaError:
        return "refused"
    try:
        f(data)
    except FormulaError:
        return "refused at evaluation"
    return "ran"


def test_mutated_and_random_text_gives_only_formula_errors():
    # A short run for CI; tests/fuzz_formula.py runs the same loop for as long as asked.
    rng = np.random.default_rng(2024)
    data = gen.data(rng, 30)
    start = time.perf_counter()
    seen = set()
    for k in range(400):
        if k % 4 == 3:
            raw = rng.integers(0, 256, int(rng.integers(0, 200)), dtype=np.uint8).tobytes()
            text = raw
        else:
            text = gen.mutate(rng, SEEDS[k % len(SEEDS)])
        t0 = time.perf_counter()
        seen.add(_survives(text, data))
        assert time.perf_counter() - t0 < 5.0, text
    assert "refused" in seen and "ran" in seen
    assert time.perf_counter() - start < 120


def test_deeper_random_formulas_equal_the_direct_calls():
    # Deeper trees than hypothesis tends to draw: every operator and function in turn.
    rng = np.random.default_rng(7)
    for _ in range(150):
        n = int(rng.choice([1, 5, 40]))
        data = gen.data(rng, n)
        t = gen.tree(rng)
        got = Formula(f"A:{gen.text(t)};")(data)["A"]
        assert_same_values(got, np.broadcast_to(gen.value(t, data, n), (n,)))


def test_chunked_runs_on_threads_equal_each_symbol_alone(monkeypatch):
    """Panels of many symbols: runs of element-wise operators computed in many small
    chunks, shared among four threads, in both memory orders, give every symbol the
    bits of its own evaluation."""
    from vexa import _native
    from vexa.formula import evaluate

    monkeypatch.setattr(evaluate, "CHUNK", 500)
    monkeypatch.setattr(evaluate, "MIN_THREADED", 0)
    before = _native._num_threads()
    _native._num_threads(4)
    try:
        rng = np.random.default_rng(11)
        n, m = 120, 37
        columns = [gen.data(rng, n) for _ in range(m)]
        panels = {k: np.column_stack([c[k] for c in columns]) for k in columns[0]}
        fortran = {k: np.asfortranarray(v) for k, v in panels.items()}
        for _ in range(25):
            t = [gen.text(gen.tree(rng)) for _ in range(3)]
            # W lives only inside the run of D, where it is read four times.
            f = Formula(
                f"X:={t[0]}; A:X; W:=({t[1]})-({t[2]}); B:W*X-W/(W+2)+W; Y:=({t[2]})*X; E:Y+B;"
            )
            got, got_f = f(panels), f(fortran)
            for j in (0, 1, m // 2, m - 1):
                alone = f({k: v[:, j].copy() for k, v in panels.items()})
                for name in f.outputs:
                    assert_same_values(got[name][:, j], alone[name])
                    assert_same_values(got_f[name][:, j], alone[name])
    finally:
        _native._num_threads(before)
