// vexa._vexa: the Python face of the quorix kernels.
//
// Every Python function is one row of a table (name, calling form, parameter names,
// kernel). The parameter kinds are read off the kernel's C signature, so a row cannot
// disagree with the kernel it calls, and one generic binder walks every row: argument
// binding, integer type test, result creation through numpy's `zeros`, condition
// conversion through `astype`, buffer views, length and integer conversion, kernel.
//
// numpy is used only through its Python-level interface and the buffer protocol; its
// headers are included for the sizes of its types, which the import checks.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>

#include "quorix.h"

namespace {

// ---- owned references and buffer views --------------------------------------------

// Owns one strong reference; releases it when it goes out of scope.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject *o) : p_(o) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }
    void reset(PyObject *o) {
        Py_XDECREF(p_);
        p_ = o;
    }
    PyObject *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_ = nullptr;
};

// An acquired buffer of one dimension; released when it goes out of scope.
struct View {
    Py_buffer buf{};
    bool held = false;
    Py_ssize_t count = 0;
    View() = default;
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    ~View() {
        if (held) PyBuffer_Release(&buf);
    }
};

// ---- process-wide module state -----------------------------------------------------

constexpr const char *kModuleName = "vexa._vexa";
constexpr const char *kSourceFile = "vexa/vexa.cpp";

struct Names {
    PyObject *np, *zeros, *dtype, *float64, *uint8, *astype, *builtins_attr, *test_attr;
    PyObject *module_name, *dtype_kwnames, *empty_list;
};

struct ModuleState {
    int64_t interpreter = -1;      // id of the interpreter that first created the module
    PyObject *module = nullptr;    // the one module object (strong reference)
    PyObject *dict = nullptr;      // its namespace (kept alive by module)
    PyObject *builtins = nullptr;  // the builtins module (strong reference)
    Names names{};
    bool names_ready = false;
};

ModuleState g;

// ---- traceback entries -------------------------------------------------------------

// Adds a frame named `func` in the module's source file to the pending exception's
// traceback, so that errors of the C layer show where they came from.
// The code object of a traceback entry, made once per name and line and then kept:
// some interpreters keep a record of every code object made, so making one per error
// would grow without bound.
PyCodeObject *entry_code(const char *func, int line) {
    struct Entry {
        char func[64];
        int line;
        PyCodeObject *code;
    };
    static Entry entries[128];
    static size_t used = 0;
    for (size_t i = 0; i < used; ++i)
        if (entries[i].line == line && std::strcmp(entries[i].func, func) == 0) {
            Py_INCREF(entries[i].code);
            return entries[i].code;
        }
    PyCodeObject *code = PyCode_NewEmpty(kSourceFile, func, line);
    if (code != nullptr && used < sizeof entries / sizeof entries[0]) {
        Entry &e = entries[used++];
        PyOS_snprintf(e.func, sizeof e.func, "%s", func);
        e.line = line;
        e.code = code;
        Py_INCREF(code);
    }
    return code;
}

void add_traceback(const char *func, int line) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject *code = entry_code(func, line);
    PyObject *globals = g.dict ? g.dict : PyEval_GetGlobals();
    Ref empty;
    if (globals == nullptr) {
        empty.reset(PyDict_New());
        globals = empty.get();
    }
    PyFrameObject *frame = nullptr;
    if (code != nullptr && globals != nullptr)
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) {
#if PY_VERSION_HEX < 0x030B0000
        frame->f_lineno = line;
#endif
        PyTraceBack_Here(frame);
    } else {
        // Keep the original exception rather than one from building the frame.
        PyErr_Fetch(&type, &value, &tb);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

// ---- error texts -------------------------------------------------------------------

namespace err {

PyObject *arg_count(const char *func, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func, "exactly", expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

PyObject *keywords_not_strings(const char *func) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
    return nullptr;
}

PyObject *multiple_values(const char *func, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
    return nullptr;
}

PyObject *unexpected_keyword(const char *func, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
    return nullptr;
}

PyObject *wrong_type(const char *param, const char *expected, PyObject *obj) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(obj)->tp_name);
    return nullptr;
}

