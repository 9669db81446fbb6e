"""The wrong kinds of argument that tests/test_hostile.py gives every function in every
parameter position, each with the outcome it must have: the strict module's fixed
message, or the result of an argument that is acceptable after all."""

import array
import ctypes
import decimal
import enum
import fractions

import numpy as np
from bindings import (
    AstypeRefused,
    LenRefused,
    condition,
    series,
    with_len,
)

EMPTY = "Out of bounds on buffer access (axis 0)"
BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"


def mismatch(expected, got):
    return f"Buffer dtype mismatch, expected '{expected}' but got {got}"


def ndim(got):
    return f"Buffer has wrong number of dimensions (expected 1, got {got})"


def unexpected(letter):
    return f"Unexpected format string character: '{letter}'"


def lying(param, length, held):
    return f"Argument '{param}' has len() {length} but its buffer holds {held} elements"


def too_long(param, length):
    return f"Argument '{param}' has {length} elements; at most 2147483647 are supported"


def no_len(obj):
    name = "numpy." + type(obj).__name__ if type(obj).__module__ == "numpy" else type(obj).__name__
    return f"object of type '{name}' has no len()"


# ---- outcomes ----------------------------------------------------------------------


class Raises:
    """The call raises `exc`; with `text`, exactly that message. `frame`: whether the
    function's own traceback entry is expected (every error except the integer type
    test and the interpreter's argument errors of the single-argument form)."""

    def __init__(self, exc, text=None, frame=True):
        self.exc, self.text, self.frame = exc, text, frame


class Same:
    """The call succeeds and gives the result of the call with `value` in the place."""

    def __init__(self, value):
        self.value = value


def like_astype(arr):
    """A condition argument: whatever numpy's own astype(uint8) of it does."""
    try:
        converted = arr.astype(np.uint8)
    except Exception as e:  # numpy's error (or a warning turned into one) must come through
        return Raises(type(e), str(e))
    return Same(converted)


# ---- argument factories --------------------------------------------------------------
# Each case is (label, make) with make(n, param, first) -> (value, outcome); `first` tells
# whether the parameter is the function's first, whose len() sizes the result.


def strided(arr):
    return np.repeat(arr, 2)[::2]


def read_only(arr):
    arr = arr.copy()
    arr.flags.writeable = False
    return arr


def dtype_array(n, dtype):
    return np.zeros(n, dtype)


