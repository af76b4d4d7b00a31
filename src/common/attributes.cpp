// Attribute reads and method lookups through per-name caches (see attributes.hpp).
//
// Each kind of entry mirrors a step of the interpreter's generic lookup
// (PyObject_GenericGetAttr for instances, type.__getattribute__ for classes,
// the module's dictionary for modules) that is known to give the same answer
// while the entry's key is unchanged.  Whatever the entry cannot vouch for goes
// to the generic path.
#include "attributes.hpp"

#include "dict_hint.hpp"
#include "inline_values.hpp"

#include <memory>
#include <structmember.h>

#if FRAME_FAST(GET_METHOD)
// Exported by every CPython verified (declared in the internal headers from 3.13
// on): LOAD_METHOD's lookup, which finds a method without making a bound method.
extern "C" int _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
#endif

namespace frame {
namespace {

py::object generic(PyObject *obj, PyObject *name) { return steal(PyObject_GetAttr(obj, name)); }

// LOAD_METHOD's own lookup: a function found on the class comes back unbound, with
// `obj`; without the fast path, the bound method.
Method generic_method(PyObject *obj, PyObject *name) {
#if FRAME_FAST(GET_METHOD)
    PyObject *found = nullptr;
    int unbound = _PyObject_GetMethod(obj, name, &found);
    if (!found) raise_current();
    return Method(steal(found), unbound ? borrow(obj) : py::object());
#else
    return Method(generic(obj, name), py::object());
#endif
}

}  // namespace

#if FRAME_FAST(ATTRIBUTE_CACHES)
namespace {

using Entry = AttrCache::Entry;

// The version tag of a type, or 0 when it has none the interpreter keeps up to
// date (it changes with any change to the type or a base).
unsigned int version_tag(PyTypeObject *type) {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return type->tp_version_tag;
}

bool current(PyTypeObject *type, unsigned int version) { return version && version_tag(type) == version; }

// A module's dictionary, read without a call: the dictionary comes right after the
// object header of a module (not of a subclass) on every interpreter verified.
struct ModuleObject {
    PyObject_HEAD
    PyObject *md_dict;
};
PyObject *module_dict(PyObject *module) { return reinterpret_cast<ModuleObject *>(module)->md_dict; }

bool is_data_descriptor(PyObject *d) { return d && Py_TYPE(d)->tp_descr_get && Py_TYPE(d)->tp_descr_set; }

// --- filling an entry -----------------------------------------------------------

bool fill_module(Entry &e, PyObject *module, PyObject *name) {
    // Anything ModuleType itself defines under the name (`__dict__`, `__class__`, ...)
    // is left to the generic path.
    if (_PyType_Lookup(&PyModule_Type, name)) return false;
    PyObject *dict = PyModule_GetDict(module);
    if (!PyDict_GetItemWithError(dict, name)) return PyErr_Clear(), false;
    // Only a value that the generic read gives as it stands is cached: what a read
    // resolves first (a lazy import, from 3.15 on) is left to the generic path.
    // (The name is in the dictionary: no module __getattr__ runs.)
    py::object read = py::reinterpret_steal<py::object>(PyObject_GetAttr(module, name));
    if (!read) return PyErr_Clear(), false;
    DictStamp state = stamp(dict);
    PyObject *value = PyDict_GetItemWithError(dict, name);
    if (!value || value != read.ptr() || !state) return PyErr_Clear(), false;
    e = Entry{.kind = AttrCache::module_value, .type = &PyModule_Type, .owner = dict,
              .owner_version = state.seen, .counter = state.counter, .value = value};
    return true;
}

// The callable a classmethod holds, read at each use: classmethod.__init__ may
// replace it without any version tag changing.  (Its layout, the callable right
// after the object header, is the same on every supported interpreter.)
struct ClassMethodObject {
    PyObject_HEAD
    PyObject *callable;
};
PyObject *classmethod_function(PyObject *cm) { return reinterpret_cast<ClassMethodObject *>(cm)->callable; }

bool fill_class(Entry &e, PyObject *klass, PyObject *name) {
    PyTypeObject *meta = Py_TYPE(klass);
    // type.__getattribute__ runs, unless the metaclass overrides it (a metaclass's
    // __getattr__ alone, as in the enumeration's on 3.9, runs only when it fails).
    if (meta->tp_getattro != PyType_Type.tp_getattro &&
        _PyType_Lookup(meta, "__getattribute__"_n.ptr()) != _PyType_Lookup(&PyType_Type, "__getattribute__"_n.ptr()))
        return false;
    if (is_data_descriptor(_PyType_Lookup(meta, name))) return false;  // the metaclass's descriptor wins
    PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(klass), name);
    unsigned int meta_tag = version_tag(meta), own_tag = version_tag(reinterpret_cast<PyTypeObject *>(klass));
    if (!found || !meta_tag || !own_tag) return false;
    e = Entry{.kind = AttrCache::class_value, .version = meta_tag, .type = meta, .owner = klass,
              .owner_version = own_tag, .value = found};
    if (!Py_TYPE(found)->tp_descr_get) return true;
    e.kind = AttrCache::class_descr;
    if (Py_TYPE(found) == &PyClassMethod_Type && PyFunction_Check(classmethod_function(found)))
        e.kind = AttrCache::class_method;
    return true;
}

bool fill_instance(Entry &e, PyTypeObject *type, PyObject *name) {
    PyObject *descr = _PyType_Lookup(type, name);
    unsigned int tag = version_tag(type);
    if (!tag) return false;
    // Until the type changes, what follows is known to have no shortcut.
    e = Entry{.kind = AttrCache::generic, .version = tag, .type = type};
    if (type->tp_getattro != PyObject_GenericGetAttr) return true;
    e.value = descr;
    if (is_data_descriptor(descr)) {
        e.kind = AttrCache::data_descr;
        // A slot's or getter's descriptor is read directly only on instances of the
        // type it was made for (it may have been put on any class: its __get__ then
        // raises TypeError, where the slot's offset or the getter would misread).
        bool own = (Py_TYPE(descr) == &PyMemberDescr_Type || Py_TYPE(descr) == &PyGetSetDescr_Type) &&
                   PyType_IsSubtype(type, reinterpret_cast<PyDescrObject *>(descr)->d_type);
        if (!own) return true;
        if (Py_TYPE(descr) == &PyMemberDescr_Type) {
            PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
            if (member->type == T_OBJECT_EX && (member->flags & ~READONLY) == 0) {
                e.kind = AttrCache::member;
                e.offset = member->offset;
            }
        } else if (Py_TYPE(descr) == &PyGetSetDescr_Type &&
                   reinterpret_cast<PyGetSetDescrObject *>(descr)->d_getset->get) {
            e.kind = AttrCache::getset;
        }
        return true;
    }
    bool has_get = descr && Py_TYPE(descr)->tp_descr_get;
#if PY_VERSION_HEX >= 0x030B0000
    // Attribute values kept inside the object: read where they are (3.13), or by the
    // generic path.
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
        if (!inline_values::usable(type)) return e.kind = AttrCache::generic, true;
        Py_ssize_t count;
        Py_ssize_t at = inline_values::index_of(type, name, count);
        e.kind = at >= 0 ? AttrCache::inline_then : AttrCache::inline_absent;
        e.offset = at;
        e.owner_version = static_cast<std::uint64_t>(count);
        return true;
    }
#endif
    if (type->tp_dictoffset < 0) return e.kind = AttrCache::generic, true;
    if (type->tp_dictoffset == 0) {
        if (!descr) return e.kind = AttrCache::generic, true;
        e.kind = has_get ? AttrCache::no_dict_descr : AttrCache::no_dict_value;
        return true;
    }
    e.kind = has_get ? AttrCache::dict_then_descr : AttrCache::dict_then_value;
    e.offset = type->tp_dictoffset;
    return true;
}

