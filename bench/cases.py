"""What is measured for every function: its vexa call, its kernel and floor loop for the
native comparison, and its peers (bottleneck, pandas, TA-Lib, numpy), each a call on the
same data that computes the same thing or the nearest thing that library offers.

The functions, their parameters and kinds come from the function table (vexa.table);
what is written here is benchmark knowledge: which data feeds which parameter, which
performance target a function falls under, and its peers.

A peer's input is put in the form that library wants (a pandas Series, a 0/1 float
array) once, outside the timed call; everything the peer computes is inside it.
"""

from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np

from vexa import table

PEERS = ("bottleneck", "pandas", "talib", "numpy")

# Peers whose window is walked in Python per bar are timed only up to this size.
APPLY_MAX_N = 10**4

# ---- optional peer libraries -------------------------------------------------------

AVAILABLE = {}
UNAVAILABLE = {}

try:
    import bottleneck as bn

    AVAILABLE["bottleneck"] = bn.__version__
except ImportError as e:  # pragma: no cover - depends on the machine
    bn = None
    UNAVAILABLE["bottleneck"] = str(e)

try:
    import pandas as pd
    from pandas.api.indexers import BaseIndexer

    AVAILABLE["pandas"] = pd.__version__
except ImportError as e:  # pragma: no cover
    pd = None
    BaseIndexer = object
    UNAVAILABLE["pandas"] = str(e)

try:
    import talib

    AVAILABLE["talib"] = talib.__version__
    _c = getattr(talib, "__ta_version__", b"")
    AVAILABLE["talib-c"] = _c.decode() if isinstance(_c, bytes) else str(_c)
except Exception as e:  # ImportError, or the bundled C library failing to load
    talib = None
    UNAVAILABLE["talib"] = f"{type(e).__name__}: {e}"

AVAILABLE["numpy"] = np.__version__


# ---- peer formulations -----------------------------------------------------------


def _series(d, key):
    """A pandas Series of one input of d, made once per data cut."""
    if ("pd", key) not in d.extra:
        d.extra[("pd", key)] = pd.Series(getattr(d, key))
    return d.extra[("pd", key)]


def _cached(d, key, make):
    if key not in d.extra:
        d.extra[key] = make()
    return d.extra[key]


def _up01(d):
    """COUNT's truth as 0/1 floats (NaN counts as nothing here)."""
    return _cached(d, "up01", lambda: np.where((d.up != 0.0) & ~np.isnan(d.up), 1.0, 0.0))


def _up_masked(d):
    """True bars as 1.0 and every other bar NaN, for pandas' rolling count."""
    return _cached(
        d, "upmask", lambda: pd.Series(np.where((d.up != 0.0) & ~np.isnan(d.up), 1.0, np.nan))
    )


class PeriodIndexer(BaseIndexer):
    """pandas windows of trunc(p[i]) bars ending at bar i, from a period series."""

    def get_window_bounds(
        self, num_values=0, min_periods=None, center=None, closed=None, step=None
    ):
        end = np.arange(1, num_values + 1, dtype=np.int64)
        start = end - self.periods.astype(np.int64)
        np.clip(start, 0, None, out=start)
        return start, end


# pandas / numpy formulations of the peers (everything inside is timed).


def pd_rolling(method, min_periods=None, **kw):
    """s.rolling(N, min_periods).method(**kw)"""

    def call(s, N):
        return getattr(s.rolling(N, min_periods=min_periods), method)(**kw)

    return call


def pd_rolling_periods(method):
    def call(s, periods):
        return getattr(s.rolling(PeriodIndexer(periods=periods), min_periods=1), method)()

    return call


def pd_apply(func):
    def call(s, N):
        return s.rolling(N).apply(func(N), raw=True)

    return call


def wma_weights(N):
    w = np.arange(1.0, N + 1.0)
    t = w.sum()
    return lambda v: (v @ w) / t


def mean_abs_dev(N):
    return lambda v: np.abs(v - v.mean()).mean()


def ls_slope(N):
    x = np.arange(float(N))
    sx, sxx = x.sum(), (x * x).sum()
    den = N * sxx - sx * sx
    return lambda v: ((v @ x) * N - v.sum() * sx) / den


def np_ref(a, N):
    out = np.empty_like(a)
    out[:N] = np.nan
    out[N:] = a[:-N]
    return out


