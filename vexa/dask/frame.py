"""Formulas over a Dask DataFrame of bars in long form (a symbol column, a time column, the
price fields), evaluated whole symbol by whole symbol.

The recursive functions (EMA, SMA, DMA, BARSLAST, ...) need a symbol's whole history in
order, so no symbol is ever split across tasks:

- the symbol is a column: one hash shuffle on it (every row of a symbol lands in the same
  partition), then each partition is sorted by symbol and time and evaluated;
- the symbol is the index with known divisions (set_index, or read_parquet with
  calculate_divisions=True): no shuffle. Divisions read from Parquet statistics may put a
  boundary symbol in two partitions (a row group ending inside it), so the rows equal to
  the next partition's first division are moved there first; only those rows travel.

Each task calls the compiled formula on its pandas partition, exactly as a single
machine calls it on a long table, so every symbol's values are its own single-symbol run,
bit for bit. The formula is compiled once on the client and pickled once; each worker
process unpickles (compiles) it once and keeps it.
"""

from __future__ import annotations

import bisect
import hashlib
import pickle
import threading
import tracemalloc

import numpy as np

from ..formula import DataError, Formula, FormulaError
from ..formula.columns import field_mapping
from ..formula.errors import quote, quote_list
from ..formula.fields import TIME_FIELD
from ..formula.times import parse_times


class SymbolTooLarge(MemoryError):
    """One symbol's bars need more memory than a worker has.

    A symbol is evaluated in one task and is never split, so this is raised on the worker
    before the evaluation allocates anything, instead of letting the worker be killed and
    the task retried on every other worker in turn.
    """

    def __init__(self, symbol, bars, need, avail, limit, worker):
        super().__init__(symbol, bars, need, avail, limit, worker)
        self.symbol, self.bars, self.need = symbol, bars, need
        self.avail, self.limit, self.worker = avail, limit, worker

    def __str__(self):
        return (
            f"symbol {quote(self.symbol)} has {self.bars:,} bars: evaluating them needs about "
            f"{_mib(self.need)}, more than the {_mib(self.avail)} that worker {self.worker} "
            f"has left below its memory limit of {_mib(self.limit)}. A symbol's history is "
            "evaluated in one task and cannot be split: give the workers more memory "
            "(dask worker --memory-limit, LocalCluster(memory_limit=...)) or evaluate a "
            "shorter history"
        )


def _mib(n):
    return f"{n / 2**20:,.0f} MiB"


