// Calls without keywords, the way the interpreter's specialised calls make them:
// a builtin function or method taking its arguments as an array, as one object or
// as none is called through its C function directly; anything else by vectorcall.
// (The interpreter's own CALL_BUILTIN_* and CALL_METHOD_DESCRIPTOR_* instructions
// skip the generic call's result check just so, and guard the recursion depth where
// they do; what the callee does is unchanged.)  Both are an interpreter-specific
// fast path (fast_paths.hpp); without it every call is a vectorcall.
#pragma once
#include "fast_paths.hpp"
#include "names.hpp"

namespace frame::detail {

#if FRAME_FAST(DIRECT_CALLS)

using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t);
using FastKeywordsFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// `def`'s C function called with `self` and `args`, or `handled` false when its
// calling convention is not one of these.
inline PyObject *call_c_function(PyMethodDef *def, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                 bool &handled) {
    handled = true;
    switch (def->ml_flags & ~METH_COEXIST) {
    case METH_FASTCALL:
        return reinterpret_cast<FastFunction>(reinterpret_cast<void (*)()>(def->ml_meth))(self, args, nargs);
    case METH_FASTCALL | METH_KEYWORDS:
        return reinterpret_cast<FastKeywordsFunction>(reinterpret_cast<void (*)()>(def->ml_meth))(self, args, nargs,
                                                                                                  nullptr);
    case METH_O:
    case METH_NOARGS: {
        // As the interpreter's own calls of these two kinds, the C stack is guarded:
        // such a function may call back into Python with no frame of its own.
        bool one = (def->ml_flags & METH_O) != 0;
        if (nargs != (one ? 1 : 0)) break;
        if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
        PyObject *r = def->ml_meth(self, one ? args[0] : nullptr);
        Py_LeaveRecursiveCall();
        return r;
    }
    }
    handled = false;
    return nullptr;
}

// `cls(*args, **kw)` for a class made by a `class` statement, with object's __new__, a
// Python __init__ and no metaclass of its own: the instance allocated, then __init__
// called with it in args[-1], as type.__call__ does, without first packing the
// arguments into a tuple and a dict (the interpreter specialises such calls the same
// way).  `handled` false, and nothing done, for any other callable.
inline PyObject *call_plain_class(PyObject *callable, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                                  bool &handled) {
    handled = false;
    if (!Py_IS_TYPE(callable, &PyType_Type)) return nullptr;
    auto *type = reinterpret_cast<PyTypeObject *>(callable);
    if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_alloc != PyType_GenericAlloc ||
        PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT))
        return nullptr;
    PyObject *init_name = Name<"__init__">::get();
    PyObject *init = _PyType_Lookup(type, init_name);
    if (!init || !PyFunction_Check(init)) return nullptr;
    Py_INCREF(init);
    PyObject *self = type->tp_alloc(type, 0);
    if (self && _PyType_Lookup(type, init_name) != init) {
        // Allocating ran code that changed __init__: the generic call, as if not here.
        Py_DECREF(self);
        Py_DECREF(init);
        return nullptr;
    }
    handled = true;
    PyObject *result = nullptr;
    if (self && Py_EnterRecursiveCall(" while calling a Python object") == 0) {
        PyObject **slot = const_cast<PyObject **>(args) - 1;
        PyObject *saved = *slot;
        *slot = self;
        PyObject *r = PyObject_Vectorcall(init, slot, static_cast<size_t>(nargs + 1), kwnames);
        *slot = saved;
        Py_LeaveRecursiveCall();
        if (r == Py_None) {
            result = self;
            self = nullptr;
        } else if (r) {
            PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(r)->tp_name);
        }
        Py_XDECREF(r);
    }
    Py_XDECREF(self);
    Py_DECREF(init);
    return result;
}

#endif

// `callable(*args, **kw)`, the keyword values after the positional ones in `args`;
// args[-1] may be used by the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
inline PyObject *call_vector(PyObject *callable, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
#if FRAME_FAST(DIRECT_CALLS)
    bool handled;
    if (!kwnames && PyCFunction_CheckExact(callable)) {
        PyObject *r = call_c_function(reinterpret_cast<PyCFunctionObject *>(callable)->m_ml,
                                      PyCFunction_GET_SELF(callable), args, nargs, handled);
        if (handled) return r;
    } else if (PyType_Check(callable)) {
        PyObject *r = call_plain_class(callable, args, nargs, kwnames, handled);
        if (handled) return r;
    }
#endif
    return PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

// `callable(*args)`; args[-1] may be used by the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
inline PyObject *call_positional(PyObject *callable, PyObject *const *args, Py_ssize_t nargs) {
    return call_vector(callable, args, nargs, nullptr);
}

// `callable(self, *args)` for a function found on self's class: a method descriptor
// of self's type calls its C function with self directly.
inline PyObject *call_with_self(PyObject *callable, PyObject *const *self_and_args, Py_ssize_t nargs) {
#if FRAME_FAST(DIRECT_CALLS)
    if (Py_IS_TYPE(callable, &PyMethodDescr_Type)) {
        auto *descr = reinterpret_cast<PyMethodDescrObject *>(callable);
        if (PyObject_TypeCheck(self_and_args[0], PyDescr_TYPE(descr))) {
            bool handled;
            PyObject *r = call_c_function(descr->d_method, self_and_args[0], self_and_args + 1, nargs, handled);
            if (handled) return r;
        }
    }
#endif
    return PyObject_Vectorcall(callable, self_and_args, static_cast<size_t>(nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               nullptr);
}

}  // namespace frame::detail
