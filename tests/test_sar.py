"""SAR(N, STEP, MAX) of the formula language: the table's SAR over the data's HIGH and LOW,
bit for bit the direct call, over one symbol, a long table of many (panels) and a stream;
its parameters checked where the formula is compiled or run."""

import re

import numpy as np
import pandas as pd
import pytest
from support import assert_same_bits

import vexa
import vexa.stream as vs
from vexa import _native
from vexa.formula import Formula, FormulaError


def direct(frame, N, step, top):
    high, low = frame["high"].to_numpy(float), frame["low"].to_numpy(float)
    return _native.SAR(high, low, N, step, top)


def test_the_formula_is_the_direct_call_over_each_symbol():
    data = vexa.sample()
    data.loc[data.index[::97], "low"] = np.nan  # a few bars without a low
    f = Formula("S:SAR(10,2,20); T:SAR(N,2.5,M);", N=4, M=30)
    assert f.inputs == ("HIGH", "LOW")
    got = f(data, by="symbol")
    for symbol, bars in data.groupby("symbol", sort=False):
        mine = got[got["symbol"] == symbol]
        assert_same_bits(mine["S"].to_numpy(), direct(bars, 10, 2.0, 20.0))
        assert_same_bits(mine["T"].to_numpy(), direct(bars, 4, 2.5, 30.0))
    # Parameters overridden at the call, and a panel of every symbol in either order.
    aapl = vexa.sample("AAPL")
    assert_same_bits(f(aapl, N=7)["T"].to_numpy(), direct(aapl, 7, 2.5, 30.0))
    wide = {k: data.pivot(index="date", columns="symbol", values=k) for k in ("high", "low")}
    for order in ("C", "F"):
        h, lo = (np.asarray(wide[k], order=order) for k in ("high", "low"))
        panel = _native.SAR(h, lo, 10, 2.0, 20.0)
        for j in range(h.shape[1]):
            assert_same_bits(panel[:, j], _native.SAR(h[:, j].copy(), lo[:, j].copy(), 10, 2, 20))


def test_the_formula_streams_bit_for_bit():
    bars = vexa.sample("MSFT")
    f = Formula("S:SAR(5,2,20); X:S-MA(C,5);")
    whole = f(bars)
    s = f.stream()
    got = [
        s.update({"high": h, "low": lo, "close": c})
        for h, lo, c in bars[["high", "low", "close"]].to_numpy()
    ]
    assert_same_bits([g["S"] for g in got], whole["S"].to_numpy())
    assert_same_bits([g["X"] for g in got], whole["X"].to_numpy())


@pytest.mark.parametrize(
    "text, message",
    [
        ("S:SAR(10,2);", "SAR takes 3 arguments (N, STEP, MAX), 2 given"),
        ("S:SAR(C,2,20);", "SAR's N must be a number"),
        ("S:SAR(10,C,20);", "SAR's STEP must be a number, not a series"),
    ],
)
def test_malformed_calls_are_formula_errors(text, message):
    with pytest.raises(FormulaError, match=re.escape(message)):
        Formula(text)


@pytest.mark.parametrize(
    "args, message",
    [
        ("0,2,20", "N = 0"),
        ("10,0,20", "STEP = 0.0, MAX = 20.0"),
        ("10,30,20", "STEP = 30.0, MAX = 20.0"),
        ("10,2,101", "STEP = 2.0, MAX = 101.0"),
        ("10,-1,20", "STEP = -1.0, MAX = 20.0"),
    ],
)
def test_parameters_the_kernel_refuses_name_the_function_and_their_values(args, message):
    # The language says so at the call, with its rule; the functions and streams name
    # the values the kernel refuses.
    said = message.replace(".0", "").replace(", ", " and ")
    with pytest.raises(FormulaError, match="SAR's " + said):
        Formula(f"S:SAR({args});")(vexa.sample("IBM"))
    N, step, top = (float(a) for a in args.split(","))
    # A STEP out of any range is named alone by the function, with the others by the stream.
    named = message.split(",")[0] if step <= 0 else message
    with pytest.raises(ValueError, match="SAR.*" + named):
        _native.SAR(np.ones(3), np.ones(3), int(N), step, top)
    with pytest.raises(ValueError, match="SAR.*" + named):
        vs.SAR(int(N), step, top)


def test_the_stream_reports_and_keeps_its_parameters():
    s = vs.SAR(10, 2, MAX=20)
    assert s.params == {"N": 10, "STEP": 2.0, "MAX": 20.0}
    assert repr(s) == "vexa.stream.SAR(N=10, STEP=2.0, MAX=20.0)"
    h = pd.Series(np.linspace(10.0, 12.0, 30))
    first = s.update_many(h + 0.5, h - 0.5)
    s.reset()
    assert s.params["STEP"] == 2.0 and s.bars == 0
    assert_same_bits(s.update_many(h + 0.5, h - 0.5), first)
    with pytest.raises(TypeError, match="STEP must be a number"):
        vs.SAR(10, "2", 20)
