// Failures of sink writes and their translation into Python exceptions.
#pragma once

#include "boundary/pyerr.hpp"

namespace orrery {

// Outcome of a sink write: success, an errno, a fixed-text error (a write
// that the operating system accepted with zero bytes written), or an
// exception already set in the interpreter (raised by a signal handler that
// ran while the write was interrupted).
// Two words, so it is returned in registers.
struct [[nodiscard]] IoStatus {
    int code = 0;  // errno; exception_code for an exception already set
    const char* text = nullptr;

    static constexpr int exception_code = -1;
    static IoStatus from_errno(int e) noexcept { return {e, nullptr}; }
    static IoStatus write_zero(const char* what) noexcept { return {0, what}; }
    static IoStatus exception_set() noexcept { return {exception_code, nullptr}; }
    explicit operator bool() const noexcept { return code == 0 && text == nullptr; }
};

// The exception class for an errno: the fixed table below, OSError otherwise.
PyObject* io_error_class(int code);

// A lazy error of that class whose single argument is
// "{C library description} (os error {code})", or the fixed text; for an
// exception already set, that exception (taken from the interpreter).
PyErr io_error(IoStatus status);

}  // namespace orrery