def np_refxv(a, N):
    out = np.empty_like(a)
    out[:-N] = a[N:]
    out[-N:] = a[-N:]
    return out


def pd_refxv(s, N):
    r = s.shift(-N)
    r.iloc[-N:] = s.iloc[-N:]
    return r


def np_ref_a(a, p):
    idx = np.arange(a.size) - np.trunc(np.nan_to_num(p, nan=-1e18, posinf=-1e18, neginf=-1e18))
    ok = (idx >= 0) & (idx < a.size)
    return np.where(ok, a[np.where(ok, idx, 0).astype(np.int64)], np.nan)


def pd_refif(x, c, v):
    return x.where(c != 0.0).ffill().shift(1).fillna(v)


def np_cross(x, y):
    out = np.zeros(x.size)
    out[1:] = (y[:-1] > x[:-1]) & (x[1:] > y[1:])
    return out


def pd_cross(x, y):
    return ((y.shift(1) > x.shift(1)) & (x > y)).astype(np.float64)


def pd_where(c, a, b):
    return a.where(c, b)


def pd_barsince(c):
    return (c.cumsum() > 0).cumsum().astype(np.float64)


def pd_barslast(c):
    g = c.cumsum()
    return (c.groupby(g).cumcount() + 1).where(g > 0, 0).astype(np.float64)


def pd_backcount(c):
    return c.groupby((~c).cumsum()).cumsum().astype(np.float64)


def pd_currbarscount(s):
    return pd.Series(np.arange(len(s), dtype=np.float64), index=s.index)


# ---- peers by function ------------------------------------------------------------


def _none(d, N, p, mode):
    return {}


def _ma_peers(d, N, p, mode):
    return {
        "bottleneck": ("move_mean", bn and bn.move_mean, (d.close, N)),
        "pandas": ("rolling.mean", pd and pd_rolling("mean"), (_series(d, "close"), N)),
        "talib": ("SMA", talib and talib.SMA, (d.close, N)),
    }


def _sum_peers(d, N, p, mode):
    return {
        "bottleneck": ("move_sum", bn and bn.move_sum, (d.close, N)),
        "pandas": ("rolling.sum", pd and pd_rolling("sum"), (_series(d, "close"), N)),
        "talib": ("SUM", talib and talib.SUM, (d.close, N)),
    }


def _count_peers(d, N, p, mode):
    return {
        "bottleneck": ("move_sum of 0/1", bn and bn.move_sum, (_up01(d), N)),
        "pandas": ("rolling.count", pd and pd_rolling("count"), (pd and _up_masked(d), N)),
    }


def _extreme_peers(lowest):
    bn_name, pd_name, ta_name = ("move_min", "min", "MIN") if lowest else ("move_max", "max", "MAX")

    def peers(d, N, p, mode):
        return {
            "bottleneck": (
                f"{bn_name}(min_count=1)",
                bn and (lambda a, N: getattr(bn, bn_name)(a, N, min_count=1)),
                (d.close, N),
            ),
            "pandas": (
                f"rolling.{pd_name}",
                pd and pd_rolling(pd_name, min_periods=1),
                (_series(d, "close"), N),
            ),
            "talib": (ta_name, talib and getattr(talib, ta_name), (d.close, N)),
        }

    return peers


def _std_peers(ddof):
    def peers(d, N, p, mode):
        return {
            "bottleneck": (
                f"move_std(ddof={ddof})",
                bn and (lambda a, N: bn.move_std(a, N, ddof=ddof)),
                (d.close, N),
            ),
            "pandas": (
                f"rolling.std(ddof={ddof})",
                pd and pd_rolling("std", ddof=ddof),
                (_series(d, "close"), N),
            ),
            "talib": ("STDDEV", talib and talib.STDDEV, (d.close, N)),
        }

    return peers


def _apply_peer(label, func):
    def peers(d, N, p, mode):
        if d.n > APPLY_MAX_N:
            return {}
        return {
            "pandas": (f"rolling.apply({label})", pd and pd_apply(func), (_series(d, "close"), N))
        }

    return peers


