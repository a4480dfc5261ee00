// Attribute reads of the dataclass form answered without the attribute
// protocol, where that provably gives the same object and runs no code.
// What is found out about a type holds while the type keeps the version tag
// it had: the interpreter renews the tag whenever the type or one of its
// bases changes (an attribute set or deleted, bases reassigned).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "boundary/interned.hpp"
#include "boundary/cpython_compat.hpp"
#include "engine/dataclass_plan.hpp"

namespace orrery::pretty::detail {

// Whether a type's version tag is in force. Up to 3.12 a flag says so;
// from 3.13 the flag is no longer set, and a changed type's tag is 0.
inline bool valid_tag(PyTypeObject* t) noexcept { return compat::valid_type_tag(t); }

// A type as it was when it was examined.
class TypeStamp {
public:
    // True while `t` is the type examined and has not changed since. From
    // 3.10 a change sets the type's tag to 0 and a tag taken is never 0, so
    // an equal tag is in force; 3.9 only clears the valid-tag flag, leaving
    // the old number until the type gets a new one.
    bool holds(PyTypeObject* t) const noexcept { return t == type_ && compat::type_tag_holds(t, tag_); }
    // Records `t` as examined now. A type without a valid tag is not
    // recorded: it is examined again each time.
    void take(PyTypeObject* t) noexcept {
        const bool tagged = valid_tag(t);
        type_ = tagged ? t : nullptr;
        tag_ = tagged ? t->tp_version_tag : 0;
    }

private:
    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
};

inline bool generic_reads(PyTypeObject* t) noexcept { return t->tp_getattro == PyObject_GenericGetAttr; }

// `obj.name` for a str `name`, as PyObject_GetAttr reads it (a new reference,
// or null with the exception set). For a type that reads attributes the
// generic way, PyObject_GetAttr does nothing but call that function: calling
// it directly saves the indirect call and the checks in front of it.
inline PyObject* read_attr(PyObject* obj, PyObject* name) {
    if (generic_reads(Py_TYPE(obj))) [[likely]]
        return PyObject_GenericGetAttr(obj, name);
    return PyObject_GetAttr(obj, name);
}

// What the attribute reads of the dataclass form do on instances of one type.
struct DataclassReads {
    // `obj.__class__` is the type itself: attributes are read the generic
    // way and "__class__" finds the base object's own descriptor, which
    // returns the object's type.
    bool class_is_type = false;
    // Reading "__dataclass_fields__" runs no code: attributes are read the
    // generic way and the type holds no descriptor under the name (a plain
    // value, or nothing), so the read returns the instance's own entry or
    // the type's value. Two reads with nothing run in between give the same
    // object.
    bool fields_repeatable = false;

    // Found out with lookups on the type, which run no code.
    static DataclassReads of(PyTypeObject* t) {
        DataclassReads r;
        if (!generic_reads(t)) return r;
        PyObject* own_class = compat::type_lookup(&PyBaseObject_Type, names::class_.get());
        r.class_is_type = own_class != nullptr && compat::type_lookup(t, names::class_.get()) == own_class;
        PyObject* fields = compat::type_lookup(t, names::dataclass_fields.get());
        r.fields_repeatable = fields == nullptr || Py_TYPE(fields)->tp_descr_get == nullptr;
        return r;
    }
};

// What was found out about the last type met during one call.
class DataclassTypes {
public:
    DataclassReads of(PyTypeObject* t) {
        if (!stamp_.holds(t) || !generic_reads(t)) {
            // The lookups give the type a tag if it has none: stamp after.
            reads_ = DataclassReads::of(t);
            stamp_.take(t);
        }
        return reads_;
    }

    // The field kinds, asked for once per call when found: the dataclasses
    // module can be reloaded between calls, not during the reads of one
    // instance's fields that use them.
    Result<const FieldKinds*> kinds() {
        if (kinds_ == nullptr) {
            TRY_SET(kinds_, field_kinds());
        }
        return kinds_;
    }

    FieldsPlans& plans() noexcept { return plans_; }

private:
    TypeStamp stamp_;
    DataclassReads reads_;
    const FieldKinds* kinds_ = nullptr;
    FieldsPlans plans_;
};

// `cls.__name__` as type's own descriptor reads it, for a class of exactly
// the metatype `type` (whose lookup of "__name__" always finds that data
// descriptor): a heap type's name object. Null for anything else.
inline PyObject* plain_class_name(PyObject* cls) noexcept {
    if (Py_TYPE(cls) != &PyType_Type) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(cls);
    if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    return reinterpret_cast<PyHeapTypeObject*>(t)->ht_name;
}

}  // namespace orrery::pretty::detail
