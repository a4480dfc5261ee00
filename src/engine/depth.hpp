// Depth guard of the recursive renderer: the interpreter's recursion limit
// and, since that limit can be raised far beyond what the native stack
// holds, an explicit check of the native stack as well.
#pragma once

#include <cstdint>

#include "boundary/result.hpp"
#include "boundary/shutdown.hpp"
#include "engine/platform.hpp"

namespace orrery {

// Lowest stack address the renderer may reach on the calling thread: the
// lower half of the stack is kept for the interpreter code that rendering
// calls into (repr(), str(), attribute reads) and for raising the error.
std::uintptr_t native_stack_floor() noexcept;

// The depth checks of one container, in the order they are made: the native
// stack, then the interpreter's recursion limit. A success is undone by
// leave_depth(). Inlined: they are met once per container, and the frame
// tested is then the renderer's own.
[[gnu::always_inline]] inline Status enter_depth(std::uintptr_t floor) {
    if (platform::frame_address() < floor) [[unlikely]]
        return PyErr::lazy(PyExc_RecursionError,
                           "maximum recursion depth exceeded while pretty-printing (native stack limit)");
    if (Py_EnterRecursiveCall(" while pretty-printing") != 0) [[unlikely]]
        return PyErr::fetch();
    return ok();
}

[[gnu::always_inline]] inline void leave_depth() noexcept {
    if (!python_unreachable()) Py_LeaveRecursiveCall();
}

}  // namespace orrery
