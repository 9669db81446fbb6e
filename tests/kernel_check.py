"""Kernel-versus-model comparison shared by the average, sum and count tests."""

import numpy as np
from support import (
    CANARY_BITS,
    MISSING_BITS,
    assert_same_bits,
    assert_same_values,
    bits,
    canary,
    run_kernel,
)

# Input NaNs get their own payloads, so that a NaN passed on by arithmetic never looks
# like the missing value a kernel stores of its own accord.
INPUT_NANS = np.array([0x7FF8000000000ABC, 0xFFF8000000000ABC], dtype=np.uint64).view(np.float64)


def recolour_nans(rng, x):
    x = np.array(x, dtype=np.float64)
    nan = np.isnan(x)
    x[nan] = rng.choice(INPUT_NANS, nan.sum())
    return x


def compare(lib, name, model, inputs, params=()):
    """Runs kernel and model on the same arguments and checks status and output.

    Numbers must agree bit for bit and NaNs where the model has NaN; where the model
    stores the missing value itself the kernel must store exactly that pattern; a
    kernel that succeeds leaves no element unwritten.
    """
    n = len(inputs[0])
    st, got = run_kernel(lib, name, inputs, params)
    want = canary(n)
    st_model = model(*inputs, *params, want)
    assert st == st_model, (name, params, st, st_model)
    if st != 0:
        assert_same_bits(got, canary(n))
        return got
    assert not (bits(got) == CANARY_BITS).any(), "element left unwritten"
    assert_same_values(got, want)
    stored = bits(want) == MISSING_BITS
    assert (bits(got)[stored] == MISSING_BITS).all(), "stored missing value has other bits"
    return got
