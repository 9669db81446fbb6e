"""A date as a table's time column reads it (for a screen at a date): text as that
column's text is parsed (with its time_format), a datetime or date as the instant it is, a
number as the column's numbers; where a date cannot be compared with the column (a time
with a UTC offset against times without one, a number against datetimes) it is refused
with what to pass."""

from __future__ import annotations

import datetime as _dt

import numpy as np

from .._wrap import package_of
from .errors import (
    DataError,
    arg,
    quote,
)
from .times import EPOCH_UNITS, _datetime_ns, _one

_NS = 10**9


class DateMatch:
    """Where a date falls among a table's times: `keys` (one per row of the table) equal
    `value` at the rows at that date (`value` None when no row can be: a time finer than
    the column's unit); `near` locates the date among the keys for messages."""

    def __init__(self, times, keys, value, near):
        self.times, self.keys, self.value, self.near = times, keys, value, near

    def at(self):
        """True at the rows at the date (one per row of the table)."""
        if self.value is None:
            return np.zeros(len(self.keys), dtype=bool)
        return self.keys == self.value

    def not_found(self, date):
        """The error for a date at which no symbol has a bar, with the bars around it."""
        keys, near = self.keys, self.near
        around = []
        with np.errstate(invalid="ignore"):
            before, after = keys < near, keys > near
        if before.any():
            k = np.flatnonzero(before)[np.argmax(keys[before])]
            around.append(f"the latest before it is at {quote(self.times.label(k))}")
        if after.any():
            k = np.flatnonzero(after)[np.argmin(keys[after])]
            around.append(f"the first after it at {quote(self.times.label(k))}")
        said = f" ({'; '.join(around)})" if around else ""
        return DataError(
            f"no symbol has a bar at {arg('date', date)} in {self.times.what}{said}: pass "
            "the time of a bar, written as the column writes it"
        )


