"""vexa.sample(): the bundled daily bars."""

import numpy as np
import pytest

import vexa

pd = pytest.importorskip("pandas")


def test_sample():
    table = vexa.sample()
    assert list(table.columns) == ["symbol", "date", "open", "high", "low", "close", "volume"]
    assert sorted(table["symbol"].unique()) == ["AAPL", "GOOG", "IBM", "MSFT"]
    for symbol, rows in table.groupby("symbol"):
        bars = vexa.sample(symbol.lower())
        assert isinstance(bars.index, pd.DatetimeIndex) and bars.index.is_monotonic_increasing
        assert bars.index.is_unique and 500 <= len(bars) <= 5000
        assert list(bars.columns) == ["open", "high", "low", "close", "volume"]
        np.testing.assert_array_equal(bars.to_numpy(), rows.iloc[:, 2:].to_numpy())
        o, h, l, c = (bars[k].to_numpy() for k in ("open", "high", "low", "close"))
        assert (l > 0).all() and (l <= np.minimum(o, c)).all() and (h >= np.maximum(o, c)).all()
        assert (bars["volume"] > 0).all() and bars["volume"].dtype == np.int64
    # Each call is the caller's own copy.
    table["close"] = 0.0
    assert (vexa.sample()["close"] > 0).all()


def test_unknown_symbol():
    with pytest.raises(ValueError, match="AAPL, GOOG, IBM, MSFT"):
        vexa.sample("TSLA")
