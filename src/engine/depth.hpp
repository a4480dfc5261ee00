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

// native_stack_floor() as one render uses it. Where finding the floor is
// costly (a main thread's first render) it is found only when the render
// has gone deep enough for the stack to matter; until then the limit is a
// provisional one, that far below the render's first frame.
class StackFloor {
public:
    StackFloor() noexcept;
    StackFloor(const StackFloor&) = delete;
    StackFloor& operator=(const StackFloor&) = delete;

    // Whether a frame at `frame` may open one more level.
    [[gnu::always_inline]] bool admits(std::uintptr_t frame) noexcept {
        return frame >= limit_ || settle(frame);
    }

private:
    // Below the limit: finds the floor if it is provisional and tests again.
    [[gnu::cold, gnu::noinline]] bool settle(std::uintptr_t frame) noexcept;

    std::uintptr_t limit_;
    bool provisional_ = false;
};

// The depth checks of one container, in the order they are made: the native
// stack, then the interpreter's recursion limit. A success is undone by
// leave_depth(). Inlined: they are met once per container, and the frame
// tested is then the renderer's own.
[[gnu::always_inline]] inline Status enter_depth(StackFloor& floor) {
    if (!floor.admits(platform::frame_address())) [[unlikely]]
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
