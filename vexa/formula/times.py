"""Time columns read as times: what orders a symbol's bars, and their wall-clock times.

A time column may hold datetimes (numpy, pandas with or without a time zone, polars,
Python date and datetime objects), text, or numbers. Text is parsed, never ordered as
text; the forms read without being told are those whose order cannot be mistaken:

- ISO and year-first text: 2008-01-02, 2008/1/2, 2008.01.02, each with an optional time
  of day (2008-01-02 09:30, 2008-01-02T09:30:00.250) and UTC offset (Z, +08:00);
- compact text: 20080102, 200801020930, 20080102093000 (and 20080102 09:30:00).

Day-first or month-first text (01/02/2008) reads two ways and is refused unless
`time_format` (strftime codes, parsed by Python's datetime.strptime) says which. Numbers
order the bars as they are; as times they are read as YYYYMMDD (or YYYYMMDDhhmmss) when
every value is one, or as epoch numbers when `time_format` gives the unit: "s", "ms",
"us" or "ns" since 1970-01-01T00:00 UTC.

Text is parsed once per distinct value (a long table repeats each date once per symbol).
"""

from __future__ import annotations

import datetime as _dt
import re

import numpy as np

from .._wrap import package_of
from .errors import DataError, arg, quote

EPOCH_UNITS = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}  # ticks per second
_NS = 10**9

_YEAR_FIRST = re.compile(
    r"(\d{4})([-/.])(\d{1,2})\2(\d{1,2})"
    r"(?:(?:T|\s+)(\d{1,2}):(\d{2})(?::(\d{2})(?:[.,](\d{1,9}))?)?)?"
    r"\s*(Z|[+-]\d{2}(?::?\d{2})?)?"
)
_COMPACT = re.compile(
    r"(\d{4})(\d{2})(\d{2})(?:(?:T|\s*)(\d{2}):?(\d{2})(?::?(\d{2}))?)?\s*(Z|[+-]\d{2}(?::?\d{2})?)?"
)
_EITHER_WAY = re.compile(r"(\d{1,2})([-/.])(\d{1,2})\2(\d{2}|\d{4})(?:(?:T|\s+)\S.*)?")


class Times:
    """The times of a table's rows.

    key: an array that orders the rows (int64 instants, or the column's own numbers).
    wall(): float64 seconds since 1970-01-01T00:00 of each row's wall-clock time (a
    time with a zone in its own zone), or a DataError saying why the column holds none.
    label(i): row i's value as the caller wrote it, for messages."""

    def __init__(self, what, raw, key, wall=None, why=None):
        self.what = what
        self.raw = raw
        self.key = key
        self._wall = wall
        self._why = why

    def wall(self):
        if callable(self._wall):
            self._wall = self._wall()
        if self._wall is None:
            raise DataError(f"the formula reads the bars' times, but {self._why}")
        return self._wall

    def label(self, i):
        v = self.raw.iloc[int(i)] if hasattr(self.raw, "iloc") else self.raw[int(i)]
        if isinstance(v, np.datetime64):
            return str(v).replace("T00:00:00.000000000", "").replace("T00:00:00", "")
        if isinstance(v, np.generic):
            v = v.item()
        if hasattr(v, "isoformat") and not isinstance(v, str):
            text = v.isoformat(sep=" ") if isinstance(v, _dt.datetime) else v.isoformat()
            return text[:-9] if text.endswith(" 00:00:00") else text
        return v


def parse_times(values, what, time_format=None):
    """The Times of `values` (a pandas or polars Series or Index, a numpy array or a
    list); `what` names the column in messages ("time column 'date'")."""
    top = package_of(values)
    if top == "polars":
        return _polars(values, what, time_format)
    if top == "pandas":
        return _pandas(values, what, time_format)
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise DataError(f"{what} must be one value per bar, not of shape {arr.shape}")
    return _numpy(arr, values, what, time_format)


def _no_format(what, time_format, holds):
    if time_format is not None:
        raise DataError(
            f"{what} already holds {holds}: {arg('time_format')} is for text and numbers; "
            "leave it out"
        )