def date_match(times, date, time_format):
    """The DateMatch of `date` among `times` (the table's Times, `time_format` as given
    for reading them)."""
    raw = times.raw
    kind = _kind_of(raw, time_format)
    what = f"{arg('date', date) if isinstance(date, str) else arg('date')}"
    if kind == "number":
        number = _as_number(date)
        if number is not None:
            return DateMatch(times, times.key, number, number)
        try:
            times.wall()
        except DataError:
            raise DataError(
                f"{times.what} holds numbers that are not dates written as YYYYMMDD: give "
                f"{arg('date')} as one of its numbers, or the unit of epoch numbers with "
                f"{arg('time_format', 's')} (or ms, us, ns)"
            ) from None
        ns, offset = _instant(date, what, None, times)
        _same_zone(times, offset, False)
        wide = len(times.key) and np.max(times.key) >= 10**13
        value = _compact(ns, 14 if wide else 8)
        return DateMatch(times, times.key, value, value if value is not None else _compact_near(ns))
    if kind == "epoch":
        number = _as_number(date)
        if number is not None:
            return DateMatch(times, times.key, number, number)
        ns, offset = _instant(date, what, None, times)
        utc = ns - (offset or 0) * _NS
        tick = _NS // EPOCH_UNITS[time_format]
        return DateMatch(times, times.key, utc // tick if utc % tick == 0 else None, utc / tick)
    if kind == "text":
        if isinstance(date, (int, np.integer)) and not isinstance(date, (bool, np.bool_)):
            date = str(int(date))  # compact dates stored as text, 20240102
        ns, offset = _instant(date, what, time_format, times)
        first = raw.iloc[0] if hasattr(raw, "iloc") else raw[0]
        if isinstance(first, (int, float, np.integer, np.floating)):
            first = str(int(first))  # numbers read with strftime codes, as the column is
        first = _one(first, times.what, time_format, [])
        zoned = first is not None and first[1] is not None
        _same_zone(times, offset, zoned)
        value = ns - offset * _NS if zoned else ns
        return DateMatch(times, times.key, value, value)
    # datetimes, with a zone or without
    if _as_number(date) is not None:
        raise DataError(
            f"{times.what} holds datetimes: give {arg('date')} as a date or time (text such "
            f"as '2024-01-02', a datetime or date), not the number {quote(date)}"
        )
    ns, offset = _instant(date, what, None, times)
    unit, count = np.datetime_data(_datetime_dtype(raw))
    size = _UNIT_NS[unit] * count
    if kind == "datetime":
        _same_zone(times, offset, False)
        keys = times.key
    elif offset is not None:  # an instant: compared with the column's instants
        ns -= offset * _NS
        keys = times.key
    else:  # a wall-clock time in the column's own zone
        keys = _local_keys(raw)
    return DateMatch(times, keys, ns // size if ns % size == 0 else None, ns / size)


_UNIT_NS = {
    "W": 7 * 86400 * _NS,
    "D": 86400 * _NS,
    "h": 3600 * _NS,
    "m": 60 * _NS,
    "s": _NS,
    "ms": 10**6,
    "us": 10**3,
    "ns": 1,
}


def _kind_of(raw, time_format):
    """How a time column's values make their keys: "datetime" (instants in the column's
    unit), "zoned" (datetimes with a time zone: UTC instants), "number" (the numbers
    themselves), "epoch" (numbers of a unit since 1970), "text" (nanoseconds of the
    parsed text: also numbers read with strftime codes)."""
    top = package_of(raw)
    if top == "pandas":
        import pandas as pd

        dtype = raw.dtype
        if isinstance(dtype, pd.DatetimeTZDtype):
            return "zoned"
        if isinstance(dtype, np.dtype) and dtype.kind == "M":
            return "datetime"
        numeric = pd.api.types.is_numeric_dtype(dtype) and not isinstance(
            dtype, pd.CategoricalDtype
        )
    elif top == "polars":
        import polars as pl

        dtype = raw.dtype
        if dtype == pl.Datetime and getattr(dtype, "time_zone", None):
            return "zoned"
        if dtype.is_temporal():
            return "datetime"
        numeric = dtype.is_numeric() or dtype == pl.Boolean
    else:
        kind = np.asarray(raw).dtype.kind
        if kind == "M":
            return "datetime"
        numeric = kind in "iuf"
    if not numeric:
        return "text"
    if time_format is None:
        return "number"
    return "epoch" if time_format in EPOCH_UNITS else "text"


def _datetime_dtype(raw):
    top = package_of(raw)
    if top == "polars":
        unit = getattr(raw.dtype, "time_unit", None)
        return np.dtype(f"datetime64[{unit}]" if unit else "datetime64[D]")  # Date: days
    if top == "pandas":
        dtype = raw.dtype
        unit = getattr(dtype, "unit", None)  # with a time zone
        return np.dtype(f"datetime64[{unit}]") if unit else dtype
    return np.asarray(raw).dtype


def _local_keys(raw):
    """The wall-clock times of datetimes with a zone, as int64 in their unit."""
    if package_of(raw) == "polars":
        local = raw.dt.replace_time_zone(None).to_numpy()
    elif hasattr(raw, "dt"):
        local = raw.dt.tz_localize(None).to_numpy()
    else:
        local = raw.tz_localize(None).to_numpy()
    return np.ascontiguousarray(local).view(np.int64)


def _as_number(date):
    """A date given as a number (or as the text of one), else None."""
    if isinstance(date, (bool, np.bool_)):
        return None
    if isinstance(date, (int, np.integer)):
        return int(date)
    if isinstance(date, (float, np.floating)):
        return float(date)
    if isinstance(date, str):
        text = date.strip()
        try:
            return int(text)
        except ValueError:
            pass
        try:
            value = float(text)
        except ValueError:
            return None
        return value if value == value else None
    return None


def _instant(date, what, time_format, times):
    """(wall-clock nanoseconds since 1970, UTC offset in seconds or None) of a date."""
    if hasattr(date, "to_pydatetime") and hasattr(date, "tz_localize"):  # pandas Timestamp
        if date != date:
            raise ValueError(f"{arg('date')} is NaT, not a date")
        offset = date.utcoffset()
        wall = date.tz_localize(None) if offset is not None else date
        return int(wall.as_unit("ns").value), (
            None if offset is None else int(offset.total_seconds())
        )
    if isinstance(date, np.datetime64):
        if np.isnat(date):
            raise ValueError(f"{arg('date')} is NaT, not a date")
        return int(date.astype("datetime64[ns]").view(np.int64)), None
    if isinstance(date, _dt.date):
        return _datetime_ns(date)
    if isinstance(date, str):
        either = []
        got = _one(date, what, time_format, either)
        if either:
            raise DataError(
                f"{arg('date', date)} reads as month/day or as day/month: write it as "
                f"{times.what} writes its times ({quote(times.label(0))})"
            )
        return got
    raise DataError(
        f"{arg('date')} {quote(date)} is not a date (text written as the time column "
        "writes it, a datetime or date)"
    )


def _same_zone(times, offset, zoned):
    if zoned and offset is None:
        raise DataError(
            f"{times.what} holds times with a UTC offset: give {arg('date')} with one too "
            "(such as '2024-01-02 09:30+08:00')"
        )
    if offset is not None and not zoned:
        raise DataError(
            f"{times.what} holds times without a UTC offset or zone: give {arg('date')} without one"
        )


def _compact(ns, width):
    """The YYYYMMDD (width 8) or YYYYMMDDhhmmss (14) number of a wall-clock time, None
    when the time has a part the form cannot hold."""
    micros, rest = divmod(ns, 1000)
    t = _dt.datetime(1970, 1, 1) + _dt.timedelta(microseconds=micros)
    day = t.year * 10_000 + t.month * 100 + t.day
    if rest or t.microsecond:
        return None
    if width == 8:
        return day if (t.hour, t.minute, t.second) == (0, 0, 0) else None
    return day * 1_000_000 + t.hour * 10_000 + t.minute * 100 + t.second


def _compact_near(ns):
    t = _dt.datetime(1970, 1, 1) + _dt.timedelta(microseconds=ns // 1000)
    return float(t.year * 10_000 + t.month * 100 + t.day)