def run(
    formula,
    ddf,
    /,
    by="symbol",
    time=None,
    *,
    time_format=None,
    columns=None,
    fill=None,
    npartitions=None,
    params=None,
    **overrides,
):
    """A formula over a Dask DataFrame of bars of many symbols, lazily.

    formula: a vexa.Formula or the text of one (compiled here, once).
    ddf: a Dask DataFrame in long form: a symbol column (or the symbol as the index), a
    time column, the fields the formula reads (matched as vexa.Formula matches them).
    by: the symbol column; time, time_format, columns, fill: as vexa.Formula's call
    takes them (the time column when not named date, datetime, time, timestamp,
    trade_date, ...; text times are parsed, never ordered as text). npartitions:
    partitions after the shuffle (default: as many as ddf has); not used when the symbol
    is the index with known divisions. params (a mapping) and keywords: the formula's
    parameters.

    Returns a Dask DataFrame with the symbol and time columns and one column per output,
    one row per bar, each partition sorted by symbol and time. With the symbol as a
    column the rows keep ddf's index; with the symbol as the index the result is indexed
    by symbol (with ddf's divisions when they are known). Each symbol's values equal
    formula(table, by=by, time=time, **params) on one machine, bit for bit.

    A symbol whose evaluation would not fit in a worker's memory raises SymbolTooLarge
    when computed (see docs/dask.md).
    """
    import dask.dataframe as dd

    formula = _compile(formula)
    params = Formula._merged(params, overrides)
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(
            f"ddf must be a Dask DataFrame, not {type(ddf).__name__} "
            "(dask.dataframe.from_pandas or read_parquet makes one)"
        )
    if npartitions is not None and (
        isinstance(npartitions, bool) or not isinstance(npartitions, int) or npartitions < 1
    ):
        raise ValueError(f"npartitions must be a positive int, not {quote(npartitions)}")
    meta = ddf._meta
    on_index = by not in meta.columns and meta.index.name == by
    if by not in meta.columns and not on_index:
        raise DataError(f"no column {quote(by)} to group by (columns: {quote_list(meta.columns)})")
    flat = meta.reset_index() if on_index else meta
    options = {"time_format": time_format, "columns": field_mapping(columns), "fill": fill}
    # The formula on the empty partition: the result's columns and dtypes, and the data
    # errors (a missing field, no time column, an unknown parameter) raised here, now.
    out_meta = formula(flat, by=by, time=time, params=params, **options)
    tcol = next(c for c in out_meta.columns if c != by and c not in formula.outputs)
    keep = {by, tcol, *formula.columns(flat.columns, options["columns"]).values()}
    cols = [c for c in flat.columns if c in keep]  # only these are shuffled
    shipped = _Shipped(formula)
    per_bar = _bytes_per_bar(formula, params)
    args = (shipped, by, tcol, tuple(params.items()), per_bar, tuple(options.items()))

    if on_index and ddf.known_divisions:
        out_meta = out_meta.set_index(by)
        return _without_shuffle(ddf[[c for c in cols if c != by]], args, out_meta)
    src = ddf.reset_index()[cols] if on_index else ddf[cols]
    src = src.shuffle(on=by, npartitions=npartitions or ddf.npartitions)
    if on_index:
        return src.map_partitions(
            vexa_formula, *args, True, meta=out_meta.set_index(by), align_dataframes=False
        )
    return src.map_partitions(vexa_formula, *args, meta=out_meta, align_dataframes=False)


def _compile(formula):
    if isinstance(formula, Formula):
        return formula
    if isinstance(formula, (str, bytes)):
        return Formula(formula)
    raise TypeError(f"formula must be a vexa.Formula or its text, not {type(formula).__name__}")


def _bytes_per_bar(formula, params, bars=1 << 14):
    """The memory one bar takes while the formula evaluates it (inputs gathered, the
    intermediates alive at once, outputs), measured with tracemalloc on a made-up symbol:
    what the memory check on the workers multiplies by a symbol's bars."""
    import pandas as pd

    rng = np.random.default_rng(0)
    walk = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, bars)))
    data = pd.DataFrame({"symbol": np.zeros(bars, dtype=np.int64), "time": np.arange(bars)})
    for field in formula.inputs:  # OPEN, HIGH, ..., VOL, AMOUNT: their lower-case names
        if field != TIME_FIELD:
            data[field.lower()] = walk
    tracing = tracemalloc.is_tracing()
    if not tracing:
        tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        formula._apply(data, "symbol", "time", "s", None, None, None, params, {})
        peak = tracemalloc.get_traced_memory()[1] - base
    except (FormulaError, DataError, ValueError, TypeError):
        peak = 0  # a failing formula fails on the workers too, with the real data
    finally:
        if not tracing:
            tracemalloc.stop()
    return max(peak, 0) / bars


# ---- the formula as the workers get it ----------------------------------------------------

_CACHE: dict[str, Formula] = {}
_CACHE_LOCK = threading.Lock()
_CACHE_SIZE = 16


class _Shipped:
    """A compiled formula pickled once on the client. Unpickling it on a worker compiles
    it once per process: later tasks of the same formula find it in a small cache."""

    __slots__ = ("blob", "formula", "key")

    def __init__(self, formula):
        self.formula = formula
        self.blob = pickle.dumps(formula, protocol=pickle.HIGHEST_PROTOCOL)
        self.key = hashlib.sha256(self.blob).hexdigest()

    def __reduce__(self):
        return (_unship, (self.key, self.blob))