def _pandas(values, what, time_format):
    import pandas as pd

    dtype = values.dtype
    if isinstance(dtype, pd.DatetimeTZDtype):
        _no_format(what, time_format, "times")
        missing = np.asarray(values.isna())
        if missing.any():
            raise _missing(what, missing)
        if isinstance(values, pd.Index):
            instants = values.tz_convert("UTC").tz_localize(None).to_numpy()
            local = values.tz_localize(None).to_numpy()
        else:
            instants = values.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy()
            local = values.dt.tz_localize(None).to_numpy()
        return Times(what, values, _instants(instants), lambda: _seconds(local))
    if isinstance(dtype, np.dtype) and dtype.kind in "iufbmM":
        return _numpy(values.to_numpy(), values, what, time_format)
    if pd.api.types.is_numeric_dtype(dtype) and not isinstance(dtype, pd.CategoricalDtype):
        # Nullable integers and floats: a missing value reads as NaN, refused below.
        return _numpy(values.to_numpy(dtype=np.float64, na_value=np.nan), values, what, time_format)
    codes, uniques = pd.factorize(values, use_na_sentinel=True)
    if (codes < 0).any():
        raise _missing(what, codes < 0)
    return _distinct(np.asarray(uniques, dtype=object), codes, values, what, time_format)


def _polars(values, what, time_format):
    import polars as pl

    if values.null_count():
        raise _missing(what, values.is_null().to_numpy())
    dtype = values.dtype
    if dtype == pl.Datetime and getattr(dtype, "time_zone", None):
        _no_format(what, time_format, "times")
        instants = values.dt.convert_time_zone("UTC").dt.replace_time_zone(None).to_numpy()
        local = values.dt.replace_time_zone(None).to_numpy()
        return Times(what, values, _instants(instants), lambda: _seconds(local))
    if dtype.is_temporal() or dtype.is_numeric() or dtype == pl.Boolean:
        return _numpy(values.to_numpy(), values, what, time_format)
    if dtype in (pl.String, pl.Categorical, pl.Enum):
        text = values.cast(pl.String)
        codes = text.rank("dense").to_numpy().astype(np.int64) - 1
        uniques = np.asarray(text.unique().sort().to_list(), dtype=object)
        return _distinct(uniques, codes, values, what, time_format)
    return _numpy(np.asarray(values.to_list(), dtype=object), values, what, time_format)


def _numpy(arr, raw, what, time_format):
    kind = arr.dtype.kind
    if kind == "M":
        _no_format(what, time_format, "times")
        nat = np.isnat(arr)
        if nat.any():
            raise _missing(what, nat)
        return Times(what, raw, _instants(arr), lambda: _seconds(arr))
    if kind in "iuf":
        return _numbers(arr, raw, what, time_format)
    if kind in "USO":
        if kind == "O":
            missing = np.fromiter((_is_missing(v) for v in arr), bool, len(arr))
            if missing.any():
                raise _missing(what, missing)
        codes, uniques = _factorize(arr)
        return _distinct(uniques, codes, raw, what, time_format)
    holds = {"m": "durations", "b": "true/false values", "c": "complex numbers"}.get(kind)
    raise DataError(f"{what} holds {holds or f'values of dtype {arr.dtype}'}, not times")


def _factorize(arr):
    try:
        import pandas as pd
    except ImportError:
        uniques, codes = np.unique(arr, return_inverse=True)
        return codes, np.asarray(uniques, dtype=object)
    codes, uniques = pd.factorize(arr)
    return codes, np.asarray(uniques, dtype=object)


def _is_missing(v):
    return v is None or (isinstance(v, float) and v != v)


def _missing(what, mask):
    k = int(np.argmax(mask))
    return DataError(
        f"{what} has missing values ({int(np.count_nonzero(mask)):,}, the first at row {k})"
    )


def _instants(arr):
    """An int64 key of datetime64 values (their own unit)."""
    return np.ascontiguousarray(arr).view(np.int64)


def _seconds(arr):
    """float64 seconds since 1970-01-01T00:00 of datetime64 values: whole seconds
    exactly, the fraction rounded once."""
    unit, count = np.datetime_data(arr.dtype)
    if unit in ("Y", "M"):
        arr, unit, count = arr.astype("datetime64[D]"), "D", 1
    ticks = np.ascontiguousarray(arr).view(np.int64)
    per_second = np.timedelta64(1, "s") / np.timedelta64(count, unit)
    if per_second <= 1:
        return ticks * (np.timedelta64(count, unit) / np.timedelta64(1, "s"))
    per = round(per_second)
    whole, frac = np.divmod(ticks, per)
    return whole.astype(np.float64) + frac / per


# ---- numbers -------------------------------------------------------------------------


