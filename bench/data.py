"""Reproducible input series for the benchmark.

Two price series, each generated once at the largest size and cut to the smaller sizes
(a prefix), so every size sees the same bars:

- "walk": a random walk of log prices, no missing bars.
- "real": a price series that looks like a traded stock: volatility in clusters, prices
  rounded to the cent (flat bars), a few missing bars before the listing and trading
  suspensions (runs of NaN) later on.

Every input a function needs (conditions, a second series, weights, period series) is
derived from the price series, so contenders always see the same data.
"""

import math
from dataclasses import dataclass, field

import numpy as np

DATASETS = ("walk", "real")
SEED = 20240607


def walk_prices(n, seed=SEED):
    rng = np.random.default_rng(seed)
    return 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.001, n)))


def real_prices(n, seed=SEED + 1):
    rng = np.random.default_rng(seed)
    # Volatility clusters: a slowly mean-reverting log volatility.
    z = rng.normal(0.0, 0.15, n).tolist()
    base = math.log(0.002)
    lv, logvol = base, []
    for zi in z:  # one pass of plain floats, at generation time only
        lv = 0.98 * lv + 0.02 * base + zi
        logvol.append(lv)
    logvol = np.array(logvol)
    steps = rng.standard_t(4, n) * np.exp(logvol) / np.sqrt(2.0)
    prices = np.round(20.0 * np.exp(np.cumsum(steps)), 2)
    prices = np.maximum(prices, 0.01)
    prices[:3] = np.nan  # before the listing
    # Suspensions: about one bar in 400 starts a gap of 1 to 20 bars.
    starts = np.flatnonzero(rng.random(n) < 1.0 / 400.0)
    lengths = rng.integers(1, 21, starts.size)
    for s, k in zip(starts, lengths):
        prices[s : s + k] = np.nan
    return prices


@dataclass
class Series:
    """Every input of one size of one data set (numpy arrays, C-contiguous)."""

    name: str
    close: np.ndarray  # the price series
    smooth: np.ndarray  # a smoothed copy: the second series of CROSS
    up: np.ndarray  # 1.0 where close rose, 0.0 where not, NaN where close is NaN
    up_bool: np.ndarray  # close rose, as bool (the condition of FIF and the counters)
    up_u8: np.ndarray  # the same as bytes, what the kernels read
    signal: np.ndarray  # CROSS(close, smooth) as 0.0 / 1.0: FILTER input, REFIF condition
    weight: np.ndarray  # per-bar weights in (0, 1): DMA
    extra: dict = field(default_factory=dict)  # cached pandas objects and period series

    @property
    def n(self):
        return self.close.size


def _smooth(x, k=10):
    """Trailing mean over k bars (NaN-aware enough for a benchmark input)."""
    filled = np.where(np.isnan(x), np.nan, x)
    c = np.cumsum(np.nan_to_num(filled))
    out = np.empty_like(x)
    out[:k] = filled[:k]
    out[k:] = (c[k:] - c[:-k]) / k
    out[np.isnan(x)] = np.nan
    return out


def make_full(dataset, n):
    prices = walk_prices(n) if dataset == "walk" else real_prices(n)
    smooth = _smooth(prices)
    prev = np.concatenate(([np.nan], prices[:-1]))
    rose = prices > prev
    up = rose.astype(np.float64)
    up[np.isnan(prices)] = np.nan
    cross = np.zeros(n)
    cross[1:] = (smooth[:-1] > prices[:-1]) & (prices[1:] > smooth[1:])
    rng = np.random.default_rng(SEED + 2)
    weight = rng.uniform(0.02, 0.5, n)
    return prices, smooth, up, rose, cross, weight


class DataCache:
    """The full series of each data set, cut to any size on request."""

    def __init__(self, largest):
        self.largest = largest
        self._full = {}
        self._cut = {}

    def get(self, dataset, n):
        key = (dataset, n)
        if key not in self._cut:
            if dataset not in self._full:
                self._full[dataset] = make_full(dataset, self.largest)
            prices, smooth, up, rose, cross, weight = self._full[dataset]
            cut = lambda a: np.ascontiguousarray(a[:n])  # noqa: E731
            rose_n = cut(rose)
            self._cut[key] = Series(
                name=dataset,
                close=cut(prices),
                smooth=cut(smooth),
                up=cut(up),
                up_bool=rose_n,
                up_u8=rose_n.view(np.uint8),
                signal=cut(cross),
                weight=cut(weight),
            )
        return self._cut[key]


def period_series(n, N, mode, seed=SEED + 3):
    """Per-bar periods for the _A functions: every bar N ("const"), or random whole
    periods from 1 to 2N - 1 (mean N) with a fractional part that truncation drops
    ("random")."""
    if mode == "const":
        return np.full(n, float(N))
    rng = np.random.default_rng(seed + N)
    return rng.integers(1, 2 * N, n).astype(np.float64) + rng.random(n) * 0.9
