// Calls and literals for hot paths, spelled as the Python they stand for.
//
//     Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt)
//         vcall_kw<"calendar_dt", "trading_dt">(Event, {tick_type, dt, dt})
//     event_queue.append(event)
//         vcall_method(event_queue, "append"_n, {event})
//     {"market_code": code, "datetime": dt}
//         dict_of<"market_code", "datetime">({code, dt})
//     "on_login " + a + ", code:" + b          (all str)
//         concat({"on_login "_n, a, ", code:"_n, b})
//
//     x / 1000
//         truediv(x, 1000_i)
//
// Arguments go in a braced list, which C++ evaluates left to right, so attribute
// reads and calls happen in the order the Python expression makes them (function
// arguments would be evaluated in an unspecified order).  Calls go through
// vectorcall.  Besides interned strings, two kinds of immutable constants are
// kept in process-wide state, each made once, as a code object keeps its
// constants: keyword-name tuples (of interned names) and int literals (`1000_i`).
#pragma once
#include "ops.hpp"

#include <cstddef>
#include <initializer_list>

namespace frame {

namespace detail {

// The arguments of one vectorcall, with a free slot in front for
// PY_VECTORCALL_ARGUMENTS_OFFSET.
class Argv {
public:
    Argv(py::handle first, std::initializer_list<py::handle> rest) {
        n_ = rest.size() + (first ? 1 : 0);
        slots_ = n_ + 1 <= kInline ? inline_ : new PyObject *[n_ + 1];
        PyObject **p = slots_ + 1;
        if (first) *p++ = first.ptr();
        for (py::handle h : rest) *p++ = h.ptr();
    }
    ~Argv() {
        if (slots_ != inline_) delete[] slots_;
    }
    Argv(const Argv &) = delete;
    Argv &operator=(const Argv &) = delete;
    PyObject *const *args() const { return slots_ + 1; }
    std::size_t size() const { return n_; }

private:
    static constexpr std::size_t kInline = 24;
    PyObject *inline_[kInline];
    PyObject **slots_;
    std::size_t n_;
};

template <FixedString... K>
PyObject *keyword_names() {
    static PyObject *const names = [] {
        PyObject *t = PyTuple_Pack(sizeof...(K), Name<K>::get()...);
        if (!t) Py_FatalError("frame: cannot make a keyword-name tuple");
        return t;
    }();
    return names;
}

template <char... C>
constexpr long long parse_int() {
    long long v = 0;
    for (char c : {C...})
        if (c != '\'') v = v * 10 + (c - '0');
    return v;
}

}  // namespace detail

// An int constant: `1000_i`, `-1_i`.
template <long long V>
struct Int {
    static PyObject *get() {
        static PyObject *const value = [] {
            PyObject *o = PyLong_FromLongLong(V);
            if (!o) Py_FatalError("frame: cannot make an int constant");
            return o;
        }();
        return value;
    }
    operator py::handle() const { return get(); }
    PyObject *ptr() const { return get(); }
};
template <long long V>
constexpr Int<-V> operator-(Int<V>) { return {}; }

inline namespace literals {
template <char... C>
constexpr Int<detail::parse_int<C...>()> operator""_i() { return {}; }
}  // namespace literals

// `callable(a, b, ...)`
inline py::object vcall(py::handle callable, std::initializer_list<py::handle> args = {}) {
    detail::Argv argv(py::handle(), args);
    return steal(PyObject_Vectorcall(callable.ptr(), argv.args(), argv.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `callable(p..., k1=v1, k2=v2)`: the last sizeof...(K) values are the keyword
// arguments named K, in that order; the values before them are positional.
template <FixedString... K>
py::object vcall_kw(py::handle callable, std::initializer_list<py::handle> args) {
    constexpr std::size_t nk = sizeof...(K);
    detail::Argv argv(py::handle(), args);
    if (argv.size() < nk) throw py::value_error("frame: fewer values than keyword names");
    return steal(PyObject_Vectorcall(callable.ptr(), argv.args(), (argv.size() - nk) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     detail::keyword_names<K...>()));
}

// `obj.name(a, b, ...)`: the method is looked up at the call, as Python does.
inline py::object vcall_method(py::handle obj, py::handle name, std::initializer_list<py::handle> args = {}) {
    detail::Argv argv(obj, args);
    return steal(PyObject_VectorcallMethod(name.ptr(), argv.args(), argv.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `obj.name(p..., k1=v1, ...)`, keyword values last as in vcall_kw.
template <FixedString... K>
py::object vcall_method_kw(py::handle obj, py::handle name, std::initializer_list<py::handle> args) {
    constexpr std::size_t nk = sizeof...(K);
    detail::Argv argv(obj, args);
    if (argv.size() < nk + 1) throw py::value_error("frame: fewer values than keyword names");
    return steal(PyObject_VectorcallMethod(name.ptr(), argv.args(), (argv.size() - nk) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           detail::keyword_names<K...>()));
}

// `container.__contains__(key)`, then the truth test of its answer.  An exact
// dict's `__contains__` is dict's own, so it is asked directly.
inline bool contains_method(py::handle container, py::handle key) {
    if (PyDict_CheckExact(container.ptr())) {
        int r = PyDict_Contains(container.ptr(), key.ptr());
        if (r < 0) raise_current();
        return r;
    }
    return truth(vcall_method(container, "__contains__"_n, {key}));
}

// The dict literal `{"k1": v1, "k2": v2, ...}`, keys in the given order.
template <FixedString... K>
py::object dict_of(std::initializer_list<py::handle> values) {
    static_assert(sizeof...(K) > 0);
    if (values.size() != sizeof...(K)) throw py::value_error("frame: dict_of needs one value per key");
    PyObject *const keys[] = {Name<K>::get()...};
    py::object d = steal(_PyDict_NewPresized(sizeof...(K)));
    std::size_t i = 0;
    for (py::handle v : values)
        if (PyDict_SetItem(d.ptr(), keys[i++], v.ptr()) < 0) raise_current();
    return d;
}

// `a + b + c` over str operands (results of str(), format() and literal texts).
inline py::object concat(std::initializer_list<py::handle> parts) {
    py::object tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (py::handle p : parts) {
        if (!PyUnicode_Check(p.ptr())) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(p.ptr())->tp_name);
            raise_current();
        }
        PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(p.ptr()));
    }
    return steal(PyUnicode_Join(Name<"">::get(), tuple.ptr()));
}

}  // namespace frame