PyObject *not_defined(PyObject *name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject *wrong_ndim(int got) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1,
                 got);
    return nullptr;
}

PyObject *big_endian() {
    PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
    return nullptr;
}

PyObject *dtype_mismatch(const char *expected, const char *got, bool quote) {
    if (quote)
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got '%s'", "'",
                     expected, "'", got);
    else
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     expected, "'", got);
    return nullptr;
}

PyObject *unexpected_format(char c) {
    PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
    return nullptr;
}

PyObject *item_size(Py_ssize_t got, const char *expected, size_t size) {
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                 static_cast<size_t>(got), got == 1 ? "" : "s", expected, size,
                 size == 1 ? "" : "s");
    return nullptr;
}

PyObject *indirect() {
    PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", 0);
    return nullptr;
}

PyObject *not_contiguous() {
    PyErr_SetString(PyExc_ValueError,
                    "Buffer and memoryview are not contiguous in the same dimension.");
    return nullptr;
}

PyObject *empty() {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
    return nullptr;
}

PyObject *integer_required() {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
}

PyObject *int_too_large() {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return nullptr;
}

// A len() that disagrees with the buffer would let the kernel run past the memory.
PyObject *length_mismatch(const char *param, Py_ssize_t len, Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError,
                 "Argument '%.200s' has len() %zd but its buffer holds %zd elements", param, len,
                 count);
    return nullptr;
}

// Counts reach the kernels as 32-bit ints; a longer series would wrap.
PyObject *too_long(const char *param, Py_ssize_t len) {
    PyErr_Format(PyExc_OverflowError,
                 "Argument '%.200s' has %zd elements; at most 2147483647 are supported", param,
                 len);
    return nullptr;
}

}  // namespace err

// ---- buffer view acquisition -------------------------------------------------------

struct Elem {
    const char *name;
    char letter;
    size_t size;
};
constexpr Elem kDouble{"double", 'd', 8};
constexpr Elem kByte{"uint8_t", 'B', 1};

// The name by which a mismatch message describes a format letter; quote tells whether
// it is a C type name (quoted) or a description (bare). nullptr: not a known letter.
const char *describe(const char *fmt, bool *quote) {
    *quote = true;
    switch (fmt[0]) {
    case 'f': return "float";
    case 'd': return "double";
    case 'g': return "long double";
    case 'l': return "long";
    case 'q': return "long long";
    case 'i': return "int";
    case 'h': return "short";
    case 'b': return "signed char";
    case '?': return "bool";
    case 'c': return "char";
    case 'B': return "unsigned char";
    case 'H': return "unsigned short";
    case 'I': return "unsigned int";
    case 'L': return "unsigned long";
    case 'Q': return "unsigned long long";
    case 'Z':
        switch (fmt[1]) {
        case 'f': return "complex float";
        case 'd': return "complex double";
        case 'g': return "complex long double";
        default: return nullptr;
        }
    default: break;
    }
    *quote = false;
    switch (fmt[0]) {
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 'T': return "a struct";
    case 's':
    case 'p': return "a string";
    default: return nullptr;
    }
}

