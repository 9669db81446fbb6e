"""The everyday functions (vexa.NAME) against the strict module, over every row of the
function table: the same bits for every call that vexa._vexa accepts, an error for every
call its kernel refuses, every input form equal to the float64 call, clear errors, inputs
never modified (panels: test_panels.py; the caller's kinds: test_wrap.py).
"""

import numpy as np
import pytest
from everyday import (
    EXTREMES,
    IDS,
    arguments,
    assert_bits,
    bits,
    make_arg,
    refused_period,
    strict,
)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import load_library, random_periods, random_series, run_kernel

import vexa
import vexa._vexa as vx
from vexa.table import ALL, COND, FUNCTIONS, INT, INT32_MAX, INT32_MIN, REAL

# ---- the same bits as vexa._vexa --------------------------------------------------


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.sampled_from(FUNCTIONS),
    st.integers(1, 70),
    st.integers(0, 2**32 - 1),
    st.data(),
)
def test_same_bits_as_strict(f, n, seed, data):
    rng = np.random.default_rng(seed)
    args = []
    for p in f.params:
        if p.kind == INT:
            args.append(data.draw(st.integers(-3, n + 3) | st.sampled_from(EXTREMES), p.name))
        else:
            args.append(make_arg(rng, p.kind, (n,)))
    before = [bits(a).copy() if isinstance(a, np.ndarray) else a for a in args]
    want = strict(f, args)
    if refused_period(f, args):
        with pytest.raises(ValueError, match=rf"^{f.name}: N|^{f.name}: M"):
            getattr(vexa, f.name)(*args)
        assert not want.any()  # the strict module returns its zeros
    else:
        assert_bits(getattr(vexa, f.name)(*args), want)
        if f.form != "single":
            assert_bits(getattr(vexa, f.name)(**dict(zip(f.names, args))), want)
    for a, b in zip(args, before):
        if isinstance(a, np.ndarray):
            assert (bits(a) == b).all()  # never modified


def test_least_periods_agree_with_the_kernels():
    """The table's least value of every integer parameter is where its kernel starts to
    accept the call, and the friendly function refuses exactly what the kernel refuses."""
    lib = load_library()
    rng = np.random.default_rng(5)
    for f in FUNCTIONS:
        for i, p in enumerate(f.params):
            if p.kind != INT:
                continue
            inputs = [make_arg(rng, q.kind, (9,)) for q in f.params if q.kind != INT]
            inputs = [x.astype(np.uint8) if x.dtype == bool else x for x in inputs]
            ints = [q.least if q.least > INT32_MIN else 0 for q in f.params if q.kind == INT]
            j = [q for q in f.params if q.kind == INT].index(p)
            status, _ = run_kernel(lib, f.kernel, inputs, ints)
            assert status == 0, (f.name, p.name)
            if p.least > INT32_MIN:
                ints[j] = p.least - 1
                status, _ = run_kernel(lib, f.kernel, inputs, ints)
                assert status == 2, (f.name, p.name)
                args = [make_arg(rng, q.kind, (9,)) for q in f.params]
                args[i] = p.least - 1
                with pytest.raises(ValueError) as e:
                    getattr(vexa, f.name)(*args)
                assert str(e.value).endswith(
                    f"{p.name} must be an integer from {p.least} to {INT32_MAX}"
                )


@pytest.mark.parametrize("f", [f for f in FUNCTIONS if f.per_bar is not None], ids=str)
def test_series_of_periods_is_the_per_bar_function(f):
    rng = np.random.default_rng(3)
    a, p = random_series(rng, 50), random_periods(rng, 50)
    want = getattr(vx, f.per_bar.name)(a, p)
    for periods in (p, list(p), p.astype(np.float32).astype(np.float64)):
        got = getattr(vexa, f.name)(a, periods)
        assert_bits(got, getattr(vx, f.per_bar.name)(a, np.asarray(periods, np.float64)))
    assert_bits(getattr(vexa, f.name)(a, N=p), want)


# ---- every input form --------------------------------------------------------------


