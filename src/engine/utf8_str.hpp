// Building a str from UTF-8 text that the engine produced itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace orrery {

// A new str holding the UTF-8 text `data[0..size)`, or NULL with an
// exception set. The text is expected to be valid UTF-8 (all text the engine
// writes is); anything else is handed to the interpreter's strict decoder.
// One pass finds the string's width and length, a second fills it.
PyObject* str_from_engine_utf8(const char* data, std::size_t size);

}  // namespace orrery
