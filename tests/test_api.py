"""The everyday functions (vexa.NAME) against the strict module, over every row of the
function table: the same bits for every call that vexa._vexa accepts, an error for every
call its kernel refuses, panels equal to their columns, every input form equal to the
float64 call, the caller's kinds back, clear errors, inputs never modified.
"""

import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import load_library, random_periods, random_series, run_kernel

import vexa
import vexa._vexa as vx
from vexa.table import ALL, COND, FUNCTIONS, INT, INT32_MAX, INT32_MIN, PERIODS, REAL

IDS = [f.name for f in FUNCTIONS]
EXTREMES = [INT32_MIN, INT32_MIN + 1, -(2**20), 2**20, INT32_MAX - 1, INT32_MAX]


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_bits(got, want):
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == np.float64 and got.shape == want.shape
    diff = np.argwhere(bits(got) != bits(want))
    assert diff.size == 0, f"first difference at {diff[0]}: {got[tuple(diff[0])]!r} != " + repr(
        want[tuple(diff[0])]
    )


# Panels: a NaN made by arithmetic may come out of a lane kernel with another sign than
# out of the 1-D kernel (which operand an instruction passes on is not promised), so
# there a NaN matches a NaN that arithmetic can give: the missing value, the default NaN
# of invalid operations, or the inputs' own NaN (PAYLOAD). Every other value compares by
# its bits. (1-D calls run the 1-D kernel itself: test_same_bits_as_strict compares all
# their bits.)
PAYLOAD = 0x7FF8000000000ABC
ARITHMETIC_NANS = np.array([0x7FF8000000000000, 0xFFF8000000000000, PAYLOAD], np.uint64)


def assert_panel_bits(got, want):
    g, w = bits(got), bits(want)
    differ = g != w
    loose = np.isnan(got) & np.isnan(want) & np.isin(g, ARITHMETIC_NANS)
    diff = np.argwhere(differ & ~loose)
    assert diff.size == 0, f"first difference at {diff[0]}: {hex(g[tuple(diff[0])])} != " + hex(
        w[tuple(diff[0])]
    )


def make_arg(rng, kind, shape):
    """A value for a parameter of `kind`: NaN, infinities and signed zeros in series,
    every special period in period series, 0/1 and other bytes in conditions (where the
    strict module's astype(uint8) and the non-zero rule agree)."""
    n = int(np.prod(shape))
    if kind == PERIODS:
        return random_periods(rng, n).reshape(shape)
    if kind == COND:
        if rng.random() < 0.5:
            return (rng.random(n) < 0.4).reshape(shape)
        return rng.choice(np.array([0, 1, 2, 255], np.uint8), n).reshape(shape)
    return random_series(rng, n).reshape(shape)


def strict(f, args):
    """vexa._vexa's result (inputs made the float64 / byte arrays it takes)."""
    fixed = [np.ascontiguousarray(a) if isinstance(a, np.ndarray) else a for a in args]
    return getattr(vx, f.name)(*fixed)


def refused_period(f, args):
    return any(p.kind == INT and v < p.least for p, v in zip(f.params, args))


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


# ---- panels ------------------------------------------------------------------------


def column_args(f, args, axis, j):
    """The arguments of column j of a panel call, as the strict module takes them."""
    out = []
    for p, a in zip(f.params, args):
        if isinstance(a, np.ndarray) and a.ndim == 2:
            a = a[:, j] if axis == 0 else a[j, :]
        elif p.kind not in (INT, REAL) and np.ndim(a) == 0:
            n = args[0].shape[axis]
            a = np.full(n, a, dtype=bool if p.kind == COND else np.float64)
        out.append(np.ascontiguousarray(a) if isinstance(a, np.ndarray) else a)
    return out


def with_payload(x):
    """x with its NaNs given the payload PAYLOAD."""
    if x.dtype == np.float64:
        x = x.copy()
        x.view(np.uint64)[np.isnan(x)] = PAYLOAD
    return x


def laid_out(x, layout):
    """x in memory order "C" or "F", or as a view with negative strides ("reversed") or
    every other column and row of a larger array ("strided")."""
    if layout == "reversed":
        return np.ascontiguousarray(x[::-1, ::-1])[::-1, ::-1]
    if layout == "strided":
        big = np.zeros((2 * x.shape[0], 2 * x.shape[1]), x.dtype)
        big[::2, ::2] = x
        return big[::2, ::2]
    return np.asarray(x, order=layout)