def forms(x):
    """(label, the same values in another form) for a 1-D float64 array x."""
    ro = x.copy()
    ro.flags.writeable = False
    unaligned = np.frombuffer(b"\0" + x.tobytes(), np.float64, len(x), 1)
    return [
        ("strided", np.repeat(x, 3)[::3]),
        ("reversed", x[::-1].copy()[::-1]),
        ("read-only", ro),
        ("list", x.tolist()),
        ("tuple", tuple(x.tolist())),
        ("big-endian", x.astype(">f8")),
        ("unaligned", unaligned),
        ("memoryview", memoryview(x.copy())),
    ]


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
def test_input_forms_equal_the_float64_call(f):
    rng = np.random.default_rng(11)
    n = 37
    args = [
        min(5, max(p.least, 0)) if p.kind == INT else make_arg(rng, p.kind, (n,)) for p in f.params
    ]
    args = [a.astype(np.float64) if isinstance(a, np.ndarray) else a for a in args]
    fn = getattr(vexa, f.name)
    want = fn(*args)
    snapshots = [bits(a).copy() if isinstance(a, np.ndarray) else None for a in args]
    for i, p in enumerate(f.params):
        if p.kind == INT:
            for same in (np.int64(args[i]), np.int32(args[i]), np.array(args[i])):
                assert_bits(fn(*args[:i], same, *args[i + 1 :]), want)
            continue
        for label, x in forms(args[i]):
            got = fn(*args[:i], x, *args[i + 1 :])
            assert type(got) is np.ndarray, label
            assert_bits(got, want)
        # Other dtypes: the call on the float64 values they convert to.
        with np.errstate(over="ignore"):  # periods beyond float32 become infinite
            f32 = args[i].astype(np.float32)
        others = [
            f32,
            rng.integers(-50, 50, n),
            rng.integers(0, 1000, n).astype(np.uint16),
            rng.integers(-128, 128, n).astype(np.int8),
            rng.random(n) < 0.5,
        ]
        for x in others:
            as_f64 = x.astype(np.float64)
            got = fn(*args[:i], x, *args[i + 1 :])
            assert_bits(got, fn(*args[:i], as_f64, *args[i + 1 :]))
    for a, s in zip(args, snapshots):
        if s is not None:
            assert (bits(a) == s).all()


COND_FUNCTIONS = [f for f in FUNCTIONS if any(p.kind == COND for p in f.params)]


@pytest.mark.parametrize("f", COND_FUNCTIONS, ids=str)
def test_conditions_are_true_where_non_zero_and_not_nan(f):
    """The one documented difference from vexa._vexa, whose astype(uint8) makes 0.5 and
    256.0 false: here a condition is true where it is non-zero and not NaN."""
    rng = np.random.default_rng(2)
    values = [
        np.array([0.5, 256.0, np.nan, -0.0, 0.0, -3.0, np.inf, 1.0, 0.0, 2.0]),
        np.array([256, 512, 0, 1, -256, 0, 7, 0, 65536, -1], np.int64),
    ]
    for x in values:
        truth = (x != 0) & ~np.isnan(x)
        args = [x if p.kind == COND else make_arg(rng, p.kind, (10,)) for p in f.params]
        same = [truth if p.kind == COND else a for p, a in zip(f.params, args)]
        assert_bits(getattr(vexa, f.name)(*args), getattr(vx, f.name)(*same))


# ---- errors ------------------------------------------------------------------------


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
def test_errors_name_the_function_the_parameter_and_the_shapes(f):
    rng = np.random.default_rng(4)
    fn = getattr(vexa, f.name)
    args = [max(p.least, 2) if p.kind == INT else make_arg(rng, p.kind, (8,)) for p in f.params]
    first = f.params[0].name

    def raises(exc, *pieces, at=None, value=None, **kw):
        call = list(args)
        if at is not None:
            call[at] = value
        with pytest.raises(exc) as e:
            fn(*call, **kw)
        text = str(e.value)
        assert text.startswith((f"{f.name}: ", f"{f.name}()")), text
        for piece in pieces:
            assert piece in text, (piece, text)

    raises(ValueError, first, "shape ()", at=0, value=np.float64(1.0))
    raises(ValueError, first, "shape (2, 2, 2)", at=0, value=np.zeros((2, 2, 2)))
    raises(TypeError, first, "dtype object", at=0, value=np.array([1, "a", None], dtype=object))
    raises(TypeError, first, "<U", at=0, value=np.array(["1.0", "2.0"]))
    raises(TypeError, first, "NoneType", at=0, value=None)
    raises(ValueError, "axis 2", axis=2)
    raises(TypeError, "axis", axis=1.0)
    for i, p in enumerate(f.params):
        if p.kind == INT:
            raises(TypeError, p.name, "float", at=i, value=float(args[i]))
            raises(TypeError, p.name, "str", at=i, value="5")
            raises(TypeError, p.name, "bool", at=i, value=True)
            raises(ValueError, p.name, f"{INT32_MAX + 1}", str(p.least), at=i, value=INT32_MAX + 1)
            raises(ValueError, p.name, str(-(2**70)), at=i, value=-(2**70))
            assert_bits(fn(*args[:i], Index(args[i]), *args[i + 1 :]), fn(*args))
        elif i > 0:
            raises(
                ValueError, p.name, "shape (7,)", f"{first} has shape (8,)", at=i, value=args[i][:7]
            )
            raises(ValueError, p.name, "shape (8, 2)", at=i, value=np.ones((8, 2)))
            raises(TypeError, p.name, "dtype complex128", at=i, value=args[i] + 1j)
    panel = [np.ones((8, 3)) if p.kind != INT else a for p, a in zip(f.params, args)]
    for i, p in enumerate(f.params):
        if i > 0 and p.kind != INT:
            call = list(panel)
            call[i] = np.ones(3)  # the columns' count, not the bars'
            with pytest.raises(
                ValueError, match=rf"{p.name} has shape \(3,\) but {first} has shape \(8, 3\)"
            ):
                fn(*call)
            call[i] = np.ones((3, 8))
            with pytest.raises(ValueError, match=rf"{p.name} has shape \(3, 8\)"):
                fn(*call)
    if f.form == "single":
        with pytest.raises(TypeError):
            fn(args[0], args[0])
        with pytest.raises(TypeError):
            fn(**{first: args[0]})
    else:
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            fn(*args, bogus=1)
        with pytest.raises(TypeError, match=f"multiple values for argument '{first}'"):
            fn(*args, **{first: args[0]})
        with pytest.raises(TypeError, match=f"missing required argument '{f.params[-1].name}'"):
            fn(*args[:-1])


