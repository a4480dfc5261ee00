#include "boundary/binding.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "boundary/fault.hpp"
#include "boundary/text.hpp"

namespace orrery {

namespace {

std::string display_name(const FunctionDescription& d) {
    std::string out;
    if (d.class_name != nullptr) {
        out += d.class_name;
        out += '.';
    }
    out += d.function_name;
    out += "()";
    return out;
}

PyErr too_many_positional_arguments(const FunctionDescription& d, Py_ssize_t given) {
    const std::size_t p = d.positional_names.size();
    std::string msg = display_name(d);
    if (d.required_positional_count == p) {
        msg += " takes " + std::to_string(p);
    } else {
        msg += " takes from " + std::to_string(d.required_positional_count) + " to " + std::to_string(p);
    }
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    return PyErr::new_type_error(std::move(msg));
}

PyErr unexpected_keyword_argument(const FunctionDescription& d, PyObject* key) {
    std::string msg = display_name(d) + " got an unexpected keyword argument '";
    msg += text_of(key).view();
    msg += "'";
    return PyErr::new_type_error(std::move(msg));
}

PyErr multiple_values_for_argument(const FunctionDescription& d, std::string_view name) {
    std::string msg = display_name(d) + " got multiple values for argument '";
    msg += name;
    msg += "'";
    return PyErr::new_type_error(std::move(msg));
}

PyErr positional_only_keyword_arguments(const FunctionDescription& d, std::span<const std::string_view> names) {
    std::string msg = display_name(d) + " got some positional-only arguments passed as keyword arguments: ";
    msg += binding_messages::push_parameter_list(names);
    return PyErr::new_type_error(std::move(msg));
}

PyErr missing_required_arguments(const FunctionDescription& d, const char* kind,
                                 std::span<const std::string_view> names) {
    const std::size_t n = names.size();
    std::string msg = display_name(d) + " missing " + std::to_string(n) + " required " + kind +
                      (n == 1 ? " argument: " : " arguments: ");
    msg += binding_messages::push_parameter_list(names);
    return PyErr::new_type_error(std::move(msg));
}

// Index of `key` in `names` by length then bytes, or -1.
template <class Names, class Get>
Py_ssize_t find_name(const Names& names, Get get, const char* key, std::size_t len) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string_view n = get(names[i]);
        if (n.size() == len && std::memcmp(n.data(), key, len) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// The binding steps shared by both calling conventions. `next_keyword`
// yields (key, value) pairs in the caller's order and returns false at the end.
template <class NextKeyword>
Status bind(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs, NextKeyword&& next_keyword,
            PyObject** slots) {
    const std::size_t p = d.positional_names.size();
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (args != nullptr) {
        for (std::size_t i = 0; i < std::min(given, p); ++i) slots[i] = args[i];
    }
    if (given > p) return too_many_positional_arguments(d, nargs);

    std::vector<std::string_view> positional_only_by_keyword;
    PyObject* key;
    PyObject* value;
    while (next_keyword(key, value)) {
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &len);
        if (text == nullptr) {
            PyErr_Clear();
            return unexpected_keyword_argument(d, key);
        }
        const std::size_t n = static_cast<std::size_t>(len);
        Py_ssize_t j = find_name(d.keyword_only, [](const KeywordOnlyParam& k) { return k.name; }, text, n);
        if (j >= 0) {
            PyObject*& slot = slots[p + static_cast<std::size_t>(j)];
            if (slot != nullptr) return multiple_values_for_argument(d, std::string_view(text, n));
            slot = value;
            continue;
        }
        j = find_name(d.positional_names, [](std::string_view s) { return s; }, text, n);
        if (j < 0) return unexpected_keyword_argument(d, key);
        const std::size_t pos = static_cast<std::size_t>(j);
        if (pos < d.positional_only_count) {
            positional_only_by_keyword.push_back(d.positional_names[pos]);
            continue;
        }
        if (slots[pos] != nullptr) return multiple_values_for_argument(d, std::string_view(text, n));
        slots[pos] = value;
    }
    if (!positional_only_by_keyword.empty()) return positional_only_keyword_arguments(d, positional_only_by_keyword);

    const std::size_t required = d.required_positional_count;
    if (given < required) {
        std::vector<std::string_view> missing;
        for (std::size_t i = 0; i < required; ++i) {
            if (slots[i] == nullptr) missing.push_back(d.positional_names[i]);
        }
        if (!missing.empty()) return missing_required_arguments(d, "positional", missing);
    }
    std::vector<std::string_view> missing_keywords;
    for (std::size_t i = 0; i < d.keyword_only.size(); ++i) {
        if (d.keyword_only[i].required && slots[p + i] == nullptr) missing_keywords.push_back(d.keyword_only[i].name);
    }
    if (!missing_keywords.empty()) return missing_required_arguments(d, "keyword", missing_keywords);
    return ok();
}

}  // namespace

std::string binding_messages::push_parameter_list(std::span<const std::string_view> names) {
    std::string out;
    const std::size_t n = names.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) {
            if (n == 2) out += " and ";
            else if (i == n - 1) out += ", and ";
            else out += ", ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

Status extract_arguments_fastcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t k = 0;
    auto next = [&](PyObject*& key, PyObject*& value) {
        if (k >= nkw) return false;
        key = PyTuple_GET_ITEM(kwnames, k);
        value = args[nargs + k];
        ++k;
        return true;
    };
    return bind(d, args, nargs, next, slots);
}

Status extract_arguments_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs,
                                    PyObject** slots) {
    Py_ssize_t pos = 0;
    auto next = [&](PyObject*& key, PyObject*& value) {
        return kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value) != 0;
    };
    return bind(d, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args), next, slots);
}

Result<std::uint64_t> extract_usize(PyObject* obj) {
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) return PyErr::fetch();
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return PyErr::fetch();
    return static_cast<std::uint64_t>(v);
}

Result<PyObject*> extract_bytes(PyObject* obj) {
    if (PyBytes_Check(obj)) return obj;
    return PyErr::cast_error(Py_TYPE(obj), &PyBytes_Type);
}

PyErr argument_extraction_error(std::string_view name, PyErr error) {
    if (error.type() != PyExc_TypeError) return error;
    Ref instance = error.instance();
    std::string msg = "argument '";
    msg += name;
    msg += "': ";
    msg += text_of(instance.get()).view();
    PyErr reworded = PyErr::new_type_error(std::move(msg));
    reworded.set_cause(error.cause());
    return reworded;
}

Result<std::uint64_t> indent_argument(PyObject* slot) {
    if (slot == nullptr) return std::uint64_t{4};
    auto r = extract_usize(slot);
    if (!r) return argument_extraction_error("indent", std::move(r).error());
    return r.value();
}

}  // namespace orrery
