// Module creation: the one exported symbol, the module cache and the
// registration of the class and the functions.
#include <atomic>
#include <cstdint>

#include "boundary/boundary.hpp"
#include "boundary/fault.hpp"
#include "boundary/interned.hpp"
#include "boundary/once.hpp"
#include "boundary/shutdown.hpp"
#include "module/entries.hpp"

namespace orrery {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orrery",
    "A module for pretty-printing Python objects.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
std::atomic<PyObject*> module_cache{nullptr};

// Appends `name` to the module's __all__ (creating the list if missing),
// then sets the attribute.
Status add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttr(module, names::all.get()));
    if (all) {
        if (!PyList_Check(all.get())) return PyErr::cast_error(Py_TYPE(all.get()), &PyList_Type);
    } else {
        PyErr err = PyErr::fetch();
        if (!PyErr_GivenExceptionMatches(err.type(), PyExc_AttributeError)) return err;
        all = Ref::steal(must(PyList_New(0)));
        if (PyObject_SetAttr(module, names::all.get(), all.get()) < 0) return PyErr::fetch();
    }
    if (PyList_Append(all.get(), name) < 0) fault("could not append __name__ to __all__");
    all.reset();
    if (PyObject_SetAttr(module, name, value) < 0) return PyErr::fetch();
    return ok();
}

Status register_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return PyErr::fetch();
    Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) return PyErr::fetch();
    module_name.reset();
    Ref name = Ref::steal(PyObject_GetAttr(function.get(), names::name.get()));
    if (!name) return PyErr::fetch();
    if (!PyUnicode_Check(name.get())) return PyErr::cast_error(Py_TYPE(name.get()), &PyUnicode_Type);
    return add(module, name.get(), function.get());
}

Status register_all(PyObject* module) {
    TRY_SET(PyObject* type, pretty_type());
    Ref name = Ref::steal(must(PyUnicode_FromStringAndSize("Pretty", 6)));
    TRY(add(module, name.get(), type));
    for (PyMethodDef* def : {&format_escaped_bytes_def, &pretty_format_def, &pretty_print_def, &print_escaped_bytes_def}) {
        TRY(register_function(module, def));
    }
#ifdef ORRERY_TEST_HOOKS
    Ref hook = Ref::steal(PyCMethod_New(&set_yield_hook_def, module, nullptr, nullptr));
    if (!hook || PyObject_SetAttrString(module, set_yield_hook_def.ml_name, hook.get()) < 0) return PyErr::fetch();
#endif
    return ok();
}

// Has the interpreter's exit hooks mark the start of shutdown.
Status watch_shutdown() {
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return PyErr::fetch();
    Ref hook = Ref::steal(PyCFunction_New(&shutdown_hook_def, nullptr));
    if (!hook) return PyErr::fetch();
    Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    if (!done) return PyErr::fetch();
    return ok();
}

Result<Ref> build_module() {
    Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module) return PyErr::fetch();
    TRY(register_all(module.get()));
    TRY(watch_shutdown());
    return module;
}

Result<Ref> create_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return PyErr::fetch();
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        return PyErr::lazy(PyExc_ImportError,
                           "Tessel modules do not yet support subinterpreters, see "
                           "the Limitations section of the orrery README");
    }
    // Every initialisation returns the first module built in the process.
    TRY_SET(PyObject* module, publish_once(module_cache, build_module));
    return Ref::borrow(module);
}

}  // namespace

}  // namespace orrery

PyMODINIT_FUNC PyInit_orrery() {
    return orrery::boundary_object([] { return orrery::create_module(); });
}
