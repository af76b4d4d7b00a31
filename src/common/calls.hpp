// Calls and literals for hot paths, spelled as the Python they stand for.
//
//     TickObject(instrument, tick)
//         vcall(TickObject, instrument, tick)
//     Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt)
//         vcall_kw<"calendar_dt", "trading_dt">(Event, {tick_type, dt, dt})
//     event_queue.append(event)
//         method(event_queue, "append"_n)(event)          (attributes.hpp)
//     {"market_code": code, "datetime": dt}
//         dict_of<"market_code", "datetime">({code, dt})
//     "on_login " + a + ", code:" + b          (all str)
//         concat({"on_login "_n, a, ", code:"_n, b})
//     x / 1000
//         truediv(x, 1000_i)
//
// Calls go through vectorcall.  Arguments given one by one may include at most one
// computed in place (see ops.hpp); several computed arguments go in a braced
// list, which C++ evaluates left to right, and then the callee must already be a
// named value, since Python evaluates the callee before the arguments.  Besides
// interned strings, two kinds of immutable constants are kept in process-wide
// state, each made once, as a code object keeps its constants: keyword-name
// tuples (of interned names) and int literals (`1000_i`).
#pragma once
#include "attributes.hpp"

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

template <char... C>
constexpr long long parse_int() {
    long long v = 0;
    for (char c : {C...})
        if (c != '\'') v = v * 10 + (c - '0');
    return v;
}

inline py::object vectorcall(py::handle callable, std::initializer_list<py::handle> args, std::size_t nk,
                             PyObject *kwnames) {
    Argv argv(py::handle(), args);
    if (argv.size() < nk) throw py::value_error("frame: fewer values than keyword names");
    return steal(call_vector(callable.ptr(), argv.args(), static_cast<Py_ssize_t>(argv.size() - nk), kwnames));
}

[[gnu::cold]] PyObject *make_int(long long value);

// A dict of `names` (a tuple of str) to `values`, in that order.
inline py::object dict_from(PyObject *const *values, PyObject *names) {
#if FRAME_FAST(STACK_AS_DICT)
    return steal(_PyStack_AsDict(values, names));
#else
    py::object d = steal(PyDict_New());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
        if (PyDict_SetItem(d.ptr(), PyTuple_GET_ITEM(names, i), values[i]) < 0) raise_current();
    return d;
#endif
}

}  // namespace detail

// An int constant: `1000_i`, `-1_i`.
template <long long V>
struct Int {
    static PyObject *get() {
        static PyObject *value = nullptr;  // made on first use, as names are (names.hpp)
        if (__builtin_expect(value == nullptr, 0)) value = detail::make_int(V);
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

// `callable(a, b, ...)`, at most one of the callee and its arguments computed in place.
template <typename C, typename... A>
py::object vcall(C &&callable, A &&...args) {
    FRAME_IN_ORDER(C, A...);
    PyObject *argv[] = {nullptr, py::handle(args).ptr()...};
    return steal(detail::call_positional(py::handle(callable).ptr(), argv + 1, sizeof...(A)));
}
// `callable(a(), b(), ...)`: the arguments in a braced list, the callee a named value.
inline py::object vcall(const py::object &callable, std::initializer_list<py::handle> args) {
    return detail::vectorcall(callable, args, 0, nullptr);
}
inline py::object vcall(py::handle callable, std::initializer_list<py::handle> args) {
    return detail::vectorcall(callable, args, 0, nullptr);
}
py::object vcall(py::object &&callable, std::initializer_list<py::handle> args) = delete;

// `callable(p..., k1=v1, k2=v2)`: the last sizeof...(K) values are the keyword
// arguments named K, in that order; the values before them are positional.
template <FixedString... K>
py::object vcall_kw(const py::object &callable, std::initializer_list<py::handle> args) {
    return detail::vectorcall(callable, args, sizeof...(K), Method::keyword_names<K...>());
}
template <FixedString... K>
py::object vcall_kw(py::handle callable, std::initializer_list<py::handle> args) {
    return detail::vectorcall(callable, args, sizeof...(K), Method::keyword_names<K...>());
}
template <FixedString... K>
py::object vcall_kw(py::object &&callable, std::initializer_list<py::handle> args) = delete;
// The same with the values one by one, at most one of them and the callee computed in place.
template <FixedString... K, typename C, typename... A>
py::object vcall_kw(C &&callable, A &&...args) {
    FRAME_IN_ORDER(C, A...);
    static_assert(sizeof...(A) >= sizeof...(K), "fewer values than keyword names");
    PyObject *argv[] = {nullptr, py::handle(args).ptr()...};
    return steal(detail::call_vector(py::handle(callable).ptr(), argv + 1, sizeof...(A) - sizeof...(K),
                                     Method::keyword_names<K...>()));
}

// `callable(*args, **kwargs)` with a tuple and a dict (or null).
template <typename C, typename A, typename K = py::handle>
py::object call_with(C &&callable, A &&args, K &&kwargs = py::handle()) {
    FRAME_IN_ORDER(C, A, K);
    return steal(PyObject_Call(py::handle(callable).ptr(), py::handle(args).ptr(), py::handle(kwargs).ptr()));
}

namespace detail {
bool contains_method(py::handle container, py::handle key);
}
// `container.__contains__(key)`, then the truth test of its answer.  An exact
// dict's `__contains__` is dict's own, so it is asked directly.
template <typename C, typename K>
bool contains_method(C &&container, K &&key) {
    FRAME_IN_ORDER(C, K);
    return detail::contains_method(container, key);
}

// The dict literal `{"k1": v1, "k2": v2, ...}`, keys in the given order: made as the
// interpreter makes a call's keyword dict (presized, from the names' tuple).
template <FixedString... K>
py::object dict_of(std::initializer_list<py::handle> values) {
    static_assert(sizeof...(K) > 0);
    if (values.size() != sizeof...(K)) throw py::value_error("frame: dict_of needs one value per key");
    PyObject *items[sizeof...(K)];
    std::size_t i = 0;
    for (py::handle v : values) items[i++] = v.ptr();
    return detail::dict_from(items, Method::keyword_names<K...>());
}

// The tuple display `(a, b, ...)` and the list display `[a, b, ...]`.
py::object tuple_of(std::initializer_list<py::handle> items);
py::object list_of(std::initializer_list<py::handle> items);

// `a + b + c` over str operands (results of str(), format() and literal texts).
py::object concat(std::initializer_list<py::handle> parts);

}  // namespace frame
