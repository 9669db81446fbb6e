// The process-wide state of vexa._vexa: the one module object, its namespace, the
// builtins and the interned names. Written only while the module is created and run.
#ifndef VEXA_STRICT_STATE_H
#define VEXA_STRICT_STATE_H

#include <Python.h>

#include <cstdint>

namespace vexa::strict {

constexpr const char *kModuleName = "vexa._vexa";
// The source file that every traceback entry of the module names.
constexpr const char *kSourceFile = "vexa/vexa";

struct Names {
    PyObject *np, *zeros, *dtype, *float64, *uint8, *astype, *test_attr;
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

inline ModuleState g;

}  // namespace vexa::strict

#endif
