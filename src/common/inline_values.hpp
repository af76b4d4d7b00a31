// Attribute values that CPython 3.13 keeps inside instances of Python classes.
//
// From 3.13 on, an instance of a class without __slots__ keeps its attributes in an
// array right after the object header (its "inline values"), named by the keys its
// class shares among its instances; a dictionary is made only if someone asks for
// `__dict__` or the attributes outgrow the keys.  The interpreter's specialised
// LOAD_ATTR and STORE_ATTR read and write that array by position.  Native code has
// no public way to do the same and would go through the generic lookup, several
// times slower: so the frame reads the array as those instructions do, after
// checking once, on an object of its own, that the layout is the one assumed here
// (and using the generic lookup otherwise, and on any interpreter this fast path
// was not verified on, fast_paths.hpp).
#pragma once
#include "fast_paths.hpp"

#include <cstdint>

namespace frame::inline_values {

// Instances of `type` keep their attributes inline, in the layout checked here.
bool usable(PyTypeObject *type);

// Where `name` is among the keys `type` shares (its index), or -1; `count` is set to
// how many keys there are, so that a name found missing stays missing while the
// count is the same (keys are only ever added).
Py_ssize_t index_of(PyTypeObject *type, PyObject *name, Py_ssize_t &count);
Py_ssize_t key_count(PyTypeObject *type);

#if FRAME_FAST(INLINE_VALUES)
// CPython's layouts from 3.13 (Include/internal/pycore_dict.h, pycore_object.h), read
// here only for instances of a type that usable() accepted.
namespace layout {
struct Values {
    std::uint8_t capacity, size, embedded, valid;
    PyObject *values[1];
};
constexpr Py_ssize_t kManagedDictOffset = -3 * Py_ssize_t(sizeof(PyObject *));  // MANAGED_DICT_OFFSET
inline Values *values(PyObject *obj) {
    return reinterpret_cast<Values *>(reinterpret_cast<char *>(obj) + sizeof(PyObject));
}
inline PyObject *managed_dict(PyObject *obj) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + kManagedDictOffset);
}
}  // namespace layout

// Where the value at `index` of `obj` is, when its inline values are current (no
// dictionary has taken over); else null.  With `for_store`, also null if a
// dictionary was made for them (it must then see every write).
inline PyObject **slot_of(PyObject *obj, Py_ssize_t index, bool for_store = false) {
    layout::Values *v = layout::values(obj);
    if (!v->valid || index >= v->capacity || (for_store && layout::managed_dict(obj))) return nullptr;
    return v->values + index;
}
// The inline values of `obj` are current.
inline bool current(PyObject *obj) { return layout::values(obj)->valid; }
#else
inline PyObject **slot_of(PyObject *, Py_ssize_t, bool = false) { return nullptr; }
inline bool current(PyObject *) { return false; }
#endif

}  // namespace frame::inline_values
