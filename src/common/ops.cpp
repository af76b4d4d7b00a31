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

// Operands whose arithmetic the left one's own slot answers, as PyNumber_Add and
// its kin would find: the same exact type (int or float), or an exact float and an
// exact int.  Neither type has in-place slots, so for these operands alone
// PyNumber_InPlaceAdd is their `+`; every other operand takes the in-place protocol.
bool plain_numbers(PyObject *a, PyObject *b) {
    PyTypeObject *ta = Py_TYPE(a), *tb = Py_TYPE(b);
    return (ta == &PyLong_Type || ta == &PyFloat_Type) && (tb == ta || tb == &PyLong_Type);
}

}  // namespace

bool detail::compare(PyObject *a, PyObject *b, int op) {
    PyTypeObject *ta = Py_TYPE(a), *tb = Py_TYPE(b);
    // Two exact floats compare as C doubles do, nan included.  An exact float or int
    // against an exact int: the left operand's own comparison answers, as
    // PyObject_RichCompare would ask it first, without the recursion guard and the
    // reflected-operand checks, which cannot apply to these types.
    if (ta == &PyFloat_Type && tb == &PyFloat_Type) {
        double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        switch (op) {
        case Py_EQ: return x == y;
        case Py_NE: return x != y;
        case Py_LT: return x < y;
        case Py_LE: return x <= y;
        case Py_GT: return x > y;
        case Py_GE: return x >= y;
        }
    }
    PyObject *r = (ta == &PyFloat_Type || ta == &PyLong_Type) && tb == &PyLong_Type ? ta->tp_richcompare(a, b, op)
                                                                                   : PyObject_RichCompare(a, b, op);
    if (!r) raise_current();
    if (r == Py_True || r == Py_False) {
        Py_DECREF(r);
        return r == Py_True;
    }
    py::object result = steal(r);
    return truth(r);
}

PyObject *detail::number_add(PyObject *a, PyObject *b) {
    return plain_numbers(a, b) ? Py_TYPE(a)->tp_as_number->nb_add(a, b) : PyNumber_Add(a, b);
}
PyObject *detail::number_inplace_add(PyObject *a, PyObject *b) {
    return plain_numbers(a, b) ? Py_TYPE(a)->tp_as_number->nb_add(a, b) : PyNumber_InPlaceAdd(a, b);
}
PyObject *detail::number_subtract(PyObject *a, PyObject *b) {
    return plain_numbers(a, b) ? Py_TYPE(a)->tp_as_number->nb_subtract(a, b) : PyNumber_Subtract(a, b);
}
PyObject *detail::number_multiply(PyObject *a, PyObject *b) {
    return plain_numbers(a, b) ? Py_TYPE(a)->tp_as_number->nb_multiply(a, b) : PyNumber_Multiply(a, b);
}
PyObject *detail::number_true_divide(PyObject *a, PyObject *b) {
    return plain_numbers(a, b) ? Py_TYPE(a)->tp_as_number->nb_true_divide(a, b) : PyNumber_TrueDivide(a, b);
}

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