def _numbers(arr, raw, what, time_format):
    if arr.dtype.kind == "f":
        bad = np.isnan(arr)
        if bad.any():
            raise _missing(what, bad)
    if time_format in EPOCH_UNITS:
        per = EPOCH_UNITS[time_format]
        if arr.dtype.kind == "f":
            return Times(what, raw, arr, lambda: arr / per)
        return Times(what, raw, arr, lambda: _seconds(arr.astype(f"datetime64[{time_format}]")))
    if time_format is not None:
        integral = arr.dtype.kind in "iu" or bool((arr == np.floor(arr)).all())
        if not integral:
            raise DataError(
                f"{what} holds numbers that are not whole, which {arg('time_format')} "
                f"{quote(time_format)} cannot read; epoch numbers take a unit: "
                f"{arg('time_format', 's')} (or ms, us, ns)"
            )
        uniques, codes = np.unique(arr, return_inverse=True)
        text = np.asarray([str(int(u)) for u in uniques], dtype=object)
        return _distinct(text, codes, raw, what, time_format)
    # The numbers order the bars as they are; their wall-clock times are known only
    # when every value reads as YYYYMMDD (or YYYYMMDDhhmmss).
    return Times(what, raw, arr, lambda: _compact_numbers(arr), _numbers_why(what))


def _numbers_why(what):
    return (
        f"{what} holds numbers that are not dates written as YYYYMMDD: give their unit "
        f"if they are epoch numbers ({arg('time_format', 's')}, or ms, us, ns)"
    )


def _compact_numbers(arr):
    uniques, codes = np.unique(arr, return_inverse=True)
    if uniques.dtype.kind == "f" and not (uniques == np.floor(uniques)).all():
        return None
    if len(uniques) == 0:
        return np.zeros(0)
    lo, hi = uniques[0], uniques[-1]
    if 10_000_101 <= lo and hi <= 99_991_231:
        width = 8
    elif 10_000_101_000_000 <= lo and hi <= 99_991_231_235_959:
        width = 14
    else:
        return None
    ns = np.empty(len(uniques), dtype=np.int64)
    for k, u in enumerate(uniques.tolist()):
        m = _COMPACT.fullmatch(f"{int(u):0{width}d}")
        got = _to_ns(m, (1, 2, 3, 4, 5, 6, None, 7)) if m else None
        if got is None:
            return None
        ns[k] = got[0]
    return _seconds(ns.view("datetime64[ns]"))[codes]


# ---- text ------------------------------------------------------------------------------


def _distinct(uniques, codes, raw, what, time_format):
    """Times from the distinct values `uniques` (objects) and each row's code."""
    n = len(uniques)
    naive = np.empty(n, dtype=np.int64)
    offset = np.zeros(n, dtype=np.int64)
    zoned = np.zeros(n, dtype=bool)
    if time_format is not None and time_format in EPOCH_UNITS:
        raise DataError(
            f"{what} holds text, not numbers: {arg('time_format', time_format)} is for "
            "epoch numbers"
        )
    fast = _all_at_once(uniques, time_format)
    if fast is not None:
        return Times(what, raw, fast[codes], lambda: _seconds(fast.view("datetime64[ns]"))[codes])
    either_way = []
    for k, u in enumerate(uniques.tolist()):
        got = _one(u, what, time_format, either_way)
        if got is None:
            continue
        naive[k], off = got
        if off is not None:
            offset[k], zoned[k] = off, True
    if either_way:
        raise _either_way(what, either_way, uniques)
    if zoned.any() and not zoned.all():
        a = uniques[int(np.argmax(zoned))]
        b = uniques[int(np.argmin(zoned))]
        raise DataError(
            f"{what} mixes times with a UTC offset ({quote(str(a))}) and without one "
            f"({quote(str(b))}): their order cannot be known"
        )
    key_u = naive - offset * _NS if zoned.any() else naive
    key = key_u[codes]
    return Times(what, raw, key, lambda: _seconds(naive.view("datetime64[ns]"))[codes])


def _all_at_once(uniques, time_format):
    """Wall-clock nanoseconds of every distinct value when they are all text of the
    first one's form without a UTC offset or a fraction of a second (the common case),
    parsed in one vectorised pass; None otherwise (each is then parsed on its own, which
    also says exactly what is wrong with a value)."""
    if not len(uniques) or not isinstance(uniques[0], str):
        return None
    if time_format is not None:
        fmt = None if "%z" in time_format or "%Z" in time_format else time_format
    else:
        fmt = _form_of(uniques[0].strip())
    if fmt is None:
        return None
    try:
        import pandas as pd

        parsed = pd.to_datetime(uniques, format=fmt)
    except (ImportError, ValueError, TypeError, OverflowError):
        return None
    return np.asarray(parsed, dtype="datetime64[ns]").view(np.int64)


def _form_of(text):
    """The strftime format of year-first or compact text without an offset or a fraction
    of a second, or None."""
    m = _YEAR_FIRST.fullmatch(text)
    if m and not m.group(8) and not m.group(9) and text == text.strip():
        sep = m.group(2)
        fmt = f"%Y{sep}%m{sep}%d"
        if m.group(5):
            between = text[m.end(4) : m.start(5)]
            if between not in ("T", " "):
                return None
            fmt += f"{between}%H:%M" + (":%S" if m.group(7) else "")
        return fmt
    if re.fullmatch(r"\d{8}", text):
        return "%Y%m%d"
    return None