// Acquires `obj` as a one-dimensional, C-contiguous, writable buffer of `elem`.
// None gives an empty view. Returns false with an exception set on failure.
bool acquire(PyObject *obj, const Elem &elem, View &v) {
    if (obj == Py_None) return true;
    if (PyObject_GetBuffer(obj, &v.buf, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0)
        return false;
    v.held = true;
    const Py_buffer &b = v.buf;
    if (b.ndim != 1) return err::wrong_ndim(b.ndim);

    // A missing or empty format means unsigned bytes, as the buffer protocol defines.
    const char *fmt = (b.format && b.format[0]) ? b.format : "B";
    if (*fmt == '>' || *fmt == '!') return err::big_endian();
    if (*fmt == '@' || *fmt == '=' || *fmt == '<' || *fmt == '^') ++fmt;
    while (*fmt >= '0' && *fmt <= '9') ++fmt;  // a repeat count, as in "16s"
    bool quote;
    const char *got = describe(fmt, &quote);
    if (got == nullptr) return err::unexpected_format(fmt[0] == 'Z' && fmt[1] ? fmt[1] : fmt[0]);
    if (fmt[0] != elem.letter) return err::dtype_mismatch(elem.name, got, quote);
    if (fmt[1] != '\0') return err::unexpected_format(fmt[1]);
    if (static_cast<size_t>(b.itemsize) != elem.size)
        return err::item_size(b.itemsize, elem.name, elem.size);
    if (b.suboffsets != nullptr && b.suboffsets[0] >= 0) return err::indirect();
    v.count = b.shape ? b.shape[0] : b.len / b.itemsize;
    if (v.count >= 2 && b.strides != nullptr && b.strides[0] != b.itemsize)
        return err::not_contiguous();
    return true;
}

// ---- the table ---------------------------------------------------------------------

enum class Kind : uint8_t { Series, Cond, Int };
enum class Form : uint8_t { Keywords, Single };

// What the binder hands to a kernel for one parameter: an address and a count, or an int.
struct Slot {
    const void *data;
    int32_t value;
};

template <class... T>
struct List {};

// Reads the parameter kinds off a kernel's C signature: after the context argument,
// (const double*, int32_t) is a series, (const uint8_t*, int32_t) a condition series,
// a lone int32_t an integer parameter; (double*, int32_t) closes with the output.
template <class L, Kind... K>
struct Parse;
template <Kind... K>
struct Parse<List<double *, int32_t>, K...> {
    static constexpr size_t count = sizeof...(K);
    static constexpr Kind kinds[3] = {K...};
};
template <class... R, Kind... K>
struct Parse<List<const double *, int32_t, R...>, K...> : Parse<List<R...>, K..., Kind::Series> {};
template <class... R, Kind... K>
struct Parse<List<const uint8_t *, int32_t, R...>, K...> : Parse<List<R...>, K..., Kind::Cond> {};
template <class... R, Kind... K>
struct Parse<List<int32_t, R...>, K...> : Parse<List<R...>, K..., Kind::Int> {};

template <class F>
struct Signature;
template <class... A>
struct Signature<int32_t (*)(int32_t, A...)> : Parse<List<A...>> {};

template <Kind k>
auto unpack(const Slot &s) {
    if constexpr (k == Kind::Series)
        return std::make_tuple(static_cast<const double *>(s.data), s.value);
    else if constexpr (k == Kind::Cond)
        return std::make_tuple(static_cast<const uint8_t *>(s.data), s.value);
    else
        return std::make_tuple(s.value);
}

// Calls kernel K with the context argument 0, the slots in parameter order and r.
template <auto K, size_t... I>
int32_t invoke_with(const Slot *slots, double *r, int32_t rn, std::index_sequence<I...>) {
    using Sig = Signature<decltype(K)>;
    return std::apply(K,
                      std::tuple_cat(std::make_tuple(int32_t{0}),
                                     unpack<Sig::kinds[I]>(slots[I])..., std::make_tuple(r, rn)));
}

template <auto K>
int32_t invoke(const Slot *slots, double *r, int32_t rn) {
    return invoke_with<K>(slots, r, rn, std::make_index_sequence<Signature<decltype(K)>::count>{});
}

struct Row {
    const char *name;
    Form form;
    int nparams;
    const char *params[3];
    Kind kinds[3];
    int32_t (*kernel)(const Slot *, double *, int32_t);
};

template <auto K, size_t M>
constexpr Row row(const char *name, Form form, const char *const (&params)[M]) {
    using Sig = Signature<decltype(K)>;
    static_assert(M == Sig::count, "one parameter name per kernel input");
    static_assert(M >= 1 && M <= 3, "functions take one to three parameters");
    Row r{name, form, static_cast<int>(M), {}, {}, &invoke<K>};
    for (size_t i = 0; i < M; ++i) {
        r.params[i] = params[i];
        r.kinds[i] = Sig::kinds[i];
    }
    return r;
}

constexpr Form KW = Form::Keywords;
constexpr Form ONE = Form::Single;

// The functions in the order in which they are created and bound in the namespace.
constexpr Row kRows[] = {
    row<vx_ma>("MA", KW, {"a", "N"}),
    row<vx_ma_a>("MA_A", KW, {"a", "N"}),
    row<vx_ema>("EMA", KW, {"a", "N"}),
    row<vx_sma>("SMA", KW, {"a", "N", "M"}),
    row<vx_wma>("WMA", KW, {"a", "N"}),
    row<vx_dma>("DMA", KW, {"a", "A"}),
    row<vx_count>("COUNT", KW, {"a", "N"}),
    row<vx_count_a>("COUNT_A", KW, {"a", "N"}),
    row<vx_sum>("SUM", KW, {"a", "N"}),
    row<vx_sum_a>("SUM_A", KW, {"a", "N"}),
    row<vx_ref>("REF", KW, {"a", "N"}),
    row<vx_refif>("REFIF", KW, {"x", "c", "v"}),
    row<vx_refxv>("REFXV", KW, {"a", "N"}),
    row<vx_ref_a>("REF_A", KW, {"a", "N"}),
    row<vx_llv>("LLV", KW, {"a", "N"}),
    row<vx_llv_a>("LLV_A", KW, {"a", "N"}),
    row<vx_hhv>("HHV", KW, {"a", "N"}),
    row<vx_hhv_a>("HHV_A", KW, {"a", "N"}),
    row<vx_barsince>("BARSINCE", ONE, {"x"}),
    row<vx_barlast>("BARLAST", ONE, {"x"}),
    row<vx_barslast>("BARSLAST", ONE, {"x"}),
    row<vx_cross>("CROSS", KW, {"x", "y"}),
    row<vx_fif>("FIF", KW, {"x", "a", "b"}),
    row<vx_slope>("SLOPE", KW, {"Y", "N"}),
    row<vx_currbarscount>("CURRBARSCOUNT", ONE, {"Y"}),
    row<vx_backcount>("BACKCOUNT", ONE, {"x"}),
    row<vx_std>("STD", KW, {"a", "N"}),
    row<vx_stddev>("STDDEV", KW, {"a", "N"}),
    row<vx_stdp>("STDP", KW, {"a", "N"}),
    row<vx_avedev>("AVEDEV", KW, {"a", "N"}),
    row<vx_filter>("FILTER", KW, {"a", "N"}),
};
constexpr size_t kNumRows = sizeof kRows / sizeof kRows[0];

// ---- the binding sequence ----------------------------------------------------------

// Lookups of `np` and of its attributes are cached, each tagged with the version of the
// namespace it was found in: a namespace that changes in any way bumps its version, so
// rebinding or deleting `np` (or a numpy attribute) takes effect at the next call.
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
uint64_t namespace_version(PyObject *dict) {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif

struct Cache {
    PyObject *value = nullptr;  // strong reference
    PyObject *owner = nullptr;  // strong reference: the object whose namespace held it
    uint64_t version = 0;
};

Cache np_cache;

void remember(Cache &c, PyObject *value, PyObject *owner, uint64_t version) {
    Py_INCREF(value);
    Py_INCREF(owner);
    Py_XSETREF(c.value, value);
    Py_XSETREF(c.owner, owner);
    c.version = version;
}

PyObject *lookup_np() {
    const uint64_t version = namespace_version(g.dict);
    if (np_cache.value != nullptr && np_cache.owner == g.module && np_cache.version == version)
        return Py_NewRef(np_cache.value);
    PyObject *np = PyDict_GetItemWithError(g.dict, g.names.np);
    if (np != nullptr) {
        remember(np_cache, np, g.module, version);
        return Py_NewRef(np);
    }
    // The builtins are the fallback; a name found there is not cached.
    if (!PyErr_Occurred() && g.builtins != nullptr)
        np = PyDict_GetItemWithError(PyModule_GetDict(g.builtins), g.names.np);
    if (np == nullptr) return PyErr_Occurred() ? nullptr : err::not_defined(g.names.np);
    return Py_NewRef(np);
}

// np.<name>. When np is a plain module and the name sits in its namespace, attribute
// lookup is that dictionary lookup, so the result can be cached against its version.
PyObject *np_attr(PyObject *name, Cache &cache) {
    Ref np(lookup_np());
    if (!np) return nullptr;
    if (!PyModule_CheckExact(np.get())) return PyObject_GetAttr(np.get(), name);
    PyObject *dict = PyModule_GetDict(np.get());
    const uint64_t version = namespace_version(dict);
    if (cache.value != nullptr && cache.owner == np.get() && cache.version == version)
        return Py_NewRef(cache.value);
    PyObject *value = PyObject_GetAttr(np.get(), name);
    if (value != nullptr && PyDict_GetItemWithError(dict, name) == value)
        remember(cache, value, np.get(), version);
    return value;
}

Cache zeros_cache, float64_cache, uint8_cache;

// len() of an argument, or -1 with an exception set.
Py_ssize_t length(PyObject *obj) { return PyObject_Size(obj); }

// Python int (or None) to a 32-bit int.
bool to_int32(PyObject *obj, int32_t *out) {
    if (obj == Py_None) return err::integer_required();
    const long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) return err::int_too_large();
    *out = static_cast<int32_t>(v);
    return true;
}

// The emptiness check and the length of one argument whose view is `v`. The length
// must match the buffer and fit the kernels' 32-bit counts.
bool counted(PyObject *obj, const View &v, const char *param, int32_t *count) {
    if (v.count == 0) return err::empty();
    const Py_ssize_t n = length(obj);
    if (n < 0) return false;
    if (n > INT32_MAX) return err::too_long(param, n);
    if (n != v.count) return err::length_mismatch(param, n, v.count);
    *count = static_cast<int32_t>(n);
    return true;
}

// Fills argv[0..nparams) from positional arguments and keywords. Each is owned from the
// moment it is found: a keyword value is borrowed from the caller's dict, which Python
// code run later in the call (a key's __eq__, a __len__, an astype) can empty.
bool bind_arguments(const Row &row, PyObject *args, PyObject *kwargs, Ref *argv) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    const Py_ssize_t nparams = row.nparams;
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        if (npos != nparams) return err::arg_count(row.name, nparams, npos);
        for (Py_ssize_t i = 0; i < nparams; ++i)
            argv[i].reset(Py_NewRef(PyTuple_GET_ITEM(args, i)));
        return true;
    }
    if (npos > nparams) return err::arg_count(row.name, nparams, npos);
    for (Py_ssize_t i = 0; i < npos; ++i) argv[i].reset(Py_NewRef(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t left = PyDict_GET_SIZE(kwargs);
    for (Py_ssize_t i = npos; i < nparams; ++i) {
        PyObject *v = PyDict_GetItemString(kwargs, row.params[i]);
        if (v == nullptr) return err::arg_count(row.name, nparams, i);
        argv[i].reset(Py_NewRef(v));
        --left;
    }
    if (left == 0) return true;
    // Keywords left over: either names already given positionally or unknown names.
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) return err::keywords_not_strings(row.name);
        bool known = false;
        for (Py_ssize_t i = 0; i < nparams && !known; ++i)
            known = PyUnicode_CompareWithASCIIString(key, row.params[i]) == 0;
        if (!known) return err::unexpected_keyword(row.name, key);
        for (Py_ssize_t i = 0; i < npos; ++i)
            if (PyUnicode_CompareWithASCIIString(key, row.params[i]) == 0)
                return err::multiple_values(row.name, key);
    }
    return true;
}