def check_panel(f, n, k, seed, order, axis, second, ints):
    rng = np.random.default_rng(seed)
    shape = (n, k) if axis == 0 else (k, n)
    args = []
    for i, p in enumerate(f.params):
        if p.kind == INT:
            args.append(ints[i])
        elif i == 0 or second == "panel":
            args.append(laid_out(with_payload(make_arg(rng, p.kind, shape)), order))
        elif second == "series":
            args.append(with_payload(make_arg(rng, p.kind, (n,))))
        else:
            args.append(bool(rng.random() < 0.5) if p.kind == COND else float(rng.normal()))
    before = [bits(a).copy() if isinstance(a, np.ndarray) else None for a in args]
    got = getattr(vexa, f.name)(*args, axis=axis)
    assert got.shape == shape
    for a, b in zip(args, before):
        assert b is None or (bits(a) == b).all()  # never modified
    for j in range(k):
        want = getattr(vx, f.name)(*column_args(f, args, axis, j))
        assert_panel_bits(got[:, j] if axis == 0 else got[j, :], want)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.sampled_from(FUNCTIONS),
    st.integers(1, 40),
    st.integers(1, 12),
    st.integers(0, 2**32 - 1),
    st.sampled_from(["C", "F", "reversed", "strided"]),
    st.sampled_from([0, 1]),
    st.sampled_from(["panel", "series", "scalar"]),
    st.data(),
)
def test_panel_columns_are_1d_calls(f, n, k, seed, order, axis, second, data):
    ints = [
        data.draw(st.integers(max(p.least, -3), n + 3), p.name) if p.kind == INT else None
        for p in f.params
    ]
    check_panel(f, n, k, seed, order, axis, second, ints)


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
def test_large_panels_on_every_thread(f):
    """Panels large enough to be split among the pool's threads, C and Fortran order."""
    ints = [min(20, max(p.least, 0)) if p.kind == INT else None for p in f.params]
    for seed, order, axis, second in ((1, "C", 0, "panel"), (2, "F", 0, "series")):
        check_panel(f, 700, 111, seed, order, axis, second, ints)
    check_panel(f, 300, 230, 3, "C", 1, "scalar", ints)


@pytest.fixture
def four_threads():
    """The panel pool on four threads (more than this machine may have cores)."""
    before = vexa._native._num_threads()
    vexa._native._num_threads(4)
    yield
    vexa._native._num_threads(before)


def test_python_threads_share_the_pool(four_threads):
    """Python threads calling panel functions at once get the single-thread results."""
    rng = np.random.default_rng(9)
    panels = [random_series(rng, 400 * 200).reshape(400, 200) for _ in range(4)]
    vexa._native._num_threads(1)
    want = [vexa.STD(p, 20) for p in panels] + [vexa.EMA(p.T, 20, axis=1) for p in panels]
    vexa._native._num_threads(4)
    got = [None] * len(want)

    def work(i):
        for _ in range(5):
            p = panels[i % 4]
            got[i] = vexa.STD(p, 20) if i < 4 else vexa.EMA(p.T, 20, axis=1)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(want))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for g, w in zip(got, want):
        assert_panel_bits(g, w)


def test_thread_limit_is_the_calling_threads_own(four_threads):
    """vexa.thread_limit(n) holds for the calling thread inside the block only (nested
    limits restored in turn, other threads unaffected); the results do not change."""
    rng = np.random.default_rng(4)
    p = random_series(rng, 500 * 300).reshape(500, 300)
    want = vexa.STD(p, 20)
    limit = vexa._native._thread_limit
    seen = []
    with vexa.thread_limit(1):
        got = vexa.STD(p, 20)
        with vexa.thread_limit(3):
            seen.append(limit())
        seen.append(limit())
        other = threading.Thread(target=lambda: seen.append(limit()))
        other.start()
        other.join()
    assert seen == [3, 1, 0] and limit() == 0
    assert_panel_bits(got, want)
    for bad, error in ((0, ValueError), (1.5, TypeError), ("1", TypeError)):
        with pytest.raises(error), vexa.thread_limit(bad):
            pass


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


# ---- the caller's kinds ------------------------------------------------------------


