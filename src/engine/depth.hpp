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

class DepthGuard {
public:
    DepthGuard() noexcept = default;
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    ~DepthGuard() {
        if (entered_ && !python_unreachable()) Py_LeaveRecursiveCall();
    }

    // Inlined: it is met once per container, and the frame it tests is then
    // the renderer's own.
    [[gnu::always_inline]] Status enter(std::uintptr_t floor) {
        if (platform::frame_address() < floor) [[unlikely]]
            return PyErr::lazy(PyExc_RecursionError,
                               "maximum recursion depth exceeded while pretty-printing (native stack limit)");
        if (Py_EnterRecursiveCall(" while pretty-printing") != 0) [[unlikely]]
            return PyErr::fetch();
        entered_ = true;
        return ok();
    }

private:
    bool entered_ = false;
};

}  // namespace orrery