def _unship(key, blob):
    with _CACHE_LOCK:
        formula = _CACHE.get(key)
    if formula is None:
        formula = pickle.loads(blob)
        with _CACHE_LOCK:
            if len(_CACHE) >= _CACHE_SIZE:
                _CACHE.pop(next(iter(_CACHE)))
            _CACHE[key] = formula
    shipped = _Shipped.__new__(_Shipped)
    shipped.formula, shipped.blob, shipped.key = formula, blob, key
    return shipped


# ---- one task: whole symbols --------------------------------------------------------------


def vexa_formula(part, shipped, by, tcol, params, per_bar, options=(), index_by=False):
    """The formula over one partition holding whole symbols: sorted by symbol and time,
    then evaluated in as few batches of whole symbols as the worker's memory allows.

    The formula sees the symbols as integer codes, which a long table orders far faster
    than text (each symbol's values are its own run whatever it is called); the result
    gets the partition's own symbol column back. Notes of missing values stay on the
    worker (nobody reads them there)."""
    import pandas as pd

    formula = shipped.formula
    params = dict(params)
    options = dict(options)
    if index_by:
        part = part.reset_index()
    budget = _budget(part, by, per_bar)
    part, codes = _in_order(part, by, tcol, options.get("time_format"))
    work = part.copy(deep=False)
    work[by] = codes
    batches = _batches(codes, budget)

    def evaluate(rows):
        return formula._apply(
            rows,
            by,
            tcol,
            options.get("time_format"),
            options.get("columns"),
            options.get("fill"),
            None,
            params,
            {},
        )[0]

    if len(batches) == 1:
        out = evaluate(work)
    else:
        out = pd.concat([evaluate(work.iloc[a:b]) for a, b in batches])
    out[by] = part[by].array  # row for row: the result keeps the partition's order
    return out.set_index(by) if index_by else out


def _in_order(part, by, tcol, time_format=None):
    """(the partition in symbol-then-time order, its symbols' codes 0, 1, ... in that
    order). A partition already in order (files sorted by symbol and time) is not
    copied. Two bars of one symbol at one time are refused, named by the symbol itself
    rather than by its code."""
    import pandas as pd

    try:
        codes, uniques = pd.factorize(part[by], use_na_sentinel=True)  # order of appearance
        if (codes < 0).any():
            raise DataError(f"column {quote(by)} has missing values")
        rank = np.empty(len(uniques), dtype=np.int64)
        rank[np.asarray(uniques.argsort())] = np.arange(len(uniques))
    except TypeError:
        raise DataError(f"column {quote(by)} mixes values that cannot be ordered") from None
    times = parse_times(part[tcol], f"time column {quote(tcol)}", time_format)
    tkey = times.key
    codes = rank[codes]
    if len(codes) > 1:
        step = np.diff(codes)
        if (step >= 0).all() and ((step > 0) | (tkey[1:] > tkey[:-1])).all():
            return part, codes
    order = np.lexsort((tkey, codes))  # stable
    codes, tkey = codes[order], tkey[order]
    same = (codes[1:] == codes[:-1]) & (tkey[1:] == tkey[:-1])
    if same.any():
        k = int(order[int(np.argmax(same))])
        raise DataError(
            f"symbol {quote(_plain(part[by].iloc[k]))} has two rows at "
            f"{tcol} = {quote(times.label(k))}"
        )
    return part.take(order), codes


def _budget(part, by, per_bar):
    """(bytes per bar, bytes a batch may take) when the partition does not fit at once
    and the worker has a memory limit, else None. Raises SymbolTooLarge, before anything
    is allocated, when the largest symbol alone would take the worker past the memory at
    which its nanny kills it."""
    n = len(part)
    memory = _worker_memory() if n else None
    if memory is None:
        return None
    limit, pause, terminate, rss, address = memory
    # The sorted copy of the partition, and the evaluation itself.
    cost = per_bar + part.memory_usage(index=True, deep=False).sum() / n
    # Batches stay below the memory at which the worker stops taking new tasks.
    soft = limit * pause - rss
    if n * cost <= soft:
        return None
    counts = part[by].value_counts(sort=True, dropna=False)
    bars = int(counts.iloc[0])
    hard = limit * terminate - rss
    if bars * cost > hard:
        symbol = _plain(counts.index[0])
        raise SymbolTooLarge(symbol, bars, int(bars * cost), int(max(hard, 0)), int(limit), address)
    return cost, soft