// Steps from result creation to the kernel call; argv holds the bound arguments.
PyObject *run(const Row &row, PyObject *const *argv) {
    const int np_ = row.nparams;

    // Result array: np.zeros(len(first), dtype=np.float64).
    Ref zeros_fn(np_attr(g.names.zeros, zeros_cache));
    if (!zeros_fn) return nullptr;
    const Py_ssize_t n = length(argv[0]);
    if (n < 0) return nullptr;
    Ref n_obj(PyLong_FromSsize_t(n));
    if (!n_obj) return nullptr;
    Ref f64(np_attr(g.names.float64, float64_cache));
    if (!f64) return nullptr;
    PyObject *zargs[] = {n_obj.get(), f64.get()};
    Ref r(PyObject_Vectorcall(zeros_fn.get(), zargs, 1, g.names.dtype_kwnames));
    if (!r) return nullptr;

    View views[3];
    // Condition series: the argument's own astype with np.uint8, viewed as bytes; the
    // converted array lives as long as its view.
    for (int i = 0; i < np_; ++i) {
        if (row.kinds[i] != Kind::Cond) continue;
        Ref astype(PyObject_GetAttr(argv[i], g.names.astype));
        if (!astype) return nullptr;
        Ref u8(np_attr(g.names.uint8, uint8_cache));
        if (!u8) return nullptr;
        Ref converted(PyObject_CallOneArg(astype.get(), u8.get()));
        if (!converted) return nullptr;
        if (!acquire(converted.get(), kByte, views[i])) return nullptr;
    }
    for (int i = 0; i < np_; ++i)
        if (row.kinds[i] == Kind::Series && !acquire(argv[i], kDouble, views[i])) return nullptr;
    View rview;
    if (!acquire(r.get(), kDouble, rview)) return nullptr;

    Slot slots[3];
    for (int i = 0; i < np_; ++i) {
        if (row.kinds[i] == Kind::Int) continue;
        slots[i].data = views[i].buf.buf;
        if (!counted(argv[i], views[i], row.params[i], &slots[i].value)) return nullptr;
    }
    for (int i = 0; i < np_; ++i)
        if (row.kinds[i] == Kind::Int && !to_int32(argv[i], &slots[i].value)) return nullptr;
    int32_t rn;
    if (!counted(r.get(), rview, "r", &rn)) return nullptr;

    // The status is not examined: a rejected call returns r as the kernel left it.
    row.kernel(slots, static_cast<double *>(rview.buf.buf), rn);
    Py_INCREF(r.get());
    return r.get();
}

