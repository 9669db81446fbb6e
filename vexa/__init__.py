"""vexa: indicator functions of the stock-chart formula language over numpy series.

Every function takes one-dimensional numpy arrays (float64 series; any numeric or bool
array where a condition is expected) and Python ints, and returns a new float64 array
as long as its first argument. Bars without a value are NaN.
"""

import pkgutil
from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _version

# Run from the root of a source checkout (python -m vexa right after pip install .),
# this folder has no compiled module: the installed package's folder supplies it.
__path__ = pkgutil.extend_path(__path__, __name__)

from . import _vexa
from .data import sample

# The module's functions, unchanged: vexa.MA is vexa._vexa.MA.
__all__ = [name for name in vars(_vexa) if name[:1].isupper()]
globals().update({name: getattr(_vexa, name) for name in __all__})
__all__ += ["sample"]  # the bundled daily bars (vexa/data)

from .formula import Formula  # noqa: E402, F401  (formulas of the language, over tables)

try:
    __version__ = _version("vexa")
except PackageNotFoundError:  # a source tree that is not installed
    __version__ = "0+unknown"

del _version, PackageNotFoundError, pkgutil
