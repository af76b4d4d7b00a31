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
// The same for names held as str (a function's __qualname__, which Python code may
// set to any str: lone surrogates and NUL characters are written escaped).
void add_traceback(PyObject *name, PyObject *file, int line) noexcept;
void add_traceback(PyObject *name, const char *file, int line) noexcept;

// The body of an `except ... as e:` clause, or of a `finally:` clause run while `e`
// propagates.  While a Handling lives, `e` is the exception being handled: an
// exception raised meanwhile gets it as `__context__` (and sys.exc_info() returns
// it), exactly as inside the Python clause.  On leaving, the previously handled
// exception is restored.
class Handling {
public:
    explicit Handling(const py::error_already_set &e);
    explicit Handling(py::handle exception);  // an exception instance
    ~Handling();
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

private:
    PyObject *type_, *value_, *trace_;  // what was being handled before
};

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
