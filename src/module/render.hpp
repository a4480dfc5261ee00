// What the formatting and printing entries share: run the engine into a
// fresh buffer and return a str, or into the standard-output sink followed by
// one line feed.
#pragma once

#include <cstdint>

#include "boundary/result.hpp"

namespace orrery {

// The rendered text of `obj` as a new str.
Result<Ref> format_text(PyObject* obj, std::uint64_t indent);

// Renders `obj` to standard output followed by "\n"; returns None. Flushes
// sys.stdout first.
Result<Ref> print_text(PyObject* obj, std::uint64_t indent);

// Flushes sys.stdout, when there is one, so that what Python code printed
// before a printing call comes out before the call's text. Runs Python code.
// An ordinary error (an Exception) of the flush is dropped, as input() drops
// it, and the call goes on; anything else ends the call.
Status flush_python_stdout();

}  // namespace orrery
