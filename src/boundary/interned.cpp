#include "boundary/interned.hpp"

#include "boundary/cpython_compat.hpp"
#include <cstring>
#include <memory>

#include "boundary/fault.hpp"
#include "boundary/once.hpp"

namespace orrery {

PyObject* InternedName::create() {
    // Never fails: a string that cannot be made is a fault (or MemoryError).
    return publish_once(cell_, [this]() -> Result<Ref> {
               PyObject* s = must(PyUnicode_FromStringAndSize(text_, static_cast<Py_ssize_t>(std::strlen(text_))));
               PyUnicode_InternInPlace(&s);
               return Ref::steal(s);
           }).value();
}

namespace names {
InternedName all{"__all__"};
InternedName name{"__name__"};
InternedName qualname{"__qualname__"};
InternedName class_{"__class__"};
InternedName dataclass_fields{"__dataclass_fields__"};
InternedName field_type{"_field_type"};
}  // namespace names

namespace {

InternedName dataclasses_module{"dataclasses"};
InternedName field_class_name{"Field"};
InternedName field_marker_name{"_FIELD"};

std::atomic<const FieldKinds*> kinds_cell{nullptr};

// Reads an attribute of a module: the value, none when it is missing, or the
// failure of the read.
Result<Ref> module_attr(PyObject* module, PyObject* name) {
    PyObject* v = PyObject_GetAttr(module, name);
    if (v != nullptr) return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyErr::fetch();
    PyErr_Clear();
    return Ref();
}

// What the class finds for `_field_type` when it is a member descriptor of
// Field's own plain object slot (as __slots__ makes it), so the slot can be
// read directly.
PyObject* plain_slot(PyTypeObject* cls, Py_ssize_t& offset) {
    PyObject* d = compat::type_lookup(cls, names::field_type.get());
    if (d == nullptr || Py_TYPE(d) != &PyMemberDescr_Type || PyDescr_TYPE(d) != cls) return nullptr;
    offset = compat::plain_member_offset(d);
    return offset != 0 ? d : nullptr;
}

// What the module table holds under "dataclasses" (borrowed), or null with
// or without an exception set.
PyObject* dataclasses_in_table() {
    PyObject* modules = PyImport_GetModuleDict();
    return PyDict_Check(modules) ? PyDict_GetItemWithError(modules, dataclasses_module.get()) : nullptr;
}

// Whether the kinds are still those of the module in the table. A reload
// runs the module again in the same namespace, so its Field and _FIELD are
// compared there; only dicts are read, which runs no code. A module removed
// from the table leaves the kinds found last in force.
bool still_current(const FieldKinds& k) {
    PyObject* found = dataclasses_in_table();
    if (found == nullptr) {
        if (!PyErr_Occurred()) return true;
        PyErr_Clear();  // the fetch reads the table again and reports it
        return false;
    }
    if (found != k.module) return false;
    if (!PyModule_Check(found)) return true;
    PyObject* ns = PyModule_GetDict(found);
    const bool same =
        PyDict_GetItemWithError(ns, field_class_name.get()) == reinterpret_cast<PyObject*>(k.field_class) &&
        PyDict_GetItemWithError(ns, field_marker_name.get()) == k.field_marker;
    if (!same) PyErr_Clear();
    return same;
}

// Fetches the kinds of the module in the table; `last` are those found
// before, kept when the module lacks what is needed.
Result<const FieldKinds*> fetch_field_kinds(const FieldKinds* last) {
    // A Field can only exist once the module has been imported: until then
    // nothing is fetched. The module table is read directly, so nothing is
    // imported on the caller's behalf and no import lock is waited for.
    PyObject* found = dataclasses_in_table();
    if (found == nullptr) {
        if (PyErr_Occurred()) return PyErr::fetch();
        return last;
    }
    Ref module = Ref::borrow(found);
    TRY_SET(Ref cls, module_attr(module.get(), field_class_name.get()));
    TRY_SET(Ref marker, module_attr(module.get(), field_marker_name.get()));
    if (!cls || !marker || !PyType_Check(cls.get())) return last;
    auto* field_class = reinterpret_cast<PyTypeObject*>(cls.get());
    Py_ssize_t offset = 0;
    PyObject* slot = plain_slot(field_class, offset);
    // Reading the module can run Python code that lets another thread get
    // here first; the first to publish wins and the others drop theirs.
    auto made =
        std::make_unique<FieldKinds>(FieldKinds{field_class, marker.get(), slot, offset, module.get(), last});
    const FieldKinds* expected = last;
    if (!kinds_cell.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return expected;
    // Kept for the life of the process, like the interned names, and so are
    // the kinds they replace: a call in another thread may still use those.
    // The descriptor and the module are held too: they are compared by
    // identity later, and a freed one could leave its address to another
    // object.
    (void)Ref::borrow(slot).release();
    (void)cls.release();
    (void)marker.release();
    (void)module.release();
    return made.release();
}

}  // namespace

const FieldKinds* FieldKinds::of_class(PyTypeObject* t) const noexcept {
    for (const FieldKinds* k = this; k != nullptr; k = k->earlier)
        if (t == k->field_class || PyType_IsSubtype(t, k->field_class)) return k;
    return nullptr;
}

Result<const FieldKinds*> field_kinds() {
    const FieldKinds* k = kinds_cell.load(std::memory_order_acquire);
    if (k != nullptr && still_current(*k)) return k;
    return fetch_field_kinds(k);
}

}  // namespace orrery
