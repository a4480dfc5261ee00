// Process-wide objects made once, and one-time work that never holds the
// interpreter lock while it waits.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <exception>
#include <mutex>

#include "boundary/fault.hpp"
#include "boundary/result.hpp"

namespace orrery {

// Returns the object kept in `slot`, making it with `make` (a Result<Ref>)
// when the slot is empty. Nothing waits: a thread that needs the object while
// another, or the same one further up its stack (a finalizer run by the
// collector in the middle of `make`), is still making it makes its own. The
// first one stored is the only one anybody ever sees; a later copy is
// dropped unseen. The slot keeps its reference for the life of the process.
template <class Make>
Result<PyObject*> publish_once(std::atomic<PyObject*>& slot, Make&& make) {
    if (PyObject* kept = slot.load(std::memory_order_acquire)) return kept;
    Result<Ref> made = make();
    if (!made) return std::move(made).error();
    Ref candidate = std::move(made).value();
    PyObject* kept = nullptr;
    if (slot.compare_exchange_strong(kept, candidate.get(), std::memory_order_acq_rel, std::memory_order_acquire))
        return candidate.release();
    return kept;
}

// Runs `init` at most once per `flag`. The caller holds the interpreter lock;
// it is released while waiting for the guard and taken back before `init`
// runs. The caller holds the lock again when this returns (or unwinds),
// except when the thread is being ended at interpreter exit: that forced
// unwind matches neither handler below (only the module's own exception
// types are caught), so it passes without taking the lock again.
template <class F>
void once_detached(std::once_flag& flag, F&& init) {
    PyThreadState* ts = PyEval_SaveThread();
    bool attached = false;
    auto reattach = [&] {
        if (!attached) PyEval_RestoreThread(ts);
    };
    try {
        std::call_once(flag, [&] {
            PyEval_RestoreThread(ts);
            attached = true;
            init();
        });
    } catch (const Fault&) {
        reattach();
        throw;
    } catch (const std::exception&) {
        reattach();
        throw;
    }
    reattach();
}

// Takes `m`, waiting for it without holding the interpreter lock, and
// returns holding both.
inline std::unique_lock<std::mutex> lock_detached(std::mutex& m) {
    PyThreadState* ts = PyEval_SaveThread();
    std::unique_lock<std::mutex> lock(m);
    PyEval_RestoreThread(ts);
    return lock;
}

// Runs `wait` (a blocking call that neither throws nor touches Python
// objects) with the interpreter lock released, and returns its result with
// the lock held again.
template <class F>
auto call_detached(F&& wait) {
    PyThreadState* ts = PyEval_SaveThread();
    auto result = wait();
    PyEval_RestoreThread(ts);
    return result;
}

}  // namespace orrery
