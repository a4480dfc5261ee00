// Attribute names made once per process as interned strings and kept.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace orrery {

class InternedName {
public:
    explicit constexpr InternedName(const char* text) noexcept : text_(text) {}
    // Borrowed reference, valid for the life of the process.
    PyObject* get() {
        PyObject* s = cell_.load(std::memory_order_acquire);
        return s != nullptr ? s : create();
    }

private:
    PyObject* create();
    const char* text_;
    std::atomic<PyObject*> cell_{nullptr};
};

namespace names {
extern InternedName all;               // "__all__"
extern InternedName name;              // "__name__"
extern InternedName qualname;          // "__qualname__"
extern InternedName class_;            // "__class__"
extern InternedName dataclass_fields;  // "__dataclass_fields__"
}  // namespace names

}  // namespace orrery
