#include "module/render.hpp"

#include <atomic>

#include "boundary/fault.hpp"
#include "boundary/interned.hpp"
#include "boundary/once.hpp"
#include "engine/pretty.hpp"
#include "module/stdout_sink.hpp"

namespace orrery {

Result<Ref> format_text(PyObject* obj, std::uint64_t indent) {
    MemorySink buffer;
    TRY(pretty::print(obj, indent, 0, buffer));
    return Ref::steal(must(buffer.to_str()));
}

namespace {

InternedName stdout_name{"stdout"};
InternedName flush_name{"flush"};

// The sys module's namespace, where sys.stdout is kept: one dict for the
// life of the interpreter. Reading it there costs a dict lookup, where
// PySys_GetObject makes a str of the name each time.
Result<PyObject*> sys_namespace() {
    static std::atomic<PyObject*> cell{nullptr};
    return publish_once(cell, []() -> Result<Ref> {
        Ref sys = Ref::steal(PyImport_ImportModule("sys"));
        if (!sys) return PyErr::fetch();
        return Ref::borrow(PyModule_GetDict(sys.get()));
    });
}

}  // namespace

Status flush_python_stdout() {
    // A stream whose flush prints through this module is not flushed again
    // by that print.
    static thread_local bool flushing = false;
    if (flushing) return ok();
    TRY_SET(PyObject* ns, sys_namespace());
    PyObject* out = PyDict_GetItemWithError(ns, stdout_name.get());
    if (out == nullptr || out == Py_None) {
        PyErr_Clear();  // a failed lookup is an ordinary error of the flush
        return ok();
    }
    Ref stream = Ref::borrow(out);
    struct Flushing {
        Flushing() noexcept { flushing = true; }
        ~Flushing() { flushing = false; }
    } in_flush;
    Ref done = Ref::steal(PyObject_CallMethodNoArgs(stream.get(), flush_name.get()));
    if (done) return ok();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return PyErr::fetch();
    PyErr_Clear();
    return ok();
}

Result<Ref> print_text(PyObject* obj, std::uint64_t indent) {
    // Before anything is rendered: the flush runs Python code.
    TRY(flush_python_stdout());
    StdoutSink& sink = StdoutSink::for_print();
    TRY(pretty::print(obj, indent, 0, sink));
    IoStatus st = sink.write_fmt(std::string_view("\n"));
    if (!st) return io_error(st);
    return Ref::borrow(Py_None);
}

}  // namespace orrery