def _per_bar_peers(bn_fn, pd_method, bn_kw=None, count=False):
    """An _A function: with a constant period series its peers are the fixed-window
    calls; with random periods, pandas with one window per bar from the series."""

    def peers(d, N, p, mode):
        if count:
            a_bn, s_pd = _up01(d), pd and _up_masked(d)
        else:
            a_bn, s_pd = d.close, pd and _series(d, "close")
        if mode == "const":
            kw = bn_kw or {}
            out = {
                "pandas": (
                    f"rolling.{pd_method}",
                    pd and pd_rolling(pd_method, min_periods=1 if kw else None),
                    (s_pd, N),
                )
            }
            if bn_fn:
                out["bottleneck"] = (
                    bn_fn + ("(min_count=1)" if kw else ""),
                    bn and (lambda a, N: getattr(bn, bn_fn)(a, N, **kw)),
                    (a_bn, N),
                )
            return out
        return {
            "pandas": (
                f"rolling(per-bar windows).{pd_method}",
                pd and pd_rolling_periods(pd_method),
                (s_pd, p),
            )
        }

    return peers


PEERS_OF = {
    "MA": _ma_peers,
    "MA_A": _per_bar_peers("move_mean", "mean"),
    "EMA": lambda d, N, p, m: {
        "pandas": (
            "ewm(span=N).mean",
            pd and (lambda s, N: s.ewm(span=N, adjust=False).mean()),
            (_series(d, "close"), N),
        ),
        "talib": ("EMA", talib and talib.EMA, (d.close, N)),
    },
    "SMA": lambda d, N, p, m: {
        "pandas": (
            "ewm(alpha=1/N).mean",
            pd and (lambda s, N: s.ewm(alpha=1.0 / N, adjust=False).mean()),
            (_series(d, "close"), N),
        )
    },
    "WMA": lambda d, N, p, m: {
        **_apply_peer("weights", wma_weights)(d, N, p, m),
        "talib": ("WMA", talib and talib.WMA, (d.close, N)),
    },
    "COUNT": _count_peers,
    "COUNT_A": _per_bar_peers("move_sum", "count", count=True, bn_kw={"min_count": 1}),
    "SUM": _sum_peers,
    "SUM_A": _per_bar_peers("move_sum", "sum"),
    "REF": lambda d, N, p, m: {
        "pandas": ("shift", pd and (lambda s, N: s.shift(N)), (_series(d, "close"), N)),
        "numpy": ("slicing", np_ref, (d.close, N)),
    },
    "REFIF": lambda d, N, p, m: {
        "pandas": (
            "where.ffill.shift.fillna",
            pd and pd_refif,
            (_series(d, "close"), _series(d, "signal"), _series(d, "smooth")),
        )
    },
    "REFXV": lambda d, N, p, m: {
        "pandas": ("shift(-N)", pd and pd_refxv, (_series(d, "close"), N)),
        "numpy": ("slicing", np_refxv, (d.close, N)),
    },
    "REF_A": lambda d, N, p, m: {"numpy": ("take", np_ref_a, (d.close, p))},
    "LLV": _extreme_peers(True),
    "LLV_A": _per_bar_peers("move_min", "min", bn_kw={"min_count": 1}),
    "HHV": _extreme_peers(False),
    "HHV_A": _per_bar_peers("move_max", "max", bn_kw={"min_count": 1}),
    "BARSINCE": lambda d, N, p, m: {
        "pandas": ("cumsum>0 cumsum", pd and pd_barsince, (_series(d, "up_bool"),))
    },
    "BARLAST": lambda d, N, p, m: {
        "pandas": ("groupby.cumcount", pd and pd_barslast, (_series(d, "up_bool"),))
    },
    "BARSLAST": lambda d, N, p, m: {
        "pandas": ("groupby.cumcount", pd and pd_barslast, (_series(d, "up_bool"),))
    },
    "CROSS": lambda d, N, p, m: {
        "pandas": ("shift/compare", pd and pd_cross, (_series(d, "close"), _series(d, "smooth"))),
        "numpy": ("slicing/compare", np_cross, (d.close, d.smooth)),
    },
    "FIF": lambda d, N, p, m: {
        "pandas": (
            "Series.where",
            pd and pd_where,
            (_series(d, "up_bool"), _series(d, "close"), _series(d, "smooth")),
        ),
        "numpy": ("where", np.where, (d.up_bool, d.close, d.smooth)),
    },
    "SLOPE": lambda d, N, p, m: {
        **_apply_peer("slope", ls_slope)(d, N, p, m),
        "talib": ("LINEARREG_SLOPE", talib and talib.LINEARREG_SLOPE, (d.close, N)),
    },
    "CURRBARSCOUNT": lambda d, N, p, m: {
        "pandas": ("Series(arange)", pd and pd_currbarscount, (_series(d, "close"),))
    },
    "BACKCOUNT": lambda d, N, p, m: {
        "pandas": ("groupby.cumsum", pd and pd_backcount, (_series(d, "up_bool"),))
    },
    "STD": _std_peers(1),
    "STDDEV": _std_peers(0),
    "STDP": _std_peers(0),
    "AVEDEV": _apply_peer("mean abs dev", mean_abs_dev),
}