def series_cases():
    """Wrong (and a few acceptable but unusual) objects for a float64 series parameter."""

    def fixed(value, outcome):
        return lambda n, p, first: (value(n), outcome)

    def first_or(value, at_first, later):
        return lambda n, p, first: (value(n), at_first if first else later)

    def f64(n):
        return series("a", n)

    cases = [
        (
            "None",
            first_or(lambda n: None, Raises(TypeError, no_len(None)), Raises(IndexError, EMPTY)),
        ),
        (
            "int",
            first_or(
                lambda n: 5,
                Raises(TypeError, no_len(5)),
                Raises(TypeError, "a bytes-like object is required, not 'int'"),
            ),
        ),
        (
            "float",
            first_or(
                lambda n: 5.0,
                Raises(TypeError, no_len(5.0)),
                Raises(TypeError, "a bytes-like object is required, not 'float'"),
            ),
        ),
        (
            "list",
            fixed(
                lambda n: [1.0] * n,
                Raises(TypeError, "a bytes-like object is required, not 'list'"),
            ),
        ),
        (
            "tuple",
            fixed(
                lambda n: (1.0,) * n,
                Raises(TypeError, "a bytes-like object is required, not 'tuple'"),
            ),
        ),
        (
            "str",
            fixed(
                lambda n: "x" * n, Raises(TypeError, "a bytes-like object is required, not 'str'")
            ),
        ),
        (
            "dict",
            fixed(
                lambda n: dict.fromkeys(range(n), 1.0),
                Raises(TypeError, "a bytes-like object is required, not 'dict'"),
            ),
        ),
        ("bytes", fixed(lambda n: bytes(8 * n), Raises(BufferError))),
        (
            "bytearray",
            fixed(
                lambda n: bytearray(8 * n),
                Raises(ValueError, mismatch("double", "'unsigned char'")),
            ),
        ),
        ("empty", fixed(lambda n: np.zeros(0), Raises(IndexError, EMPTY))),
        (
            "empty-list",
            fixed(lambda n: [], Raises(TypeError, "a bytes-like object is required, not 'list'")),
        ),
        (
            "0d",
            first_or(
                lambda n: np.array(1.5),
                Raises(TypeError, "len() of unsized object"),
                Raises(ValueError, ndim(0)),
            ),
        ),
        (
            "scalar",
            first_or(
                lambda n: np.float64(1.5),
                Raises(TypeError, no_len(np.float64(1.5))),
                Raises(BufferError),
            ),
        ),
        ("2d", fixed(lambda n: np.ones((n, 2)), Raises(ValueError, ndim(2)))),
        ("column", fixed(lambda n: np.ones((n, 1)), Raises(ValueError, ndim(2)))),
        ("3d", fixed(lambda n: np.ones((n, 1, 1)), Raises(ValueError, ndim(3)))),
        ("big-endian", fixed(lambda n: f64(n).astype(">f8"), Raises(ValueError, BIG_ENDIAN))),
        ("big-endian-int", fixed(lambda n: np.ones(n, ">i8"), Raises(ValueError, BIG_ENDIAN))),
        ("read-only", fixed(lambda n: read_only(f64(n)), Raises(ValueError))),
        ("strided", fixed(lambda n: strided(f64(n)), Raises(ValueError))),
        ("reversed", fixed(lambda n: f64(n)[::-1], Raises(ValueError))),
        ("fortran-2d", fixed(lambda n: np.ones((n, 2), order="F"), Raises(ValueError))),
        ("datetime64", fixed(lambda n: np.zeros(n, "M8[s]"), Raises(ValueError))),
        ("timedelta64", fixed(lambda n: np.zeros(n, "m8[s]"), Raises(ValueError))),
        (
            "mv-read-only",
            fixed(lambda n: memoryview(f64(n).tobytes()).cast("d"), Raises(BufferError)),
        ),
        (
            "mv-2d",
            fixed(
                lambda n: memoryview(bytearray(16 * n)).cast("d", (n, 2)),
                Raises(ValueError, ndim(2)),
            ),
        ),
        ("mv-strided", fixed(lambda n: memoryview(np.ones(2 * n))[::2], Raises(BufferError))),
        (
            "array-f",
            fixed(
                lambda n: array.array("f", [1.0] * n),
                Raises(ValueError, mismatch("double", "'float'")),
            ),
        ),
        ("ctypes-2d", fixed(lambda n: ((ctypes.c_double * 2) * n)(), Raises(ValueError, ndim(2)))),
        (
            "ctypes-struct",
            fixed(lambda n: (Pair * n)(), Raises(ValueError, mismatch("double", "a struct"))),
        ),
        (
            "ctypes-big-endian",
            fixed(lambda n: (ctypes.c_double.__ctype_be__ * n)(), Raises(ValueError, BIG_ENDIAN)),
        ),
        # Acceptable: any writable, contiguous, one-dimensional buffer of native doubles.
        ("mv-double", lambda n, p, first: (memoryview(f64(n).copy()), Same(f64(n)))),
        (
            "mv-cast-double",
            lambda n, p, first: (memoryview(bytearray(f64(n).tobytes())).cast("d"), Same(f64(n))),
        ),
        ("array-d", lambda n, p, first: (array.array("d", f64(n)), Same(f64(n)))),
        ("ctypes-double", lambda n, p, first: ((ctypes.c_double * n)(*f64(n)), Same(f64(n)))),
        ("little-endian", lambda n, p, first: (f64(n).astype("<f8"), Same(f64(n)))),
        ("honest-subclass", lambda n, p, first: (with_len(f64(n), n), Same(f64(n)))),
        # len() must agree with the buffer and fit the kernels' 32-bit counts.
        (
            "len-bigger",
            lambda n, p, first: (with_len(f64(n), n + 3), Raises(ValueError, lying(p, n + 3, n))),
        ),
        (
            "len-smaller",
            lambda n, p, first: (with_len(f64(n), n - 2), Raises(ValueError, lying(p, n - 2, n))),
        ),
        ("len-zero", lambda n, p, first: (with_len(f64(n), 0), Raises(ValueError, lying(p, 0, n)))),
        (
            "len-int32-max",
            lambda n, p, first: (
                with_len(f64(n), 2**31 - 1),
                Raises(ValueError, lying(p, 2**31 - 1, n)),
            ),
        ),
        (
            "len-2**31",
            lambda n, p, first: (
                with_len(f64(n), 2**31),
                Raises(OverflowError, too_long(p, 2**31)),
            ),
        ),
        # As the first argument such a len() first sizes the result, which may not fit.
        (
            "len-2**32+n",
            lambda n, p, first: (
                with_len(f64(n), 2**32 + n),
                Raises((OverflowError, MemoryError))
                if first
                else Raises(OverflowError, too_long(p, 2**32 + n)),
            ),
        ),
        (
            "len-raises",
            fixed(
                lambda n: with_len(f64(n), LenRefused("len() refused")),
                Raises(LenRefused, "len() refused"),
            ),
        ),
        (
            "len-negative",
            fixed(
                lambda n: with_len(f64(n), -1), Raises(ValueError, "__len__() should return >= 0")
            ),
        ),
        ("len-float", fixed(lambda n: with_len(f64(n), 3.0), Raises(TypeError))),
        ("len-huge", fixed(lambda n: with_len(f64(n), 2**70), Raises(OverflowError))),
        ("len-lies-on-empty", fixed(lambda n: with_len(np.zeros(0), n), Raises(IndexError, EMPTY))),
    ]
    # Memory views of every other format the interpreter can make.
    names = {
        "c": "'char'",
        "b": "'signed char'",
        "B": "'unsigned char'",
        "h": "'short'",
        "H": "'unsigned short'",
        "i": "'int'",
        "I": "'unsigned int'",
        "l": "'long'",
        "L": "'unsigned long'",
        "q": "'long long'",
        "Q": "'unsigned long long'",
        "f": "'float'",
        "?": "'bool'",
        "P": "a pointer",
    }
    for letter, got in names.items():
        cases.append(
            (
                f"mv-{letter}",
                fixed(
                    lambda n, c=letter: memoryview(bytearray(8 * n)).cast(c),
                    Raises(ValueError, mismatch("double", got)),
                ),
            )
        )
    for letter in "nN":
        cases.append(
            (
                f"mv-{letter}",
                fixed(
                    lambda n, c=letter: memoryview(bytearray(8 * n)).cast(c),
                    Raises(ValueError, unexpected(letter)),
                ),
            )
        )
    # Every numpy dtype but float64.
    dtypes = [
        ("bool", "'bool'"),
        ("int8", "'signed char'"),
        ("uint8", "'unsigned char'"),
        ("int16", "'short'"),
        ("uint16", "'unsigned short'"),
        ("int32", "'int'"),
        ("uint32", "'unsigned int'"),
        ("int64", "'long'"),
        ("uint64", "'unsigned long'"),
        ("longlong", "'long long'"),
        ("ulonglong", "'unsigned long long'"),
        ("float32", "'float'"),
        ("longdouble", "'long double'"),
        ("complex64", "'complex float'"),
        ("complex128", "'complex double'"),
        ("clongdouble", "'complex long double'"),
        ("object", "Python object"),
        ("S8", "a string"),
        ([("x", "f8")], "a struct"),
        ([("x", "f8"), ("y", "i4")], "a struct"),
    ]
    if np.dtype(np.longdouble).itemsize == 8:  # where long double is double, numpy says 'd'
        dtypes = [d for d in dtypes if d[0] not in ("longdouble", "clongdouble")]
    for dt, got in dtypes:
        label = dt if isinstance(dt, str) else "struct" + str(len(dt))
        cases.append(
            (
                f"dtype-{label}",
                fixed(
                    lambda n, d=dt: dtype_array(n, d), Raises(ValueError, mismatch("double", got))
                ),
            )
        )
    cases += [
        (
            "dtype-float16",
            fixed(lambda n: np.ones(n, np.float16), Raises(ValueError, unexpected("e"))),
        ),
        ("dtype-U3", fixed(lambda n: np.zeros(n, "U3"), Raises(ValueError, unexpected("w")))),
        ("dtype-V8", fixed(lambda n: np.zeros(n, "V8"), Raises(ValueError, unexpected("x")))),
    ]
    return cases


