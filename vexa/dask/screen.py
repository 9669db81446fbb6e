"""Screens over a Dask DataFrame of bars: the formula runs as vexa.dask.run runs it (whole
symbols per task), each task keeps its symbols' latest bars (or their bars at the date),
and the client filters and ranks those few rows as a screen on one machine does.

    import vexa.dask
    top = vexa.dask.screen(MACD, ddf, by="symbol", when="BUY", sort="MACD", top=20)
"""

from __future__ import annotations

import warnings

import numpy as np

from ..formula import DataError, Formula
from ..formula.errors import arg, quote
from ..formula.screen import check_date, check_top, date_match, finish, output_named
from ..formula.times import parse_times
from .frame import _compile, run


def screen(
    formula,
    ddf,
    /,
    by="symbol",
    when="BUY",
    date=None,
    sort=None,
    descending=True,
    top=None,
    *,
    time=None,
    time_format=None,
    columns=None,
    fill=None,
    npartitions=None,
    params=None,
    **overrides,
):
    """`Formula.screen` over a Dask DataFrame in long form (as vexa.dask.run reads it),
    computed: a pandas DataFrame, bit for bit the screen of the same bars on one machine.
    The workers evaluate whole symbols and send back one row per symbol; the client
    keeps those where `when` is true, sorts them and keeps the `top`."""
    formula = _compile(formula)
    params = Formula._merged(params, overrides)
    asked = _asked(formula, when, sort, top, date)
    picked = reduced(formula, ddf, by, date, time, time_format, columns, fill, npartitions, params)
    result, notes = finished(picked.compute(), formula, by, time_format, descending, **asked)
    for category, message in notes:
        if category is not None:
            warnings.warn(message, category, stacklevel=2)
    return result


def _asked(formula, when, sort, top, date):
    check_date(date)
    return {
        "when": output_named(formula.outputs, when, "when"),
        "sort": output_named(formula.outputs, sort, "sort"),
        "top": check_top(top),
        "date": date,
    }


def reduced(formula, ddf, by, date, time, time_format, columns, fill, npartitions, params):
    """The lazy Dask DataFrame of each symbol's picked bar: its symbol, time and outputs."""
    result = run(
        formula,
        ddf,
        by=by,
        time=time,
        time_format=time_format,
        columns=columns,
        fill=fill,
        npartitions=npartitions,
        params=params,
    )
    meta = result._meta
    if by not in meta.columns:  # the symbol as the index
        meta = meta.reset_index()
    tcol = next(c for c in meta.columns if c != by and c not in formula.outputs)
    args = (by, tcol, date, time_format)
    return result.map_partitions(_pick, *args, meta=_pick(meta, *args), align_dataframes=False)


def _pick(part, by, tcol, date, time_format):
    """Of one partition of whole symbols, each symbol's latest bar or its bar at `date`."""
    if by not in part.columns:
        part = part.reset_index()
    if not len(part):
        return part
    import pandas as pd

    times = parse_times(part[tcol], f"time column {quote(tcol)}", time_format)
    codes, _ = pd.factorize(part[by], use_na_sentinel=True)
    if date is None:
        order = np.lexsort((times.key, codes))
        codes = codes[order]
        last = np.r_[codes[1:] != codes[:-1], True]
        return part.iloc[order[last]]
    rows = np.flatnonzero(date_match(times, date, time_format).at())
    if len(np.unique(codes[rows])) < len(rows):
        raise DataError(
            f"a symbol has two bars at {arg('date', date)} (clocks changed): give "
            f"{arg('date')} with its UTC offset"
        )
    return part.iloc[rows]


def finished(frame, formula, by, time_format, descending, when, sort, top, date):
    """(the screen, [(warning category or None, message)]) of the picked bars, gathered."""
    frame = frame.reset_index(drop=True)
    if by not in frame.columns:
        raise DataError(f"no column {quote(by)} in the results")
    tcol = next(c for c in frame.columns if c != by and c not in formula.outputs)
    if date is not None and not len(frame):
        raise DataError(
            f"no symbol has a bar at {arg('date', date)} in time column {quote(tcol)}: pass "
            "the time of a bar, written as the column writes it"
        )
    values = {o: frame[o].to_numpy(dtype=np.float64) for o in formula.outputs}
    base = frame[[by, tcol]]
    stale = None
    if date is None and len(frame):
        times = parse_times(base[tcol], f"time column {quote(tcol)}", time_format)
        stale = (times.key, times.label)
    return finish(base, "pandas", by, tcol, values, when, sort, descending, top, stale)


def screen_on_cluster(args, formula, values, columns, asked):
    """`vexa screen --scheduler ADDRESS`: (the screen, its notes) computed on the cluster
    with Dask's progress bar; --out is a file written here."""
    from ..cli.common import EXIT_DATA, EXIT_USAGE, Failure
    from ..cli.files import check_out, inputs
    from .command import _close, _compute, _connect, _read

    partitions = args.partitions
    if partitions is not None and partitions < 1:
        raise Failure(f"--partitions {partitions}: give a positive number", EXIT_USAGE)
    if args.out:
        check_out(args.out, inputs(args.data))
    by = args.by or "symbol"
    client, cluster = _connect(args.scheduler)
    try:
        ddf = _read(args.data, by)
        try:
            picked = reduced(
                formula,
                ddf,
                by,
                asked["date"],
                args.time,
                args.time_format,
                columns,
                args.fill,
                partitions,
                values,
            )
            frame = _compute(client, picked)
            rest = {k: v for k, v in asked.items() if k != "descending"}
            return finished(frame, formula, by, args.time_format, asked["descending"], **rest)
        except DataError as e:
            raise Failure(str(e), EXIT_DATA) from None
    finally:
        _close(client, cluster)
