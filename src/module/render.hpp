// What the formatting and printing entries share: run the engine into a
// fresh buffer and return a str, or into the standard-output sink followed by
// one line feed.
#pragma once

#include <cstdint>

#include "boundary/result.hpp"

namespace orrery {

// The rendered text of `obj` as a new str.
Result<Ref> format_text(PyObject* obj, std::uint64_t indent);

// Renders `obj` to standard output followed by "\n"; returns None.
Result<Ref> print_text(PyObject* obj, std::uint64_t indent);

}  // namespace orrery
