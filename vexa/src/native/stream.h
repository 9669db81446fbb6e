// The stream types of vexa._native (stream.cpp), published by vexa.stream.
#ifndef VEXA_NATIVE_STREAM_H
#define VEXA_NATIVE_STREAM_H

#include "numpy.h"

namespace vexa::native::stream {

// Adds Stream, _stream_types (name -> type), _stream_history (the names of the streams
// that keep max_period bars) and _stream_restore to the module.
bool add_streams(PyObject *module);

}  // namespace vexa::native::stream

#endif
