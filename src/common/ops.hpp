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
// `name=value` (py::arg("name") = value).
template <typename T>
inline constexpr bool keyword_argument = std::is_same_v<T, py::arg_v>;
// Arguments only pybind11's own call takes: a bare py::arg and unpackings.
template <typename T>
inline constexpr bool special_argument =
    std::is_same_v<T, py::arg> || std::is_same_v<T, py::detail::args_proxy> ||
    std::is_same_v<T, py::detail::kwargs_proxy>;
// No positional argument after a keyword one (as Python's own syntax demands).
template <typename... Args>
constexpr bool keywords_last() {
    bool seen = false, ok = true;
    ((keyword_argument<std::decay_t<Args>> ? (void)(seen = true) : (void)(ok = ok && !seen)), ...);
    return ok;
}

// One argument as a Python object: a keyword's value, or a positional argument
// converted as pybind11's own calls convert it (make_tuple).
template <typename T>
py::object argument_value(T &&arg) {
    if constexpr (keyword_argument<std::decay_t<T>>) {
        if (!arg.value) throw py::cast_error("frame: cannot convert a keyword argument to a Python object");
        return arg.value;
    } else {
        py::object o = py::reinterpret_steal<py::object>(py::detail::make_caster<T>::cast(
            std::forward<T>(arg), py::return_value_policy::automatic_reference, nullptr));
        if (!o) throw py::cast_error("frame: cannot convert a call argument to a Python object");
        return o;
    }
}
template <typename T>
const char *keyword_name(const T &arg) {
    if constexpr (keyword_argument<T>) return arg.name;
    else return nullptr;
}
}  // namespace detail

// `obj.method(args...)` through the interned method name, by vectorcall: the method
// is found as the interpreter's method calls find it, positional arguments (Python
// objects, or C++ values) are converted as pybind11 converts them, and keyword
// arguments (`py::arg("name") = value`) are passed under interned names, as the
// compiler passes a call's keywords.  Unpackings go through pybind11's call.
template <typename... Args>
py::object call_method(py::handle obj, py::handle name, Args &&...args) {
    constexpr std::size_t n = sizeof...(Args);
    if constexpr ((!detail::special_argument<std::decay_t<Args>> && ...) && detail::keywords_last<Args...>()) {
        constexpr std::size_t nk = (std::size_t{detail::keyword_argument<std::decay_t<Args>>} + ... + 0);
        const char *names[n + 1] = {detail::keyword_name(args)..., nullptr};
        py::object values[n + 1] = {py::reinterpret_borrow<py::object>(obj),
                                    detail::argument_value(std::forward<Args>(args))...};
        PyObject *argv[n + 1];
        for (std::size_t i = 0; i <= n; ++i) argv[i] = values[i].ptr();
        py::object kwnames;
        if constexpr (nk > 0) {
            kwnames = steal(PyTuple_New(nk));
            for (std::size_t i = n - nk, k = 0; i < n; ++i, ++k) {
                PyObject *key = PyUnicode_InternFromString(names[i]);
                if (!key) raise_current();
                PyTuple_SET_ITEM(kwnames.ptr(), k, key);
            }
        }
        return steal(PyObject_VectorcallMethod(name.ptr(), argv, (n + 1 - nk), kwnames.ptr()));
    } else {
        return py::getattr(obj, name)(std::forward<Args>(args)...);
    }
}

}  // namespace frame
