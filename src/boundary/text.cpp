#include "boundary/text.hpp"

#include "boundary/cpython_compat.hpp"
#include "boundary/fault.hpp"
#include "boundary/interned.hpp"
#include "boundary/pyerr.hpp"

namespace orrery {

namespace {

void put_utf8(std::string& out, Py_UCS4 c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
        // A lone surrogate encodes to three bytes that are each an invalid
        // sequence of their own; each is read back as one replacement char.
        out.append("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

std::string lossy_utf8(PyObject* s) {
    std::string out;
    if (compat::ready_str(s) < 0) api_call_failed();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) put_utf8(out, PyUnicode_READ(kind, data, i));
    return out;
}

Utf8 Utf8::of_str(Ref s) {
    Utf8 u;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
    if (data != nullptr) {
        u.data_ = data;
        u.size_ = static_cast<std::size_t>(size);
        u.holder_ = std::move(s);
        return u;
    }
    discard_fetched();
    u.owned_ = lossy_utf8(s.get());
    return u;
}

Utf8 text_of(PyObject* obj) {
    Ref s = PyUnicode_CheckExact(obj) ? Ref::borrow(obj) : Ref::steal(PyObject_Str(obj));
    if (s) return Utf8::of_str(std::move(s));

    // str() failed: report it and write a placeholder naming the type.
    PyErr::fetch().restore();
    PyErr_WriteUnraisable(obj);
    std::string placeholder = "<unprintable object>";
    Ref name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), names::name.get()));
    if (!name) {
        discard_fetched();
    } else if (PyUnicode_Check(name.get())) {
        Utf8 text = text_of(name.get());
        placeholder = "<unprintable ";
        placeholder += text.view();
        placeholder += " object>";
    }
    return Utf8::owned(std::move(placeholder));
}

}  // namespace orrery
