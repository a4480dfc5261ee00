// The Pretty class: a reusable printer that remembers its indentation.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "boundary/binding.hpp"
#include "boundary/boundary.hpp"
#include "boundary/fault.hpp"
#include "boundary/once.hpp"
#include "module/entries.hpp"
#include "module/render.hpp"

namespace orrery {

namespace {

struct PrettyObject {
    PyObject_HEAD
    std::uint64_t indent;
    // 0: free; n: n shared uses; all ones: one exclusive use.
    std::uint64_t borrow_flag;
};

constexpr std::uint64_t exclusive = ~std::uint64_t{0};

std::atomic<PyObject*> type_cache{nullptr};

// A use of an instance's fields, ended when the guard goes out of scope.
class Use {
public:
    Use() noexcept = default;
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    ~Use() {
        if (obj_ == nullptr) return;
        std::atomic_ref<std::uint64_t> flag(obj_->borrow_flag);
        if (exclusive_) flag.store(0, std::memory_order_release);
        else flag.fetch_sub(1, std::memory_order_release);
    }

    Status shared(PrettyObject* obj) {
        std::atomic_ref<std::uint64_t> flag(obj->borrow_flag);
        std::uint64_t cur = flag.load(std::memory_order_acquire);
        do {
            if (cur == exclusive) return PyErr::lazy(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!flag.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
        obj_ = obj;
        return ok();
    }

    Status exclusive_use(PrettyObject* obj) {
        std::atomic_ref<std::uint64_t> flag(obj->borrow_flag);
        std::uint64_t expected = 0;
        if (!flag.compare_exchange_strong(expected, exclusive, std::memory_order_acquire))
            return PyErr::lazy(PyExc_RuntimeError, "Already borrowed");
        obj_ = obj;
        exclusive_ = true;
        return ok();
    }

private:
    PrettyObject* obj_ = nullptr;
    bool exclusive_ = false;
};

Result<PrettyObject*> receiver(PyObject* self) {
    TRY_SET(PyObject* type, pretty_type());
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
    if (Py_TYPE(self) != t && !PyType_IsSubtype(Py_TYPE(self), t)) return PyErr::cast_error(Py_TYPE(self), t);
    return reinterpret_cast<PrettyObject*>(self);
}

constexpr std::string_view indent_name[] = {"indent"};
constexpr std::string_view obj_name[] = {"obj"};
constexpr FunctionDescription new_desc{"Pretty", "__new__", indent_name, 0, 0, {}};
constexpr FunctionDescription format_desc{"Pretty", "format", obj_name, 0, 1, {}};
constexpr FunctionDescription print_desc{"Pretty", "print", obj_name, 0, 1, {}};

PyObject* pretty_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return boundary_object([&]() -> Result<Ref> {
        PyObject* slots[1] = {nullptr};
        TRY(extract_arguments_tuple_dict(new_desc, args, kwargs, slots));
        TRY_SET(const std::uint64_t indent, indent_argument(slots[0]));
        allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(subtype, 0);
        if (self == nullptr) return PyErr::fetch();
        auto* p = reinterpret_cast<PrettyObject*>(self);
        p->indent = indent;
        p->borrow_flag = 0;
        return Ref::steal(self);
    });
}

using Render = Result<Ref> (*)(PyObject*, std::uint64_t);

// format and print: bind obj, check the receiver, render under a shared use.
template <const FunctionDescription& Desc, Render render>
PyObject* render_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary_object([&]() -> Result<Ref> {
        PyObject* slots[1] = {nullptr};
        TRY(extract_arguments_fastcall(Desc, args, nargs, kwnames, slots));
        TRY_SET(PrettyObject* p, receiver(self));
        Use use;
        TRY(use.shared(p));
        return render(slots[0], p->indent);
    });
}

PyObject* get_indent(PyObject* self, void*) {
    return boundary_object([&]() -> Result<Ref> {
        TRY_SET(PrettyObject* p, receiver(self));
        Use use;
        TRY(use.shared(p));
        return Ref::steal(must(PyLong_FromUnsignedLongLong(p->indent)));
    });
}

int set_indent(PyObject* self, PyObject* value, void*) {
    return boundary_setter([&]() -> Status {
        if (value == nullptr) return PyErr::lazy(PyExc_AttributeError, "can't delete attribute");
        auto converted = extract_usize(value);
        if (!converted) return argument_extraction_error("indent", std::move(converted).error());
        TRY_SET(PrettyObject* p, receiver(self));
        Use use;
        TRY(use.exclusive_use(p));
        p->indent = converted.value();
        return ok();
    });
}

void pretty_dealloc(PyObject* self) {
    boundary_dealloc([&] {
        PyTypeObject* type = Py_TYPE(self);
        Ref base = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
        Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
        type->tp_free(self);
        // The instance owned a reference to its (heap) type.
        Ref owned_by_instance = Ref::steal(reinterpret_cast<PyObject*>(type));
    });
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"format", as_cfunction(render_method<format_desc, format_text>), METH_FASTCALL | METH_KEYWORDS,
     "format($self, obj)\n--\n\n"
     "Pretty-format the given object and return it as a string.\n"
     "\n"
     "Args:\n"
     "    obj: The object to pretty-format.\n"
     "\n"
     "Returns:\n"
     "    A string containing the pretty-formatted representation of the object."},
    {"print", as_cfunction(render_method<print_desc, print_text>), METH_FASTCALL | METH_KEYWORDS,
     "print($self, obj)\n--\n\n"
     "Pretty-print the given object to standard output.\n"
     "\n"
     "Args:\n"
     "    obj: The object to pretty-print."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"indent", get_indent, set_indent, "The number of spaces to use for indentation. Default is 4.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char pretty_doc[] = "Pretty(indent=4)\n--\n\nA class for pretty-printing Python objects.";

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(pretty_doc)},
    {Py_tp_new, reinterpret_cast<void*>(pretty_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pretty_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

Result<Ref> make_pretty_type() {
    PyType_Spec spec = {"builtins.Pretty", static_cast<int>(sizeof(PrettyObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        PyErr cause = PyErr::fetch();
        PyErr err = PyErr::lazy(PyExc_RuntimeError, "An error occurred while initializing class Pretty");
        err.set_cause(std::move(cause));
        return err;
    }
    // The dotted spec name gave the class its __module__ ("builtins"); its
    // C-level name is the short one, so repr(Pretty) is "<class 'Pretty'>"
    // and messages name the class as Python code sees it.
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    t->tp_name = "Pretty";
#if PY_VERSION_HEX < 0x030A0000
    // Python 3.9 keeps only the text after the signature header in tp_doc,
    // which loses __text_signature__; __doc__ has already been derived, so
    // the whole text can go back.
    if (char* doc = static_cast<char*>(PyObject_Malloc(sizeof pretty_doc))) {
        std::memcpy(doc, pretty_doc, sizeof pretty_doc);
        PyObject_Free(const_cast<char*>(t->tp_doc));
        t->tp_doc = doc;
    }
#endif
    return Ref::steal(type);
}

}  // namespace

Result<PyObject*> pretty_type() { return publish_once(type_cache, make_pretty_type); }

}  // namespace orrery
