// Traceback entries that the module adds to a pending exception.
#ifndef VEXA_STRICT_TRACEBACK_H
#define VEXA_STRICT_TRACEBACK_H

#include <Python.h>
#include <frameobject.h>

#include <cstring>

#include "../pyref.h"
#include "state.h"

namespace vexa::strict {

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

// The pending exception, taken out while a traceback entry is built and then put back.
// From 3.12 the exception is one object, and the three-part fetch is deprecated.
struct PendingError {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc = PyErr_GetRaisedException();
    void restore() { PyErr_SetRaisedException(exc); }
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PendingError() { PyErr_Fetch(&type, &value, &tb); }
    void restore() { PyErr_Restore(type, value, tb); }
#endif
};

// Adds a frame named `func` in the module's source file to the pending exception's
// traceback, so that errors of the C layer show where they came from. The entry's line
// is the first line of its code object, which a frame that never ran reports.
inline void add_traceback(const char *func, int line) {
    PendingError pending;
    PyCodeObject *code = entry_code(func, line);
    Ref globals(g.dict != nullptr ? Py_NewRef(g.dict) : PyDict_New());
    PyFrameObject *frame = nullptr;
    if (code != nullptr && globals)
        frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
    // An error from building the entry gives way to the original exception.
    PyErr_Clear();
    pending.restore();
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

}  // namespace vexa::strict

#endif
