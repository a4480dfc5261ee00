#include "boundary/interned.hpp"

#include <cstring>

#include "boundary/fault.hpp"
#include "boundary/once.hpp"

namespace orrery {

PyObject* InternedName::create() {
    once_detached(once_, [this] {
        PyObject* s = must(PyUnicode_FromStringAndSize(text_, static_cast<Py_ssize_t>(std::strlen(text_))));
        PyUnicode_InternInPlace(&s);
        cell_.store(s, std::memory_order_release);
    });
    return cell_.load(std::memory_order_acquire);
}

namespace names {
InternedName all{"__all__"};
InternedName name{"__name__"};
InternedName qualname{"__qualname__"};
InternedName class_{"__class__"};
InternedName dataclass_fields{"__dataclass_fields__"};
}  // namespace names

}  // namespace orrery
