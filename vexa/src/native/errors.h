// Every error text of vexa._native, its functions and its streams, one function per text.
// Each names the function (or the stream) as the caller called it and the parameter; each
// sets the exception and returns false.
#ifndef VEXA_NATIVE_ERRORS_H
#define VEXA_NATIVE_ERRORS_H

#include "numpy.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace vexa::native::err {

// "(10,)", "(10, 3)", "()": a shape as numpy prints it.
inline std::string shape(int ndim, const npy_intp *dims) {
    std::string s = "(";
    for (int i = 0; i < ndim; ++i) {
        if (i) s += ", ";
        s += std::to_string(static_cast<long long>(dims[i]));
    }
    return s + (ndim == 1 ? ",)" : ")");
}

// A value as a message quotes it: its repr, shortened to a readable length (a number
// of thousands of digits as its first and last digits and its length). Never fails.
inline std::string quote(PyObject *obj) {
    constexpr Py_ssize_t kLongest = 40;
    if (PyLong_Check(obj)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return std::to_string(v);
        PyErr_Clear();
    }
    PyObject *r = PyObject_Repr(obj);
    if (r == nullptr) {
        // An integer past the interpreter's limit of digits for a text, say.
        PyErr_Clear();
        std::string about;
        if (PyLong_Check(obj)) {
            PyObject *bits = PyObject_CallMethod(obj, "bit_length", nullptr);
            const long long b = bits != nullptr ? PyLong_AsLongLong(bits) : -1;
            Py_XDECREF(bits);
            PyErr_Clear();
            if (b > 0)
                about = " of about " +
                        std::to_string(static_cast<long long>(static_cast<double>(b) * 0.30103)) +
                        " digits";
        }
        const char *what = !PyLong_Check(obj) ? Py_TYPE(obj)->tp_name
                           : PyObject_RichCompareBool(obj, Py_False, Py_LT) == 1
                               ? "a negative integer"
                               : "an integer";
        PyErr_Clear();
        return std::string("<") + what + about + ">";
    }
    const Py_ssize_t chars = PyUnicode_GET_LENGTH(r);
    std::string out;
    if (chars <= kLongest) {
        const char *text = PyUnicode_AsUTF8(r);
        if (text != nullptr) out = text;
    } else {
        // Whole characters: cut between code points, never inside one.
        PyObject *head = PyUnicode_Substring(r, 0, 20);
        PyObject *tail = PyUnicode_Substring(r, chars - 8, chars);
        const char *h = head ? PyUnicode_AsUTF8(head) : nullptr;
        const char *t = tail ? PyUnicode_AsUTF8(tail) : nullptr;
        if (h != nullptr && t != nullptr)
            out = std::string(h) + "..." + t + " (" +
                  std::to_string(static_cast<long long>(chars)) +
                  (PyLong_Check(obj) ? " digits)" : " characters)");
        Py_XDECREF(head);
        Py_XDECREF(tail);
    }
    Py_DECREF(r);
    PyErr_Clear();
    return out.empty() ? std::string("<") + Py_TYPE(obj)->tp_name + ">" : out;
}

// ---- binding ---------------------------------------------------------------------

inline bool too_many_positional(const char *func, int most, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd were given", func,
                 most, most == 1 ? "" : "s", given);
    return false;
}

inline bool missing(const char *func, const char *param, int pos) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", func, param,
                 pos + 1);
    return false;
}

inline bool unexpected_keyword(const char *func, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
    return false;
}

inline bool multiple_values(const char *func, const char *param) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, param);
    return false;
}

inline bool axis_type(const char *func, PyObject *obj) {
    PyErr_Format(PyExc_TypeError, "%s: axis must be an integer, not %.100s", func,
                 Py_TYPE(obj)->tp_name);
    return false;
}

inline bool axis_range(const char *func, PyObject *axis, const char *param, int ndim) {
    const std::string a = quote(axis);
    PyErr_Format(PyExc_ValueError, "%s: axis %s is out of range for %s, which is %d-D", func,
                 a.c_str(), param, ndim);
    return false;
}

// ---- array arguments ---------------------------------------------------------------

