"""Live bars: the functions of vexa one bar at a time.

    s = vexa.stream.EMA(N=12)
    for bar in feed:
        value = s.update(bar.close)      # bit for bit EMA(closes so far, N=12)[-1]

One class per function, with the batch function's integer and real parameters as
constructor arguments (`SMA(N=5, M=1)`, `SAR(N=10, STEP=2, MAX=20)`, `CROSS()`).
`update(*values)` takes the new bar's value of each array parameter, in the batch
function's order (`MA_A`'s period comes with each bar: `update(x, period)`), and returns
that bar's value as a float; `update_many(*arrays)` takes many bars and returns an array.
Every value is, bit for bit, what the batch function gives at that bar over all the bars
taken so far, and what it gives there over the whole history later: the stream keeps the
kernel's own state, not a recomputation.

The formula language's own functions (vexa.table.EXTRA) stream too, bit for bit their
batch forms in vexa._native, except the zigzag family (ZIG, PEAK, TROUGH, ...), which
reads later bars at every bar and has no stream.

Each update costs O(1) for the running and recursive functions, amortised O(1) for LLV,
HHV, LLVBARS and HHVBARS, O(log max_period) for LLV_A and HHV_A, O(N) for STD, STDDEV,
STDP, AVEDEV, VAR, VARP, DEVSQ, SLOPE and FORCAST, O(period) for MA_A and SUM_A (these
re-sum each window in the batch kernel's order, the one order that gives its bits), and
for SUMBARS the bars its sum goes back. The windowed functions keep their last N bars;
the per-bar period functions (MA_A, SUM_A, COUNT_A, LLV_A, HHV_A, REF_A) and SUMBARS keep
the last `max_period` bars (default 1000) and refuse, with a ValueError, a bar whose
period (or, for SUMBARS, whose sum) reaches further back where the batch function would
read those bars.

Look-ahead: REF with N < 0 and REFXV with N > 0 read later bars. Their streams give each
bar's value once it is final, `delay` bars late (`s.delay`): the update of bar t returns
the value of bar t - delay (NaN while t < delay). REF_A refuses a bar whose period is
negative. A refused bar is still taken, so later bars stay exact.

A stream pickles to its state (its parameters, the few numbers it keeps, the bars it
holds and not its capacity, and a checksum), so a restarted process continues where it
stopped without the history. Restoring refuses a changed byte, a state of another
function and parameters that disagree with the numbers the state computes with. Never
unpickle data from an untrusted source: unpickling runs what the pickle names.

A whole market: `symbols=` (a count, or a list of distinct names) makes a market stream
(vexa.stream.Market), one stream per symbol with every state in one allocation:

    m = vexa.stream.EMA(N=12, symbols=5000)
    out = m.update(closes)                  # 1-D over the symbols in, 1-D out
    out = m.update(closes, present=live)    # a symbol without a bar: state unmoved, NaN

Each `update` takes one 1-D array over the symbols per array parameter and loops over the
symbols in one C call; each symbol's values are bit for bit its own stream's over the
bars it had. Arguments are read and checked before any state moves. A refused bar is
taken by every present symbol and the ValueError names the first refused symbol. `bars`
is an array of the bars each symbol has taken; pickles hold every symbol's saved form and
a checksum of the whole.

A stream whose state would exceed this machine's memory once its window is full is
refused when it is made (a market: every symbol's state together). Each call (update,
update_many, reset, pickling) runs whole under the interpreter lock, so a stream may be
shared among threads; its bars are then taken in the order the calls come. A masked
value reads as a missing one, and update_many of a masked array returns one. See
docs/guarantees.md.
"""

from . import _native

Stream = _native.Stream
Market = _native.Market
_stream_restore = _native._stream_restore
_market_restore = _native._market_restore
_stream_history = _native._stream_history

globals().update(_native._stream_types)
__all__ = ["Stream", *_native._stream_types]