// How `name` is stored on instances of `type`: into the inline values, or generically.
bool fill_store(Entry &e, PyTypeObject *type, PyObject *name) {
    PyObject *descr = _PyType_Lookup(type, name);
    unsigned int tag = version_tag(type);
    if (!tag) return false;
    e = Entry{.kind = AttrCache::generic, .version = tag, .type = type};
    if (type->tp_setattro != PyObject_GenericSetAttr || (descr && Py_TYPE(descr)->tp_descr_set)) return true;
    if (inline_values::usable(type)) {
        Py_ssize_t count;
        Py_ssize_t at = inline_values::index_of(type, name, count);
        if (at >= 0) e = Entry{.kind = AttrCache::inline_store, .version = tag, .type = type, .offset = at};
    }
    return true;
}

inline bool matches(const Entry &e, PyObject *obj) {
    switch (e.kind) {
    case AttrCache::empty:
        return false;
    case AttrCache::module_value:
        return Py_TYPE(obj) == &PyModule_Type && module_dict(obj) == e.owner && *e.counter == e.owner_version;
    case AttrCache::class_value:
    case AttrCache::class_descr:
    case AttrCache::class_method:
        return obj == e.owner && Py_TYPE(obj) == e.type && current(e.type, e.version) &&
               current(reinterpret_cast<PyTypeObject *>(obj), static_cast<unsigned int>(e.owner_version));
    default:
        return Py_TYPE(obj) == e.type && current(e.type, e.version);
    }
}

