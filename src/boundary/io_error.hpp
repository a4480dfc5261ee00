// Failures of sink writes and their translation into Python exceptions.
#pragma once

#include "boundary/pyerr.hpp"

namespace orrery {

// Outcome of a sink write: success, an errno, or a fixed-text error (a write
// that the operating system accepted with zero bytes written).
struct [[nodiscard]] IoStatus {
    int code = 0;
    const char* text = nullptr;

    static IoStatus from_errno(int e) noexcept { return {e, nullptr}; }
    static IoStatus write_zero(const char* what) noexcept { return {0, what}; }
    explicit operator bool() const noexcept { return code == 0 && text == nullptr; }
};

// The exception class for an errno: the fixed table below, OSError otherwise.
PyObject* io_error_class(int code);

// A lazy error of that class whose single argument is
// "{C library description} (os error {code})", or the fixed text.
PyErr io_error(IoStatus status);

}  // namespace orrery
