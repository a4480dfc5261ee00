// Building a str from UTF-8 text that the engine produced itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

#include "boundary/ref.hpp"

namespace orrery {

// A str whose characters go into the result unchanged, before byte `offset`
// of the UTF-8 text.
struct StrPiece {
    std::size_t offset;
    Ref str;
};

// A new str holding the UTF-8 text `data[0..size)` with the pieces inserted,
// or NULL with an exception set. The text must be well-formed UTF-8 (all
// text the engine writes is). One pass finds the result's width and length,
// a second fills it; pieces are copied without a round trip through UTF-8.
PyObject* str_from_engine_text(const char* data, std::size_t size, std::span<const StrPiece> pieces);

}  // namespace orrery
