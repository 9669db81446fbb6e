// vexa._vexa: the strict Python face of the quorix kernels; this file creates and runs
// the module. Every Python function is one row of the function table
// (quorix_functions.def), and one generic binder walks every row (binder.h).
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

#include "binder.h"
#include "errors.h"
#include "state.h"
#include "traceback.h"

namespace vexa::strict {
namespace {

bool make_names() {
    Names &n = g.names;
    if (g.names_ready) return true;
    n.np = PyUnicode_InternFromString("np");
    n.zeros = PyUnicode_InternFromString("zeros");
    n.dtype = PyUnicode_InternFromString("dtype");
    n.float64 = PyUnicode_InternFromString("float64");
    n.uint8 = PyUnicode_InternFromString("uint8");
    n.astype = PyUnicode_InternFromString("astype");
    n.test_attr = PyUnicode_InternFromString("__test__");
    n.module_name = PyUnicode_InternFromString(kModuleName);
    n.empty_list = PyList_New(0);
    if (!n.np || !n.zeros || !n.dtype || !n.float64 || !n.uint8 || !n.astype || !n.test_attr ||
        !n.module_name || !n.empty_list)
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
    start_watching();

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
}  // namespace vexa::strict

PyMODINIT_FUNC PyInit__vexa(void) { return PyModuleDef_Init(&vexa::strict::module_def); }