// The traceback entry every failing call gets: "vexa._vexa." plus the function name.
void traceback_of(const Row &row, int line) {
    char func[64];
    PyOS_snprintf(func, sizeof func, "%s.%s", kModuleName, row.name);
    add_traceback(func, line);
}

PyObject *call(const Row &row, PyObject *args, PyObject *kwargs) {
    Ref owned[3];
    if (!bind_arguments(row, args, kwargs, owned)) {
        traceback_of(row, __LINE__);
        return nullptr;
    }
    PyObject *argv[3] = {owned[0].get(), owned[1].get(), owned[2].get()};
    // Integer type test: exactly int, or None; reported without a traceback entry.
    for (int i = 0; i < row.nparams; ++i) {
        PyObject *v = argv[i];
        if (row.kinds[i] == Kind::Int && v != Py_None && !PyLong_CheckExact(v))
            return err::wrong_type(row.params[i], "int", v);
    }
    PyObject *result = run(row, argv);
    if (result == nullptr) {
        traceback_of(row, __LINE__);
    }
    return result;
}

PyObject *call_one(const Row &row, PyObject *arg) {
    PyObject *result = run(row, &arg);
    if (result == nullptr) {
        traceback_of(row, __LINE__);
    }
    return result;
}

template <size_t I>
PyObject *entry_keywords(PyObject *, PyObject *args, PyObject *kwargs) {
    return call(kRows[I], args, kwargs);
}

