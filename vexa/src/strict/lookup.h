// Lookups of `np` and of its attributes, as the binding sequence makes them at every
// call, with caches that stay correct when the namespaces change.
#ifndef VEXA_STRICT_LOOKUP_H
#define VEXA_STRICT_LOOKUP_H

#include <Python.h>

#include <cstdint>

#include "../pyref.h"
#include "errors.h"
#include "state.h"

namespace vexa::strict {

// Lookups of `np` and of its attributes are cached, each tagged with the version of the
// namespace it was found in: a namespace that changes in any way bumps its version, so
// rebinding or deleting `np` (or a numpy attribute) takes effect at the next call.
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
inline uint64_t namespace_version(PyObject *dict) {
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

inline Cache np_cache;

inline void remember(Cache &c, PyObject *value, PyObject *owner, uint64_t version) {
    Py_INCREF(value);
    Py_INCREF(owner);
    Py_XSETREF(c.value, value);
    Py_XSETREF(c.owner, owner);
    c.version = version;
}

inline PyObject *lookup_np() {
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
inline PyObject *np_attr(PyObject *name, Cache &cache) {
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

inline Cache zeros_cache, float64_cache, uint8_cache;

// len() of an argument, or -1 with an exception set.
inline Py_ssize_t length(PyObject *obj) { return PyObject_Size(obj); }

}  // namespace vexa::strict

#endif
