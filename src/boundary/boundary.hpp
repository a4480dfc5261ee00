// The call boundary: every entry the interpreter calls runs its body inside
// one of these wrappers, which raise a failure as the current exception and
// turn an internal fault into PanicException. No fault unwinds past them.
//
// One unwinding is not the module's to stop: the forced unwind with which the
// interpreter ends a daemon thread at exit (pthread_exit). Each wrapper lets
// it pass, touching no Python object on the way, so the wrappers are not
// noexcept. They catch only the types the module throws (Fault and the
// standard exceptions) and never `catch (...)`: a forced unwind then matches
// no handler and only runs cleanups, whichever C++ runtime the module is
// linked with (not every runtime can rethrow a forced unwind it caught).
#pragma once

#include <exception>
#include <new>

#include "boundary/fault.hpp"
#include "boundary/result.hpp"

namespace orrery {

// Text of a PanicException made from a fault that carries no message.
inline constexpr const char fault_fallback_text[] = "an unexpected fault occurred in orrery's native code";

namespace detail {

// Raises `err`. Running out of memory while its exception is made raises
// MemoryError instead; any other fault here ends the process.
inline void raise_or_abort(PyErr&& err) {
    try {
        std::move(err).restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const Fault& f) {
        abort_uncaught(f.message());
    } catch (const std::exception&) {
        abort_uncaught(nullptr);
    }
}

inline void raise_fault(const Fault& f) {
    PyErr err;
    try {
        err = PyErr::panic(f.has_message() ? f.message() : fault_fallback_text);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return;
    }
    raise_or_abort(std::move(err));
}

// Runs `body`; returns true when it succeeded. On failure the exception is
// set. `on_success` receives the body's value.
template <class Body, class OnSuccess>
inline bool run(Body&& body, OnSuccess&& on_success) {
    try {
        auto r = body();
        if (r) {
            on_success(std::move(r));
            return true;
        }
        raise_or_abort(std::move(r).error());
    } catch (const Fault& f) {
        raise_fault(f);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception&) {
        raise_fault(Fault::empty());
    }
    return false;
}

}  // namespace detail

// Functions, methods, constructor, getter, module initialisation: the body
// returns Result<Ref>; the wrapper returns a new reference or NULL.
template <class Body>
inline PyObject* boundary_object(Body&& body) {
    PyObject* out = nullptr;
    detail::run(body, [&](auto&& r) { out = std::move(r).value().release(); });
    return out;
}

// Property setter: the body returns a Status; the wrapper returns 0 or -1.
template <class Body>
inline int boundary_setter(Body&& body) {
    return detail::run(body, [](auto&&) {}) ? 0 : -1;
}

// Deallocation: a fault is reported through the unraisable hook and the
// deallocation returns normally.
template <class Body>
inline void boundary_dealloc(Body&& body) {
    bool done = detail::run([&]() -> Status { body(); return ok(); }, [](auto&&) {});
    if (!done) PyErr_WriteUnraisable(nullptr);
}

}  // namespace orrery
