// The module's entries as the interpreter sees them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "boundary/result.hpp"

namespace orrery {

// Method records of the four module functions, in registration order.
extern PyMethodDef format_escaped_bytes_def;
extern PyMethodDef pretty_format_def;
extern PyMethodDef pretty_print_def;
extern PyMethodDef print_escaped_bytes_def;
#ifdef ORRERY_TEST_HOOKS
// Test builds only, and kept out of __all__.
extern PyMethodDef set_yield_hook_def;
#endif

// The Pretty type object, created once per process on first need (borrowed).
Result<PyObject*> pretty_type();

}  // namespace orrery