template <size_t I>
PyObject *entry_single(PyObject *, PyObject *arg) {
    return call_one(kRows[I], arg);
}

template <size_t I>
constexpr PyMethodDef method_def() {
    if constexpr (kRows[I].form == Form::Single)
        return {kRows[I].name,
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_single<I>)),
                METH_O, nullptr};
    else
        return {kRows[I].name,
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_keywords<I>)),
                METH_VARARGS | METH_KEYWORDS, nullptr};
}

template <size_t... I>
struct MethodTable {
    static PyMethodDef defs[sizeof...(I)];
};
template <size_t... I>
PyMethodDef MethodTable<I...>::defs[sizeof...(I)] = {method_def<I>()...};

template <size_t... I>
PyMethodDef *method_defs(std::index_sequence<I...>) {
    return MethodTable<I...>::defs;
}

// ---- module initialisation ---------------------------------------------------------

bool make_names() {
    Names &n = g.names;
    if (g.names_ready) return true;
    n.np = PyUnicode_InternFromString("np");
    n.zeros = PyUnicode_InternFromString("zeros");
    n.dtype = PyUnicode_InternFromString("dtype");
    n.float64 = PyUnicode_InternFromString("float64");
    n.uint8 = PyUnicode_InternFromString("uint8");
    n.astype = PyUnicode_InternFromString("astype");
    n.builtins_attr = PyUnicode_InternFromString("__builtins__");
    n.test_attr = PyUnicode_InternFromString("__test__");
    n.module_name = PyUnicode_InternFromString(kModuleName);
    n.empty_list = PyList_New(0);
    if (!n.np || !n.zeros || !n.dtype || !n.float64 || !n.uint8 || !n.astype || !n.builtins_attr ||
        !n.test_attr || !n.module_name || !n.empty_list)
        return false;
    n.dtype_kwnames = PyTuple_Pack(1, n.dtype);
    if (!n.dtype_kwnames) return false;
    g.names_ready = true;
    return true;
}

