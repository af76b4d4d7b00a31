// The locals of one call: parameters bound from vectorcall arguments.
//
// Bodies only read their parameters, so the locals borrow what the caller passed
// (the caller holds its arguments for the length of the call) and own only what
// the binding makes: the `*args` tuple and `**kwargs` dict, and a reference to the
// defaults tuple, which keeps its items alive should the body rebind
// `__defaults__`.  The common call, positional arguments only with defaults
// filling the rest, copies a few pointers and allocates nothing; a call that
// passes exactly the parameters uses the caller's array itself.
#pragma once
#include "function.hpp"

namespace frame {

#if FRAME_NATIVE_FUNCTIONS

class Locals {
public:
    Locals() = default;
    Locals(const Locals &) = delete;
    Locals &operator=(const Locals &) = delete;
    ~Locals();
    // Bind as CPython binds a call; false with a TypeError set when the call does not fit.
    bool bind(const FunctionObject *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
    PyObject *const *slots() const { return slots_; }

private:
    bool bind_general(const FunctionObject *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
    PyObject **allocate(int n);

    static constexpr int kInline = 8;
    PyObject *inline_[kInline];
    PyObject *const *slots_ = inline_;
    PyObject **heap_ = nullptr;
    PyObject *defaults_ = nullptr, *varargs_ = nullptr, *varkw_ = nullptr;  // owned
};

#endif

}  // namespace frame