def test_empty_inputs_give_empty_results():
    for f in FUNCTIONS:
        args = [max(p.least, 1) if p.kind == INT else np.zeros(0) for p in f.params]
        assert getattr(vexa, f.name)(*args).shape == (0,)
        args = [max(p.least, 1) if p.kind == INT else np.zeros((0, 4)) for p in f.params]
        assert getattr(vexa, f.name)(*args).shape == (0, 4)


# ---- masked arrays, the caller's exceptions, messages -----------------------------


def test_the_callers_own_exception_is_kept():
    class Fails:
        def __init__(self, e):
            self.e = e

        def __array__(self, *args, **kwargs):
            raise self.e

    errors = [
        UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"),
        SystemExit(3),
        KeyboardInterrupt(),
        LookupError("no such column"),
    ]
    for e in errors:
        for call in (lambda x: vexa.MA(x, 2), lambda x: vexa.CROSS(np.ones(3), x)):
            with pytest.raises(type(e)) as got:
                call(Fails(e))
            assert got.value is e
            if hasattr(e, "add_note"):  # Python 3.11 on
                assert e.__notes__[-1].startswith("raised while vexa.")
    if hasattr(e, "add_note"):
        assert e.__notes__[-2:] == [
            "raised while vexa.MA read its argument a",
            "raised while vexa.CROSS read its argument y",
        ]
    # numpy's own refusal names the function and the argument, numpy's error its cause.
    with pytest.raises(ValueError, match="MA: a: setting an array element") as got:
        vexa.MA([[1.0, 2.0], [3.0]], 2)
    assert type(got.value.__cause__) is ValueError


REAL_ROWS = [f for f in ALL if any(p.kind == REAL for p in f.params)]


@pytest.mark.parametrize("f", REAL_ROWS, ids=str)
def test_a_refused_real_parameter_is_named(f):
    """ZIG(x, 0) and PEAK(x, NaN, 1) name N, with its rule; 10**400 is a ValueError
    naming N, its digits shortened; an integer parameter out of range is still named."""
    fn = getattr(vexa._native, f.name)
    args = arguments(np.random.default_rng(2), f, (20,))
    r = next(i for i, p in enumerate(f.params) if p.kind == REAL)
    name = f.params[r].name
    for bad, shown in ((0.0, "0.0"), (-2.5, "-2.5"), (np.nan, "nan"), (np.inf, "inf")):
        with pytest.raises(ValueError) as e:
            fn(*args[:r], bad, *args[r + 1 :])
        assert str(e.value) == (
            f"{f.name}: {name} = {shown} is out of range; {name} must be a finite number "
            "greater than 0"
        )
    with pytest.raises(ValueError, match=rf"{name} = 10000000000000000000\.\.\.00000000 \(401 d"):
        fn(*args[:r], 10**400, *args[r + 1 :])
    for i, p in enumerate(f.params):
        if p.kind == INT:
            with pytest.raises(ValueError, match=f"{p.name} = 0 is out of range"):
                fn(*args[:i], 0, *args[i + 1 :])


def test_messages_quote_what_was_given():
    x = np.ones((4, 2))
    with pytest.raises(ValueError, match="axis 9223372036854775808 is out of range"):
        vexa.MA(x, 2, axis=2**63)
    with pytest.raises(ValueError, match="axis -9223372036854775809 is out of range"):
        vexa.MA(x, 2, axis=-(2**63) - 1)
    with pytest.raises(ValueError, match=r"N = <an integer of about 5000 digits> is out of"):
        vexa.MA(x, 10**5000)
    for flag in (True, np.True_):
        with pytest.raises(TypeError), vexa.thread_limit(flag):
            pass
    with pytest.raises(TypeError):
        vexa._native._thread_limit(True)
