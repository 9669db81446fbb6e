"""The data fields a formula reads, each with its names: in formulas (CLOSE, C), and as
the columns of a table (close, c, 收盘, ...). Every reader of names takes them from here:
the compiler, the table readers, the streams' bars and the command line."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Field:
    name: str  # the long name: CLOSE
    spellings: tuple[str, ...]  # the other names in formulas: C
    columns: tuple[str, ...]  # the column names read for it, compared without case


FIELDS_TABLE = (
    Field("OPEN", ("O",), ("open", "o", "开盘", "开盘价")),
    Field("HIGH", ("H",), ("high", "h", "最高", "最高价")),
    Field("LOW", ("L",), ("low", "l", "最低", "最低价")),
    Field("CLOSE", ("C",), ("close", "c", "收盘", "收盘价")),
    Field("VOL", ("V", "VOLUME"), ("vol", "volume", "v", "成交量")),
    Field("AMOUNT", ("AMO",), ("amount", "amo", "成交额", "成交金额")),
)

FIELDS = tuple(f.name for f in FIELDS_TABLE)
# Every name of a field in formulas (upper case) -> its long name.
FIELD_ALIASES = {name: f.name for f in FIELDS_TABLE for name in (f.name, *f.spellings)}
# Column names read for each field, compared without case and surrounding blanks.
COLUMN_NAMES = {f.name: f.columns for f in FIELDS_TABLE}
PRICE_FIELDS = ("OPEN", "HIGH", "LOW", "CLOSE")  # forward-filled by fill="ffill"; ZIG's 0 to 3
TIME_FIELD = "TIME"  # the bars' wall-clock times, seconds since 1970-01-01T00:00
INPUTS = (*FIELDS, TIME_FIELD)  # what a program may read, in this order

# Adjusted closes are another series than the close: read only when named (columns=).
ASKED_ONLY = ("adj close", "adj_close", "adjclose", "adj. close", "adjusted close")
TIME_NAMES = (
    "date",
    "datetime",
    "time",
    "timestamp",
    "trade_date",
    "trade_time",
    "日期",
    "时间",
    "交易日期",
    "交易时间",
)
SYMBOL_NAMES = ("symbol", "code", "ticker", "ts_code", "代码", "股票代码", "证券代码")


def is_symbol_name(name):
    """True for a column named like a symbol column (symbol, code, ticker, ...)."""
    return isinstance(name, str) and name.strip().casefold() in SYMBOL_NAMES
