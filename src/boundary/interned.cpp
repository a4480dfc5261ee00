#include "boundary/interned.hpp"

#include <cstring>

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
}  // namespace names

}  // namespace orrery
