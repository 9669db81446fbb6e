// Buffer views of the strict arguments: one dimension, C-contiguous, writable, the
// element type checked with the module's own texts.
#ifndef VEXA_STRICT_BUFFER_H
#define VEXA_STRICT_BUFFER_H

#include <Python.h>

#include <cstddef>

#include "../pyref.h"
#include "errors.h"

namespace vexa::strict {

struct Elem {
    const char *name;
    char letter;
    size_t size;
};
constexpr Elem kDouble{"double", 'd', 8};
constexpr Elem kByte{"uint8_t", 'B', 1};

// The name by which a mismatch message describes a format letter; quote tells whether
// it is a C type name (quoted) or a description (bare). nullptr: not a known letter.
inline const char *describe(const char *fmt, bool *quote) {
    *quote = true;
    switch (fmt[0]) {
    case 'f': return "float";
    case 'd': return "double";
    case 'g': return "long double";
    case 'l': return "long";
    case 'q': return "long long";
    case 'i': return "int";
    case 'h': return "short";
    case 'b': return "signed char";
    case '?': return "bool";
    case 'c': return "char";
    case 'B': return "unsigned char";
    case 'H': return "unsigned short";
    case 'I': return "unsigned int";
    case 'L': return "unsigned long";
    case 'Q': return "unsigned long long";
    case 'Z':
        switch (fmt[1]) {
        case 'f': return "complex float";
        case 'd': return "complex double";
        case 'g': return "complex long double";
        default: return nullptr;
        }
    default: break;
    }
    *quote = false;
    switch (fmt[0]) {
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 'T': return "a struct";
    case 's':
    case 'p': return "a string";
    default: return nullptr;
    }
}

// Acquires `obj` as a one-dimensional, C-contiguous, writable buffer of `elem`.
// None gives an empty view. Returns false with an exception set on failure.
inline bool acquire(PyObject *obj, const Elem &elem, View &v) {
    if (obj == Py_None) return true;
    if (PyObject_GetBuffer(obj, &v.buf, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0)
        return false;
    v.held = true;
    const Py_buffer &b = v.buf;
    if (b.ndim != 1) return err::wrong_ndim(b.ndim);

    // A missing or empty format means unsigned bytes, as the buffer protocol defines.
    const char *fmt = (b.format && b.format[0]) ? b.format : "B";
    if (*fmt == '>' || *fmt == '!') return err::big_endian();
    if (*fmt == '@' || *fmt == '=' || *fmt == '<' || *fmt == '^') ++fmt;
    while (*fmt >= '0' && *fmt <= '9') ++fmt;  // a repeat count, as in "16s"
    bool quote;
    const char *got = describe(fmt, &quote);
    if (got == nullptr) return err::unexpected_format(fmt[0] == 'Z' && fmt[1] ? fmt[1] : fmt[0]);
    if (fmt[0] != elem.letter) return err::dtype_mismatch(elem.name, got, quote);
    if (fmt[1] != '\0') return err::unexpected_format(fmt[1]);
    if (static_cast<size_t>(b.itemsize) != elem.size)
        return err::item_size(b.itemsize, elem.name, elem.size);
    if (b.suboffsets != nullptr && b.suboffsets[0] >= 0) return err::indirect();
    v.count = b.shape ? b.shape[0] : b.len / b.itemsize;
    if (v.count >= 2 && b.strides != nullptr && b.strides[0] != b.itemsize)
        return err::not_contiguous();
    return true;
}

}  // namespace vexa::strict

#endif
