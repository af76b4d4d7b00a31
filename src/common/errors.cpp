#include "errors.hpp"
#include "fast_paths.hpp"
#include "ops.hpp"

// The rest of pybind11's error type (what(), and with it its vtable), which its
// object API declares: compiled here once for the whole frame.
#include <pybind11/pybind11.h>

#if FRAME_FAST(TRACEBACK_ADD) && PY_VERSION_HEX >= 0x030D0000
// Exported by every CPython verified, declared only in the internal headers since 3.13.
extern "C" void _PyTraceback_Add(const char *, const char *, int);
#elif !FRAME_FAST(TRACEBACK_ADD)
#include <frameobject.h>
#endif

namespace frame {

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) Py_FatalError("frame: cannot intern a name");
    return s;
}

namespace detail {
PyObject *make_int(long long value) {
    PyObject *o = PyLong_FromLongLong(value);
    if (!o) Py_FatalError("frame: cannot make an int constant");
    return o;
}
}  // namespace detail

[[noreturn]] void raise_current() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw py::error_already_set();
}

void raise(py::handle exc) {
    PyObject *e = exc.ptr();
    if (PyExceptionClass_Check(e)) {
        PyObject *instance = PyObject_CallObject(e, nullptr);
        if (!instance) raise_current();
        if (!PyExceptionInstance_Check(instance)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R", e,
                         Py_TYPE(instance));
            Py_DECREF(instance);
            raise_current();
        }
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(instance)), instance);
        Py_DECREF(instance);
    } else if (PyExceptionInstance_Check(e)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(e)), e);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    raise_current();
}

void restore_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
}

Handling::Handling(const py::error_already_set &e) {
    PyErr_GetExcInfo(&type_, &value_, &trace_);
    PyErr_SetExcInfo(Py_XNewRef(e.type().ptr()), Py_XNewRef(e.value().ptr()), Py_XNewRef(e.trace().ptr()));
}

Handling::Handling(py::handle exception) {
    PyErr_GetExcInfo(&type_, &value_, &trace_);
    PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr()))), Py_NewRef(exception.ptr()),
                     PyException_GetTraceback(exception.ptr()));
}

Handling::~Handling() { PyErr_SetExcInfo(type_, value_, trace_); }

void add_traceback(const char *name, const char *file, int line) noexcept {
#if FRAME_FAST(TRACEBACK_ADD)
    _PyTraceback_Add(name, file, line);
#else
    // What _PyTraceback_Add does, by the public API: a frame of an empty code object
    // that starts at `line`, put on the traceback of the pending exception (kept
    // aside while the frame is made).
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyObject *globals = PyDict_New();
    PyCodeObject *code = globals ? PyCode_NewEmpty(file, name, line) : nullptr;
    PyFrameObject *frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    Py_XDECREF(globals);
    PyErr_Clear();  // an entry that cannot be made is left out; the exception stands
    PyErr_Restore(type, value, trace);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
#endif
}

namespace {
// `text` as UTF-8 bytes, with what UTF-8 cannot hold backslash-escaped (a NUL
// character ends the name in the traceback); the pending exception is kept.
PyObject *traceback_text(PyObject *text) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyObject *bytes = PyUnicode_Check(text) ? PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace") : nullptr;
    if (!bytes) bytes = PyBytes_FromString("?");
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
    return bytes;
}
}  // namespace

void add_traceback(PyObject *name, PyObject *file, int line) noexcept {
    PyObject *n = traceback_text(name), *f = traceback_text(file);
    add_traceback(n ? PyBytes_AS_STRING(n) : "?", f ? PyBytes_AS_STRING(f) : "?", line);
    Py_XDECREF(n);
    Py_XDECREF(f);
}

void add_traceback(PyObject *name, const char *file, int line) noexcept {
    PyObject *n = traceback_text(name);
    add_traceback(n ? PyBytes_AS_STRING(n) : "?", file, line);
    Py_XDECREF(n);
}

}  // namespace frame
