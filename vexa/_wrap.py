"""pandas and polars objects, and numpy masked arrays, in and out of the functions of
vexa.

vexa._native calls `unwrap` for every argument whose type comes from pandas or polars,
or is a masked array, and `wrap` on the result when the first argument is one (or, for
a first argument of plain numpy, when another is a masked array). Neither package is
imported here unless the caller passed one of its objects (so it is imported already).
"""

import numpy as np

__all__ = ["package_of", "unwrap", "wrap"]


def package_of(obj):
    """ "pandas" or "polars" for an object of either package (or of a subclass), else None."""
    for t in type(obj).__mro__:
        top = t.__module__.partition(".")[0]
        if top in ("pandas", "polars"):
            return top
    return None


def unwrap(obj):
    """obj's values as a numpy array: a missing value (pandas NA, polars null, a masked
    value) reads as NaN. An array of strings or objects comes back as it is, for the
    caller's error."""
    if isinstance(obj, np.ma.MaskedArray):
        return _masked_values(obj)
    if package_of(obj) == "pandas":
        return _pandas_values(obj)
    return _polars_values(obj)


def _pandas_values(obj):
    import pandas as pd

    numeric = pd.api.types.is_numeric_dtype
    boolean = pd.api.types.is_bool_dtype
    if isinstance(obj, pd.DataFrame):
        dtypes = list(obj.dtypes)
        if not all(numeric(d) or boolean(d) for d in dtypes):
            return obj.to_numpy()
        if all(isinstance(d, np.dtype) for d in dtypes) and len(set(dtypes)) <= 1:
            return obj.to_numpy()  # the frame's one block, where it has one: no copy
        return obj.to_numpy(dtype=np.float64, na_value=np.nan)
    if isinstance(obj, (pd.Series, pd.Index)):
        d = obj.dtype
        if isinstance(d, np.dtype) or not (numeric(d) or boolean(d)):
            return obj.to_numpy()
        return obj.to_numpy(dtype=np.float64, na_value=np.nan)  # nullable dtypes
    return np.asarray(obj)


def _masked_values(obj):
    data = np.ma.getdata(obj)
    mask = np.ma.getmaskarray(obj)
    if data.dtype.kind not in "biuf" or not mask.any():
        return data
    values = data.astype(np.float64)
    values[mask] = np.nan
    return values


def _polars_values(obj):
    import polars as pl

    def plain(d):  # dtypes whose values numpy holds as they are
        return d in (pl.Float64, pl.Float32, pl.Boolean) or d.is_integer()

    def readable(d):
        return d.is_numeric() or d == pl.Boolean

    if isinstance(obj, pl.Series):
        if plain(obj.dtype) and obj.null_count() == 0:
            return obj.to_numpy()
        if readable(obj.dtype):
            return obj.cast(pl.Float64).to_numpy()  # nulls become NaN
        return obj.to_numpy()
    if isinstance(obj, pl.DataFrame):
        dtypes = obj.dtypes
        if not all(readable(d) for d in dtypes):
            return obj.to_numpy()
        if len(set(dtypes)) == 1 and plain(dtypes[0]) and not any(obj.null_count().row(0)):
            return obj.to_numpy()
        return obj.cast(pl.Float64).to_numpy()
    return np.asarray(obj)


def wrap(like, result):
    """result (a numpy array of like's shape) in like's kind: a pandas Series or
    DataFrame with its index, name and columns, a polars Series or DataFrame with its
    name and columns; other objects of these packages get the numpy array. A masked
    array gives a masked array, masked where the result has no value (NaN)."""
    if isinstance(like, np.ma.MaskedArray):
        return np.ma.MaskedArray(result, mask=np.isnan(result))
    package = package_of(like)
    if package == "pandas":
        import pandas as pd

        if isinstance(like, pd.Series):
            return pd.Series(result, index=like.index, name=like.name, copy=False)
        if isinstance(like, pd.DataFrame):
            return pd.DataFrame(result, index=like.index, columns=like.columns, copy=False)
    elif package == "polars":
        import polars as pl

        if isinstance(like, pl.Series):
            return pl.Series(like.name, result)
        if isinstance(like, pl.DataFrame):
            return pl.DataFrame(result, schema=like.columns, orient="row")
    return result
