// PyErr: a pending Python exception owned by native code.
//
// An error is either lazy (a rule that yields its class plus the raw parts of
// its argument; nothing Python-side exists yet) or normalized (class,
// instance, traceback). Errors the module raises on its own account stay lazy
// until the boundary raises them, so a failure costs nothing until then.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "boundary/ref.hpp"

namespace orrery {

// Yields the class of a lazy error as a borrowed reference.
using ClassRule = PyObject* (*)();

// The class of every exception made from an internal fault; created once per
// process on first need. NULL, with MemoryError set, when memory ran out
// before it could be made.
PyObject* panic_exception_class();

// Argument parts of a lazy error, turned into a Python object when raised.
struct CastArg {
    Ref from;         // type of the object that failed the check
    PyObject* to;     // target type (static for the module's lifetime)
};
struct IoArg {
    int code;          // errno, or 0 for an error with a fixed text
    const char* text;  // fixed description when code is 0
};
struct PanicArg {
    std::string message;  // becomes a one-element tuple
};
using LazyArg = std::variant<const char*, std::string, CastArg, IoArg, PanicArg>;

class PyErr {
public:
    PyErr() noexcept = default;
    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr() = default;

    // `cls` is a class that lives for the whole process (a built-in one).
    static PyErr lazy(PyObject* cls, LazyArg arg);
    static PyErr lazy(ClassRule rule, LazyArg arg);
    static PyErr new_type_error(std::string message) { return lazy(PyExc_TypeError, std::move(message)); }
    // "'{type}' object cannot be cast as '{target}'", built when raised.
    static PyErr cast_error(PyTypeObject* from, PyTypeObject* to);
    static PyErr panic(std::string message) { return lazy(panic_exception_class, PanicArg{std::move(message)}); }

    // Takes the interpreter's error after a C API call reported failure. A
    // PanicException of exactly that class is resumed as an internal fault.
    static PyErr fetch();

    // Hands the error to the interpreter's error indicator.
    void restore() &&;

    // The class of the exception (normalizing a lazy error first).
    PyObject* type();
    // The exception instance with its traceback attached (new reference).
    Ref instance();
    // The instance's __cause__ as an error of its own, or none.
    std::optional<PyErr> cause();
    // Sets (or with nullopt clears) the instance's __cause__.
    void set_cause(std::optional<PyErr> cause);

private:
    struct State;
    struct StateDeleter {
        void operator()(State* s) const noexcept;
    };
    using StatePtr = std::unique_ptr<State, StateDeleter>;
    explicit PyErr(StatePtr s) noexcept;
    static StatePtr new_state();
    State& normalized();
    StatePtr state_;
};

// The fetch rule after a failed call, for callers that only need to drop the
// error: a PanicException is still resumed.
inline void discard_fetched() { (void)PyErr::fetch(); }

}  // namespace orrery
