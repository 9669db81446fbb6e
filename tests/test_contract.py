"""The call contract that every kernel of the function table keeps, called natively:
vexa._vexa's, and the formula language's own (quorix_lang.h).

Checked in this order by every kernel: counts that disagree give status 1, then an
invalid period gives status 2, then agreeing counts of 0 or below give status 0; in
all three cases nothing is written. A call that succeeds writes nothing past the
output's count, and every bar from the first one its row says it writes (a kernel that
keeps bar 0 leaves it as it was). Which periods are invalid is each kernel's own rule: the
kernel's status on a small grid of periods must be its model's, and the other checks then hold
for the invalid periods and the valid ones alike.
"""

import model_lang
import numpy as np
import pytest
from support import (
    CANARY_BITS,
    INT32_MAX,
    INT32_MIN,
    assert_same_bits,
    bits,
    canary,
    models,
    run_kernel,
)

from vexa.table import ALL, COND, INT, PERIODS, REAL

N_BARS = 4
# Periods around the series length and at the ends of the int32 range.
PROBE = [INT32_MIN, INT32_MIN + 1, -3, -1, 0, 1, 2, 3, 4, 5, INT32_MAX - 1, INT32_MAX]
WRONG_COUNTS = [N_BARS - 1, N_BARS + 1, 0, -1, INT32_MIN, INT32_MAX]
EMPTY_COUNTS = [0, -1, INT32_MIN]
SPARE = 3  # output elements past the count, which must stay as they were


def inputs(row):
    """One small input per array parameter: a series with a leading missing value,
    periods (one of them 0), or condition bytes."""
    out = []
    for p in row.params:
        if p.kind == COND:
            out.append(np.array([0, 1, 255, 1], dtype=np.uint8))
        elif p.kind == PERIODS:
            out.append(np.array([1.0, 2.0, 0.0, 3.0]))
        elif p.is_series:
            out.append(np.array([np.nan, 1.5, -2.0, 4.0]))
    return out


# Real parameters stay valid (ZIG's percent, SAR's STEP and MAX): the probes are the
# integer ones.
REALS = {"STEP": 2.0, "MAX": 20.0}


def parameter_sets(row):
    """Every probe value for each integer parameter in turn, the others at 1 and 3, and
    each real parameter at a valid value, in the kernel's order."""
    numbers = [p for p in row.params if p.kind in (INT, REAL)]
    ints = [i for i, p in enumerate(numbers) if p.kind == INT]

    def values(probed=None, v=None):
        out = []
        for i, p in enumerate(numbers):
            if p.kind == REAL:
                out.append(REALS.get(p.name, 5.0))
            else:
                out.append(v if i == probed else (3 if i == ints[0] else 1))
        return tuple(out)

    if not ints:
        return [values()]
    return [values(i, v) for i in ints for v in PROBE]


def status_of(row, data, params):
    """The model's status for a call: the kernel's twin in a tests/model_*.py, or for the
    language's kernels their twin in model_lang.py (which takes lists)."""
    if row.extra:
        return getattr(model_lang, row.kernel[3:])(*(list(x) for x in data), *params)[0]
    return models()[row.kernel](*data, *params, canary(N_BARS))


@pytest.mark.parametrize("row", ALL, ids=str)
def test_kernel_contract(request, row):
    lib = request.getfixturevalue("lang_lib" if row.extra else "lib")
    data = inputs(row)
    slots = len(data) + 1  # the inputs' counts and the output's
    for params in parameter_sets(row):
        # Agreeing counts, an output with room to spare: the model's status, and
        # nothing written past the count (nothing at all when the period is invalid).
        st, out = run_kernel(
            lib, row.kernel, data, params, out=canary(N_BARS + SPARE), counts=[N_BARS] * slots
        )
        assert st == status_of(row, data, params), params
        untouched = out if st == 2 else out[N_BARS:]
        assert_same_bits(untouched, canary(len(untouched)))
        if st == 0:
            written = bits(out[:N_BARS]) != CANARY_BITS
            assert written.tolist() == [i >= row.first_written for i in range(N_BARS)], params

        # Agreeing counts of 0 or below: the same status, nothing written.
        for n in EMPTY_COUNTS:
            got, out = run_kernel(lib, row.kernel, data, params, counts=[n] * slots)
            assert got == st, (params, n)
            assert_same_bits(out, canary(N_BARS))

        # One count in turn disagreeing, the buffers staying N_BARS long: status 1 before
        # any period check, nothing read past the buffers, nothing written.
        for slot in range(slots):
            for bad in WRONG_COUNTS:
                counts = [N_BARS] * slots
                counts[slot] = bad
                got, out = run_kernel(lib, row.kernel, data, params, counts=counts)
                assert got == 1, (params, counts)
                assert_same_bits(out, canary(N_BARS))
