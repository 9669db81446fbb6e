# Written by tools/gen_stubs.py from the function table and vexa/prose/: do not edit.
"""vexa: indicator functions of the stock-chart formula language.

Every function takes any array-like of numbers (numpy arrays of any numeric dtype and
layout, lists, pandas and polars objects) and returns float64 values in the caller's
kind: a series gives a series, a panel of bars x columns (2-D, bars along `axis`) gives
a panel, each column computed on its own. Bars without a value are NaN. Results agree to
the last bit with the strict module vexa._vexa.
"""

from collections.abc import Sequence
from contextlib import AbstractContextManager
from typing import Any, SupportsIndex, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import chart as chart
from . import stream as stream
from .data import sample as sample
from .formula import Formula as Formula
from .formula import MissingDataWarning as MissingDataWarning

__version__: str
__all__: list[str]

# numpy arrays, lists and tuples give a numpy array; any other kind of input (a pandas or
# polars Series or DataFrame) gives a result of its own kind.
_Numbers = NDArray[Any] | Sequence[float] | Sequence[Sequence[float]]
_Kind = TypeVar("_Kind")
_Result = NDArray[np.float64]

def get_include() -> str:
    """The folder of quorix.h, the kernels' C header, for native callers: compile with
    -I followed by this folder (the kernels themselves are in vexa._vexa's module file)."""

def thread_limit(n: SupportsIndex) -> AbstractContextManager[None]:
    """Within `with vexa.thread_limit(n):`, a panel call made by this thread uses at most
    n threads (1: this thread alone), whatever VEXA_NUM_THREADS says; other threads are
    not affected. For code that shares its own work among threads: each of them calls
    the functions under thread_limit(1), so that a panel's columns are not split again."""