class Pair(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double)]


class Convertible:
    """Has a len() and an astype that does what the test asks; records what it was given."""

    def __init__(self, n, convert):
        self.n, self.convert, self.given = n, convert, []

    def __len__(self):
        return self.n

    def astype(self, dtype):
        self.given.append(dtype)
        return self.convert(dtype)

    def __repr__(self):
        return f"Convertible({self.n})"


def refuse(dtype):
    raise AstypeRefused("astype refused")


def cond_cases():
    """Wrong, odd and acceptable objects for a condition parameter."""

    def fixed(value, outcome):
        return lambda n, p, first: (value(n), outcome)

    def first_or(value, at_first, later):
        return lambda n, p, first: (value(n), at_first if first else later)

    def no_astype(obj):
        return Raises(AttributeError, f"'{type(obj).__name__}' object has no attribute 'astype'")

    def u8(n):
        return condition(n).astype(np.uint8)

    def dtype_case(make):
        def case(n, p, first):
            arr = make(n)
            return arr, like_astype(arr)

        return case

    def convertible(result, outcome):
        return lambda n, p, first: (Convertible(n, lambda dt: result(n)), outcome(n, p))

    cases = [
        ("None", first_or(lambda n: None, Raises(TypeError, no_len(None)), no_astype(None))),
        ("int", first_or(lambda n: 1, Raises(TypeError, no_len(1)), no_astype(1))),
        ("list", fixed(lambda n: [1] * n, no_astype([]))),
        ("tuple", fixed(lambda n: (1,) * n, no_astype(()))),
        ("str", fixed(lambda n: "1" * n, no_astype(""))),
        ("bytes", fixed(lambda n: b"\1" * n, no_astype(b""))),
        ("bytearray", fixed(lambda n: bytearray(n), no_astype(bytearray()))),
        ("memoryview", fixed(lambda n: memoryview(bytearray(n)), no_astype(memoryview(b"")))),
        (
            "array-B",
            fixed(
                lambda n: array.array("B", bytes(n)),
                Raises(AttributeError, "'array.array' object has no attribute 'astype'"),
            ),
        ),
        ("empty", fixed(lambda n: np.zeros(0, bool), Raises(IndexError, EMPTY))),
        (
            "0d",
            first_or(
                lambda n: np.array(True),
                Raises(TypeError, "len() of unsized object"),
                Raises(ValueError, ndim(0)),
            ),
        ),
        (
            "scalar",
            first_or(
                lambda n: np.bool_(True),
                Raises(TypeError, no_len(np.bool_(True))),
                Raises(BufferError),
            ),
        ),
        ("2d", fixed(lambda n: np.ones((n, 2), bool), Raises(ValueError, ndim(2)))),
        ("column", fixed(lambda n: np.ones((n, 1)), Raises(ValueError, ndim(2)))),
        # Any layout of a numeric or bool array is converted by numpy and accepted.
        ("big-endian", dtype_case(lambda n: u8(n).astype(">i4"))),
        ("read-only", dtype_case(lambda n: read_only(condition(n)))),
        ("strided", dtype_case(lambda n: strided(condition(n)))),
        ("reversed", dtype_case(lambda n: condition(n)[::-1])),
        ("halves", dtype_case(lambda n: np.resize([0.5, 1.5, 0.0, -0.5, 2.0, 255.9, -0.9], n))),
        ("nan-inf", dtype_case(lambda n: np.resize([np.nan, np.inf, 1.0, -np.inf], n))),
        ("out-of-range", dtype_case(lambda n: np.resize([256, -1, 512, 1], n).astype(np.int64))),
        ("complex", dtype_case(lambda n: np.resize([1 + 1j, 0j, 2.5 + 0j], n))),
        ("object-ints", dtype_case(lambda n: np.resize(np.array([1, 0, 7], object), n))),
        ("object-none", dtype_case(lambda n: np.resize(np.array([1, None], object), n))),
        ("str-digits", dtype_case(lambda n: np.resize(np.array(["1", "0", "3"]), n))),
        ("str-words", dtype_case(lambda n: np.resize(np.array(["yes", "no"]), n))),
        ("bytes-digits", dtype_case(lambda n: np.resize(np.array([b"1", b"0"]), n))),
        ("datetime64", dtype_case(lambda n: np.arange(n).astype("M8[D]"))),
        ("timedelta64", dtype_case(lambda n: np.arange(n).astype("m8[s]"))),
        ("struct", dtype_case(lambda n: np.zeros(n, [("x", "f8"), ("y", "i4")]))),
        ("void", dtype_case(lambda n: np.zeros(n, "V8"))),
        # len() of the unconverted argument must agree with the converted buffer.
        (
            "len-bigger",
            lambda n, p, first: (
                with_len(condition(n), n + 3),
                Raises(ValueError, lying(p, n + 3, n)),
            ),
        ),
        (
            "len-smaller",
            lambda n, p, first: (
                with_len(condition(n), n - 2),
                Raises(ValueError, lying(p, n - 2, n)),
            ),
        ),
        (
            "len-2**31",
            lambda n, p, first: (
                with_len(condition(n), 2**31),
                Raises(OverflowError, too_long(p, 2**31)),
            ),
        ),
        (
            "len-raises",
            fixed(
                lambda n: with_len(condition(n), LenRefused("len() refused")),
                Raises(LenRefused, "len() refused"),
            ),
        ),
        ("honest-subclass", lambda n, p, first: (with_len(condition(n), n), Same(condition(n)))),
        # What astype does is up to the argument; the binding checks what comes back.
        (
            "astype-raises",
            lambda n, p, first: (Convertible(n, refuse), Raises(AstypeRefused, "astype refused")),
        ),
        (
            "astype-not-callable",
            lambda n, p, first: (NotCallable(n), Raises(TypeError, "'int' object is not callable")),
        ),
        ("astype-None", convertible(lambda n: None, lambda n, p: Raises(IndexError, EMPTY))),
        (
            "astype-list",
            convertible(
                lambda n: [1] * n,
                lambda n, p: Raises(TypeError, "a bytes-like object is required, not 'list'"),
            ),
        ),
        (
            "astype-int",
            convertible(
                lambda n: 1,
                lambda n, p: Raises(TypeError, "a bytes-like object is required, not 'int'"),
            ),
        ),
        ("astype-bytes", convertible(lambda n: bytes(n), lambda n, p: Raises(BufferError))),
        (
            "astype-2d",
            convertible(
                lambda n: np.ones((n, 2), np.uint8), lambda n, p: Raises(ValueError, ndim(2))
            ),
        ),
        (
            "astype-0d",
            convertible(lambda n: np.array(1, np.uint8), lambda n, p: Raises(ValueError, ndim(0))),
        ),
        (
            "astype-float",
            convertible(
                lambda n: np.ones(n),
                lambda n, p: Raises(ValueError, mismatch("uint8_t", "'double'")),
            ),
        ),
        (
            "astype-bool",
            convertible(
                lambda n: np.ones(n, bool),
                lambda n, p: Raises(ValueError, mismatch("uint8_t", "'bool'")),
            ),
        ),
        (
            "astype-int8",
            convertible(
                lambda n: np.ones(n, np.int8),
                lambda n, p: Raises(ValueError, mismatch("uint8_t", "'signed char'")),
            ),
        ),
        (
            "astype-big-endian",
            convertible(lambda n: np.ones(n, ">u2"), lambda n, p: Raises(ValueError, BIG_ENDIAN)),
        ),
        (
            "astype-read-only",
            convertible(lambda n: read_only(u8(n)), lambda n, p: Raises(ValueError)),
        ),
        ("astype-strided", convertible(lambda n: strided(u8(n)), lambda n, p: Raises(ValueError))),
        (
            "astype-empty",
            convertible(lambda n: np.zeros(0, np.uint8), lambda n, p: Raises(IndexError, EMPTY)),
        ),
        (
            "astype-shorter",
            convertible(
                lambda n: u8(n)[:-2].copy(), lambda n, p: Raises(ValueError, lying(p, n, n - 2))
            ),
        ),
        (
            "astype-longer",
            convertible(
                lambda n: np.ones(n + 5, np.uint8),
                lambda n, p: Raises(ValueError, lying(p, n, n + 5)),
            ),
        ),
        # The converted array's own len() is never asked: only its buffer counts.
        (
            "astype-lying-len",
            convertible(lambda n: with_len(u8(n), n + 9), lambda n, p: Same(u8(n))),
        ),
        (
            "astype-len-raises",
            convertible(
                lambda n: with_len(u8(n), LenRefused("len() refused")), lambda n, p: Same(u8(n))
            ),
        ),
        (
            "astype-bytearray",
            convertible(lambda n: bytearray(u8(n).tobytes()), lambda n, p: Same(u8(n))),
        ),
    ]
    for dt in [
        "bool",
        "int8",
        "uint8",
        "int16",
        "uint16",
        "int32",
        "uint32",
        "int64",
        "uint64",
        "float16",
        "float32",
        "float64",
        "longdouble",
        "complex64",
        "complex128",
        "clongdouble",
        "object",
        "U3",
        "S3",
        "M8[s]",
        "m8[s]",
    ]:
        cases.append(
            (
                f"dtype-{dt}",
                dtype_case(lambda n, d=dt: np.resize(np.array([0, 1, 3, 0, 1]), n).astype(d)),
            )
        )
    return cases


