// Module functions: pretty_format, pretty_print, format_escaped_bytes and
// print_escaped_bytes.
#include <string_view>

#include "boundary/binding.hpp"
#include "boundary/boundary.hpp"
#include "boundary/fault.hpp"
#include "engine/escaped.hpp"
#include "engine/memory.hpp"
#include "module/entries.hpp"
#include "module/render.hpp"
#include "module/stdout_sink.hpp"

namespace orrery {

namespace {

constexpr std::string_view obj_indent[] = {"obj", "indent"};
constexpr std::string_view obj_only[] = {"obj"};

constexpr FunctionDescription pretty_format_desc{nullptr, "pretty_format", obj_indent, 0, 1, {}};
constexpr FunctionDescription pretty_print_desc{nullptr, "pretty_print", obj_indent, 0, 1, {}};
constexpr FunctionDescription format_escaped_desc{nullptr, "format_escaped_bytes", obj_only, 0, 1, {}};
constexpr FunctionDescription print_escaped_desc{nullptr, "print_escaped_bytes", obj_only, 0, 1, {}};

using Render = Result<Ref> (*)(PyObject*, std::uint64_t);

// Binds (obj, indent=4) and renders with `render`.
template <const FunctionDescription& Desc, Render render>
PyObject* obj_indent_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary_object([&]() -> Result<Ref> {
        PyObject* slots[2] = {nullptr, nullptr};
        TRY(extract_arguments_fastcall(Desc, args, nargs, kwnames, slots));
        TRY_SET(const std::uint64_t indent, indent_argument(slots[1]));
        return render(slots[0], indent);
    });
}

// Binds (obj) and checks that it is bytes.
Result<PyObject*> bind_bytes(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* slots[1] = {nullptr};
    TRY(extract_arguments_fastcall(desc, args, nargs, kwnames, slots));
    auto bytes = extract_bytes(slots[0]);
    if (!bytes) return argument_extraction_error("obj", std::move(bytes).error());
    return bytes.value();
}

const unsigned char* bytes_data(PyObject* b) {
    return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b));
}

PyObject* format_escaped_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary_object([&]() -> Result<Ref> {
        TRY_SET(PyObject* bytes, bind_bytes(format_escaped_desc, args, nargs, kwnames));
        const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 4) return PyErr::lazy(PyExc_MemoryError, "bytes object too large to escape");
        // The text is ASCII, so it is written straight into the new str.
        Ref text = Ref::steal(must(PyUnicode_New(static_cast<Py_ssize_t>(4 * n), 127)));
        char* dst = static_cast<char*>(PyUnicode_DATA(text.get()));
        advise_sequential_fill(dst, 4 * n);
        escaped::encode(bytes_data(bytes), n, dst);
        return text;
    });
}

PyObject* print_escaped_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary_object([&]() -> Result<Ref> {
        TRY_SET(PyObject* bytes, bind_bytes(print_escaped_desc, args, nargs, kwnames));
        TRY(flush_python_stdout());
        StdoutSink& sink = StdoutSink::for_print();
        IoStatus st = escaped::write_escaped_bytes(bytes_data(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)), sink);
        if (st) st = sink.write_fmt(std::string_view("\n"));
        if (!st) return io_error(st);
        return Ref::borrow(Py_None);
    });
}

// The interpreter calls METH_FASTCALL | METH_KEYWORDS entries through this
// signature; the method record stores it as a generic function pointer.
template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef format_escaped_bytes_def = {
    "format_escaped_bytes", as_cfunction(format_escaped_bytes), METH_FASTCALL | METH_KEYWORDS,
    "format_escaped_bytes(obj)\n--\n\n"
    "Formats a bytes object into a string of escaped hex bytes. For example, b\"ABC\" becomes "
    "\"\\\\x41\\\\x42\\\\x43\".\n"
    "\n"
    "Args:\n"
    "    obj: The bytes object to format.\n"
    "\n"
    "Returns:\n"
    "    A string containing the escaped representation of the bytes object."};

PyMethodDef pretty_format_def = {
    "pretty_format", as_cfunction(obj_indent_entry<pretty_format_desc, format_text>), METH_FASTCALL | METH_KEYWORDS,
    "pretty_format(obj, indent=4)\n--\n\n"
    "Pretty-format the given object and return it as a string.\n"
    "\n"
    "Args:\n"
    "    obj: The object to pretty-format.\n"
    "    indent: The number of spaces to use for indentation. Default is 4.\n"
    "\n"
    "Returns:\n"
    "    A string containing the pretty-formatted representation of the object."};

PyMethodDef pretty_print_def = {
    "pretty_print", as_cfunction(obj_indent_entry<pretty_print_desc, print_text>), METH_FASTCALL | METH_KEYWORDS,
    "pretty_print(obj, indent=4)\n--\n\n"
    "Pretty-print the given object to standard output.\n"
    "\n"
    "Args:\n"
    "    obj: The object to pretty-print.\n"
    "    indent: The number of spaces to use for indentation. Default is 4."};

#ifdef ORRERY_TEST_HOOKS
namespace {
PyObject* set_yield_hook(PyObject*, PyObject* hook) {
    return boundary_object([&]() -> Result<Ref> {
        if (hook != Py_None && !PyCallable_Check(hook))
            return PyErr::lazy(PyExc_TypeError, "the yield hook must be callable or None");
        StdoutSink::set_yield_hook(hook);
        return Ref::borrow(Py_None);
    });
}
}  // namespace

PyMethodDef set_yield_hook_def = {"_set_yield_hook", set_yield_hook, METH_O,
                                  "_set_yield_hook(hook)\n--\n\n"
                                  "Test builds only: calls `hook()` before every write to standard output "
                                  "(None removes it)."};
#endif

PyMethodDef print_escaped_bytes_def = {"print_escaped_bytes", as_cfunction(print_escaped_bytes),
                                       METH_FASTCALL | METH_KEYWORDS, "print_escaped_bytes(obj)\n--\n\n"};

}  // namespace orrery