# ---- the functions ---------------------------------------------------------------

# The performance target of each function (summary.py); by default "per-bar" for a
# function with a period series and "one-pass" for the rest.
GROUP_OF = {
    "LLV": "extremes",
    "HHV": "extremes",
    "STD": "dispersion",
    "STDDEV": "dispersion",
    "STDP": "dispersion",
    "AVEDEV": "dispersion",
    "SLOPE": "dispersion",
}
FLOOR_LABELS = {
    "one-pass": "plain loop",
    "extremes": "per-bar scan",
    "dispersion": "scalar per-window loop",
    "per-bar": "scalar per-bar loop",
}

# The data of each parameter: a series is the price series `close`, a condition the
# rose-from-previous-bar `up` (bool for Python, bytes for the kernel), a period series
# the measurement's periods p, the first integer the period N. Where a function is
# better served by other data (bench/data.py), by parameter name; an int is a fixed
# value.
INPUTS = {
    "SMA": {"M": 1},
    "DMA": {"A": "weight"},
    "COUNT": {"a": "up"},
    "COUNT_A": {"a": "up"},
    "REFIF": {"c": "signal", "v": "smooth"},
    "CROSS": {"y": "smooth"},
    "FIF": {"b": "smooth"},
    "FILTER": {"a": "signal"},
}


@dataclass
class Case:
    row: table.Function  # the function's row of the table
    index: int  # its position in the table (the floor library's row number)
    group: str  # which performance target it falls under
    peers: Callable  # (d, N, p, mode) -> {peer: (label, fn, args)}
    inputs: dict = field(default_factory=dict)  # parameter name -> data key or int value

    @property
    def name(self):
        return self.row.name

    @property
    def kernel(self):
        return self.row.kernel

    @property
    def floor(self):
        return "fl_" + self.name.lower()

    @property
    def floor_label(self):
        return FLOOR_LABELS[self.group]

    @property
    def kind(self):
        """per_bar (reads a period series), period (takes an int period) or plain."""
        if table.PERIODS in self.row.kinds:
            return "per_bar"
        return "period" if table.INT in self.row.kinds else "plain"

    def _values(self, d, N, p, native):
        out, ints = [], 0
        for param in self.row.params:
            key = self.inputs.get(param.name)
            if param.kind == table.INT:
                out.append(N if key is None and ints == 0 else key)
                ints += 1
            elif param.kind == table.PERIODS:
                out.append(p)
            elif param.kind == table.COND:
                out.append(d.up_u8 if native else d.up_bool)
            else:
                out.append(getattr(d, key or "close"))
        return out

    def args(self, d, N, p):
        """The arguments of the vexa function, in parameter order."""
        return tuple(self._values(d, N, p, native=False))

    def native(self, d, N, p):
        """The kernel's arguments in parameter order: arrays as it reads them, ints."""
        return self._values(d, N, p, native=True)


def _case(index, row):
    group = GROUP_OF.get(row.name, "per-bar" if table.PERIODS in row.kinds else "one-pass")
    return Case(row, index, group, PEERS_OF.get(row.name, _none), INPUTS.get(row.name, {}))


CASES = [_case(i, row) for i, row in enumerate(table.FUNCTIONS)]
CASE_BY_NAME = {c.name: c for c in CASES}


def live_peers(case, d, N, p, mode):
    """The peers of one measurement whose library is installed: {peer: (label, fn, args)}."""
    return {
        k: v for k, v in case.peers(d, N, p, mode).items() if k in AVAILABLE and v[1] is not None
    }
