// Calls without keywords, the way the interpreter's specialised calls make them:
// a builtin function or method taking its arguments as an array, as one object or
// as none is called through its C function directly; anything else by vectorcall.
// (The interpreter's own CALL_BUILTIN_* and CALL_METHOD_DESCRIPTOR_* instructions
// skip the generic call's result check just so, and guard the recursion depth where
// they do; what the callee does is unchanged.)
#pragma once
#include <Python.h>

namespace frame::detail {

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

// `callable(*args)`; args[-1] may be used by the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
inline PyObject *call_positional(PyObject *callable, PyObject *const *args, Py_ssize_t nargs) {
    if (PyCFunction_CheckExact(callable)) {
        bool handled;
        PyObject *r = call_c_function(reinterpret_cast<PyCFunctionObject *>(callable)->m_ml,
                                      PyCFunction_GET_SELF(callable), args, nargs, handled);
        if (handled) return r;
    }
    return PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `callable(self, *args)` for a function found on self's class: a method descriptor
// of self's type calls its C function with self directly.
inline PyObject *call_with_self(PyObject *callable, PyObject *const *self_and_args, Py_ssize_t nargs) {
    if (Py_IS_TYPE(callable, &PyMethodDescr_Type)) {
        auto *descr = reinterpret_cast<PyMethodDescrObject *>(callable);
        if (PyObject_TypeCheck(self_and_args[0], PyDescr_TYPE(descr))) {
            bool handled;
            PyObject *r = call_c_function(descr->d_method, self_and_args[0], self_and_args + 1, nargs, handled);
            if (handled) return r;
        }
    }
    return PyObject_Vectorcall(callable, self_and_args, static_cast<size_t>(nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               nullptr);
}

}  // namespace frame::detail
