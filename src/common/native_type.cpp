#include "native_type.hpp"

#include <set>
#include <string>

namespace frame {

PyTypeObject *new_native_type(const PyType_Spec &spec, PyObject *module, const char *name,
                              const char *attribute, PyObject *base) {
    const char *module_name = PyUnicode_AsUTF8(module);
    if (!module_name) return nullptr;
    // The type keeps pointing at its spec's name (tp_name): names live as long as
    // the process, one per module name and type.
    static std::set<std::string> names;
    const std::string &full = *names.insert(std::string(module_name) + "." + name).first;
    PyType_Spec named = spec;
    named.name = full.c_str();
    PyObject *bases = base ? PyTuple_Pack(1, base) : nullptr;
    if (base && !bases) return nullptr;
    PyObject *type = base ? PyType_FromSpecWithBases(&named, bases) : PyType_FromSpec(&named);
    Py_XDECREF(bases);
    if (!type) return nullptr;
    PyObject *qualname = PyUnicode_InternFromString(attribute);
    int failed = !qualname || PyObject_SetAttrString(type, "__qualname__", qualname) < 0;
    Py_XDECREF(qualname);
    if (failed) {
        Py_DECREF(type);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject *>(type);
}

}  // namespace frame