def _batches(codes, budget):
    """[(first row, end row)] of batches of whole symbols (`codes`: the sorted partition's
    symbol codes), each within the budget; one batch when there is none, and a batch
    holds one symbol at least."""
    n = len(codes)
    if budget is None:
        return [(0, n)]
    cost, soft = budget
    starts = np.flatnonzero(np.r_[True, codes[1:] != codes[:-1]])
    ends = np.r_[starts[1:], n]
    batches, first, size = [], 0, 0
    for s, e in zip(starts.tolist(), ends.tolist()):
        if size and (size + e - s) * cost > soft:
            batches.append((first, s))
            first, size = s, 0
        size += e - s
    batches.append((first, n))
    return batches


def _plain(value):
    return value.item() if isinstance(value, np.generic) else value


def _worker_memory():
    """(memory limit, the fractions of it at which the worker pauses and at which its
    nanny kills it, this process's resident memory, the worker's address) on a Dask
    worker with a memory limit, else None."""
    try:
        from distributed import get_worker

        worker = get_worker()
    except (ImportError, ValueError):
        return None
    limit = getattr(getattr(worker, "memory_manager", None), "memory_limit", None)
    if not limit:
        return None
    import dask
    import psutil

    terminate = float(dask.config.get("distributed.worker.memory.terminate", 0.95) or 1.0)
    pause = float(dask.config.get("distributed.worker.memory.pause", 0.8) or terminate)
    rss = psutil.Process().memory_info().rss
    return limit, min(pause, terminate), terminate, rss, worker.address


# ---- the symbol as the index, with known divisions: no shuffle ------------------------------


def _without_shuffle(src, args, out_meta):
    """Partition j keeps its rows below the next division and receives the rows equal to
    its own first division that sit at the end of earlier partitions."""
    import dask.dataframe as dd
    from dask import delayed

    divisions = src.divisions
    n = src.npartitions
    lower = list(divisions[:-1])
    parts = src.to_delayed()
    # Where partition p's rows equal to the next division go: the last partition that
    # starts at that value (divisions may repeat).
    target = [bisect.bisect_right(lower, divisions[p + 1]) - 1 for p in range(n - 1)]
    routed = []
    for p, part in enumerate(parts):
        hi = divisions[p + 1] if p < n - 1 else None
        routed.append(delayed(_route, nout=2, pure=True)(part, divisions[p], hi, divisions[-1], p))
    outs = []
    for j in range(n):
        incoming = [routed[p][1] for p in range(j) if target[p] == j]
        outs.append(delayed(_evaluate_routed, pure=True)(routed[j][0], incoming, *args))
    return dd.from_delayed(outs, meta=out_meta, divisions=divisions, verify_meta=False)


def _route(part, lo, hi, last, p):
    """(rows that stay, rows equal to `hi` that belong to a later partition). Rows outside
    [lo, hi] (or [lo, last] for the last partition) mean the divisions are wrong: refused,
    since a symbol could then be split."""
    index = part.index
    if len(index) == 0:
        return part, part
    top = last if hi is None else hi
    inside = np.asarray((index >= lo) & (index <= top))
    if not inside.all():
        bad = index[~inside][0]
        raise DataError(
            f"partition {p} holds symbol {quote(_plain(bad))}, outside its divisions "
            f"[{quote(lo)}, {quote(top)}]: the divisions are wrong (clear them, or set the "
            "index again)"
        )
    if hi is None:
        return part, part.iloc[:0]
    moving = np.asarray(index == hi)
    if not moving.any():
        return part, part.iloc[:0]
    return part[~moving], part[moving]


def _evaluate_routed(stay, incoming, *args):
    incoming = [x for x in incoming if len(x)]
    if incoming:
        import pandas as pd

        stay = pd.concat([*incoming, stay])
    return vexa_formula(stay, *args, index_by=True)
