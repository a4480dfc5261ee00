#include "boundary/fault.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

namespace orrery {

void write_stderr(const char* data, std::size_t len) noexcept {
    while (len > 0) {
        ssize_t n = ::write(2, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (n == 0) return;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

namespace {
void write_str(const char* s) noexcept { write_stderr(s, std::strlen(s)); }
}  // namespace

void fault(const char* message, std::source_location where) {
    std::string line = "orrery: internal fault: ";
    line += message;
    line += "\n  at ";
    line += where.file_name();
    line += ':';
    line += std::to_string(where.line());
    line += " in ";
    line += where.function_name();
    line += '\n';
    write_stderr(line.data(), line.size());
    throw Fault::with_static(message);
}

void api_call_failed(std::source_location where) {
    // Running out of memory is no fault of the native code: the boundary
    // raises MemoryError for it.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    PyErr_Print();
    fault("Python API call failed", where);
}

void abort_uncaught(const char* message) noexcept {
    write_str("orrery: uncaught panic at ffi boundary: ");
    write_str(message != nullptr ? message : "fault without a message");
    write_str("\n");
    std::abort();
}

}  // namespace orrery
