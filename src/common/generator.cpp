#include "generator.hpp"

#include "errors.hpp"
#include "native_type.hpp"
#include "ops.hpp"

#include <string>
#include <structmember.h>

namespace frame {
namespace {

struct GeneratorObject {
    PyObject_HEAD
    GeneratorBody *body;  // null once finished
    PyObject *name, *qualname;
    PyObject *weakrefs;
    PyObject *file;       // source file of the generator function, for tracebacks (NULL: no entry)
    int line;
    bool running, started;
};

GeneratorObject *as_gen(PyObject *o) { return reinterpret_cast<GeneratorObject *>(o); }

void finish(GeneratorObject *g) {
    delete g->body;
    g->body = nullptr;
}

bool check_not_running(GeneratorObject *g) {
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return false;
    }
    return true;
}

// PEP 479: a StopIteration leaving a generator's body becomes
// RuntimeError("generator raised StopIteration"), caused by it (its traceback kept).
void stop_iteration_to_runtime_error() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    PyObject *type, *exc, *tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
    if (tb && exc) PyException_SetTraceback(exc, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    if (!exc) return;
    PyObject *t2, *e2, *tb2;
    PyErr_Fetch(&t2, &e2, &tb2);
    PyErr_NormalizeException(&t2, &e2, &tb2);
    PyException_SetCause(e2, Py_NewRef(exc));  // also sets __suppress_context__
    PyException_SetContext(e2, exc);
    PyErr_Restore(t2, e2, tb2);
}

// The body ended with the pending exception: the generator is finished, its
// entry goes on the exception's traceback (where Python's generator frame is),
// and a StopIteration is turned into RuntimeError unless `keep_stop_iteration`.
void body_raised(GeneratorObject *g, bool keep_stop_iteration = false) {
    finish(g);
    if (g->file) add_traceback(g->qualname, g->file, g->line);
    if (!keep_stop_iteration) stop_iteration_to_runtime_error();
}

PyObject *resume(PyObject *self) {
    GeneratorObject *g = as_gen(self);
    if (!check_not_running(g)) return nullptr;
    if (!g->body) return nullptr;  // exhausted: StopIteration with no value
    g->running = g->started = true;
    PyObject *value = boundary([&] { return g->body->next(); });
    g->running = false;
    if (value) return value;
    if (PyErr_Occurred())
        body_raised(g);
    else
        finish(g);
    return nullptr;
}

PyObject *iternext(PyObject *self) { return resume(self); }

// The sent value is ignored: native bodies never read the value of a yield.
PyObject *send(PyObject *self, PyObject *value) {
    GeneratorObject *g = as_gen(self);
    if (!check_not_running(g)) return nullptr;
    if (!g->started && g->body && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject *r = resume(self);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

PyObject *throw_(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    GeneratorObject *g = as_gen(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, nargs < 1 ? "throw expected at least 1 argument, got %zd"
                                                : "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
#endif
    if (!check_not_running(g)) return nullptr;
    PyObject *typ = args[0], *val = nargs > 1 ? args[1] : nullptr, *tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionClass_Check(typ)) {
        PyObject *t = Py_NewRef(typ), *v = Py_XNewRef(val), *b = Py_XNewRef(tb);
        PyErr_NormalizeException(&t, &v, &b);
        if (!v) {
            Py_XDECREF(t);
            Py_XDECREF(b);
            return nullptr;
        }
        if (b) PyException_SetTraceback(v, b);
        PyErr_Restore(t, v, b);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        if (tb) PyException_SetTraceback(typ, tb);
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(typ)), typ);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    // The body has no handler at its yield: the exception is raised there, ends the
    // body and propagates (PEP 479 applying as to any exception leaving the body).
    // A finished generator raises it as it is.  From 3.12 on, the interpreter raises
    // an exception thrown into a generator that has not started as it is, too.
    if (!g->body) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    body_raised(g, !g->started);
#else
    body_raised(g);
#endif
    return nullptr;
}

PyObject *close(PyObject *self, PyObject *) {
    GeneratorObject *g = as_gen(self);
    if (!check_not_running(g)) return nullptr;
    finish(g);
    Py_RETURN_NONE;
}

PyObject *self_iter(PyObject *self) { return Py_NewRef(self); }

PyObject *repr(PyObject *self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_gen(self)->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_gen(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_gen(self)->qualname); }
PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(as_gen(self)->running); }

int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    GeneratorObject *g = as_gen(self);
    return g->body ? g->body->traverse(visit, arg) : 0;
}

int clear(PyObject *self) {
    GeneratorObject *g = as_gen(self);
    if (!g->running) finish(g);
    return 0;
}

void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    GeneratorObject *g = as_gen(self);
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    finish(g);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    Py_CLEAR(g->file);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"send", send, METH_O, "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\nStopIteration."},
    {"close", close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(GeneratorObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(repr)},
    {Py_tp_iter, reinterpret_cast<void *>(self_iter)},
    {Py_tp_iternext, reinterpret_cast<void *>(iternext)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec spec = {"generator", sizeof(GeneratorObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};

}  // namespace

PyTypeObject *new_generator_type(PyObject *module) {
    PyObject *type = reinterpret_cast<PyObject *>(
        new_native_type(spec, module, "velora native generator", "__velora_generator__"));
    if (!type) return nullptr;
    // Generators come from calling a generator function only.
    reinterpret_cast<PyTypeObject *>(type)->tp_new = nullptr;
    // isinstance(g, collections.abc.Generator), as for Python generators.
    PyObject *abc = PyImport_ImportModule("collections.abc");
    PyObject *generator = abc ? PyObject_GetAttrString(abc, "Generator") : nullptr;
    PyObject *r = generator ? PyObject_CallMethod(generator, "register", "O", type) : nullptr;
    Py_XDECREF(generator);
    Py_XDECREF(abc);
    if (!r) {
        Py_DECREF(type);
        return nullptr;
    }
    Py_DECREF(r);
    return reinterpret_cast<PyTypeObject *>(type);
}

py::object make_generator(PyObject *type, std::unique_ptr<GeneratorBody> body, py::handle name,
                          py::handle qualname, const char *file, int line) {
    auto *t = reinterpret_cast<PyTypeObject *>(type);
    PyObject *self = t->tp_alloc(t, 0);
    if (!self) raise_current();
    GeneratorObject *g = as_gen(self);
    g->body = body.release();
    g->name = Py_NewRef(name.ptr());
    g->qualname = Py_NewRef(qualname.ptr());
    g->file = file ? PyUnicode_FromString(file) : nullptr;
    if (file && !g->file) {
        Py_DECREF(self);
        raise_current();
    }
    g->line = line;
    return steal(self);
}

}  // namespace frame
