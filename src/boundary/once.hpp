// One-time initialisation that never holds the interpreter lock while it
// waits, so a thread that initialises can always finish.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <mutex>

namespace orrery {

// Runs `init` at most once per `flag`. The caller holds the interpreter lock;
// it is released while waiting for the guard and taken back before `init`
// runs. The caller holds the lock again when this returns (or unwinds).
template <class F>
void once_detached(std::once_flag& flag, F&& init) {
    PyThreadState* ts = PyEval_SaveThread();
    bool attached = false;
    try {
        std::call_once(flag, [&] {
            PyEval_RestoreThread(ts);
            attached = true;
            init();
        });
    } catch (...) {
        if (!attached) PyEval_RestoreThread(ts);
        throw;
    }
    if (!attached) PyEval_RestoreThread(ts);
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
