// Attribute names made once per process as interned strings and kept.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "boundary/result.hpp"

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
extern InternedName field_type;        // "_field_type"
}  // namespace names

// What tells a dataclass's real fields from its class-variable and
// init-only pseudo-fields: the dataclasses module's Field class and the
// marker a real field holds in its `_field_type` slot.
struct FieldKinds {
    PyTypeObject* field_class;  // dataclasses.Field
    PyObject* field_marker;     // dataclasses._FIELD
    // Field's own `_field_type` member descriptor and the offset of the slot
    // it reads, or nullptr when the class does not keep it as a plain slot.
    PyObject* slot;
    Py_ssize_t slot_offset;
    PyObject* module;  // what the module table held under "dataclasses"
    // The kinds of the module as it was before it was reloaded (or
    // replaced), or null: classes made before keep their Field objects.
    const FieldKinds* earlier;

    // The kinds whose Field class `t` is or derives from, this module's or
    // an earlier one's, or null.
    const FieldKinds* of_class(PyTypeObject* t) const noexcept;
};

// The kinds of the dataclasses module the module table holds now (borrowed,
// kept for the life of the process). Fetched the first time the module is
// found imported, and again when it has been reloaded or replaced since; a
// check of three dict entries tells. Null while the module has not been
// imported, or lacks what is needed: then no object can be a Field. Fails
// only with an exception raised while reading the module.
Result<const FieldKinds*> field_kinds();

}  // namespace orrery
