// Interpreter shutdown as the module's native frames see it.
//
// While the interpreter shuts down, a daemon thread that tries to take the
// interpreter lock back is ended with pthread_exit, which unwinds its stack
// with a forced-unwind exception. Destructors of the module's frames then
// run without the interpreter lock, so they must leave Python objects alone:
// the references they hold are leaked, which is harmless since the process
// is exiting.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace orrery {

namespace detail {
// Set (on the shutting-down thread, holding the interpreter lock) before the
// interpreter starts ending daemon threads; never cleared. Hidden, so the
// check is one compare with a fixed address.
[[gnu::visibility("hidden")]] extern std::atomic<bool> shutdown_started;
bool lock_lost_at_exit() noexcept;
}  // namespace detail

// True when the calling thread must not touch Python objects: the
// interpreter is shutting down and this thread is not the one doing it, so
// it can only be running destructors while being ended. One relaxed load
// while the interpreter runs normally. A thread being ended has seen the
// interpreter's own finalizing mark, stored after this flag, so it sees the
// flag too.
inline bool python_unreachable() noexcept {
    if (!detail::shutdown_started.load(std::memory_order_relaxed)) [[likely]]
        return false;
    return detail::lock_lost_at_exit();
}

// The exit hook that marks the start of shutdown, for module initialisation
// to register with atexit: exit hooks run on the shutting-down thread before
// the interpreter ends any daemon thread.
extern PyMethodDef shutdown_hook_def;

}  // namespace orrery
