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
// (and using the generic lookup otherwise, and on any other interpreter).
#pragma once
#include <Python.h>

namespace frame::inline_values {

// Instances of `type` keep their attributes inline, in the layout checked here.
bool usable(PyTypeObject *type);

// Where `name` is among the keys `type` shares (its index), or -1; `count` is set to
// how many keys there are, so that a name found missing stays missing while the
// count is the same (keys are only ever added).
Py_ssize_t index_of(PyTypeObject *type, PyObject *name, Py_ssize_t &count);
Py_ssize_t key_count(PyTypeObject *type);

// Where the value at `index` of `obj` is, when its inline values are current (no
// dictionary has taken over); else null.  With `for_store`, also null if a
// dictionary was made for them (it must then see every write).
PyObject **slot_of(PyObject *obj, Py_ssize_t index, bool for_store = false);
// The inline values of `obj` are current.
bool current(PyObject *obj);

}  // namespace frame::inline_values
