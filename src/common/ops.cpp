#include "ops.hpp"

namespace frame {
namespace {

// A slice bound given as None or an exact int that fits a Py_ssize_t.
bool plain_bound(PyObject *bound, Py_ssize_t if_none, Py_ssize_t &out) {
    if (bound == Py_None) {
        out = if_none;
        return true;
    }
    if (!PyLong_CheckExact(bound)) return false;
    out = PyLong_AsSsize_t(bound);
    if (out == -1 && PyErr_Occurred()) return PyErr_Clear(), false;
    return true;
}

}  // namespace

py::object detail::getslice(PyObject *x, PyObject *start, PyObject *stop) {
    // An exact str cut by plain bounds: the substring, without making a slice object.
    Py_ssize_t a, b;
    if (PyUnicode_CheckExact(x) && plain_bound(start, 0, a) && plain_bound(stop, PY_SSIZE_T_MAX, b)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(x);
        if (PySlice_AdjustIndices(length, &a, &b, 1) <= 0) return steal(PyUnicode_Substring(x, 0, 0));
        return steal(PyUnicode_Substring(x, a, b));
    }
    py::object bounds = steal(PySlice_New(start, stop, nullptr));
    return steal(PyObject_GetItem(x, bounds.ptr()));
}

}  // namespace frame