// A new entry for `obj`, made in place of the older one; null when the generic path
// must answer.
[[gnu::noinline]] const Entry *refill(PyObject *obj, PyObject *name, AttrCache &cache) {
    Entry fresh;
    bool ok = Py_TYPE(obj) == &PyModule_Type ? fill_module(fresh, obj, name)
              : PyType_Check(obj)            ? fill_class(fresh, obj, name)
                                             : fill_instance(fresh, Py_TYPE(obj), name);
    if (!ok) return nullptr;
    Entry &slot = cache.entries[cache.next];
    cache.next = (cache.next + 1) % AttrCache::kEntries;
    slot = fresh;
    return &slot;
}

// The entry that holds for `obj`, or null.  Every kind of entry is for objects of
// its `type` alone (an empty one has none), which is checked first.
inline const Entry *find_entry(PyObject *obj, const AttrCache &cache) {
    PyTypeObject *type = Py_TYPE(obj);
    for (const Entry &e : cache.entries)
        if (e.type == type && matches(e, obj)) return &e;
    return nullptr;
}

// The entry for `obj`, found or made; null when the generic path must answer.
inline const Entry *lookup(PyObject *obj, PyObject *name, AttrCache &cache) {
    if (const Entry *e = find_entry(obj, cache)) return e;
    return refill(obj, name, cache);
}

// The instance dictionary's value for `name`, or null (no dictionary, or not in it).
PyObject *in_instance_dict(PyObject *obj, const Entry &e, PyObject *name) {
    PyObject *dict = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + e.offset);
    if (!dict) return nullptr;
    if (PyObject *v = dict_hint::at(dict, name, e.hint)) return v;
    PyObject *v = PyDict_GetItemWithError(dict, name);
    if (!v) {
        if (PyErr_Occurred()) raise_current();
        return nullptr;
    }
    e.hint = dict_hint::find(dict, name);
    return v;
}

py::object descr_get(PyObject *descr, PyObject *obj, PyObject *type) {
    return steal(Py_TYPE(descr)->tp_descr_get(descr, obj, type));
}

// Not among the inline values: the keys the instances share have not grown since.
bool still_absent(const Entry &e, PyObject *obj) {
    return inline_values::current(obj) &&
           inline_values::key_count(e.type) == static_cast<Py_ssize_t>(e.owner_version);
}

}  // namespace

