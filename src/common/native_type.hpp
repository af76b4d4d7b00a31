// The frame's own types (native functions and generators), named as Python sees them.
//
// Each module makes its own types.  They are named after what they are ("velora
// native function"), belong to the module that made them (`__module__`) and are
// reachable from it under a dunder name (`__velora_function__`, which is also their
// `__qualname__`), so that pickle can save the type by reference.
#pragma once
#include "names.hpp"

namespace frame {

// A heap type from `spec` (deriving from `base` if given), whose `__name__` is `name`
// and `__module__` the str `module`, and whose `__qualname__` is `attribute`.
PyTypeObject *new_native_type(const PyType_Spec &spec, PyObject *module, const char *name,
                              const char *attribute, PyObject *base = nullptr);

}  // namespace frame
