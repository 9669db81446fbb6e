// The stream types (streams.h): vexa.stream.Stream and one subtype per row that streams,
// their methods and attributes, their docstrings from the table, and pickling (a stream is
// pickled as its saved form, restored by stream_make.cpp).
#include "streams.h"

#include <cstring>
#include <string>

#include "../pyref.h"
#include "errors.h"

namespace vexa::native::stream {
namespace {

PyTypeObject *g_types[kNumRows] = {};

void stream_dealloc(PyObject *self) {
    auto *s = reinterpret_cast<Stream *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyMem_Free(s->state);
    type->tp_free(self);
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) Py_DECREF(type);
}

// ---- what a stream is -------------------------------------------------------------

PyObject *params_dict(const Stream *s) {
    const Row &f = row_of(s);
    int32_t ints[kInts] = {};
    double reals[kReals] = {};
    int64_t history;
    qxs_params(s->state, ints, &history);
    qxs_reals(s->state, reals);
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (int i = 0, m = 0, k = 0; i < f.nparams; ++i) {
        if (is_array(f.params[i].kind)) continue;
        Ref v(f.params[i].kind == Kind::Int ? PyLong_FromLong(ints[m++])
                                            : PyFloat_FromDouble(reals[k++]));
        if (!v || PyDict_SetItemString(d.get(), f.params[i].name, v.get()) < 0) return nullptr;
    }
    if (keeps_history(s->row)) {
        Ref v(PyLong_FromLongLong(history));
        if (!v || PyDict_SetItemString(d.get(), "max_period", v.get()) < 0) return nullptr;
    }
    return Py_NewRef(d.get());
}

PyObject *stream_repr(PyObject *self) {
    auto *s = reinterpret_cast<Stream *>(self);
    Ref d(params_dict(s));
    if (!d) return nullptr;
    std::string text = std::string("vexa.stream.") + row_of(s).name + "(";
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    bool first = true;
    while (PyDict_Next(d.get(), &pos, &key, &value)) {
        Ref r(PyUnicode_FromFormat("%s%U=%S", first ? "" : ", ", key, value));
        if (!r) return nullptr;
        text += PyUnicode_AsUTF8(r.get());
        first = false;
    }
    text += ")";
    return PyUnicode_FromString(text.c_str());
}

PyObject *get_params(PyObject *self, void *) {
    return params_dict(reinterpret_cast<Stream *>(self));
}
PyObject *get_bars(PyObject *self, void *) {
    return PyLong_FromLongLong(qxs_bars(reinterpret_cast<Stream *>(self)->state));
}
PyObject *get_delay(PyObject *self, void *) {
    return PyLong_FromLongLong(qxs_delay(reinterpret_cast<Stream *>(self)->state));
}

// Pickled as (restore, (name, saved form)): the saved form holds the parameters, the
// bars the state keeps (not its capacity) and a checksum (quorix_stream.h).
PyObject *g_restore = nullptr;

PyObject *stream_reduce(PyObject *self, PyObject *) {
    auto *s = reinterpret_cast<Stream *>(self);
    const size_t n = qxs_saved_size(s->state);
    Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (!bytes) return nullptr;
    if (qxs_save(s->state, PyBytes_AS_STRING(bytes.get()), n) != QXS_OK) {
        err::refused(stream_name(row_of(s)).c_str(), QXS_BAD_STATE);
        return nullptr;
    }
    return Py_BuildValue("(O(sO))", g_restore, row_of(s).name, bytes.get());
}

PyMethodDef g_methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&stream_update)),
     METH_FASTCALL,
     "update(*values) -> float\n\nTakes the new bar (one value per array parameter of the "
     "function, in its order) and returns its value: bit for bit what the batch function "
     "gives at that bar over every bar taken so far."},
    {"update_many",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&stream_update_many)),
     METH_FASTCALL,
     "update_many(*arrays) -> numpy.ndarray\n\nTakes many bars at once (one array per array "
     "parameter) and returns their values, as update would one by one."},
    {"reset", stream_reset, METH_NOARGS, "Forgets every bar taken: the stream starts afresh."},
    {"__reduce__", stream_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef g_getset[] = {
    {"params", get_params, nullptr, "The stream's parameters, as a dict.", nullptr},
    {"bars", get_bars, nullptr, "The number of bars taken so far.", nullptr},
    {"delay", get_delay, nullptr,
     "Bars by which the values come late: 0 for a causal function; |N| for REF with a "
     "negative N and N for REFXV with a positive N, whose update of bar t returns the final "
     "value of bar t - delay (NaN while t < delay).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot g_base_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(&stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(&stream_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_tp_repr, reinterpret_cast<void *>(&stream_repr)},
    {Py_tp_doc, const_cast<char *>(
                    "The stream of one function of vexa: its bars one at a time, each value bit "
                    "for bit what the batch function gives at that bar.")},
    {0, nullptr}};

PyType_Spec g_base_spec = {"vexa.stream.Stream", sizeof(Stream), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, g_base_slots};

// The docstring of a function's stream, kept for the life of the process.
const char *doc_of(int32_t row, const Row &f) {
    std::string sig, values;
    for (int i = 0; i < f.nparams; ++i) {
        std::string &to = is_array(f.params[i].kind) ? values : sig;
        if (!to.empty()) to += ", ";
        to += f.params[i].name;
    }
    const bool history = keeps_history(row);
    if (history) sig += std::string(sig.empty() ? "" : ", ") + "max_period=1000";
    std::string text = std::string(f.name) + "(" + sig + ")\n--\n\nStream of " + f.name + ": " +
                       f.summary + ". update(" + values + ") takes one bar.";
    if (history)
        text += " A bar may reach back max_period bars at most; a bar that reaches further, "
                "where the batch function would read those bars, is refused.";
    auto *copy = static_cast<char *>(PyMem_RawMalloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

std::string g_names[kNumRows];

}  // namespace

PyTypeObject *type_of(int32_t row) {
    return row >= 0 && static_cast<size_t>(row) < kNumRows ? g_types[row] : nullptr;
}

int32_t row_of_type(PyTypeObject *t) {
    for (; t != nullptr; t = t->tp_base)
        for (int32_t r = 0; r < static_cast<int32_t>(kNumRows); ++r)
            if (g_types[r] == t) return r;
    return -1;
}

int32_t streaming_row(const char *name) {
    for (int32_t r = 0; r < static_cast<int32_t>(kNumRows); ++r)
        if (g_types[r] != nullptr && std::strcmp(row_at(static_cast<size_t>(r)).name, name) == 0)
            return r;
    return -1;
}

bool add_streams(PyObject *module) {
    Ref base(PyType_FromSpec(&g_base_spec));
    if (!base) return false;
    if (PyModule_AddObjectRef(module, "Stream", base.get()) < 0) return false;
    Ref types(PyDict_New()), history(PyList_New(0));
    if (!types || !history) return false;
    for (int32_t r = 0; r < static_cast<int32_t>(kNumRows); ++r) {
        if (!qxs_streams(r)) continue;
        const Row &f = row_at(static_cast<size_t>(r));
        g_names[r] = std::string("vexa.stream.") + f.name;
        const char *doc = doc_of(r, f);
        if (doc == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        PyType_Slot slots[] = {{Py_tp_doc, const_cast<char *>(doc)}, {0, nullptr}};
        PyType_Spec spec = {g_names[r].c_str(), sizeof(Stream), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
        Ref t(PyType_FromSpecWithBases(&spec, base.get()));
        if (!t) return false;
        g_types[r] = reinterpret_cast<PyTypeObject *>(Py_NewRef(t.get()));
        if (PyDict_SetItemString(types.get(), f.name, t.get()) < 0) return false;
        if (keeps_history(r)) {
            Ref name(PyUnicode_FromString(f.name));
            if (!name || PyList_Append(history.get(), name.get()) < 0) return false;
        }
    }
    static PyMethodDef restore_def = {
        "_stream_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&restore)),
        METH_FASTCALL, "_stream_restore(name, state): a pickled stream, vetted and restored."};
    Ref where(PyUnicode_FromString("vexa.stream"));
    if (!where) return false;
    Ref fn(PyCFunction_NewEx(&restore_def, nullptr, where.get()));
    if (!fn) return false;
    g_restore = Py_NewRef(fn.get());
    if (PyModule_AddObjectRef(module, "_stream_restore", fn.get()) < 0) return false;
    static PyMethodDef memory_def = {
        "_stream_memory",
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&stream_memory)), METH_FASTCALL,
        "_stream_memory(n=None, /): the largest state a stream may have, in bytes (the "
        "machine's memory); sets it first when n is given (0: no limit, None: the machine's)."};
    Ref memory(PyCFunction_NewEx(&memory_def, nullptr, where.get()));
    if (!memory || PyModule_AddObjectRef(module, "_stream_memory", memory.get()) < 0) return false;
    if (!add_market(module, where.get())) return false;
    Ref frozen(PyFrozenSet_New(history.get()));
    if (!frozen || PyModule_AddObjectRef(module, "_stream_history", frozen.get()) < 0) return false;
    return PyModule_AddObjectRef(module, "_stream_types", types.get()) == 0;
}

}  // namespace vexa::native::stream
