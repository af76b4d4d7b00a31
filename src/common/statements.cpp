#include "statements.hpp"

#include "errors.hpp"

namespace frame {

void unpack_into(py::handle iterable, py::object *targets, int n) {
    PyObject *iterator = PyObject_GetIter(iterable.ptr());
    if (!iterator) {
        // The interpreter's wording for a value that cannot be unpacked at all.
        PyTypeObject *type = Py_TYPE(iterable.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter && !PySequence_Check(iterable.ptr()))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
        raise_current();
    }
    py::object it = steal(iterator);
    for (int i = 0; i < n; ++i) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) raise_current();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", n, i);
            raise_current();
        }
        targets[i] = steal(item);
    }
    PyObject *extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyObject *v = iterable.ptr();
#if PY_VERSION_HEX >= 0x030E0000
        // From 3.14 the interpreter also says how many a list, tuple or dict held.
        if (PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyDict_CheckExact(v)) {
            Py_ssize_t size = PyDict_CheckExact(v) ? PyDict_Size(v) : Py_SIZE(v);
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d, got %zd)", n, size);
            raise_current();
        }
#endif
        (void)v;
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", n);
        raise_current();
    }
    if (PyErr_Occurred()) raise_current();
}

py::object caught_matching(py::handle type) {
    restore_current_exception();
    if (!PyErr_ExceptionMatches(type.ptr())) raise_current();
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    if (!v) {
        PyErr_SetString(PyExc_SystemError, "frame: an exception without a value");
        raise_current();
    }
    return steal(v);
}

[[noreturn]] void cannot_import(py::handle name, py::handle module) {
    py::object modname = py::getattr(module, "__name__"_n);
    PyObject *file = PyObject_GetAttrString(module.ptr(), "__file__");
    if (!file) PyErr_Clear();
    if (file && file != Py_None)
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U' (%S)", name.ptr(), modname.ptr(), file);
    else
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U' (unknown location)", name.ptr(),
                     modname.ptr());
    Py_XDECREF(file);
    raise_current();
}

}  // namespace frame
