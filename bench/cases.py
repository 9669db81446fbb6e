"""What is measured for every function: its vexa call, its kernel and floor loop for the
native comparison, and its peers (bottleneck, pandas, TA-Lib, numpy), each a call on the
same data that computes the same thing or the nearest thing that library offers.

A peer's input is put in the form that library wants (a pandas Series, a 0/1 float
array) once, outside the timed call; everything the peer computes is inside it.
"""

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

PEERS = ("bottleneck", "pandas", "talib", "numpy")
PEER_NAMES = {"bottleneck": "bottleneck", "pandas": "pandas", "talib": "TA-Lib", "numpy": "numpy"}

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


# ---- the functions -----------------------------------------------------------------


@dataclass
class Case:
    name: str  # the Python function
    group: str  # which performance target it falls under
    sig: str  # native signature kind (timing.SIGNATURES)
    kind: str  # "period": int period; "per_bar": period series; "plain": no period
    args: Callable  # (d, N, p) -> arguments of the vexa function
    native: Callable  # (d, N, p) -> (input arrays, int params) of the kernel
    peers: Callable  # (d, N, p, mode) -> {peer: (label, fn, args)}
    floor_label: str = "plain loop"

    @property
    def kernel(self):
        return "vx_" + self.name.lower()

    @property
    def floor(self):
        return "fl_" + self.name.lower()


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


# ---- the table -------------------------------------------------------------------


def _p(name, group, peers, sig="s_i", args=None, native=None, floor_label="plain loop"):
    return Case(
        name,
        group,
        sig,
        "period",
        args or (lambda d, N, p: (d.close, N)),
        native or (lambda d, N, p: ((d.close,), (N,))),
        peers,
        floor_label,
    )


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


def _per_bar(name, bn_fn, pd_method, x="close", bn_kw=None, count=False):
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

    arg = (lambda d, N, p: (d.up, p)) if count else (lambda d, N, p: (d.close, p))
    nat = (lambda d, N, p: ((d.up, p), ())) if count else (lambda d, N, p: ((d.close, p), ()))
    return Case(name, "per-bar", "s_s", "per_bar", arg, nat, peers, "scalar per-bar loop")


def _ref_a_peers(d, N, p, mode):
    return {"numpy": ("take", np_ref_a, (d.close, p))}


