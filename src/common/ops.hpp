// Python operations spelled as Python spells them, for module bodies.
//
// Values that come from the framework or the SDK stay Python objects: comparisons,
// arithmetic and truth tests go through the interpreter so that ints, floats,
// numpy scalars, enumerations and strings behave exactly as in Python code.
#pragma once
#include "names.hpp"

#include <cstddef>
#include <type_traits>

namespace frame {

[[noreturn]] void raise_current();  // throws py::error_already_set for the pending error
// `raise exc`: an exception instance, or a class to instantiate with no arguments.
[[noreturn]] void raise(py::handle exc);

inline py::object steal(PyObject *p) {
    if (!p) raise_current();
    return py::reinterpret_steal<py::object>(p);
}
inline py::object borrow(PyObject *p) { return py::reinterpret_borrow<py::object>(p); }

// `if x:`
inline bool truth(py::handle x) {
    int r = PyObject_IsTrue(x.ptr());
    if (r < 0) raise_current();
    return r;
}
// `x == y`, `x < y`, ...: the rich comparison, then the truth test of its result
// (no identity shortcut, so nan == nan is false as in Python).
inline bool compare(py::handle a, py::handle b, int op) {
    return truth(steal(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}
inline bool eq(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
inline bool ne(py::handle a, py::handle b) { return compare(a, b, Py_NE); }
inline bool lt(py::handle a, py::handle b) { return compare(a, b, Py_LT); }
inline bool gt(py::handle a, py::handle b) { return compare(a, b, Py_GT); }

inline py::object truediv(py::handle a, py::handle b) { return steal(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
inline py::object add(py::handle a, py::handle b) { return steal(PyNumber_Add(a.ptr(), b.ptr())); }
inline py::object sub(py::handle a, py::handle b) { return steal(PyNumber_Subtract(a.ptr(), b.ptr())); }
inline py::object mul(py::handle a, py::handle b) { return steal(PyNumber_Multiply(a.ptr(), b.ptr())); }
inline py::object neg(py::handle a) { return steal(PyNumber_Negative(a.ptr())); }

// `str(x)` and `format(x, '')`
inline py::object str(py::handle x) { return steal(PyObject_Str(x.ptr())); }
inline py::object format(py::handle x) { return steal(PyObject_Format(x.ptr(), nullptr)); }

// `x is None`
inline bool is_none(py::handle x) { return x.ptr() == Py_None; }

// `x[a:b:c]`, each bound a Python object (None for an open end).
inline py::object slice(py::handle start, py::handle stop, py::handle step = py::none()) {
    return steal(PySlice_New(start.ptr(), stop.ptr(), step.ptr()));
}
inline py::object getitem(py::handle container, py::handle key) {
    return steal(PyObject_GetItem(container.ptr(), key.ptr()));
}
inline void setitem(py::handle container, py::handle key, py::handle value) {
    if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) raise_current();
}
// getattr and setattr are pybind11's (py::getattr, py::setattr).
// `hasattr(obj, name)`: only AttributeError means "no"; other errors propagate.
bool has_attribute(py::handle obj, py::handle name);

// `len(x)` as a Python int.
inline py::object len_of(py::handle x) {
    Py_ssize_t n = PyObject_Length(x.ptr());
    if (n < 0) raise_current();
    return steal(PyLong_FromSsize_t(n));
}

namespace detail {
// Arguments that only pybind11's call can take: keywords and unpackings.
template <typename T>
inline constexpr bool special_argument =
    std::is_same_v<T, py::arg> || std::is_same_v<T, py::arg_v> || std::is_same_v<T, py::detail::args_proxy> ||
    std::is_same_v<T, py::detail::kwargs_proxy>;
}  // namespace detail

// `obj.method(args...)` through the interned method name.  Positional arguments
// (Python objects, or C++ values converted as pybind11 converts them) go by
// vectorcall, the method looked up as the interpreter's method calls look it up;
// a call with keyword arguments goes through pybind11.
template <typename... Args>
py::object call_method(py::handle obj, py::handle name, Args &&...args) {
    if constexpr ((!detail::special_argument<std::decay_t<Args>> && ...)) {
        // Converted as pybind11's own calls convert (make_tuple).
        py::object values[] = {py::reinterpret_borrow<py::object>(obj),
                               py::reinterpret_steal<py::object>(py::detail::make_caster<Args>::cast(
                                   std::forward<Args>(args), py::return_value_policy::automatic_reference, nullptr))...};
        PyObject *argv[sizeof...(Args) + 1];
        for (std::size_t i = 0; i < sizeof...(Args) + 1; ++i) {
            if (!values[i]) throw py::cast_error("frame: cannot convert a call argument to a Python object");
            argv[i] = values[i].ptr();
        }
        return steal(PyObject_VectorcallMethod(name.ptr(), argv, sizeof...(Args) + 1, nullptr));
    } else {
        return py::getattr(obj, name)(std::forward<Args>(args)...);
    }
}

}  // namespace frame
