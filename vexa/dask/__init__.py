"""vexa on a Dask cluster: formulas over Dask DataFrames of bars, functions over Dask arrays.

    import vexa.dask
    out = vexa.dask.run("DIF:=EMA(C,12)-EMA(C,26); DEA:EMA(DIF,9);", ddf, by="symbol")
    buy = vexa.dask.screen(MACD, ddf, by="symbol", when="BUY", sort="MACD")  # computed
    ma = vexa.dask.apply(vexa.MA, panel, 20)   # panel: a Dask array, rows = bars

Every result equals the single-machine run on the same data, bit for bit: a symbol's
bars are always evaluated together, in one task, by the same functions. Needs the dask
extra (pip install "vexa[dask]"); `import vexa` never imports Dask. See docs/dask.md.
"""

try:
    import dask
    import dask.array
    import dask.dataframe  # noqa: F401
except ImportError as e:  # pragma: no cover - the extra is missing
    raise ImportError(
        f'vexa.dask needs Dask with its array and dataframe parts: pip install "vexa[dask]" ({e})'
    ) from e

from .array import apply
from .frame import SymbolTooLarge, run
from .screen import screen

__all__ = ["SymbolTooLarge", "apply", "run", "screen"]
