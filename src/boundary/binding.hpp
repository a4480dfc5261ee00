// Argument binding: matching a call's positional and keyword arguments to an
// entry's declared parameters, and converting them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "boundary/result.hpp"

namespace orrery {

struct KeywordOnlyParam {
    std::string_view name;
    bool required;
};

// The static parameter record of one entry.
struct FunctionDescription {
    const char* class_name;  // nullptr for module functions
    std::string_view function_name;
    std::span<const std::string_view> positional_names;
    std::size_t positional_only_count;
    std::size_t required_positional_count;
    std::span<const KeywordOnlyParam> keyword_only;

    std::size_t slot_count() const noexcept { return positional_names.size() + keyword_only.size(); }
};

// Fills `slots` (one per parameter, all starting null) with borrowed
// references to the arguments of a METH_FASTCALL | METH_KEYWORDS call.
Status extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, PyObject** slots);

// The same for a call made with an argument tuple and a keyword dict.
Status extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                                    PyObject** slots);

// Converts an integer (or an object with __index__) to an unsigned 64-bit value.
Result<std::uint64_t> extract_usize(PyObject* obj);

// Accepts bytes and its subclasses (borrowed back), refuses everything else.
Result<PyObject*> extract_bytes(PyObject* obj);

// Rewords a plain TypeError of a conversion as "argument '{name}': ...".
PyErr argument_extraction_error(std::string_view name, PyErr error);

// `indent`: 4 when absent, otherwise converted (an explicit None is refused).
Result<std::uint64_t> indent_argument(PyObject* slot);

// Builders of the binding messages, exposed for testing the binder.
namespace binding_messages {
std::string push_parameter_list(std::span<const std::string_view> names);
}

}  // namespace orrery
