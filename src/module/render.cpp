#include "module/render.hpp"

#include "boundary/fault.hpp"
#include "engine/pretty.hpp"
#include "module/stdout_sink.hpp"

namespace orrery {

Result<Ref> format_text(PyObject* obj, std::uint64_t indent) {
    MemorySink buffer;
    TRY(pretty::print(obj, indent, 0, buffer));
    return Ref::steal(must(buffer.to_str()));
}

Result<Ref> print_text(PyObject* obj, std::uint64_t indent) {
    StdoutSink& sink = StdoutSink::for_print();
    TRY(pretty::print(obj, indent, 0, sink));
    IoStatus st = sink.write_fmt(std::string_view("\n"));
    if (!st) return io_error(st);
    return Ref::borrow(Py_None);
}

}  // namespace orrery
