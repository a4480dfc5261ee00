#include "boundary/io_error.hpp"

#include <cerrno>

namespace orrery {

PyObject* io_error_class(int code) {
    switch (code) {
        case EPERM:
        case EACCES: return PyExc_PermissionError;
        case ENOENT: return PyExc_FileNotFoundError;
        case EINTR: return PyExc_InterruptedError;
        case EAGAIN: return PyExc_BlockingIOError;
        case ENOMEM: return PyExc_MemoryError;
        case EEXIST: return PyExc_FileExistsError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EISDIR: return PyExc_IsADirectoryError;
        case EPIPE: return PyExc_BrokenPipeError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        default: return PyExc_OSError;
    }
}


PyErr io_error(IoStatus status) {
    if (status.code == IoStatus::exception_code) return PyErr::fetch();
    return PyErr::lazy(io_error_class(status.code), IoArg{status.code, status.text});
}

}  // namespace orrery
