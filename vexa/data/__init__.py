"""Sample data shipped with vexa: a few years of real daily bars of a few stocks.

See README.md beside this file for the source and licence.
"""

from __future__ import annotations

import functools
from importlib import resources
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pandas

__all__ = ["sample"]

_FILE = "sample.csv.gz"


def csv_exact() -> dict:
    """read_csv options that parse every number to the nearest double: pandas 3 does so by
    default (and deprecates the option); earlier versions need float_precision="round_trip"."""
    import pandas as pd

    if int(pd.__version__.split(".")[0]) >= 3:
        return {}
    return {"float_precision": "round_trip"}


@functools.lru_cache(maxsize=1)
def _table() -> pandas.DataFrame:
    try:
        import pandas as pd
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError(
            'vexa.sample() needs pandas: pip install pandas (or pip install "vexa[chart]")'
        ) from exc
    with resources.files(__name__).joinpath(_FILE).open("rb") as f:
        table = pd.read_csv(
            f,
            compression="gzip",
            dtype={"symbol": str, "volume": "int64"},
            parse_dates=["date"],
            **csv_exact(),
        )
    return table


def sample(symbol: str | None = None) -> pandas.DataFrame:
    """The bundled daily bars of AAPL, GOOG, IBM and MSFT, 2008-01-02 to 2013-03-01.

    symbol=None: every symbol in long form, columns symbol, date, open, high, low, close,
    volume, sorted by symbol then date. symbol="AAPL" (any case): that symbol's bars, columns
    open, high, low, close, volume, indexed by date (a DatetimeIndex). Each call returns a new
    DataFrame the caller may modify.
    """
    table = _table()
    if symbol is None:
        return table.copy()
    symbols = table["symbol"].unique().tolist()
    key = symbol.upper() if isinstance(symbol, str) else symbol
    if key not in symbols:
        from ..formula.errors import quote

        raise ValueError(
            f"vexa.sample: no symbol {quote(symbol)}; the sample has {', '.join(symbols)}"
        )
    bars = table[table["symbol"] == key].drop(columns="symbol").set_index("date")
    return bars.copy()
