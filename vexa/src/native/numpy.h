// numpy's C API for every file of vexa._native. module.cpp imports it (VEXA_NATIVE_IMPORTS
// defined there); the other files share its function table.
#ifndef VEXA_NATIVE_NUMPY_H
#define VEXA_NATIVE_NUMPY_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL vexa_native_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef VEXA_NATIVE_IMPORTS
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#endif
