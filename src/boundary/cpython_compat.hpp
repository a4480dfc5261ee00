// Everything the module reads from CPython beyond its documented, stable
// API, and every difference between the supported versions (3.9 on), in one
// place. Each entry says why it is needed and which versions have it; the
// rest of the code calls these and holds no version gate of its own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace orrery::compat {

// What a class finds for `name` along its method resolution order, borrowed,
// or null; runs no Python code and raises nothing. Needed to inspect a class
// (its __class__, its dataclass fields, a member descriptor) without calling
// descriptors or __getattr__: the documented attribute reads run code.
// _PyType_Lookup: private but exported, unchanged in 3.9 to 3.15.
inline PyObject* type_lookup(PyTypeObject* t, PyObject* name) noexcept { return _PyType_Lookup(t, name); }

// Reads an attribute, telling "missing" (0) from found (1, `*out` a new
// reference) and failure (-1) without building an AttributeError.
// PyObject_GetOptionalAttr is documented from 3.13; before, the same
// function is the private _PyObject_LookupAttr (3.7 to 3.12).
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// Whether the interpreter is finalizing. Py_IsFinalizing is documented from
// 3.13; before, it is the private _Py_IsFinalizing (3.7 to 3.12).
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// A dict's version: up to 3.11 the interpreter gives a dict a new number,
// unique in the process, when it is made and whenever it is changed
// (ma_version_tag, a field of the dict object, 3.6 to 3.11). Later versions
// deprecate the number; there a walk is never replayed.
#if PY_VERSION_HEX < 0x030C0000
inline constexpr bool dict_versions = true;
inline std::uint64_t dict_version(PyObject* d) noexcept { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#else
inline constexpr bool dict_versions = false;
inline std::uint64_t dict_version(PyObject*) noexcept { return 0; }
#endif

// Whether a type's version tag is in force. Up to 3.12 a flag says so;
// from 3.13 the flag is no longer set, and a changed type's tag is 0.
inline bool valid_type_tag(PyTypeObject* t) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return t->tp_version_tag != 0;
#else
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag != 0;
#endif
}

// Whether `t`'s version tag is still `tag`, taken when the tag was in force,
// so that `t` has not changed since. From 3.10 a change sets the tag to 0 and
// a tag taken is never 0; 3.9 only clears the valid-tag flag, leaving the
// old number until the type gets a new one.
inline bool type_tag_holds(PyTypeObject* t, unsigned int tag) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
    return t->tp_version_tag == tag;
#else
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == tag;
#endif
}

// The value of an exact int when it is stored as a single digit, read
// straight from the object. From 3.12 through the unstable API
// (PyUnstable_Long_IsCompact); before, the sign and digit count are
// Py_SIZE and the digits are the object's ob_digit array (3.9 to 3.11).
inline bool compact_long_value(PyObject* obj, long long& out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) return false;
    out = static_cast<long long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj)));
    return true;
#else
    const Py_ssize_t size = Py_SIZE(obj);
    if (size < -1 || size > 1) return false;
    out = size * static_cast<long long>(reinterpret_cast<PyLongObject*>(obj)->ob_digit[0]);
    return true;
#endif
}

// Makes a str ready to be read by kind: a str made by the legacy API has no
// text in its own width until then (PyUnicode_READY, 3.9 to 3.11; from
// 3.12 every str is ready). 0, or -1 with an exception set.
inline int ready_str([[maybe_unused]] PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s);
#else
    return 0;
#endif
}

// The text of a compact str follows its header: a compact ASCII str's right
// after the PyASCIIObject header, any other compact str's after the longer
// PyCompactUnicodeObject header. Both headers are CPython's object layout
// (unchanged in what is read here, 3.9 to 3.15). Short text is read as the
// 16 bytes ending at its end, which then lie in the header when not in the
// text: both headers are at least that long.
static_assert(sizeof(PyASCIIObject) >= 16 && sizeof(PyCompactUnicodeObject) >= 16);
inline const void* compact_ascii_text(PyObject* s) noexcept { return reinterpret_cast<PyASCIIObject*>(s) + 1; }
inline const void* compact_text(PyObject* s) noexcept { return reinterpret_cast<PyCompactUnicodeObject*>(s) + 1; }
inline const void* legacy_text(PyObject* s) noexcept { return reinterpret_cast<PyUnicodeObject*>(s)->data.any; }

// Shortens a fresh compact str nobody else has seen yet to `length`, in
// place: sets its length field (PyASCIIObject.length), the terminating
// zero, and before 3.12 the length of the wide-character form, which a str
// whose units are wchar_t shares (wstr and wstr_length, 3.9 to 3.11). No
// API resizes a str without copying a large one.
inline void set_str_length(PyObject* s, Py_ssize_t n) noexcept {
    reinterpret_cast<PyASCIIObject*>(s)->length = n;
    PyUnicode_WRITE(PyUnicode_KIND(s), PyUnicode_DATA(s), n, 0);
#if PY_VERSION_HEX < 0x030C0000
    auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(s);
    if (!PyUnicode_IS_ASCII(s) && compact->_base.wstr == PyUnicode_DATA(s)) compact->wstr_length = n;
#endif
}

// The offset of the plain object slot a member descriptor reads (as
// __slots__ makes them: an object reference, raising AttributeError when
// empty, writable or read-only), or 0 for any other member. The member's
// definition is read from the descriptor object (PyMemberDescrObject, all
// versions); the constants were renamed in 3.12 (T_OBJECT_EX, READONLY from
// structmember.h before).
inline Py_ssize_t plain_member_offset(PyObject* descr) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    constexpr int object_slot = Py_T_OBJECT_EX;
    constexpr int read_only = Py_READONLY;
#else
    constexpr int object_slot = T_OBJECT_EX;
    constexpr int read_only = READONLY;
#endif
    const PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (m->type != object_slot || (m->flags & ~read_only) != 0 || m->offset <= 0) return 0;
    return m->offset;
}

}  // namespace orrery::compat