class NotCallable:
    astype = 1

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n


class MyInt(int):
    pass


class Color(enum.IntEnum):
    RED = 3


# Wrong integer arguments with the type name the message gives (the C type's full name;
# a class defined in Python by its bare name).
INT_TYPE_CASES = [
    (True, "bool"),
    (False, "bool"),
    (np.int64(3), "numpy.int64"),
    (np.int32(3), "numpy.int32"),
    (np.uint8(3), "numpy.uint8"),
    (3.0, "float"),
    (np.float64(3), "numpy.float64"),
    ("3", "str"),
    (b"3", "bytes"),
    ([3], "list"),
    ((3,), "tuple"),
    (np.array(3), "numpy.ndarray"),
    (np.array([3]), "numpy.ndarray"),
    (fractions.Fraction(3), "Fraction"),
    (decimal.Decimal(3), "decimal.Decimal"),
    (MyInt(3), "MyInt"),
    (Color.RED, "Color"),
    (3 + 0j, "complex"),
    (object(), "object"),
]
INT_RANGE_CASES = [
    (2**31, "value too large to convert to int"),
    (-(2**31) - 1, "value too large to convert to int"),
    (2**32 + 3, "value too large to convert to int"),
    (2**63 - 1, "value too large to convert to int"),
    (-(2**63), "value too large to convert to int"),
    (2**63, None),
    (2**64 + 3, None),
    (-(2**64), None),
    (2**100, None),
    (-(2**1000), None),
]


def int_cases():
    cases = []
    for value, tname in INT_TYPE_CASES:
        cases.append(
            (
                f"type-{type(value).__name__}-{value!r}"[:40],
                lambda n, p, first, v=value, t=tname: (
                    v,
                    Raises(
                        TypeError,
                        f"Argument '{p}' has incorrect type (expected int, got {t})",
                        frame=False,
                    ),
                ),
            )
        )
    cases.append(("None", lambda n, p, first: (None, Raises(TypeError, "an integer is required"))))
    for value, text in INT_RANGE_CASES:
        cases.append(
            (
                f"range-{value:#x}"[:40],
                lambda n, p, first, v=value, t=text: (v, Raises(OverflowError, t)),
            )
        )
    for value in (-(2**31), -1, 0, 1, 2**31 - 1):  # every int32 reaches the kernel
        cases.append((f"valid-{value}", lambda n, p, first, v=value: (v, None)))
    return cases