// What `found` (null: nothing cached) says `obj.name` is: every kind of entry.
static py::object get_attr_from(PyObject *obj, PyObject *name, const Entry *found) {
    if (!found) return generic(obj, name);
    const Entry &e = *found;
    switch (e.kind) {
    case AttrCache::module_value:
    case AttrCache::class_value:
    case AttrCache::no_dict_value:
        return borrow(e.value);
    case AttrCache::class_descr:
        return descr_get(e.value, nullptr, obj);
    case AttrCache::class_method: {
        // What classmethod.__get__ gives for a function: the function bound to the class.
        PyObject *func = classmethod_function(e.value);
        if (!func || !PyFunction_Check(func)) return descr_get(e.value, nullptr, obj);
        return steal(PyMethod_New(func, obj));
    }
    case AttrCache::member: {
        PyObject *v = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + e.offset);
        if (v) return borrow(v);
        break;  // unset: AttributeError, worded by the generic path
    }
    case AttrCache::getset: {
        PyGetSetDef *gs = reinterpret_cast<PyGetSetDescrObject *>(e.value)->d_getset;
        return steal(gs->get(obj, gs->closure));
    }
    case AttrCache::data_descr:
    case AttrCache::no_dict_descr:
        return descr_get(e.value, obj, reinterpret_cast<PyObject *>(e.type));
    case AttrCache::dict_then_value:
    case AttrCache::dict_then_descr:
    case AttrCache::inline_then:
    case AttrCache::inline_absent: {
        if (e.kind == AttrCache::inline_then) {
            PyObject **slot = inline_values::slot_of(obj, e.offset);
            if (!slot) break;
            if (*slot) return borrow(*slot);
        } else if (e.kind == AttrCache::inline_absent) {
            if (!still_absent(e, obj)) break;
        } else {
            // The lookup may run Python code (a key's __eq__), which may refill this
            // entry or change the type: what the entry says is read before.
            PyTypeObject *type = e.type;
            unsigned int version = e.version;
            PyObject *value = e.value;
            if (PyObject *v = in_instance_dict(obj, e, name)) return borrow(v);
            if (!current(type, version)) break;  // `value` is not vouched for any more
            if (!value) break;
            if (!Py_TYPE(value)->tp_descr_get) return borrow(value);
            return descr_get(value, obj, reinterpret_cast<PyObject *>(type));
        }
        if (!e.value) break;  // not there: AttributeError, worded by the generic path
        if (!Py_TYPE(e.value)->tp_descr_get) return borrow(e.value);
        return descr_get(e.value, obj, reinterpret_cast<PyObject *>(e.type));
    }
    case AttrCache::empty:
    case AttrCache::inline_store:
    case AttrCache::generic:
        break;
    }
    return generic(obj, name);
}

py::object get_attr(py::handle handle, PyObject *name, AttrCache &cache) {
    PyObject *obj = handle.ptr();
    return get_attr_from(obj, name, lookup(obj, name, cache));
}

// The kinds of entry that name a value already there, read without any call, so
// that the function needs no set-up of its own.  As lookup(), the first entry that
// holds for `obj` answers: an entry whose kind is read elsewhere gives null.
PyObject *cached_attr(PyObject *obj, PyObject *name, const AttrCache &cache) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    for (const Entry &e : cache.entries) {
        if (e.type != type) continue;
        switch (e.kind) {
        case AttrCache::member:
            if (!current(type, e.version)) continue;
            return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + e.offset);
        case AttrCache::inline_then: {
            if (!current(type, e.version)) continue;
            PyObject **slot = inline_values::slot_of(obj, e.offset);
            return slot ? *slot : nullptr;
        }
        case AttrCache::dict_then_value:
        case AttrCache::dict_then_descr: {
            if (!current(type, e.version)) continue;
            PyObject *dict = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + e.offset);
            return dict ? dict_hint::at(dict, name, e.hint) : nullptr;
        }
        case AttrCache::no_dict_value:
            if (!current(type, e.version)) continue;
            return e.value;
        case AttrCache::module_value:
        case AttrCache::class_value:
            if (!matches(e, obj)) continue;
            return e.value;
        default:
            if (!matches(e, obj)) continue;
            return nullptr;
        }
    }
    return nullptr;
}

Method get_method(py::handle handle, PyObject *name, AttrCache &cache) {
    PyObject *obj = handle.ptr();
    if (const Entry *found = lookup(obj, name, cache)) {
        const Entry &e = *found;
        bool method_like = e.value && PyType_HasFeature(Py_TYPE(e.value), Py_TPFLAGS_METHOD_DESCRIPTOR);
        switch (e.kind) {
        case AttrCache::class_method: {
            PyObject *func = classmethod_function(e.value);
            if (func && PyFunction_Check(func)) return Method(borrow(func), borrow(obj));
            break;
        }
        case AttrCache::no_dict_descr:
            if (method_like) return Method(borrow(e.value), borrow(obj));
            break;
        case AttrCache::dict_then_descr: {
            if (!method_like) break;
            PyTypeObject *type = e.type;  // read before the lookup: see get_attr
            unsigned int version = e.version;
            PyObject *value = e.value;
            if (PyObject *v = in_instance_dict(obj, e, name)) return Method(borrow(v), py::object());
            if (!current(type, version)) break;
            return Method(borrow(value), borrow(obj));
        }
        case AttrCache::inline_absent:
            if (method_like && still_absent(e, obj)) return Method(borrow(e.value), borrow(obj));
            break;
        case AttrCache::inline_then: {
            PyObject **slot = inline_values::slot_of(obj, e.offset);
            if (slot && *slot) return Method(borrow(*slot), py::object());
            if (slot && method_like) return Method(borrow(e.value), borrow(obj));
            break;
        }
        case AttrCache::generic:
            return generic_method(obj, name);
        default:
            break;
        }
        return Method(get_attr(handle, name, cache), py::object());
    }
    return generic_method(obj, name);
}