CASES = [
    _p("MA", "one-pass", _ma_peers),
    _per_bar("MA_A", "move_mean", "mean"),
    _p(
        "EMA",
        "one-pass",
        lambda d, N, p, m: {
            "pandas": (
                "ewm(span=N).mean",
                pd and (lambda s, N: s.ewm(span=N, adjust=False).mean()),
                (_series(d, "close"), N),
            ),
            "talib": ("EMA", talib and talib.EMA, (d.close, N)),
        },
    ),
    _p(
        "SMA",
        "one-pass",
        lambda d, N, p, m: {
            "pandas": (
                "ewm(alpha=1/N).mean",
                pd and (lambda s, N: s.ewm(alpha=1.0 / N, adjust=False).mean()),
                (_series(d, "close"), N),
            )
        },
        sig="s_ii",
        args=lambda d, N, p: (d.close, N, 1),
        native=lambda d, N, p: ((d.close,), (N, 1)),
    ),
    _p(
        "WMA",
        "one-pass",
        lambda d, N, p, m: {
            **_apply_peer("weights", wma_weights)(d, N, p, m),
            "talib": ("WMA", talib and talib.WMA, (d.close, N)),
        },
    ),
    Case(
        "DMA",
        "one-pass",
        "s_s",
        "plain",
        lambda d, N, p: (d.close, d.weight),
        lambda d, N, p: ((d.close, d.weight), ()),
        _none,
    ),
    _p(
        "COUNT",
        "one-pass",
        _count_peers,
        args=lambda d, N, p: (d.up, N),
        native=lambda d, N, p: ((d.up,), (N,)),
    ),
    _per_bar("COUNT_A", "move_sum", "count", count=True, bn_kw={"min_count": 1}),
    _p("SUM", "one-pass", _sum_peers),
    _per_bar("SUM_A", "move_sum", "sum"),
    _p(
        "REF",
        "one-pass",
        lambda d, N, p, m: {
            "pandas": ("shift", pd and (lambda s, N: s.shift(N)), (_series(d, "close"), N)),
            "numpy": ("slicing", np_ref, (d.close, N)),
        },
    ),
    Case(
        "REFIF",
        "one-pass",
        "s_s_s",
        "plain",
        lambda d, N, p: (d.close, d.signal, d.smooth),
        lambda d, N, p: ((d.close, d.signal, d.smooth), ()),
        lambda d, N, p, m: {
            "pandas": (
                "where.ffill.shift.fillna",
                pd and pd_refif,
                (_series(d, "close"), _series(d, "signal"), _series(d, "smooth")),
            )
        },
    ),
    _p(
        "REFXV",
        "one-pass",
        lambda d, N, p, m: {
            "pandas": ("shift(-N)", pd and pd_refxv, (_series(d, "close"), N)),
            "numpy": ("slicing", np_refxv, (d.close, N)),
        },
    ),
    Case(
        "REF_A",
        "per-bar",
        "s_s",
        "per_bar",
        lambda d, N, p: (d.close, p),
        lambda d, N, p: ((d.close, p), ()),
        _ref_a_peers,
        "scalar per-bar loop",
    ),
    _p("LLV", "extremes", _extreme_peers(True), floor_label="per-bar scan"),
    _per_bar("LLV_A", "move_min", "min", bn_kw={"min_count": 1}),
    _p("HHV", "extremes", _extreme_peers(False), floor_label="per-bar scan"),
    _per_bar("HHV_A", "move_max", "max", bn_kw={"min_count": 1}),
    Case(
        "BARSINCE",
        "one-pass",
        "c",
        "plain",
        lambda d, N, p: (d.up_bool,),
        lambda d, N, p: ((d.up_u8,), ()),
        lambda d, N, p, m: {
            "pandas": ("cumsum>0 cumsum", pd and pd_barsince, (_series(d, "up_bool"),))
        },
    ),
    Case(
        "BARLAST",
        "one-pass",
        "c",
        "plain",
        lambda d, N, p: (d.up_bool,),
        lambda d, N, p: ((d.up_u8,), ()),
        lambda d, N, p, m: {
            "pandas": ("groupby.cumcount", pd and pd_barslast, (_series(d, "up_bool"),))
        },
    ),
    Case(
        "BARSLAST",
        "one-pass",
        "c",
        "plain",
        lambda d, N, p: (d.up_bool,),
        lambda d, N, p: ((d.up_u8,), ()),
        lambda d, N, p, m: {
            "pandas": ("groupby.cumcount", pd and pd_barslast, (_series(d, "up_bool"),))
        },
    ),
    Case(
        "CROSS",
        "one-pass",
        "s_s",
        "plain",
        lambda d, N, p: (d.close, d.smooth),
        lambda d, N, p: ((d.close, d.smooth), ()),
        lambda d, N, p, m: {
            "pandas": (
                "shift/compare",
                pd and pd_cross,
                (_series(d, "close"), _series(d, "smooth")),
            ),
            "numpy": ("slicing/compare", np_cross, (d.close, d.smooth)),
        },
    ),
    Case(
        "FIF",
        "one-pass",
        "c_s_s",
        "plain",
        lambda d, N, p: (d.up_bool, d.close, d.smooth),
        lambda d, N, p: ((d.up_u8, d.close, d.smooth), ()),
        lambda d, N, p, m: {
            "pandas": (
                "Series.where",
                pd and pd_where,
                (_series(d, "up_bool"), _series(d, "close"), _series(d, "smooth")),
            ),
            "numpy": ("where", np.where, (d.up_bool, d.close, d.smooth)),
        },
    ),
    _p(
        "SLOPE",
        "dispersion",
        lambda d, N, p, m: {
            **_apply_peer("slope", ls_slope)(d, N, p, m),
            "talib": ("LINEARREG_SLOPE", talib and talib.LINEARREG_SLOPE, (d.close, N)),
        },
        floor_label="scalar per-window loop",
    ),
    Case(
        "CURRBARSCOUNT",
        "one-pass",
        "s",
        "plain",
        lambda d, N, p: (d.close,),
        lambda d, N, p: ((d.close,), ()),
        lambda d, N, p, m: {
            "pandas": ("Series(arange)", pd and pd_currbarscount, (_series(d, "close"),))
        },
    ),
    Case(
        "BACKCOUNT",
        "one-pass",
        "c",
        "plain",
        lambda d, N, p: (d.up_bool,),
        lambda d, N, p: ((d.up_u8,), ()),
        lambda d, N, p, m: {
            "pandas": ("groupby.cumsum", pd and pd_backcount, (_series(d, "up_bool"),))
        },
    ),
    _p("STD", "dispersion", _std_peers(1), floor_label="scalar per-window loop"),
    _p("STDDEV", "dispersion", _std_peers(0), floor_label="scalar per-window loop"),
    _p("STDP", "dispersion", _std_peers(0), floor_label="scalar per-window loop"),
    _p(
        "AVEDEV",
        "dispersion",
        _apply_peer("mean abs dev", mean_abs_dev),
        floor_label="scalar per-window loop",
    ),
    _p(
        "FILTER",
        "one-pass",
        _none,
        args=lambda d, N, p: (d.signal, N),
        native=lambda d, N, p: ((d.signal,), (N,)),
    ),
]

CASE_BY_NAME = {c.name: c for c in CASES}


def live_peers(case, d, N, p, mode):
    """The peers of one measurement whose library is installed: {peer: (label, fn, args)}."""
    return {
        k: v for k, v in case.peers(d, N, p, mode).items() if k in AVAILABLE and v[1] is not None
    }