def _one(value, what, time_format, either_way):
    """(wall-clock nanoseconds, UTC offset in seconds or None) of one distinct value."""
    if isinstance(value, _dt.date):
        return _datetime_ns(value)
    if hasattr(value, "to_pydatetime"):  # pandas Timestamp subclasses date; others
        return _datetime_ns(value.to_pydatetime())
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise DataError(f"{what} has missing values")
        return int(value.astype("datetime64[ns]").view(np.int64)), None
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    if not isinstance(value, str):
        raise DataError(
            f"{what} holds {type(value).__name__} values such as {quote(value)}, not times"
        )
    text = value.strip()
    if not text:
        raise DataError(f"{what} has missing values (empty text)")
    if time_format is not None:
        try:
            parsed = _dt.datetime.strptime(text, time_format)
        except ValueError as e:
            raise DataError(
                f"{what}: {quote(text)} does not read as {arg('time_format', time_format)} ({e})"
            ) from None
        return _datetime_ns(parsed)
    m = _YEAR_FIRST.fullmatch(text)
    if m:
        got = _to_ns(m, (1, 3, 4, 5, 6, 7, 8, 9))
    else:
        m = _COMPACT.fullmatch(text)
        got = _to_ns(m, (1, 2, 3, 4, 5, 6, None, 7)) if m else None
        if m is None:
            if _EITHER_WAY.fullmatch(text):
                either_way.append(text)
                return None
            raise DataError(
                f"{what} holds {quote(text)}, which is not a form of date read without "
                "being told (2008-01-02, 2008/1/2, 20080102, each with an optional time of "
                f"day): give its form with {arg('time_format')} (strftime codes, such as "
                "'%b %d, %Y')"
            )
    if got is None:
        raise DataError(f"{what} holds {quote(text)}, which is not a valid date or time")
    return got


def _to_ns(m, groups):
    """(nanoseconds, offset seconds or None) from a match's groups: year, month, day,
    hour, minute, second, fraction, offset (None where the pattern has none)."""
    g = [m.group(i) if i is not None else None for i in groups]
    y, mo, d = int(g[0]), int(g[1]), int(g[2])
    h, mi, s = (int(x) if x else 0 for x in g[3:6])
    try:
        day = np.datetime64(f"{y:04d}-{mo:02d}-{d:02d}", "D")
    except ValueError:
        return None
    if h > 23 or mi > 59 or s > 59:
        return None
    ns = (int(day.view(np.int64)) * 86400 + h * 3600 + mi * 60 + s) * _NS
    if g[6]:
        ns += int(g[6].ljust(9, "0"))
    off = g[7]
    if off is None:
        return ns, None
    if off == "Z":
        return ns, 0
    sign = -1 if off[0] == "-" else 1
    digits = off[1:].replace(":", "")
    return ns, sign * (int(digits[:2]) * 3600 + int(digits[2:4] or 0) * 60)


def _datetime_ns(v):
    if not isinstance(v, _dt.datetime):
        v = _dt.datetime(v.year, v.month, v.day)
    off = v.utcoffset()
    wall = v.replace(tzinfo=None)
    delta = wall - _dt.datetime(1970, 1, 1)
    ns = (delta.days * 86400 + delta.seconds) * _NS + delta.microseconds * 1000
    return ns, None if off is None else int(off.total_seconds())


def _either_way(what, texts, uniques):
    """The error for day-first or month-first text, with the format(s) it may be."""
    example = texts[0]
    m = _EITHER_WAY.fullmatch(example)
    sep, year = m.group(2), "%Y" if len(m.group(4)) == 4 else "%y"
    md, dm = f"%m{sep}%d{sep}{year}", f"%d{sep}%m{sep}{year}"
    fits = ""
    for t in texts:
        a, b = (int(x) for x in _EITHER_WAY.fullmatch(t).group(1, 3))
        if a > 12 or b > 12:
            fmt = dm if a > 12 else md
            fits = f"; {quote(t)} reads only as {'day/month' if a > 12 else 'month/day'}"
            break
    else:
        fmt = None
    rest = " (and a time of day: add its codes, such as ' %H:%M')" if " " in example else ""
    hint = (
        f"{arg('time_format', fmt)}{fits}"
        if fmt
        else f"{arg('time_format', md)} or {arg('time_format', dm)}"
    )
    return DataError(
        f"{what} holds dates such as {quote(example)}, which read as month/day or as "
        f"day/month: say which with {hint}{rest}"
    )