enum class SizeCheck { Warn, Ignore };

// Tests that module.name exists, is a type and is not smaller than the C header says.
bool check_type(PyObject *module, const char *module_name, const char *name, size_t size,
                SizeCheck larger) {
    Ref obj(PyObject_GetAttrString(module, name));
    if (!obj || !PyType_Check(obj.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, name);
        return false;
    }
    const Py_ssize_t basic = reinterpret_cast<PyTypeObject *>(obj.get())->tp_basicsize;
    const auto expected = static_cast<Py_ssize_t>(size);
    if (basic < expected) {
        PyErr_Format(
            PyExc_ValueError,
            "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
            "from C header, got %zd from PyObject",
            module_name, name, expected, basic);
        return false;
    }
    if (basic > expected && larger == SizeCheck::Warn) {
        char msg[200];
        PyOS_snprintf(
            msg, sizeof msg,
            "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C "
            "header, got %zd from PyObject",
            module_name, name, expected, basic);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, msg, 1) < 0) return false;
    }
    return true;
}

bool check_types() {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins ||
        !check_type(builtins.get(), "builtins", "type", sizeof(PyHeapTypeObject), SizeCheck::Warn))
        return false;
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    struct T {
        const char *name;
        size_t size;
        SizeCheck larger;
    };
    const T types[] = {
        {"dtype", sizeof(PyArray_Descr), SizeCheck::Ignore},
        {"flatiter", sizeof(PyArrayIterObject), SizeCheck::Ignore},
        {"broadcast", sizeof(PyArrayMultiIterObject), SizeCheck::Ignore},
        {"ndarray", sizeof(PyArrayObject_fields), SizeCheck::Ignore},
        {"generic", sizeof(PyObject), SizeCheck::Warn},
        {"number", sizeof(PyObject), SizeCheck::Warn},
        {"integer", sizeof(PyObject), SizeCheck::Warn},
        {"signedinteger", sizeof(PyObject), SizeCheck::Warn},
        {"unsignedinteger", sizeof(PyObject), SizeCheck::Warn},
        {"inexact", sizeof(PyObject), SizeCheck::Warn},
        {"floating", sizeof(PyObject), SizeCheck::Warn},
        {"complexfloating", sizeof(PyObject), SizeCheck::Warn},
        {"flexible", sizeof(PyObject), SizeCheck::Warn},
        {"character", sizeof(PyObject), SizeCheck::Warn},
        {"ufunc", sizeof(PyUFuncObject), SizeCheck::Ignore},
    };
    for (const T &t : types)
        if (!check_type(numpy.get(), "numpy", t.name, t.size, t.larger)) return false;
    return true;
}

