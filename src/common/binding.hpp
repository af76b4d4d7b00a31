// The locals of one call: parameters bound from vectorcall arguments.
#pragma once
#include "function.hpp"

namespace frame {

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
    static constexpr int kInline = 8;
    PyObject *inline_[kInline];
    PyObject **slots_ = inline_;
    int n_ = 0;
};

}  // namespace frame
