#include "calls.hpp"

#include <algorithm>
#include <cstring>

namespace frame {

bool detail::contains_method(py::handle container, py::handle key) {
    if (PyDict_CheckExact(container.ptr())) {
        int r = PyDict_Contains(container.ptr(), key.ptr());
        if (r < 0) raise_current();
        return r;
    }
    return frame::truth(method(container, "__contains__"_n)(key));
}

py::object tuple_of(std::initializer_list<py::handle> items) {
    py::object tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (py::handle item : items) PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(item.ptr()));
    return tuple;
}

py::object list_of(std::initializer_list<py::handle> items) {
    py::object list = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (py::handle item : items) PyList_SET_ITEM(list.ptr(), i++, Py_NewRef(item.ptr()));
    return list;
}

py::object concat(std::initializer_list<py::handle> parts) {
    // Exact str parts: one new str, made at once.  Anything else: `+` after `+`, so that
    // a str subclass's __radd__, or the interpreter's TypeError, is what Python gives.
    Py_ssize_t length = 0, longest = -1;
    Py_UCS4 widest = 0;
    bool exact = true;
    PyObject *whole = nullptr;
    for (py::handle p : parts) {
        if (!PyUnicode_CheckExact(p.ptr())) {
            exact = false;
            break;
        }
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(p.ptr()) < 0) raise_current();  // a legacy str made by the old API
#endif
        Py_ssize_t n = PyUnicode_GET_LENGTH(p.ptr());
        if (n > longest) longest = n, whole = p.ptr();
        length += n;
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(p.ptr()));
    }
    if (!exact) {
        auto it = parts.begin();
        py::object sum = borrow(it->ptr());
        for (++it; it != parts.end(); ++it) sum = add(sum, *it);
        return sum;
    }
    // One part holding every character (the others empty) is the result itself, as `+` gives it.
    if (longest == length) return borrow(whole);
    py::object joined = steal(PyUnicode_New(length, widest));
    // Parts as wide as the result are copied as bytes; a narrower part is widened.
    const int kind = PyUnicode_KIND(joined.ptr());
    char *out = static_cast<char *>(PyUnicode_DATA(joined.ptr()));
    Py_ssize_t at = 0;
    for (py::handle p : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p.ptr());
        if (static_cast<int>(PyUnicode_KIND(p.ptr())) == kind)
            std::memcpy(out + at * kind, PyUnicode_DATA(p.ptr()), static_cast<std::size_t>(n) * kind);
        else if (n && PyUnicode_CopyCharacters(joined.ptr(), at, p.ptr(), 0, n) < 0)
            raise_current();
        at += n;
    }
    return joined;
}

}  // namespace frame
