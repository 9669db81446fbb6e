// vexa._native: the everyday face of the quorix kernels. One function object per row of
// the function table (rows.h), each a built-in function with the vectorcall protocol whose
// docstring and signature come from vexa._docs; the calls themselves are in call.cpp, the
// streams in stream_*.cpp.
#define VEXA_NATIVE_IMPORTS
#include "numpy.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "quorix_panel.h"
#include "quorix_stream.h"

#include "../pyref.h"
#include "call.h"
#include "engine.h"
#include "errors.h"
#include "pool.h"
#include "rows.h"
#include "streams.h"

namespace vexa::native {
namespace {

using Fast = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

template <size_t R>
PyObject *entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call(R, args, nargs, kwnames);
}

// entry<0>, entry<1>, ...: one C function per row.
template <class Rows>
struct Entries;
template <size_t... R>
struct Entries<std::index_sequence<R...>> {
    static constexpr Fast list[] = {&entry<R>...};
};
using AllEntries = Entries<std::make_index_sequence<kNumRows>>;

// The method definitions outlive every function object made from them: the module is
// never unloaded, so they are never freed.
PyMethodDef g_defs[kNumRows];

// A count of threads: an int, never a bool.
bool count_arg(PyObject *obj) {
    if (PyIndex_Check(obj) && !PyBool_Check(obj) && !PyArray_IsScalar(obj, Bool)) return true;
    return err::count_type(obj);
}

PyObject *num_threads(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs > 1) {
        err::at_most_one("_num_threads");
        return nullptr;
    }
    if (nargs == 1 && args[0] != Py_None) {
        if (!count_arg(args[0])) return nullptr;
        const long v = PyLong_AsLong(args[0]);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        if (v < 0) {
            err::count_negative("_num_threads", "default");
            return nullptr;
        }
        pool::set_threads(static_cast<int>(v > 1024 ? 1024 : v));
    }
    return PyLong_FromLong(pool::threads());
}

PyObject *thread_limit(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs > 1) {
        err::at_most_one("_thread_limit");
        return nullptr;
    }
    if (nargs == 1 && args[0] != Py_None) {
        if (!count_arg(args[0])) return nullptr;
        const long v = PyLong_AsLong(args[0]);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        if (v < 0) {
            err::count_negative("_thread_limit", "none");
            return nullptr;
        }
        pool::set_thread_limit(static_cast<int>(v > 1024 ? 1024 : v));
    }
    return PyLong_FromLong(pool::thread_limit());
}

// _forms(): the forms each row has beside its 1-D kernel, as the native registrations
// hold them: {name: {"stream": bool, "lane": bool}} (a stream: quorix's streams; lanes:
// the panels' lane kernels).
PyObject *forms(PyObject *, PyObject *) {
    Ref all(PyDict_New());
    if (!all) return nullptr;
    for (size_t i = 0; i < kNumRows; ++i) {
        const auto row = static_cast<int32_t>(i);
        Ref one(Py_BuildValue("{sOsO}", "stream", qxs_streams(row) ? Py_True : Py_False, "lane",
                              qxp_has_lanes(row) ? Py_True : Py_False));
        if (!one || PyDict_SetItemString(all.get(), row_at(i).name, one.get()) < 0) return nullptr;
    }
    return Py_NewRef(all.get());
}

PyMethodDef g_module_methods[] = {
    {"_num_threads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&num_threads)),
     METH_FASTCALL,
     "_num_threads(n=None, /)\n--\n\nThe threads that run a panel; sets them first when n is "
     "given (0: the default, $VEXA_NUM_THREADS or every processor this process may use)."},
    {"_thread_limit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&thread_limit)),
     METH_FASTCALL,
     "_thread_limit(n=None, /)\n--\n\nThe most threads a panel call made from the calling "
     "thread may use, 0 for no limit of its own; sets it first when n is given. Threads that "
     "share work among themselves set 1 (see vexa.thread_limit)."},
    {"_forms", forms, METH_NOARGS,
     "_forms()\n--\n\nThe forms each function has beside its 1-D kernel, as this module "
     "was built: {name: {'stream': bool, 'lane': bool}}."},
    {"_engine", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&engine::run)),
     METH_FASTCALL,
     "_engine(code, inputs, consts, outs, nregs, block=0, /)\n--\n\nRuns a formula's "
     "program over blocks of the panels' columns (vexa.formula.engine); 0, or a kernel's "
     "refusal."},
    {"_engine_ops", engine::ops, METH_NOARGS,
     "_engine_ops()\n--\n\nThe names of the engine's opcodes, in the order of their numbers."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT,
                        "vexa._native",
                        "The functions of the vexa package: any array-like in, the caller's "
                        "kind out, panels on every core.",
                        -1,
                        g_module_methods,
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr};

// A copy of the text that lives as long as the process.
const char *keep(const char *text) {
    const size_t len = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(std::malloc(len));
    if (copy != nullptr) std::memcpy(copy, text, len);
    return copy;
}

bool add_functions(PyObject *module) {
    // Docstrings with their signature line, by name, from vexa._docs.
    Ref docs_module(PyImport_ImportModule("vexa._docs"));
    if (!docs_module) return false;
    Ref docs(PyObject_CallMethod(docs_module.get(), "native_docs", nullptr));
    if (!docs) return false;
    Ref module_name(PyUnicode_FromString("vexa"));
    if (!module_name) return false;
    for (size_t i = 0; i < kNumRows; ++i) {
        const Row &r = row_at(i);
        PyObject *doc = PyDict_Check(docs.get()) ? PyDict_GetItemString(docs.get(), r.name)
                                                 : nullptr;  // borrowed
        const char *text = doc != nullptr ? PyUnicode_AsUTF8(doc) : nullptr;
        if (text == nullptr) {
            if (!PyErr_Occurred()) err::no_docstring(r.name);
            return false;
        }
        g_defs[i].ml_name = r.name;
        g_defs[i].ml_meth =
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(AllEntries::list[i]));
        g_defs[i].ml_flags = METH_FASTCALL | METH_KEYWORDS;
        g_defs[i].ml_doc = keep(text);
        if (g_defs[i].ml_doc == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        // Bound to the module, like any module-level built-in, so that pickle finds the
        // function by its name in the package (__module__ "vexa").
        Ref fn(PyCFunction_NewEx(&g_defs[i], module, module_name.get()));
        if (!fn || PyModule_AddObjectRef(module, r.name, fn.get()) < 0) return false;
    }
    return true;
}

}  // namespace
}  // namespace vexa::native

PyMODINIT_FUNC PyInit__native(void) {
    using namespace vexa::native;
    import_array();
    vexa::Ref module(PyModule_Create(&g_module));
    if (!module || !add_functions(module.get())) return nullptr;
    if (!vexa::native::stream::add_streams(module.get())) return nullptr;
    return Py_NewRef(module.get());
}