// Names the function and the parameter in an error raised while reading an argument.
// numpy's own refusals (a TypeError, ValueError or OverflowError: a ragged list, say)
// are raised again with the names in front, the original as their cause; any other
// exception (one raised by the caller's own __array__, KeyboardInterrupt, SystemExit)
// propagates as it is, with a note naming them where the exception takes notes.
inline bool with_names(const char *func, const char *param) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value == nullptr) {
        Py_XDECREF(type);
        Py_XDECREF(tb);
        PyErr_Format(PyExc_TypeError, "%s: %s could not be read as an array", func, param);
        return false;
    }
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    if (type == PyExc_TypeError || type == PyExc_ValueError || type == PyExc_OverflowError) {
        PyErr_Format(type, "%s: %s: %S", func, param, value);
        PyObject *t2, *v2, *tb2;
        PyErr_Fetch(&t2, &v2, &tb2);
        PyErr_NormalizeException(&t2, &v2, &tb2);
        if (v2 != nullptr) {
            PyException_SetCause(v2, Py_NewRef(value));
            PyException_SetContext(v2, Py_NewRef(value));
        }
        PyErr_Restore(t2, v2, tb2);
        Py_DECREF(type);
        Py_DECREF(value);
        Py_XDECREF(tb);
        return false;
    }
    PyObject *note = PyUnicode_FromFormat("raised while vexa.%s read its argument %s", func, param);
    if (note != nullptr && PyObject_HasAttrString(value, "add_note")) {
        PyObject *done = PyObject_CallMethod(value, "add_note", "O", note);
        if (done == nullptr) PyErr_Clear();
        Py_XDECREF(done);
    } else {
        PyErr_Clear();
    }
    Py_XDECREF(note);
    PyErr_Restore(type, value, tb);
    return false;
}

inline bool not_array_like(const char *func, const char *param, PyObject *obj) {
    PyErr_Format(PyExc_TypeError,
                 "%s: %s must be an array-like of numbers (bool, integer or float), not %.100s",
                 func, param, Py_TYPE(obj)->tp_name);
    return false;
}

inline bool not_numeric(const char *func, const char *param, PyArrayObject *arr) {
    PyObject *dtype = reinterpret_cast<PyObject *>(PyArray_DESCR(arr));
    const std::string s = shape(PyArray_NDIM(arr), PyArray_DIMS(arr));
    PyErr_Format(PyExc_TypeError,
                 "%s: %s has dtype %S (shape %s); expected bool, integer or float values", func,
                 param, dtype, s.c_str());
    return false;
}

inline bool not_a_number(const char *func, const char *param, PyObject *obj) {
    PyErr_Format(PyExc_TypeError, "%s: %s must be a number (bool, integer or float), not %.100s",
                 func, param, Py_TYPE(obj)->tp_name);
    return false;
}

inline bool first_dims(const char *func, const char *param, int ndim, const npy_intp *dims) {
    const std::string s = shape(ndim, dims);
    PyErr_Format(PyExc_ValueError,
                 "%s: %s has shape %s; expected a series (1-D) or a panel of bars x columns (2-D)",
                 func, param, s.c_str());
    return false;
}

inline bool other_dims(const char *func, const char *param, int ndim, const npy_intp *dims) {
    const std::string s = shape(ndim, dims);
    PyErr_Format(PyExc_ValueError,
                 "%s: %s has shape %s; expected a scalar, a series (1-D) or a panel (2-D)", func,
                 param, s.c_str());
    return false;
}

// `param` does not fit the shape of `first` (the first argument) with n bars.
inline bool shape_mismatch(const char *func, const char *param, int ndim, const npy_intp *dims,
                           const char *first, int first_ndim, const npy_intp *first_dims,
                           int64_t n) {
    const std::string s = shape(ndim, dims), f = shape(first_ndim, first_dims);
    if (first_ndim == 1)
        PyErr_Format(PyExc_ValueError,
                     "%s: %s has shape %s but %s has shape %s; %s must be %sa "
                     "series of %lld bars",
                     func, param, s.c_str(), first, f.c_str(), param, "a scalar or ",
                     static_cast<long long>(n));
    else
        PyErr_Format(PyExc_ValueError,
                     "%s: %s has shape %s but %s has shape %s; %s must be %sa "
                     "series of %lld bars (applied to every column) or a panel of shape %s",
                     func, param, s.c_str(), first, f.c_str(), param, "a scalar, ",
                     static_cast<long long>(n), f.c_str());
    return false;
}