// Issues a RuntimeWarning when the interpreter is not the version the module was built for.
bool check_version() {
    char built[16];
    PyOS_snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char *running = Py_GetVersion();
    const size_t len = std::strlen(built);
    if (std::strncmp(running, built, len) == 0 && !(running[len] >= '0' && running[len] <= '9'))
        return true;
    char rt[5] = {0};
    bool dot = false;
    for (size_t i = 0; i < 4; ++i) {
        const char c = running[i];
        if (c == '.' && !dot)
            dot = true;
        else if (!(c >= '0' && c <= '9'))
            break;
        rt[i] = c;
    }
    char msg[200];
    PyOS_snprintf(msg, sizeof msg,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built, kModuleName, rt);
    return PyErr_WarnEx(PyExc_RuntimeWarning, msg, 1) == 0;
}

bool copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to,
                    bool skip_none) {
    PyObject *value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    int rc = 0;
    if (!(skip_none && value == Py_None)) rc = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g.interpreter == -1) {
        if (id == -1) return nullptr;
        g.interpreter = id;
    } else if (id != g.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g.module != nullptr) {
        Py_INCREF(g.module);
        return g.module;
    }
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true))
        return nullptr;
    Py_INCREF(module.get());
    return module.get();
}

// Steps from recording the module on; false with an exception (usually) set.
bool module_fill(PyObject *module) {
    Py_INCREF(module);
    g.module = module;
    g.dict = PyModule_GetDict(module);
    if (g.builtins == nullptr) g.builtins = PyImport_ImportModule("builtins");
    if (g.builtins == nullptr) return false;
    if (PyObject_SetAttrString(module, "__builtins__", g.builtins) < 0) return false;
    if (!make_names()) return false;

    PyObject *registry = PyImport_GetModuleDict();
    const int present = PyDict_Contains(registry, g.names.module_name);
    if (present < 0) return false;
    if (!present && PyDict_SetItem(registry, g.names.module_name, module) < 0) return false;

    return check_types();
}

// Binds np, the functions in table order and __test__.
bool module_bind() {
    Ref name(PyUnicode_FromString("numpy"));
    if (!name) return false;
    Ref numpy(PyImport_ImportModuleLevelObject(name.get(), g.dict, nullptr, g.names.empty_list, 0));
    if (!numpy || PyDict_SetItem(g.dict, g.names.np, numpy.get()) < 0) return false;

    PyMethodDef *defs = method_defs(std::make_index_sequence<kNumRows>{});
    for (size_t i = 0; i < kNumRows; ++i) {
        Ref fn(PyCFunction_NewEx(&defs[i], nullptr, g.names.module_name));
        if (!fn || PyDict_SetItemString(g.dict, kRows[i].name, fn.get()) < 0) return false;
    }
    Ref test(PyDict_New());
    return test && PyDict_SetItem(g.dict, g.names.test_attr, test.get()) == 0;
}

int module_exec(PyObject *module) {
    if (g.module != nullptr) {
        if (g.module == module) return 0;
        PyErr_SetString(
            PyExc_RuntimeError,
            "Module '_vexa' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!check_version()) return -1;
    if (module_fill(module) && module_bind()) return 0;
    add_traceback("init vexa._vexa", __LINE__);
    Py_CLEAR(g.module);
    g.dict = nullptr;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init vexa._vexa");
    return -1;
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(&module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vexa", nullptr, 0, no_methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vexa(void) { return PyModuleDef_Init(&module_def); }
