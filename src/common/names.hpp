// Interned names: "history_bar"_n is a handle to the interned str "history_bar".
//
// Every module reads its globals and attributes by name, on every call, as Python
// code does.  Interning each name once (on first use, in a function-local static)
// makes those lookups hash-cached pointer compares.  Interned strings, and the int
// constants and keyword-name tuples made the same way (calls.hpp, attributes.hpp),
// are the only Python objects the frame keeps in process-wide C++ state: all
// immutable.
//
// The static is a plain pointer, constant-initialised to null, rather than one
// initialised by its first use: that would put a thread-safe-initialisation guard
// and its slow path inline at every use, and callbacks that read thirty names
// would carry thirty of them among their hot instructions.  The first use, which
// the GIL serialises, interns the text out of line.
#pragma once
// pybind11's object API alone: its full header would put the whole of its binding
// machinery, unused here, into every unit's object code.
#include <pybind11/cast.h>
#include <pybind11/detail/class.h>  // what the object API's internals call

#include "fast_paths.hpp"

#include <algorithm>
#include <cstddef>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *o) {
    Py_INCREF(o);
    return o;
}
static inline PyObject *Py_XNewRef(PyObject *o) {
    Py_XINCREF(o);
    return o;
}
#endif

namespace frame {
namespace py = pybind11;

[[gnu::cold]] PyObject *intern(const char *text);

template <std::size_t N>
struct FixedString {
    char text[N];
    constexpr FixedString(const char (&s)[N]) { std::copy_n(s, N, text); }
};

template <FixedString S>
struct Name {
    static PyObject *get() {
        static PyObject *interned = nullptr;
        if (__builtin_expect(interned == nullptr, 0)) interned = intern(S.text);
        return interned;
    }
    operator py::handle() const { return get(); }
    PyObject *ptr() const { return get(); }
    static constexpr const char *c_str() { return S.text; }
};

inline namespace literals {
template <FixedString S>
constexpr Name<S> operator""_n() { return {}; }
}  // namespace literals

}  // namespace frame
