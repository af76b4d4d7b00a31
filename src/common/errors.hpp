// The boundary between C++ and the interpreter.
//
// Bodies raise Python exceptions by throwing (pybind11's error_already_set, or its
// builtin exceptions such as py::type_error); the boundary turns whatever was
// thrown back into the pending Python error, so that no C++ exception ever
// crosses into the interpreter, and adds a traceback entry naming the
// Python-level function the exception left through.
#pragma once
#include "names.hpp"

#include <new>
#include <stdexcept>

namespace frame {

// Restore what `catch (...)` caught as the pending Python error.
void restore_current_exception() noexcept;

// Add an entry `File "<file>", line <line>, in <name>` to the pending exception's traceback.
void add_traceback(const char *name, const char *file, int line) noexcept;

template <typename F>
PyObject *boundary(F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        restore_current_exception();
        return nullptr;
    }
}

}  // namespace frame
