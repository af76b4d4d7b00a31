// Python operations spelled as Python spells them, for module bodies.
//
// Values that come from the framework or the SDK stay Python objects: comparisons,
// arithmetic and truth tests go through the interpreter so that ints, floats,
// numpy scalars, enumerations and strings behave exactly as in Python code.
//
// Order of evaluation.  Python evaluates operands left to right; C++ evaluates a
// function's arguments in no fixed order.  So that the two cannot disagree, an
// operation takes at most one operand computed in place (a `py::object` returned
// by a call, which may have side effects or raise); the others must be values
// already named, constants or parameters.  `eq(attr(a, "x"_n), attr(a, "y"_n))`
// does not compile: name the first operand first, in Python's order.
#pragma once
#include "names.hpp"

#include <cstddef>
#include <type_traits>

namespace frame {

namespace detail {
// An operand computed in place: a temporary py::object (the result of a call).
template <typename T>
inline constexpr bool computed = std::is_same_v<std::remove_cvref_t<T>, py::object> && !std::is_lvalue_reference_v<T>;
template <typename... T>
inline constexpr int computed_count = (0 + ... + int{computed<T>});
}  // namespace detail

#define FRAME_IN_ORDER(...)                                                                  \
    static_assert(::frame::detail::computed_count<__VA_ARGS__> <= 1,                        \
                  "operands are evaluated in no fixed order: name all but one of the "      \
                  "computed operands first, in the order Python evaluates them")

[[noreturn]] void raise_current();  // throws py::error_already_set for the pending error
// `raise exc`: an exception instance, or a class to instantiate with no arguments.
[[noreturn]] void raise(py::handle exc);

inline py::object steal(PyObject *p) {
    if (!p) raise_current();
    return py::reinterpret_steal<py::object>(p);
}
inline py::object borrow(PyObject *p) { return py::reinterpret_borrow<py::object>(p); }

namespace detail {
inline bool truth(PyObject *x) {
    int r = PyObject_IsTrue(x);
    if (r < 0) raise_current();
    return r;
}
// The rich comparison, then the truth test of its result (no identity shortcut,
// so nan == nan is false as in Python).
bool compare(PyObject *a, PyObject *b, int op);
// PyNumber_Add and its kin, straight to the slot for exact ints and floats.
PyObject *number_add(PyObject *a, PyObject *b);
PyObject *number_subtract(PyObject *a, PyObject *b);
PyObject *number_multiply(PyObject *a, PyObject *b);
PyObject *number_true_divide(PyObject *a, PyObject *b);
// PyNumber_InPlaceAdd, the same way.
PyObject *number_inplace_add(PyObject *a, PyObject *b);
template <typename F, typename A, typename B>
py::object binary(F op, A &&a, B &&b) {
    return steal(op(py::handle(a).ptr(), py::handle(b).ptr()));
}
}  // namespace detail

// `if x:`
inline bool truth(py::handle x) { return detail::truth(x.ptr()); }

// `a == b`, `a != b`, `a < b`, `a > b`
template <typename A, typename B>
bool eq(A &&a, B &&b) {
    FRAME_IN_ORDER(A, B);
    return detail::compare(py::handle(a).ptr(), py::handle(b).ptr(), Py_EQ);
}
template <typename A, typename B>
bool ne(A &&a, B &&b) {
    FRAME_IN_ORDER(A, B);
    return detail::compare(py::handle(a).ptr(), py::handle(b).ptr(), Py_NE);
}
template <typename A, typename B>
bool lt(A &&a, B &&b) {
    FRAME_IN_ORDER(A, B);
    return detail::compare(py::handle(a).ptr(), py::handle(b).ptr(), Py_LT);
}
template <typename A, typename B>
bool gt(A &&a, B &&b) {
    FRAME_IN_ORDER(A, B);
    return detail::compare(py::handle(a).ptr(), py::handle(b).ptr(), Py_GT);
}

// `a / b`, `a + b`, `a - b`, `a * b`, `a += b`
template <typename A, typename B>
py::object truediv(A &&a, B &&b) {
    FRAME_IN_ORDER(A, B);
    return detail::binary(detail::number_true_divide, a, b);
}
template <typename A, typename B>
py::object add(A &&a, B &&b) {
    FRAME_IN_ORDER(A, B);
    return detail::binary(detail::number_add, a, b);
}
template <typename A, typename B>
py::object sub(A &&a, B &&b) {
    FRAME_IN_ORDER(A, B);
    return detail::binary(detail::number_subtract, a, b);
}
template <typename A, typename B>
py::object mul(A &&a, B &&b) {
    FRAME_IN_ORDER(A, B);
    return detail::binary(detail::number_multiply, a, b);
}
// `a += b` gives the value to bind to `a`: what `a.__iadd__(b)` returns (a list or a
// deque extended in place, say), else `a + b`, as the interpreter's in-place protocol does.
template <typename A, typename B>
py::object inplace_add(A &&a, B &&b) {
    FRAME_IN_ORDER(A, B);
    return detail::binary(detail::number_inplace_add, a, b);
}
inline py::object neg(py::handle a) { return steal(PyNumber_Negative(a.ptr())); }
// `int(x)`
inline py::object to_int(py::handle x) { return steal(PyNumber_Long(x.ptr())); }

// `str(x)` and `format(x, '')`
inline py::object str(py::handle x) { return steal(PyObject_Str(x.ptr())); }
inline py::object format(py::handle x) { return steal(PyObject_Format(x.ptr(), nullptr)); }

// `x is None`
inline bool is_none(py::handle x) { return x.ptr() == Py_None; }

// `x[a:b:c]`, each bound a Python object (None for an open end).
template <typename A, typename B>
py::object slice(A &&start, B &&stop, py::handle step = py::handle(Py_None)) {
    FRAME_IN_ORDER(A, B);
    return steal(PySlice_New(py::handle(start).ptr(), py::handle(stop).ptr(), step.ptr()));
}
namespace detail {
py::object getslice(PyObject *x, PyObject *start, PyObject *stop);
}
// `x[start:stop]`, each bound a Python object (None for an open end).
template <typename X, typename A, typename B>
py::object getslice(X &&x, A &&start, B &&stop) {
    FRAME_IN_ORDER(X, A, B);
    return detail::getslice(py::handle(x).ptr(), py::handle(start).ptr(), py::handle(stop).ptr());
}

// `container[key]`
template <typename C, typename K>
py::object getitem(C &&container, K &&key) {
    FRAME_IN_ORDER(C, K);
    return steal(PyObject_GetItem(py::handle(container).ptr(), py::handle(key).ptr()));
}
// `container[key] = value`
template <typename C, typename K, typename V>
void setitem(C &&container, K &&key, V &&value) {
    FRAME_IN_ORDER(C, K, V);
    if (PyObject_SetItem(py::handle(container).ptr(), py::handle(key).ptr(), py::handle(value).ptr()) < 0)
        raise_current();
}

// `len(x)` as a Python int.
inline py::object len_of(py::handle x) {
    Py_ssize_t n = PyObject_Length(x.ptr());
    if (n < 0) raise_current();
    return steal(PyLong_FromSsize_t(n));
}

// `key in container`
template <typename K, typename C>
bool contains(K &&key, C &&container) {
    FRAME_IN_ORDER(K, C);
    int r = PySequence_Contains(py::handle(container).ptr(), py::handle(key).ptr());
    if (r < 0) raise_current();
    return r;
}

}  // namespace frame
