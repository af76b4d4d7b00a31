#include "calls.hpp"

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
    for (py::handle p : parts)
        if (!PyUnicode_Check(p.ptr())) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(p.ptr())->tp_name);
            raise_current();
        }
    return steal(PyUnicode_Join(Name<"">::get(), tuple_of(parts).ptr()));
}

}  // namespace frame