def test_stream_and_chart_are_attributes_of_vexa():
    """vexa.stream and vexa.chart need no import of their own, and load neither pandas,
    polars nor a plotting library; a name vexa does not have is still an AttributeError."""
    import subprocess
    import sys

    code = (
        "import sys, vexa\n"
        "s = vexa.stream.EMA(N=3); s.update(1.0)\n"
        "assert vexa.chart.Chart is sys.modules['vexa.chart'].Chart\n"
        "assert {'stream', 'chart'} <= set(dir(vexa))\n"
        "try:\n    vexa.no_such_name\nexcept AttributeError:\n    pass\n"
        "else:\n    raise SystemExit('vexa.no_such_name exists')\n"
        "print(sorted({'pandas', 'polars', 'matplotlib', 'bokeh'} & set(sys.modules)))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["[]"]


def test_kinds_are_not_imported_by_vexa():
    import subprocess
    import sys

    code = (
        "import sys, vexa; vexa.MA([1.0, 2.0], 1); "
        "print('pandas' in sys.modules, 'polars' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
def test_pandas_round_trip(f):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(6)
    n, cols = 30, ["AAA", "BBB", "CCC"]
    index = pd.date_range("2024-01-01", periods=n, freq="D", name="date")
    args = [max(p.least, 3) if p.kind == INT else make_arg(rng, p.kind, (n, 3)) for p in f.params]
    frames = [
        pd.DataFrame(a, index=index, columns=cols) if isinstance(a, np.ndarray) else a for a in args
    ]
    fn = getattr(vexa, f.name)
    got = fn(*frames)
    assert isinstance(got, pd.DataFrame) and got.index.equals(index) and list(got.columns) == cols
    assert_bits(got.to_numpy(), fn(*args))
    # Series: the first argument's index and name; a second Series is read by position.
    series = [
        pd.Series(a[:, 1], index=index, name="close") if isinstance(a, np.ndarray) else a
        for a in args
    ]
    got = fn(*series)
    assert isinstance(got, pd.Series) and got.index.equals(index) and got.name == "close"
    assert_bits(
        got.to_numpy(), fn(*[s.to_numpy() if isinstance(s, pd.Series) else s for s in series])
    )
    # Nullable dtypes: a missing value reads as NaN.
    first = pd.array([1.5, None, 2.5, 4.0, None, 7.0], dtype="Float64")
    plain = np.array([1.5, np.nan, 2.5, 4.0, np.nan, 7.0])
    rest = [max(p.least, 2) if p.kind == INT else make_arg(rng, p.kind, (6,)) for p in f.params[1:]]
    if f.params[0].kind == COND:
        plain = (plain != 0) & ~np.isnan(plain)
    assert_bits(fn(pd.Series(first), *rest).to_numpy(), fn(plain, *rest))


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
def test_polars_round_trip(f):
    pl = pytest.importorskip("polars")
    rng = np.random.default_rng(8)
    n = 25
    args = [max(p.least, 3) if p.kind == INT else make_arg(rng, p.kind, (n, 2)) for p in f.params]
    fn = getattr(vexa, f.name)
    frames = [
        pl.DataFrame(a, schema=["x", "y"], orient="row") if isinstance(a, np.ndarray) else a
        for a in args
    ]
    got = fn(*frames)
    assert isinstance(got, pl.DataFrame) and got.columns == ["x", "y"]
    assert_bits(got.to_numpy(), fn(*args))
    values = [1.0, None, 3.0, 4.0, float("nan"), 6.0, None, 8.0]
    s = pl.Series("close", values, dtype=pl.Float64)
    plain = np.array([np.nan if v is None else v for v in values])
    rest = [max(p.least, 2) if p.kind == INT else make_arg(rng, p.kind, (8,)) for p in f.params[1:]]
    got = fn(s, *rest)
    assert isinstance(got, pl.Series) and got.name == "close"
    first = (plain != 0) & ~np.isnan(plain) if f.params[0].kind == COND else plain
    assert_bits(got.to_numpy(), fn(first, *rest))


# ---- masked arrays, the caller's exceptions, messages -----------------------------


def _args(rng, f, n, real=5.0):
    return [
        max(p.least, 3) if p.kind == INT else real if p.kind == REAL else make_arg(rng, p.kind, n)
        for p in f.params
    ]


@pytest.mark.parametrize("f", ALL, ids=str)
def test_masked_arrays_read_masked_values_as_missing(f):
    """A masked value reads as a missing one (a condition's as false); a masked array in
    gives one out, masked where the result has no value, in any argument position and
    for panels along either axis."""
    rng = np.random.default_rng(21)
    fn = getattr(vexa._native, f.name)
    for shape, axis in (((14,), 0), ((14, 3), 0), ((3, 14), 1)):
        args = _args(rng, f, shape)
        mask = rng.random(shape) < 0.3
        for i, p in enumerate(f.params):
            if p.kind in (INT, REAL):
                continue
            plain = np.asarray(args[i], np.float64).copy()
            plain[mask] = np.nan
            got = fn(*args[:i], np.ma.array(args[i], mask=mask), *args[i + 1 :], axis=axis)
            want = fn(*args[:i], plain, *args[i + 1 :], axis=axis)
            assert type(got) is np.ma.MaskedArray
            assert_bits(got.data, want)
            assert (np.ma.getmaskarray(got) == np.isnan(want)).all()
    # The first argument's kind wins over a masked array after it.
    pd = pytest.importorskip("pandas")
    args = _args(rng, f, (14,))
    masked = [np.ma.masked_invalid(a) if isinstance(a, np.ndarray) else a for a in args]
    assert isinstance(fn(pd.Series(args[0]), *masked[1:]), pd.Series)


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
    args = _args(np.random.default_rng(2), f, (20,))
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
