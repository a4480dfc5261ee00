// UTF-8 text of Python objects.
#pragma once

#include <string>
#include <string_view>

#include "boundary/ref.hpp"

namespace orrery {

// UTF-8 bytes of a Python string: a view into the string object's own UTF-8
// form when it has one, or an owned copy where each lone surrogate became
// three U+FFFD characters.
class Utf8 {
public:
    Utf8() noexcept = default;
    std::string_view view() const noexcept {
        return holder_ ? std::string_view(data_, size_) : std::string_view(owned_);
    }

    // `s` must be a str (exact or subclass). Never fails.
    static Utf8 of_str(Ref s);
    static Utf8 owned(std::string text) {
        Utf8 u;
        u.owned_ = std::move(text);
        return u;
    }

private:
    Ref holder_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    std::string owned_;
};

// Encodes a string's code points as UTF-8, writing each lone surrogate as
// three U+FFFD. Used when the string has no strict UTF-8 form.
std::string lossy_utf8(PyObject* s);

// The text of an object: str() of it as UTF-8, or, if str() fails (reported
// through the unraisable hook), "<unprintable {type name} object>". Never
// raises; a PanicException from str() is resumed as an internal fault.
Utf8 text_of(PyObject* obj);

}  // namespace orrery