inline bool too_long(const char *func, const char *param, int64_t n) {
    PyErr_Format(PyExc_ValueError, "%s: %s has %lld bars; at most 2147483647 are supported", func,
                 param, static_cast<long long>(n));
    return false;
}

// ---- integer and real parameters ---------------------------------------------------

inline bool int_type(const char *func, const char *param, PyObject *obj, bool per_bar) {
    PyErr_Format(PyExc_TypeError, "%s: %s must be an integer%s, not %.100s", func, param,
                 per_bar ? " or a series of per-bar periods" : "", Py_TYPE(obj)->tp_name);
    return false;
}

// The accepted range, "from 1 to 2147483647", as every range message gives it.
inline bool int_range(const char *func, const char *param, int32_t least, PyObject *value) {
    const std::string v = quote(value);
    PyErr_Format(PyExc_ValueError,
                 "%s: %s = %s is out of range; %s must be an integer from %d to %d", func, param,
                 v.c_str(), param, static_cast<int>(least), static_cast<int>(INT32_MAX));
    return false;
}

// A real parameter that the kernel refuses on its own: `rule` is what it accepts
// (empty: the function's documentation says).
inline bool real_range(const char *func, const char *param, const std::string &value,
                       const char *rule) {
    if (rule != nullptr && rule[0] != '\0')
        PyErr_Format(PyExc_ValueError, "%s: %s = %s is out of range; %s must be %s", func, param,
                     value.c_str(), param, rule);
    else
        PyErr_Format(PyExc_ValueError,
                     "%s: %s = %s is not accepted; see the function's documentation", func, param,
                     value.c_str());
    return false;
}

// A kernel refused parameters that are each within their own range but not together
// (LAST's A and B); `given` lists them, "A = 1, B = 3".
inline bool ints_together(const char *func, const std::string &given) {
    PyErr_Format(PyExc_ValueError,
                 "%s: the parameters %s do not go together; see the function's documentation", func,
                 given.c_str());
    return false;
}

// A kernel refused a call that the checks above let through (never expected).
inline bool refused(const char *func, int32_t status) {
    PyErr_Format(PyExc_SystemError, "%s: the kernel refused the call (status %d)", func,
                 static_cast<int>(status));
    return false;
}

// ---- streams -----------------------------------------------------------------------
//
// `name` is the stream as messages name it ("stream.EMA").

// vexa.stream.Stream itself was called.
inline bool stream_base() {
    PyErr_SetString(PyExc_TypeError,
                    "vexa.stream.Stream is the base of the streams; make one of its functions, "
                    "e.g. vexa.stream.EMA(N=12)");
    return false;
}

inline bool history_type(const char *name, PyObject *obj) {
    PyErr_Format(PyExc_TypeError, "%s: max_period must be an integer, not %.100s", name,
                 Py_TYPE(obj)->tp_name);
    return false;
}

inline bool history_range(const char *name, PyObject *value) {
    PyErr_Format(PyExc_ValueError,
                 "%s: max_period = %S is out of range; max_period must be an integer from 0 to "
                 "2147483647",
                 name, value);
    return false;
}

// A max_period that the streams refuse (beyond what a state can address).
inline bool history_refused(const char *name, int64_t history) {
    PyErr_Format(PyExc_ValueError, "%s: max_period = %lld is out of range", name,
                 static_cast<long long>(history));
    return false;
}

// "1.5 GiB".
inline std::string gib(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / 1073741824.0);
    return text;
}

// `made` (the stream as made, "stream.MA(N=200000000)") needs more than the machine has.
inline bool state_too_large(const std::string &made, uint64_t size, uint64_t memory) {
    PyErr_Format(PyExc_ValueError,
                 "%s needs a state of %s once its window is full (it keeps the bars of its "
                 "window), more than the memory of this machine (%s); use a shorter period",
                 made.c_str(), gib(size).c_str(), gib(memory).c_str());
    return false;
}

inline bool state_memory(const char *name, size_t size) {
    PyErr_Format(PyExc_MemoryError,
                 "%s: the stream's state needs %zu bytes (it keeps the last bars of its window), "
                 "which could not be allocated",
                 name, size);
    return false;
}

