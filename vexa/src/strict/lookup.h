// Lookups of `np` and of its attributes, as the binding sequence makes them at every
// call, with caches that stay correct when the namespaces change.
#ifndef VEXA_STRICT_LOOKUP_H
#define VEXA_STRICT_LOOKUP_H

#include <Python.h>

#include <cstdint>

#include "../pyref.h"
#include "errors.h"
#include "state.h"

// Dict watchers (public from CPython 3.12) tell the module when a namespace that a cached
// lookup came from is about to change. Older interpreters look the names up in the
// namespaces at every call.
#if PY_VERSION_HEX >= 0x030C0000
#define VEXA_STRICT_CACHED_LOOKUPS 1
#else
#define VEXA_STRICT_CACHED_LOOKUPS 0
#endif

namespace vexa::strict {

// A looked-up object, valid while the object whose namespace held it is still `owner`
// and no watched namespace has changed since (`stamp`).
struct Cache {
    PyObject *value = nullptr;  // strong reference
    PyObject *owner = nullptr;  // strong reference: the object whose namespace held it
    uint64_t stamp = 0;
};

inline Cache np_cache, zeros_cache, float64_cache, uint8_cache;

#if VEXA_STRICT_CACHED_LOOKUPS

// Bumped before any change of a watched namespace (a key added, rebound or deleted, the
// dict cleared or freed), so every cache filled before the change misses afterwards.
inline uint64_t namespace_stamp = 1;
inline int watcher = -1;  // the dict watcher's id; -1: none, lookups are not cached

// Runs inside the dict operation: it only marks the caches stale and never fails.
inline int namespace_changed(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++namespace_stamp;
    return 0;
}

// Registers the watcher once per process; without one (the interpreter's ids are all
// taken) the module works the same, uncached.
inline void start_watching() {
    if (watcher >= 0) return;
    watcher = PyDict_AddWatcher(namespace_changed);
    if (watcher < 0) PyErr_Clear();
}

inline bool hit(const Cache &c, PyObject *owner) {
    return c.owner == owner && c.stamp == namespace_stamp && c.value != nullptr;
}

// Keeps value, found in `dict` (the namespace of owner), until that namespace changes.
inline void remember(Cache &c, PyObject *value, PyObject *owner, PyObject *dict) {
    if (watcher < 0) return;
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return;
    }
    PyObject *old_value = c.value, *old_owner = c.owner;
    c.value = Py_NewRef(value);
    c.owner = Py_NewRef(owner);
    c.stamp = namespace_stamp;
    // Released last: a destructor run here may change a namespace, which only makes the
    // entry stale again.
    Py_XDECREF(old_value);
    Py_XDECREF(old_owner);
}

#else

inline void start_watching() {}
inline bool hit(const Cache &, PyObject *) { return false; }
inline void remember(Cache &, PyObject *, PyObject *, PyObject *) {}

#endif

inline PyObject *lookup_np() {
    if (hit(np_cache, g.module)) return Py_NewRef(np_cache.value);
    PyObject *np = g.dict != nullptr ? PyDict_GetItemWithError(g.dict, g.names.np) : nullptr;
    if (np != nullptr) {
        remember(np_cache, np, g.module, g.dict);
        return Py_NewRef(np);
    }
    // The builtins are the fallback; a name found there is not cached.
    if (!PyErr_Occurred() && g.builtins != nullptr)
        np = PyDict_GetItemWithError(PyModule_GetDict(g.builtins), g.names.np);
    if (np == nullptr) return PyErr_Occurred() ? nullptr : err::not_defined(g.names.np);
    return Py_NewRef(np);
}

// np.<name>. Attribute lookup on a plain module finds the entry of its namespace when
// there is one (the module type itself defines no such names), so that entry is taken
// directly and cached against the namespace; anything else goes through getattr.
inline PyObject *np_attr(PyObject *name, Cache &cache) {
    Ref np(lookup_np());
    if (!np) return nullptr;
    if (!PyModule_CheckExact(np.get())) return PyObject_GetAttr(np.get(), name);
    if (hit(cache, np.get())) return Py_NewRef(cache.value);
    PyObject *dict = PyModule_GetDict(np.get());
    PyObject *value = PyDict_GetItemWithError(dict, name);
    if (value != nullptr) {
        remember(cache, value, np.get(), dict);
        return Py_NewRef(value);
    }
    if (PyErr_Occurred()) return nullptr;
    return PyObject_GetAttr(np.get(), name);  // a module __getattr__, or AttributeError
}

// len() of an argument, or -1 with an exception set.
inline Py_ssize_t length(PyObject *obj) { return PyObject_Size(obj); }

}  // namespace vexa::strict

#endif