@overload
def MA(a: _Numbers, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Simple moving average of a over N bars.

    At each bar, the mean of the last N values of a: their sum divided by N. The sum is
    one running total carried along the series (the value that leaves the window
    subtracted first, then the entering one added), so a result can differ in its last
    bits from a fresh sum of its window.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values (prices, say).
    N : int, or a series of per-bar periods
        The window length in bars. Accepted: an integer from 1 to 2147483647 (another
        integer raises ValueError). A series here reads the period of every bar from it:
        MA(a, periods) is MA_A(a, periods).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    Leading NaNs are skipped: the first window starts at the first value that is not NaN
    (bar f), and bars before f + N - 1 are NaN. When fewer than N bars remain from f on,
    every bar is NaN.

    Missing values
    --------------
    A NaN after the first value enters the running total: that bar and every later bar
    are NaN, also after the NaN has left the window. An infinity gives infinite bars
    while it is in the window and NaN from the bar at which it leaves.

    Example
    -------
    >>> import vexa
    >>> vexa.MA([1.0, 2.0, 3.0, 4.0, 5.0], 2)
    array([nan, 1.5, 2.5, 3.5, 4.5])
    """

@overload
def MA(a: _Kind, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def MA_A(a: _Numbers, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Simple moving average of a with the period of each bar read from N.

    The mean of a over a window whose length is read per bar from N. At each bar i the
    period P is N[i] truncated toward zero (2.9 counts as 2), and bar i is the mean of
    the P values of a up to and including bar i. Every window is computed afresh, with
    nothing carried from one bar to the next. This is MA with a period that can change
    from bar to bar.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : array-like or scalar, per-bar periods
        The period of every bar. Each bar's period is its value truncated toward zero; a
        NaN, infinite or out-of-range period gives NaN at that bar only. A scalar
        applies to every bar; a 1-D series of the bars' length applies to every column
        of a panel.
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    Bar i needs P <= i, that is P + 1 bars up to and including itself: bar 0 never has a
    value, and with one period P for every bar the first value stands at bar P, one bar
    later than with the fixed period. Leading NaNs are not skipped.

    Missing values
    --------------
    A NaN in a makes NaN only the bars whose window holds it. A period that is NaN,
    zero, negative, or beyond the 32-bit range gives NaN at its bar only.

    Example
    -------
    >>> import vexa
    >>> vexa.MA_A([1.0, 2.0, 3.0, 4.0, 5.0], [2, 2, 2, 2, 2])
    array([nan, nan, 2.5, 3.5, 4.5])
    """

@overload
def MA_A(a: _Kind, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def EMA(a: _Numbers, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Result:
    """Exponential moving average of a with the factor 2 / (N + 1).

    Exponential moving average: out[i] = (N - 1) / (N + 1) * out[i - 1] + 2 / (N + 1) *
    a[i], each product rounded before the sum. N = 0 is accepted (the factors -1 and 2);
    N = 1 repeats the input.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int
        The span: the new value's weight is 2 / (N + 1). Accepted: an integer from 0 to
        2147483647 (another integer raises ValueError).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: leading NaNs stay NaN, and the first value that is not NaN is the first result
    itself (the seed of the recursion).

    Missing values
    --------------
    Every bar builds on the one before it, so a NaN after the first value makes that bar
    and every later bar NaN. An infinity stays infinite for N >= 2.

    Example
    -------
    >>> import vexa
    >>> vexa.EMA([1.0, 2.0, 3.0, 4.0], 3)
    array([1.   , 1.5  , 2.25 , 3.125])
    """

@overload
def EMA(a: _Kind, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def SMA(a: _Numbers, N: SupportsIndex, M: SupportsIndex, *, axis: SupportsIndex = 0) -> _Result:
    """Recursive average of a giving each new bar the weight M / N.

    Recursive average that gives the new value the weight M / N: out[i] = (N - M) / N *
    out[i - 1] + M / N * a[i], each product rounded before the sum. M is not limited: M
    > N or M <= 0 give weights outside 0 to 1, and N = 0 gives infinite or NaN weights,
    so every bar after the first value is infinite or NaN.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int
        The divisor of the weights. Accepted: an integer from 0 to 2147483647 (another
        integer raises ValueError).
    M : int
        The new value's weight, in N-ths. Accepted: any 32-bit integer (another integer
        raises ValueError).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: leading NaNs stay NaN, and the first value that is not NaN is the first result
    itself (the seed of the recursion).

    Missing values
    --------------
    Every bar builds on the one before it, so a NaN after the first value makes that bar
    and every later bar NaN.

    Example
    -------
    >>> import vexa
    >>> vexa.SMA([1.0, 2.0, 3.0, 4.0], 3, 1)
    array([1.        , 1.33333333, 1.88888889, 2.59259259])
    """

@overload
def SMA(a: _Kind, N: SupportsIndex, M: SupportsIndex, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def WMA(a: _Numbers, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Result:
    """Linearly weighted moving average of a over N bars (newest weight N).

    Linearly weighted moving average over N bars: the newest value has weight N, the
    oldest weight 1, and the weighted sum is divided by N (N + 1) / 2. Each bar updates
    the weighted sum taken from the previous result (minus the plain sum of the window,
    plus N times the new value), with a running plain sum beside it.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int
        The window length in bars. Accepted: an integer from 1 to 2147483647 (another
        integer raises ValueError).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    Leading NaNs are skipped: the first window starts at the first value that is not NaN
    (bar f), and bars before f + N - 1 are NaN. When fewer than N bars remain from f on,
    every bar is NaN.

    Missing values
    --------------
    A NaN after the first value makes every later bar NaN; an infinity gives an infinite
    bar and NaN from the next bar on.

    Example
    -------
    >>> import vexa
    >>> vexa.WMA([1.0, 2.0, 3.0, 4.0, 5.0], 3)
    array([       nan,        nan, 2.33333333, 3.33333333, 4.33333333])
    """

@overload
def WMA(a: _Kind, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def DMA(a: _Numbers, A: ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Recursive average of a with the weight of each bar read from A.

    Recursive average with the weight of the new value read per bar from A: out[i] =
    out[i - 1] * (1 - A[i]) + A[i] * a[i], each product rounded before the sum. Weights
    outside 0 to 1 are used as they are.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    A : array-like or scalar
        The new value's weight at every bar. A scalar applies to every bar; a 1-D series
        of the bars' length applies to every column of a panel.
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: leading NaNs stay NaN, and the first value that is not NaN is the first result
    itself (the seed of the recursion). The weights up to that bar are not read.

    Missing values
    --------------
    Every bar builds on the one before it, so a NaN after the first value makes that bar
    and every later bar NaN. So does a NaN weight.

    Example
    -------
    >>> import vexa
    >>> vexa.DMA([1.0, 2.0, 3.0, 4.0], 0.5)
    array([1.   , 1.5  , 2.25 , 3.125])
    """

@overload
def DMA(a: _Kind, A: ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def COUNT(a: _Numbers, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Number of bars among the last N where a is true (non-zero).

    The number of bars among the last N where a is true (non-zero; here a NaN after the
    first value counts as true). N = 0 counts from the first bar.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The condition, as values.
    N : int, or a series of per-bar periods
        The window length in bars (0: all). Accepted: an integer from 0 to 2147483647
        (another integer raises ValueError). A series here reads the period of every bar
        from it: COUNT(a, periods) is COUNT_A(a, periods).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    N > 0: leading NaNs are skipped and not counted; the first count stands at f + N - 1
    (f: the first bar that is not NaN). N = 0: none, and leading NaNs count as true.

    Missing values
    --------------
    A NaN counts as true (except the leading ones with N > 0); no bar after the warm-up
    is NaN.

    Example
    -------
    >>> import vexa
    >>> vexa.COUNT([float('nan'), 0.0, 2.0, float('nan'), 0.0], 2)
    array([nan, nan,  1.,  2.,  1.])
    """

@overload
def COUNT(a: _Kind, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def COUNT_A(a: _Numbers, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Number of true bars of a with the period of each bar read from N.

    The number of true bars (non-zero and not NaN) of a over a window whose length is
    read per bar from N. At each bar i the period P is N[i] truncated toward zero (2.9
    counts as 2), and bar i counts the true values among the last P bars; P = 0 counts
    from the first bar, and a window longer than the bars so far is cut to them. Every
    window is computed afresh, with nothing carried from one bar to the next. This is
    COUNT with a period that can change from bar to bar.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The condition, as values.
    N : array-like or scalar, per-bar periods
        The period of every bar. Each bar's period is its value truncated toward zero; a
        NaN, infinite or out-of-range period gives NaN at that bar only. A scalar
        applies to every bar; a 1-D series of the bars' length applies to every column
        of a panel.
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: the first bars count over the bars there are.

    Missing values
    --------------
    A NaN in a counts as false. A period that is NaN, negative, or beyond the 32-bit
    range gives NaN at its bar only.

    Example
    -------
    >>> import vexa
    >>> vexa.COUNT_A([float('nan'), 0.0, 2.0, float('nan'), 0.0], 2)
    array([0., 0., 1., 1., 0.])
    """

@overload
def COUNT_A(a: _Kind, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def SUM(a: _Numbers, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Sum of a over the last N bars (N = 0: from the first bar).

    The sum of the last N values of a, with one running total (the value that leaves the
    window subtracted first, then the entering one added). N = 0 is the cumulative sum
    from the first bar.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int, or a series of per-bar periods
        The window length in bars (0: all). Accepted: an integer from 0 to 2147483647
        (another integer raises ValueError). A series here reads the period of every bar
        from it: SUM(a, periods) is SUM_A(a, periods).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    N > 0: Leading NaNs are skipped: the first window starts at the first value that is
    not NaN (bar f), and bars before f + N - 1 are NaN. When fewer than N bars remain
    from f on, every bar is NaN. N = 0: none (leading NaNs read 0).

    Missing values
    --------------
    N > 0: a NaN after the first value makes every later bar NaN, also after it has left
    the window. N = 0: a NaN adds nothing and the total carries on.

    Example
    -------
    >>> import vexa
    >>> vexa.SUM([1.0, 2.0, 3.0, 4.0], 2)
    array([nan,  3.,  5.,  7.])
    >>> vexa.SUM([1.0, 2.0, 3.0, 4.0], 0)
    array([ 1.,  3.,  6., 10.])
    """

@overload
def SUM(a: _Kind, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def SUM_A(a: _Numbers, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Sum of a with the period of each bar read from N.

    The sum of a over a window whose length is read per bar from N. At each bar i the
    period P is N[i] truncated toward zero (2.9 counts as 2), and bar i is the sum of
    the P values of a up to and including bar i (there is no cumulative mode: P = 0
    gives NaN). Every window is computed afresh, with nothing carried from one bar to
    the next. This is SUM with a period that can change from bar to bar.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : array-like or scalar, per-bar periods
        The period of every bar. Each bar's period is its value truncated toward zero; a
        NaN, infinite or out-of-range period gives NaN at that bar only. A scalar
        applies to every bar; a 1-D series of the bars' length applies to every column
        of a panel.
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    Bar i needs P <= i, that is P + 1 bars up to and including itself: bar 0 never has a
    value, and with one period P for every bar the first value stands at bar P, one bar
    later than with the fixed period. Leading NaNs are not skipped.

    Missing values
    --------------
    A NaN in a makes NaN only the bars whose window holds it. A period that is NaN,
    zero, negative, or beyond the 32-bit range gives NaN at its bar only.

    Example
    -------
    >>> import vexa
    >>> vexa.SUM_A([1.0, 2.0, 3.0, 4.0], 2)
    array([nan, nan,  5.,  7.])
    """

@overload
def SUM_A(a: _Kind, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def REF(a: _Numbers, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Value of a N bars back (a negative N looks ahead).

    The value of a N bars back: out[i] = a[i - N], NaN where that bar does not exist. A
    negative N reads |N| bars ahead.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int, or a series of per-bar periods
        How many bars back (negative: ahead). Accepted: any 32-bit integer (another
        integer raises ValueError). A series here reads the period of every bar from it:
        REF(a, periods) is REF_A(a, periods).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    The first N bars are NaN (N > 0); with a negative N, the last |N| bars.

    Missing values
    --------------
    Values are copied bit for bit, NaN included.

    Looks ahead: with a negative N, bar i reads a later bar, which a backtest must not
    do.

    Example
    -------
    >>> import vexa
    >>> vexa.REF([1.0, 2.0, 3.0, 4.0], 2)
    array([nan, nan,  1.,  2.])
    """

@overload
def REF(a: _Kind, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def REFIF(x: _Numbers, c: ArrayLike, v: ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Value of x at the latest earlier bar where c held, else v.

    At each bar, the value of x at the latest earlier bar where c held; where there is
    no such bar, or the value taken there is NaN, the value of v. A true c at bar i
    shows from bar i + 1 on.

    Parameters
    ----------
    x : array-like (a series, or a panel of bars x columns)
        The values to take.
    c : array-like or scalar
        The condition, as values: true where non-zero or NaN. A scalar applies to every
        bar; a 1-D series of the bars' length applies to every column of a panel.
    v : array-like or scalar
        The values where nothing is held. A scalar applies to every bar; a 1-D series of
        the bars' length applies to every column of a panel.
    axis : int, default 0
        When x is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of x's shape, in x's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: bar 0 is always v[0].

    Missing values
    --------------
    A true bar takes x's value even when it is NaN, and v then shows through until the
    next true bar. Values are copied bit for bit.

    Example
    -------
    >>> import vexa
    >>> vexa.REFIF([1.0, 2.0, 3.0, 4.0], [0.0, 1.0, 0.0, 1.0], 9.0)
    array([9., 9., 2., 2.])
    """

@overload
def REFIF(x: _Kind, c: ArrayLike, v: ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def REFXV(a: _Numbers, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Result:
    """Value of a N bars ahead, or the bar's own value where there is none.

    The value of a N bars ahead: out[i] = a[i + N], or a[i] itself where that bar does
    not exist. A negative N reads |N| bars back.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int
        How many bars ahead (negative: back). Accepted: any 32-bit integer (another
        integer raises ValueError).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: bars whose bar i + N lies outside the series keep their own value.

    Missing values
    --------------
    Values are copied bit for bit, NaN included.

    Looks ahead: with a positive N, bar i reads a later bar, which a backtest must not
    do.

    Example
    -------
    >>> import vexa
    >>> vexa.REFXV([1.0, 2.0, 3.0, 4.0], 1)
    array([2., 3., 4., 4.])
    """

@overload
def REFXV(a: _Kind, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def REF_A(a: _Numbers, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Value of a the number of bars back read per bar from N.

    The value of a the number of bars back read per bar from N: out[i] = a[i - k] with k
    = N[i] truncated toward zero, NaN where that bar does not exist. A negative period
    reads ahead.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : array-like or scalar, per-bar periods
        How many bars back, at every bar. Each bar's period is its value truncated
        toward zero; a NaN, infinite or out-of-range period gives NaN at that bar only.
        A scalar applies to every bar; a 1-D series of the bars' length applies to every
        column of a panel.
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: each bar is on its own.

    Missing values
    --------------
    Values are copied bit for bit. A NaN period gives NaN at its bar; an infinite
    period, or one beyond the 32-bit range, names no bar and gives NaN.

    Looks ahead: where the period is negative, bar i reads a later bar, which a backtest
    must not do.

    Example
    -------
    >>> import vexa
    >>> vexa.REF_A([10.0, 20.0, 30.0, 40.0], [0.0, 1.0, 1.9, -1.0])
    array([10., 10., 20., nan])
    """

@overload
def REF_A(a: _Kind, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def LLV(a: _Numbers, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Lowest value of a over the last N bars (N = 0: from the first bar).

    The lowest value of a over the last N bars, NaNs ignored; N = 0 takes every bar so
    far. Among equal values the newest wins, which shows only for zeros of both signs.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int, or a series of per-bar periods
        The window length in bars (0: all). Accepted: an integer from 0 to 2147483647
        (another integer raises ValueError). A series here reads the period of every bar
        from it: LLV(a, periods) is LLV_A(a, periods).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: the first bars use the bars there are (a window is never longer than the bars
    so far).

    Missing values
    --------------
    NaNs are skipped; a window that holds no value gives NaN.

    Example
    -------
    >>> import vexa
    >>> vexa.LLV([5.0, float('nan'), 3.0, 4.0, 6.0], 3)
    array([5., 5., 3., 3., 3.])
    """

@overload
def LLV(a: _Kind, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def LLV_A(a: _Numbers, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Lowest value of a with the period of each bar read from N.

    The lowest value of a over a window whose length is read per bar from N. At each bar
    i the period P is N[i] truncated toward zero (2.9 counts as 2), and bar i is the
    lowest of the values among the last P bars (P = 0: every bar so far), NaNs ignored,
    the window cut to the bars so far. Every window is computed afresh, with nothing
    carried from one bar to the next. This is LLV with a period that can change from bar
    to bar.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : array-like or scalar, per-bar periods
        The period of every bar. Each bar's period is its value truncated toward zero; a
        NaN, infinite or out-of-range period gives NaN at that bar only. A scalar
        applies to every bar; a 1-D series of the bars' length applies to every column
        of a panel.
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: the first bars use the bars there are (a window is never longer than the bars
    so far).

    Missing values
    --------------
    NaNs are skipped; a window that holds no value gives NaN. A period that is NaN,
    negative, or beyond the 32-bit range gives NaN at its bar only.

    Example
    -------
    >>> import vexa
    >>> vexa.LLV_A([3.0, 1.0, 2.0, 0.0, 5.0], [0.0, 1.0, 2.0, -1.0, float('nan')])
    array([ 3.,  1.,  1., nan, nan])
    """

@overload
def LLV_A(a: _Kind, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def HHV(a: _Numbers, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Highest value of a over the last N bars (N = 0: from the first bar).

    The highest value of a over the last N bars, NaNs ignored; N = 0 takes every bar so
    far. Among equal values the newest wins, which shows only for zeros of both signs.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int, or a series of per-bar periods
        The window length in bars (0: all). Accepted: an integer from 0 to 2147483647
        (another integer raises ValueError). A series here reads the period of every bar
        from it: HHV(a, periods) is HHV_A(a, periods).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: the first bars use the bars there are (a window is never longer than the bars
    so far).

    Missing values
    --------------
    NaNs are skipped; a window that holds no value gives NaN.

    Example
    -------
    >>> import vexa
    >>> vexa.HHV([5.0, float('nan'), 3.0, 4.0, 6.0], 2)
    array([5., 5., 3., 4., 6.])
    """

@overload
def HHV(a: _Kind, N: SupportsIndex | ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def HHV_A(a: _Numbers, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """Highest value of a with the period of each bar read from N.

    The highest value of a over a window whose length is read per bar from N. At each
    bar i the period P is N[i] truncated toward zero (2.9 counts as 2), and bar i is the
    highest of the values among the last P bars (P = 0: every bar so far), NaNs ignored,
    the window cut to the bars so far. Every window is computed afresh, with nothing
    carried from one bar to the next. This is HHV with a period that can change from bar
    to bar.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : array-like or scalar, per-bar periods
        The period of every bar. Each bar's period is its value truncated toward zero; a
        NaN, infinite or out-of-range period gives NaN at that bar only. A scalar
        applies to every bar; a 1-D series of the bars' length applies to every column
        of a panel.
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None: the first bars use the bars there are (a window is never longer than the bars
    so far).

    Missing values
    --------------
    NaNs are skipped; a window that holds no value gives NaN. A period that is NaN,
    negative, or beyond the 32-bit range gives NaN at its bar only.

    Example
    -------
    >>> import vexa
    >>> vexa.HHV_A([3.0, 1.0, 2.0, 0.0, 5.0], [0.0, 1.0, 2.0, -1.0, float('nan')])
    array([ 3.,  1.,  2., nan, nan])
    """

@overload
def HHV_A(a: _Kind, N: ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def BARSINCE(x: _Numbers, /, *, axis: SupportsIndex = 0) -> _Result:
    """Bars since the first bar where x held, counting that bar as 1.

    The number of bars since the first bar where x holds, counting that bar as 1: 0
    before it, 1 at it, 2 at the next bar, and so on to the end (later true bars change
    nothing).

    Parameters
    ----------
    x : array-like (a series, or a panel of bars x columns), condition
        The condition. True where the value is non-zero and not NaN (vexa._vexa converts
        with astype(uint8) instead, which makes 0.5 and 256.0 false).
    axis : int, default 0
        When x is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of x's shape, in x's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None.

    Missing values
    --------------
    x is true where it is non-zero and not NaN. The result holds whole numbers and no
    NaN.

    Example
    -------
    >>> import vexa
    >>> vexa.BARSINCE([0, 1, 0, 0, 1, 1, 0])
    array([0., 1., 2., 3., 4., 5., 6.])
    """

@overload
def BARSINCE(x: _Kind, /, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def BARLAST(x: _Numbers, /, *, axis: SupportsIndex = 0) -> _Result:
    """Bars since the latest bar where x held, counting that bar as 1.

    The number of bars since the latest bar where x holds, counting that bar as 1: a
    true bar reads 1, the bars after it 2, 3, ... until the next true bar; bars before
    the first true bar read 0. The same function as BARSLAST.

    Parameters
    ----------
    x : array-like (a series, or a panel of bars x columns), condition
        The condition. True where the value is non-zero and not NaN (vexa._vexa converts
        with astype(uint8) instead, which makes 0.5 and 256.0 false).
    axis : int, default 0
        When x is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of x's shape, in x's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None.

    Missing values
    --------------
    x is true where it is non-zero and not NaN. The result holds whole numbers and no
    NaN.

    Example
    -------
    >>> import vexa
    >>> vexa.BARLAST([0, 1, 0, 0, 1, 1, 0])
    array([0., 1., 2., 3., 1., 1., 2.])
    """

@overload
def BARLAST(x: _Kind, /, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def BARSLAST(x: _Numbers, /, *, axis: SupportsIndex = 0) -> _Result:
    """Bars since the latest bar where x held, counting that bar as 1.

    The number of bars since the latest bar where x holds, counting that bar as 1: a
    true bar reads 1, the bars after it 2, 3, ... until the next true bar; bars before
    the first true bar read 0. The same function as BARLAST.

    Parameters
    ----------
    x : array-like (a series, or a panel of bars x columns), condition
        The condition. True where the value is non-zero and not NaN (vexa._vexa converts
        with astype(uint8) instead, which makes 0.5 and 256.0 false).
    axis : int, default 0
        When x is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of x's shape, in x's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None.

    Missing values
    --------------
    x is true where it is non-zero and not NaN. The result holds whole numbers and no
    NaN.

    Example
    -------
    >>> import vexa
    >>> vexa.BARSLAST([0, 1, 0, 0, 1, 1, 0])
    array([0., 1., 2., 3., 1., 1., 2.])
    """

@overload
def BARSLAST(x: _Kind, /, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def CROSS(x: _Numbers, y: ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """1 where x crosses strictly above y, else 0.

    1.0 at the bars where x crosses strictly above y, else 0.0: x lay strictly below y
    on the previous bar and lies strictly above it on this bar. Touching is no crossing.
    Crossing below is CROSS(y, x).

    Parameters
    ----------
    x : array-like (a series, or a panel of bars x columns)
        The crossing series.
    y : array-like or scalar
        The line it crosses (a scalar: a level). A scalar applies to every bar; a 1-D
        series of the bars' length applies to every column of a panel.
    axis : int, default 0
        When x is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of x's shape, in x's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    Bar 0 has no previous bar and reads 0.0.

    Missing values
    --------------
    A NaN in any of the four values makes the bar 0.0.

    Example
    -------
    >>> import vexa
    >>> vexa.CROSS([1.0, 3.0, 2.0, 4.0], 2.0)
    array([0., 1., 0., 0.])
    """

@overload
def CROSS(x: _Kind, y: ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def FIF(x: _Numbers, a: ArrayLike, b: ArrayLike, *, axis: SupportsIndex = 0) -> _Result:
    """a where the condition x holds, else b.

    a where the condition x holds, else b, bar by bar. The value not chosen is never
    read.

    Parameters
    ----------
    x : array-like (a series, or a panel of bars x columns), condition
        The condition. True where the value is non-zero and not NaN (vexa._vexa converts
        with astype(uint8) instead, which makes 0.5 and 256.0 false).
    a : array-like or scalar
        The values where x holds. A scalar applies to every bar; a 1-D series of the
        bars' length applies to every column of a panel.
    b : array-like or scalar
        The values elsewhere. A scalar applies to every bar; a 1-D series of the bars'
        length applies to every column of a panel.
    axis : int, default 0
        When x is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of x's shape, in x's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None.

    Missing values
    --------------
    Values are copied bit for bit; a NaN in the value not chosen does no harm. x is true
    where it is non-zero and not NaN.

    Example
    -------
    >>> import vexa
    >>> vexa.FIF([1, 0, 2], [1.0, 2.0, 3.0], [7.0, 8.0, 9.0])
    array([1., 8., 3.])
    """

@overload
def FIF(x: _Kind, a: ArrayLike, b: ArrayLike, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def SLOPE(Y: _Numbers, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Result:
    """Slope of the least-squares line through the last N bars of Y.

    The slope of the least-squares line through the last N values of Y, with the bars
    numbered 0 (oldest) to N - 1, in value units per bar: (N Sxy - Sx Sy) / (N Sxx - Sx
    Sx), every window summed afresh. N = 0 gives 1.0 at every bar; N = 1 gives NaN
    everywhere (0 / 0).

    Parameters
    ----------
    Y : array-like (a series, or a panel of bars x columns)
        The values.
    N : int
        The window length in bars. Accepted: an integer from 0 to 2147483647 (another
        integer raises ValueError).
    axis : int, default 0
        When Y is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of Y's shape, in Y's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    The first N - 1 bars are NaN; leading NaNs are not skipped.

    Missing values
    --------------
    A NaN or an infinity makes NaN only the bars whose window holds it.

    Example
    -------
    >>> import vexa
    >>> vexa.SLOPE([1.0, 3.0, 5.0, 7.0], 3)
    array([nan, nan,  2.,  2.])
    """

@overload
def SLOPE(Y: _Kind, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def CURRBARSCOUNT(Y: _Numbers, /, *, axis: SupportsIndex = 0) -> _Result:
    """Index of each bar, from 0 at the first.

    The index of each bar: 0 at the first bar up to len(Y) - 1 at the last. The values
    of Y are never read.

    Parameters
    ----------
    Y : array-like (a series, or a panel of bars x columns)
        Any series; only its length counts.
    axis : int, default 0
        When Y is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of Y's shape, in Y's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None.

    Missing values
    --------------
    The result has no NaN.

    Example
    -------
    >>> import vexa
    >>> vexa.CURRBARSCOUNT([5.0, float('nan'), 7.0, 8.0])
    array([0., 1., 2., 3.])
    """

@overload
def CURRBARSCOUNT(Y: _Kind, /, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def BACKCOUNT(x: _Numbers, /, *, axis: SupportsIndex = 0) -> _Result:
    """Length of the run of bars where x holds that ends at each bar.

    The length of the run of bars where x holds that ends at each bar: 0 where x is
    false, else 1 plus the count of the bar before.

    Parameters
    ----------
    x : array-like (a series, or a panel of bars x columns), condition
        The condition. True where the value is non-zero and not NaN (vexa._vexa converts
        with astype(uint8) instead, which makes 0.5 and 256.0 false).
    axis : int, default 0
        When x is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of x's shape, in x's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None.

    Missing values
    --------------
    x is true where it is non-zero and not NaN. The result holds whole numbers and no
    NaN.

    Example
    -------
    >>> import vexa
    >>> vexa.BACKCOUNT([0, 1, 0, 0, 1, 1, 0])
    array([0., 1., 0., 0., 1., 2., 0.])
    """

@overload
def BACKCOUNT(x: _Kind, /, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def STD(a: _Numbers, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Result:
    """Sample standard deviation of a over N bars.

    The sample standard deviation of the last N values of a (divisor N - 1). The
    window's mean is a running total divided by N (the value leaving subtracted first,
    then the entering one added); the deviations from it are summed afresh for every
    window, from its oldest bar to its newest. N = 1 gives exactly 0.0 at every bar from
    the first value on, whatever a holds.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int
        The window length in bars. Accepted: an integer from 1 to 2147483647 (another
        integer raises ValueError).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    Leading NaNs are skipped: the first window starts at the first value that is not NaN
    (bar f), and bars before f + N - 1 are NaN. When fewer than N bars remain from f on,
    every bar is NaN.

    Missing values
    --------------
    The mean comes from a running total of every value since the first one, so a NaN
    after the first value makes that bar (or the first full window) and every later bar
    NaN, also after it has left the window; an infinity makes every bar NaN from the
    first window that holds it.

    Example
    -------
    >>> import vexa
    >>> vexa.STD([1.0, 2.0, 3.0, 4.0, 5.0], 3)
    array([nan, nan,  1.,  1.,  1.])
    """

@overload
def STD(a: _Kind, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def STDDEV(a: _Numbers, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Result:
    """Population standard deviation of a over N bars.

    The population standard deviation of the last N values of a (divisor N). The
    window's mean is a running total divided by N (the value leaving subtracted first,
    then the entering one added); the deviations from it are summed afresh for every
    window, from its oldest bar to its newest. STDDEV and STDP are the same computation,
    bit for bit; STDDEV is not the sample deviation of STD.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int
        The window length in bars. Accepted: an integer from 1 to 2147483647 (another
        integer raises ValueError).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    Leading NaNs are skipped: the first window starts at the first value that is not NaN
    (bar f), and bars before f + N - 1 are NaN. When fewer than N bars remain from f on,
    every bar is NaN.

    Missing values
    --------------
    The mean comes from a running total of every value since the first one, so a NaN
    after the first value makes that bar (or the first full window) and every later bar
    NaN, also after it has left the window; an infinity makes every bar NaN from the
    first window that holds it.

    Example
    -------
    >>> import vexa
    >>> vexa.STDDEV([1.0, 2.0, 3.0, 4.0, 5.0], 3)
    array([       nan,        nan, 0.81649658, 0.81649658, 0.81649658])
    """

@overload
def STDDEV(a: _Kind, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def STDP(a: _Numbers, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Result:
    """Population standard deviation of a over N bars.

    The population standard deviation of the last N values of a (divisor N). The
    window's mean is a running total divided by N (the value leaving subtracted first,
    then the entering one added); the deviations from it are summed afresh for every
    window, from its oldest bar to its newest. STDP and STDDEV are the same computation,
    bit for bit.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int
        The window length in bars. Accepted: an integer from 1 to 2147483647 (another
        integer raises ValueError).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    Leading NaNs are skipped: the first window starts at the first value that is not NaN
    (bar f), and bars before f + N - 1 are NaN. When fewer than N bars remain from f on,
    every bar is NaN.

    Missing values
    --------------
    The mean comes from a running total of every value since the first one, so a NaN
    after the first value makes that bar (or the first full window) and every later bar
    NaN, also after it has left the window; an infinity makes every bar NaN from the
    first window that holds it.

    Example
    -------
    >>> import vexa
    >>> vexa.STDP([1.0, 2.0, 3.0, 4.0, 5.0], 3)
    array([       nan,        nan, 0.81649658, 0.81649658, 0.81649658])
    """

@overload
def STDP(a: _Kind, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def AVEDEV(a: _Numbers, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Result:
    """Mean absolute deviation of a from its mean over N bars.

    The mean absolute deviation from the window's mean of the last N values of a
    (divisor N). The window's mean is a running total divided by N (the value leaving
    subtracted first, then the entering one added); the deviations from it are summed
    afresh for every window, from its oldest bar to its newest.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The values.
    N : int
        The window length in bars. Accepted: an integer from 1 to 2147483647 (another
        integer raises ValueError).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    Leading NaNs are skipped: the first window starts at the first value that is not NaN
    (bar f), and bars before f + N - 1 are NaN. When fewer than N bars remain from f on,
    every bar is NaN.

    Missing values
    --------------
    The mean comes from a running total of every value since the first one, so a NaN
    after the first value makes that bar (or the first full window) and every later bar
    NaN, also after it has left the window; an infinity makes every bar NaN from the
    first window that holds it.

    Example
    -------
    >>> import vexa
    >>> vexa.AVEDEV([1.0, 2.0, 3.0, 4.0, 5.0], 3)
    array([       nan,        nan, 0.66666667, 0.66666667, 0.66666667])
    """

@overload
def AVEDEV(a: _Kind, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Kind: ...
@overload
def FILTER(a: _Numbers, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Result:
    """Keeps a signal of a and blanks the N - 1 bars after it.

    Keeps a signal (a value that is neither 0 nor NaN) and writes 0.0 over the N - 1
    bars after it, so that no second signal stands within N bars; the scan goes on after
    the blank. A kept signal keeps its own value. N = 0: only the first signal is kept.

    Parameters
    ----------
    a : array-like (a series, or a panel of bars x columns)
        The signals.
    N : int
        The length of a signal and its blank, in bars. Accepted: an integer from 0 to
        2147483647 (another integer raises ValueError).
    axis : int, default 0
        When a is a panel (2-D): the axis along which the bars run. 0 (rows are bars,
        columns are symbols, as in a DataFrame of symbols) or 1. Every column is
        computed as its own series.

    Returns
    -------
    float64 values of a's shape, in a's kind
        A numpy array (also for lists), or a pandas Series or DataFrame with the same
        index, name and columns, or a polars Series or DataFrame.

    Warm-up
    -------
    None.

    Missing values
    --------------
    NaN is no signal: outside a blank it is copied as it is; inside one it becomes 0.0.

    Example
    -------
    >>> import vexa
    >>> vexa.FILTER([1.0, 1.0, 1.0, 0.0, 1.0, 1.0], 2)
    array([1., 0., 1., 0., 1., 0.])
    """

@overload
def FILTER(a: _Kind, N: SupportsIndex, *, axis: SupportsIndex = 0) -> _Kind: ...