// update or update_many given another number of values than the row has array parameters
// (`names`, "x, y").
inline bool values_count(const char *name, const char *method, int want, const std::string &names,
                         Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s.%s() takes %d argument%s (%s), %zd given", name, method, want,
                 want == 1 ? "" : "s", names.c_str(), given);
    return false;
}

// update_many's argument `param` is not one-dimensional.
inline bool not_a_series(const char *name, const char *param, int ndim, const npy_intp *dims) {
    const std::string s = shape(ndim, dims);
    PyErr_Format(PyExc_ValueError, "%s: %s has shape %s; expected a series (1-D)", name, param,
                 s.c_str());
    return false;
}

inline bool lengths_differ(const char *name, const char *param, Py_ssize_t bars, const char *first,
                           Py_ssize_t first_bars) {
    PyErr_Format(PyExc_ValueError, "%s: %s has %zd bars but %s has %zd", name, param, bars, first,
                 first_bars);
    return false;
}

// A bar refused because its value reads a later bar (`where`: "bar 12", with the element of
// update_many's call).
inline bool bar_reads_ahead(const char *name, const std::string &where) {
    PyErr_Format(PyExc_ValueError,
                 "%s: the period of %s is negative: its value reads a later bar, which a stream "
                 "cannot know yet (the bar was taken; later bars stay exact)",
                 name, where.c_str());
    return false;
}

// A bar refused because its period reaches past the bars the stream keeps.
inline bool bar_beyond_history(const char *name, const std::string &where, int64_t history) {
    PyErr_Format(PyExc_ValueError,
                 "%s: %s reaches back further than max_period = %lld bars (the bar was taken; "
                 "later bars stay exact; make the stream with a larger max_period)",
                 name, where.c_str(), static_cast<long long>(history));
    return false;
}

// ---- pickled streams ---------------------------------------------------------------

inline bool restore_arguments() {
    PyErr_SetString(PyExc_TypeError, "_stream_restore(name, state) takes a str and bytes");
    return false;
}

inline bool no_stream_named(PyObject *name) {
    const std::string q = quote(name);
    PyErr_Format(PyExc_ValueError, "vexa.stream has no stream named %s", q.c_str());
    return false;
}

// The saved state of a `name` stream was not restored: `why` says what it is.
inline bool not_restored(const char *name, const char *why) {
    PyErr_Format(PyExc_ValueError, "the saved state of a %s stream %s; nothing was restored", name,
                 why);
    return false;
}

inline bool not_restored_format(const char *name) {
    return not_restored(name, "is not one this version of vexa made (damaged, cut short, or from "
                              "another version or machine)");
}

inline bool not_restored_memory(const char *name, uint64_t size, uint64_t memory) {
    const std::string why =
        "needs " + gib(size) + ", more than the memory of this machine (" + gib(memory) + ")";
    return not_restored(name, why.c_str());
}

inline bool not_restored_checksum(const char *name) {
    return not_restored(name, "is damaged: its bytes changed since it was saved (its checksum "
                              "does not match)");
}

inline bool not_restored_other(const char *name, const char *held) {
    const std::string why = std::string("holds the state of a ") + held + " stream instead";
    return not_restored(name, why.c_str());
}

inline bool not_restored_unsound(const char *name) {
    return not_restored(name, "is not one this version of vexa made (its parameters and numbers "
                              "are not those of a stream)");
}

// ---- the module's own functions ----------------------------------------------------

// `func` (_num_threads, ...) given more than one argument.
inline bool at_most_one(const char *func) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most one argument", func);
    return false;
}

inline bool count_type(PyObject *obj) {
    PyErr_Format(PyExc_TypeError, "the count of threads must be an integer, not %.100s",
                 Py_TYPE(obj)->tp_name);
    return false;
}

// A negative count of threads; `zero` says what 0 means.
inline bool count_negative(const char *func, const char *zero) {
    PyErr_Format(PyExc_ValueError, "%s: the count must be >= 0 (0: %s)", func, zero);
    return false;
}

inline bool no_docstring(const char *name) {
    PyErr_Format(PyExc_ImportError, "vexa._docs has no docstring for %s", name);
    return false;
}

}  // namespace vexa::native::err

#endif