void store_attr(py::handle handle, PyObject *name, py::handle value, AttrCache &cache) {
    PyObject *obj = handle.ptr();
    const Entry *found = nullptr;
    for (const Entry &e : cache.entries)
        if (matches(e, obj)) found = &e;
    if (!found && !PyType_Check(obj) && Py_TYPE(obj) != &PyModule_Type) {
        Entry fresh;
        if (fill_store(fresh, Py_TYPE(obj), name)) {
            Entry &slot = cache.entries[cache.next];
            cache.next = (cache.next + 1) % AttrCache::kEntries;
            slot = fresh;
            found = &slot;
        }
    }
    if (found && found->kind == AttrCache::inline_store) {
        // Replaced where it is, as STORE_ATTR_INSTANCE_VALUE does; the old value is let
        // go once the new one is in place.
        PyObject **slot = inline_values::slot_of(obj, found->offset, true);
        if (slot && *slot) {
            PyObject *old = *slot;
            *slot = Py_NewRef(value.ptr());
            Py_DECREF(old);
            return;
        }
    }
    if (PyObject_SetAttr(obj, name, value.ptr()) < 0) raise_current();
}

#else  // !FRAME_FAST(ATTRIBUTE_CACHES): every read, store and lookup is the generic one.

py::object get_attr(py::handle obj, PyObject *name, AttrCache &) { return generic(obj.ptr(), name); }
PyObject *cached_attr(PyObject *, PyObject *, const AttrCache &) noexcept { return nullptr; }
Method get_method(py::handle obj, PyObject *name, AttrCache &) { return generic_method(obj.ptr(), name); }
void store_attr(py::handle obj, PyObject *name, py::handle value, AttrCache &) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) raise_current();
}

#endif

bool has_attribute(py::handle obj, py::handle name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (v) {
        Py_DECREF(v);
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return false;
    }
    raise_current();
}

py::object Method::call(PyObject **argv, std::size_t nargs, PyObject *kwnames) const {
    auto n = static_cast<Py_ssize_t>(nargs);
    if (!kwnames)
        return steal(self_ ? detail::call_with_self(callable_.ptr(), argv + 1, n)
                           : detail::call_positional(callable_.ptr(), argv + 2, n));
    if (self_)
        return steal(PyObject_Vectorcall(callable_.ptr(), argv + 1, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    return steal(PyObject_Vectorcall(callable_.ptr(), argv + 2, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

PyObject *Method::keyword_tuple(std::initializer_list<PyObject *> names) {
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) Py_FatalError("frame: cannot make a keyword-name tuple");
    Py_ssize_t i = 0;
    for (PyObject *name : names) PyTuple_SET_ITEM(t, i++, Py_NewRef(name));
    return t;
}

py::object Method::call_list(std::initializer_list<py::handle> args, PyObject *kwnames) const {
    std::size_t nk = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    if (args.size() < nk) throw py::value_error("frame: fewer values than keyword names");
    constexpr std::size_t kInline = 24;
    PyObject *inline_argv[kInline];
    std::unique_ptr<PyObject *[]> heap;
    PyObject **argv = args.size() + 2 <= kInline ? inline_argv : (heap.reset(new PyObject *[args.size() + 2]), heap.get());
    argv[0] = nullptr;
    argv[1] = self_.ptr();
    std::size_t i = 2;
    for (py::handle h : args) argv[i++] = h.ptr();
    return call(argv, args.size() - nk, kwnames);
}

}  // namespace frame
