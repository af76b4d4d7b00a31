// Attribute reads and method lookups by literal name, with the interpreter's
// inline caches as model.
//
//     obj.name                  attr(obj, "name"_n)
//     obj.name = value          set_attr(obj, "name"_n, value)
//     obj.name(a, b)            method(obj, "name"_n)(a, b)
//
// Each literal name keeps a small cache of what its last lookups found, keyed by
// the type of the object and the type's version tag (which the interpreter changes
// whenever the type or one of its bases changes), or for a module by its
// dictionary and a stamp of it (dict_state.hpp).  While the key matches, a read
// goes straight to where the attribute lives: a slot, a getset, the instance
// dictionary, the class's own value or descriptor, the module's dictionary.
// Anything else (a `__getattribute__` or `__getattr__` of the class, a metaclass
// descriptor, a type changed since, a value that is not there) takes the
// interpreter's generic path, so every read gives what `getattr` would give at
// that moment.  The caches are an interpreter-specific fast path
// (fast_paths.hpp): without it, every read, store and lookup is the generic one.
//
// `method(obj, name)` finds the method before the arguments are evaluated, as
// Python does (`obj.name` is looked up, then the arguments, then the call), and
// calls a function found on the class with `obj` as its first argument, without
// making a bound method.
#pragma once
#include "dict_state.hpp"
#include "fastcall.hpp"
#include "ops.hpp"

#include <cstdint>
#include <initializer_list>

namespace frame {

struct AttrCache {
    enum Kind : unsigned char {
        empty,
        module_value,   // a module's global: `owner` is its dictionary, `value` the global
        class_value,    // on a class: `owner` is the class, `value` an attribute without __get__
        class_descr,    // on a class: `value` a descriptor, whose __get__ is called
        class_method,   // on a class: `value` a classmethod holding a function (read at each use)
        member,         // a slot of the instance at `offset`
        getset,         // a getset descriptor's getter
        data_descr,     // another data descriptor: its __get__
        dict_then_value,  // the instance dictionary at `offset`, else `value` (a class attribute or null)
        dict_then_descr,  // the instance dictionary at `offset`, else `value`'s __get__
        no_dict_value,    // no instance dictionary: `value` itself
        no_dict_descr,    // no instance dictionary: `value`'s __get__ (a method)
        inline_then,      // the instance's inline values at `offset` (3.13), else `value` as for dict_then_*
        inline_absent,    // not among the inline values' keys (`owner_version` of them): `value` as for dict_then_*
        inline_store,     // a store into the inline values at `offset` (3.13), where the attribute is set
        generic,          // nothing to shortcut for this type: the generic path, without looking again
    };
    struct Entry {
        Kind kind = empty;
        unsigned int version = 0;      // the version tag of `type`
        PyTypeObject *type = nullptr;  // type(obj)
        PyObject *owner = nullptr;     // the class (class_*) or module dictionary (module_value)
        // class_*: the class's own version tag; module_value: the dictionary's
        // change count, read through `counter` (dict_state.hpp).
        std::uint64_t owner_version = 0;
        const std::uint64_t *counter = nullptr;
        PyObject *value = nullptr;     // borrowed: held by a dictionary the key vouches for
        Py_ssize_t offset = 0;
        // dict_then_*: the entry of the instance dictionary where the name was last
        // found (see dict_hint.hpp), or -1.
        mutable Py_ssize_t hint = -1;
    };
    // A literal name is shared by every use in a library (`append` on deques, lists
    // and the event queue): room for a few types before entries are replaced.
    static constexpr int kEntries = 4;
    Entry entries[kEntries];
    unsigned char next = 0;
};

// `obj.name`, through the cache of a literal name.
py::object get_attr(py::handle obj, PyObject *name, AttrCache &cache);
// The same, when the cache holds for `obj` and the value is where the entry says
// (borrowed); else null.  Nothing is raised and no Python code runs.
PyObject *cached_attr(PyObject *obj, PyObject *name, const AttrCache &cache) noexcept;

template <FixedString S>
py::object attr(py::handle obj, Name<S> name) {
    static AttrCache cache;
    if (PyObject *v = cached_attr(obj.ptr(), name.ptr(), cache)) return borrow(v);
    return get_attr(obj, name.ptr(), cache);
}
// `getattr(obj, name)` for a name known only at run time.
inline py::object attr(py::handle obj, py::handle name) { return steal(PyObject_GetAttr(obj.ptr(), name.ptr())); }

// `obj.name = value`.  Python evaluates the value first, then `obj`: at most one of
// them may be computed in place.
void store_attr(py::handle obj, PyObject *name, py::handle value, AttrCache &cache);
template <typename O, FixedString S, typename V>
void set_attr(O &&obj, Name<S> name, V &&value) {
    FRAME_IN_ORDER(O, V);
    static AttrCache cache;
    store_attr(py::handle(obj), name.ptr(), py::handle(value), cache);
}
template <typename O, typename V>
void set_attr(O &&obj, py::handle name, V &&value) {
    FRAME_IN_ORDER(O, V);
    if (PyObject_SetAttr(py::handle(obj).ptr(), name.ptr(), py::handle(value).ptr()) < 0) raise_current();
}

// `hasattr(obj, name)`: only AttributeError means "no"; other errors propagate.
bool has_attribute(py::handle obj, py::handle name);

// A method found on an object and not yet called: `obj.name`, evaluated, before its
// arguments are.
class Method {
public:
    Method(py::object callable, py::object self) : callable_(std::move(callable)), self_(std::move(self)) {}

    // `obj.name(a, b, c)`: at most one argument computed in place (their order is not fixed).
    template <typename... A>
    py::object operator()(A &&...args) const {
        FRAME_IN_ORDER(A...);
        PyObject *argv[] = {nullptr, self_.ptr(), py::handle(args).ptr()...};
        return call(argv, sizeof...(A), nullptr);
    }
    // `obj.name(a(), b(), c())`: a braced list is evaluated left to right.
    py::object operator()(std::initializer_list<py::handle> args) const { return call_list(args, nullptr); }
    // `obj.name(p..., k1=v1, k2=v2)`: the last sizeof...(K) values are the keyword arguments.
    template <FixedString... K>
    py::object kw(std::initializer_list<py::handle> args) const {
        return call_list(args, keyword_names<K...>());
    }

    template <FixedString... K>
    static PyObject *keyword_names() {
        static PyObject *names = nullptr;  // made on first use, as names are (names.hpp)
        if (__builtin_expect(names == nullptr, 0)) names = keyword_tuple({Name<K>::get()...});
        return names;
    }

private:
    [[gnu::cold]] static PyObject *keyword_tuple(std::initializer_list<PyObject *> names);
    // argv[0] is free (PY_VECTORCALL_ARGUMENTS_OFFSET), argv[1] the self slot.
    py::object call(PyObject **argv, std::size_t nargs, PyObject *kwnames) const;
    py::object call_list(std::initializer_list<py::handle> args, PyObject *kwnames) const;

    py::object callable_;
    py::object self_;  // null when callable_ is already bound
};

Method get_method(py::handle obj, PyObject *name, AttrCache &cache);

template <FixedString S>
Method method(py::handle obj, Name<S> name) {
    static AttrCache cache;
    return get_method(obj, name.ptr(), cache);
}

}  // namespace frame
