#include "boundary/shutdown.hpp"

#include "boundary/cpython_compat.hpp"

namespace orrery {

namespace {

// Marks the thread that ran the exit hook: the one that shuts down and keeps
// the interpreter lock meanwhile.
thread_local bool shutting_down_here = false;

PyObject* mark_shutdown(PyObject*, PyObject*) noexcept {
    shutting_down_here = true;
    detail::shutdown_started.store(true, std::memory_order_seq_cst);
    Py_RETURN_NONE;
}

}  // namespace

namespace detail {

std::atomic<bool> shutdown_started{false};

// Between the exit hook and the point where daemon threads are ended, they
// still run normally with the lock; once the interpreter is finalizing, only
// the shutting-down thread ever holds it again.
bool lock_lost_at_exit() noexcept { return !shutting_down_here && compat::interpreter_finalizing(); }

}  // namespace detail

PyMethodDef shutdown_hook_def = {"_mark_shutdown", mark_shutdown, METH_NOARGS, nullptr};

}  // namespace orrery
