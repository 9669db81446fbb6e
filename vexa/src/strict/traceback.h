// Traceback entries that the module adds to a pending exception.
#ifndef VEXA_STRICT_TRACEBACK_H
#define VEXA_STRICT_TRACEBACK_H

#include <Python.h>
#include <frameobject.h>

#include <cstring>

#include "../pyref.h"
#include "state.h"

namespace vexa::strict {

// Adds a frame named `func` in the module's source file to the pending exception's
// traceback, so that errors of the C layer show where they came from.
// The code object of a traceback entry, made once per name and line and then kept:
// some interpreters keep a record of every code object made, so making one per error
// would grow without bound.
inline PyCodeObject *entry_code(const char *func, int line) {
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

inline void add_traceback(const char *func, int line) {
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

}  // namespace vexa::strict

#endif
