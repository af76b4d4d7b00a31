// The native function type: attributes, descriptor binding, vectorcall, GC.
#include "function.hpp"

#include "attributes.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "generator.hpp"
#include "native_type.hpp"

#include <algorithm>
#include <cstddef>
#include <structmember.h>
#include <vector>

#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

#if FRAME_FAST(RECURSION_COUNTER)
// Exported by CPython 3.12 and 3.13, declared in their internal headers: what
// Py_EnterRecursiveCall runs when the C recursion budget is used up.
extern "C" int _Py_CheckRecursiveCall(PyThreadState *tstate, const char *where);
#endif

namespace frame {
namespace {

using F = FunctionObject;
F *as_fn(PyObject *o) { return reinterpret_cast<F *>(o); }

// Native bodies calling native functions (a method that calls itself through an
// override, say) never pass through the interpreter's loop: each call counts
// against the recursion limit, as builtin functions' calls do, so that endless
// recursion is a RecursionError rather than an overflow of the C stack.  Where the
// budget is a counter in the thread state (a fast path, fast_paths.hpp), it is read
// once per call here, where Py_EnterRecursiveCall and Py_LeaveRecursiveCall would
// find the thread state twice.
class RecursionGuard {
public:
#if FRAME_FAST(RECURSION_COUNTER)
    bool enter() {
        return tstate_->c_recursion_remaining-- <= 0 && _Py_CheckRecursiveCall(tstate_, kWhere) < 0;
    }
    void leave() { ++tstate_->c_recursion_remaining; }

private:
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState *tstate_ = PyThreadState_GetUnchecked();
#else
    PyThreadState *tstate_ = _PyThreadState_UncheckedGet();
#endif
#else
    bool enter() { return Py_EnterRecursiveCall(kWhere) != 0; }
    void leave() { Py_LeaveRecursiveCall(); }

private:
#endif
    static constexpr const char *kWhere = " while calling a Python object";
};

PyObject *vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    F *fn = as_fn(self);
    Locals locals;
    if (!locals.bind(fn, args, PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
    RecursionGuard recursion;
    if (recursion.enter()) return nullptr;
    // Keep the function alive while its body runs, whatever the body rebinds (its
    // code and globals are read throughout).
    Py_INCREF(self);
    PyObject *result = boundary([&]() -> PyObject * {
        Call call{fn, locals.slots()};
        py::object r = fn->code->body(call);
        return r ? r.release().ptr() : Py_NewRef(Py_None);
    });
    recursion.leave();
    if (!result) {
        add_traceback(fn->qualname, fn->code->file.c_str(), fn->code->line);
    }
    Py_DECREF(self);
    return result;
}

int traverse(PyObject *self, visitproc visit, void *arg) {
    F *f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->closure);
    Py_VISIT(f->klass);
    Py_VISIT(f->types);
    Py_VISIT(f->frame_function);
    return 0;
}

int clear(PyObject *self) {
    F *f = as_fn(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->klass);
    Py_CLEAR(f->types);
    Py_CLEAR(f->frame_function);
    return 0;
}

void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    as_fn(self)->code.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

// A function found through an instance is a bound method, as in Python.
PyObject *descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// --- attributes ------------------------------------------------------------

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_fn(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_fn(self)->qualname); }

int set_str(PyObject *&slot, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject *self, PyObject *v, void *) { return set_str(as_fn(self)->name, v, "__name__"); }
int set_qualname(PyObject *self, PyObject *v, void *) { return set_str(as_fn(self)->qualname, v, "__qualname__"); }

PyObject *get_or_none(PyObject *v) { return Py_NewRef(v ? v : Py_None); }
PyObject *get_doc(PyObject *self, void *) {
    F *f = as_fn(self);
    if (f->doc_text) {
        PyObject *doc = PyUnicode_FromString(f->doc_text);
        if (!doc) return nullptr;
        Py_XSETREF(f->doc, doc);
        f->doc_text = nullptr;
    }
    return get_or_none(f->doc);
}
int set_doc(PyObject *self, PyObject *v, void *) {
    as_fn(self)->doc_text = nullptr;
    Py_XSETREF(as_fn(self)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject *get_module(PyObject *self, void *) { return get_or_none(as_fn(self)->module); }
// `del f.__module__` leaves None, which is what Python then reads back; the
// function keeps a module name for the frames and closures it makes.
int set_module(PyObject *self, PyObject *v, void *) {
    Py_XSETREF(as_fn(self)->module, Py_NewRef(v ? v : Py_None));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) { return get_or_none(as_fn(self)->defaults); }
int set_defaults(PyObject *self, PyObject *v, void *) {
    if (v == Py_None) v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->defaults, Py_XNewRef(v));
    return 0;
}
PyObject *get_kwdefaults(PyObject *self, void *) { return get_or_none(as_fn(self)->kwdefaults); }
int set_kwdefaults(PyObject *self, PyObject *v, void *) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}
PyObject *get_annotations(PyObject *self, void *) {
    F *f = as_fn(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *v, void *) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->annotations, Py_XNewRef(v));
    return 0;
}

// inspect.signature() reads this: the parameters with their current defaults.
PyObject *get_signature(PyObject *self, void *) {
    return boundary([&]() -> PyObject * {
        F *f = as_fn(self);
        const Code &code = *f->code;
        py::object inspect = steal(PyImport_ImportModule("inspect"));
        py::object parameter = inspect.attr("Parameter");
        py::list params;
        Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        Py_ssize_t first_default = code.argcount - ndef;
        for (int i = 0; i < code.argcount; ++i) {
            py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
            if (i >= first_default)
                params.append(parameter(borrow(code.varnames[i]), kind,
                                        py::arg("default") = borrow(PyTuple_GET_ITEM(f->defaults, i - first_default))));
            else
                params.append(parameter(borrow(code.varnames[i]), kind));
        }
        int at = code.argcount;
        if (code.varargs) params.append(parameter(borrow(code.varnames[at++]), parameter.attr("VAR_POSITIONAL")));
        if (code.varkw) params.append(parameter(borrow(code.varnames[at]), parameter.attr("VAR_KEYWORD")));
        return inspect.attr("Signature")(params).release().ptr();
    });
}

// Pickled (and deep-copied) by reference, as Python functions are.
PyObject *reduce(PyObject *self, PyObject *) { return Py_NewRef(as_fn(self)->qualname); }

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A function's own `__module__`.  The type's dictionary holds the type's own
// `__module__` (the module that made it), so the function's is served here rather
// than by a descriptor in that dictionary.
bool is_module_name(PyObject *name) {
    return name == "__module__"_n.ptr() ||
           (PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 10 &&
            PyUnicode_CompareWithASCIIString(name, "__module__") == 0);
}
PyObject *getattro(PyObject *self, PyObject *name) {
    if (is_module_name(name)) return get_module(self, nullptr);
    return PyObject_GenericGetAttr(self, name);
}
int setattro(PyObject *self, PyObject *name, PyObject *value) {
    if (is_module_name(name)) return set_module(self, value, nullptr);
    return PyObject_GenericSetAttr(self, name, value);
}

PyMemberDef members[] = {
    {"__globals__", T_OBJECT, offsetof(F, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(F, builtins), READONLY, nullptr},
    {"__closure__", T_OBJECT, offsetof(F, closure), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(F, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(F, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(F, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(descr_get)},
    {Py_tp_getattro, reinterpret_cast<void *>(getattro)},
    {Py_tp_setattro, reinterpret_cast<void *>(setattro)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(clear)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "function",
    sizeof(F),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL,
    slots,
};

py::object new_cell(py::handle value) { return steal(PyCell_New(value.ptr())); }

}  // namespace

PyTypeObject *new_function_type(PyObject *module) {
    PyTypeObject *type = new_native_type(spec, module, "velora native function", "__velora_function__");
    // Functions are made by `def` only: calling the type raises TypeError instead of
    // handing out an empty object.
    if (type) type->tp_new = nullptr;
    return type;
}

namespace {
std::vector<std::pair<Body, BodySource>> &body_sources() {
    static std::vector<std::pair<Body, BodySource>> sources;
    return sources;
}
}  // namespace

BodySource::BodySource(Body body, const char *file_, int line_) noexcept : file(file_), line(line_) {
    body_sources().emplace_back(body, *this);
}

const BodySource *source_of(Body body) {
    for (const auto &[b, source] : body_sources())
        if (b == body) return &source;
    return nullptr;
}

bool is_function(PyObject *types, py::handle obj) {
    return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(types, 0));
}

void set_defining_class(py::handle function, py::handle klass) {
    Py_XSETREF(as_fn(function.ptr())->klass, Py_NewRef(klass.ptr()));
}

void set_static_doc(py::handle function, const char *text) { as_fn(function.ptr())->doc_text = text; }

py::object make_function(PyObject *types, std::shared_ptr<const Code> code, py::handle qualname,
                         py::handle module, py::handle doc, py::handle globals,
                         py::handle builtins, py::handle defaults, py::handle closure) {
    auto *type = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(types, 0));
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) raise_current();
    F *f = as_fn(self);
    new (&f->code) std::shared_ptr<const Code>(std::move(code));
    f->vectorcall = vectorcall;
    f->name = PyUnicode_FromString(f->code->name.c_str());
    f->qualname = Py_NewRef(qualname.ptr());
    f->module = Py_NewRef(module.ptr());
    f->doc = Py_NewRef(doc.ptr());
    f->defaults = is_none(defaults) ? nullptr : Py_NewRef(defaults.ptr());
    f->globals = Py_NewRef(globals.ptr());
    f->builtins = Py_NewRef(builtins.ptr());
    f->closure = is_none(closure) ? nullptr : Py_NewRef(closure.ptr());
    f->types = Py_NewRef(types);
    py::object result = steal(self);
    if (!f->name) raise_current();
    return result;
}

// --- what a body sees ---------------------------------------------------------

py::object Call::global(py::handle name) const {
    PyObject *v = PyDict_GetItemWithError(fn->globals, name.ptr());
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(fn->builtins, name.ptr());
    if (v) return borrow(v);
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
#if PY_VERSION_HEX >= 0x030A0000
        // As the interpreter does, so that tracebacks can suggest a close name.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (value) PyObject_SetAttrString(value, "name", name.ptr());
        PyErr_Restore(type, value, tb);
#endif
    }
    raise_current();
}

py::object Call::global(py::handle name, GlobalCache &cache) const {
    if (PyObject *v = cache.hit(fn->globals)) return borrow(v);
    // Stamps taken before the lookups: should a lookup change a dictionary (a key
    // comparing by Python code), the next call sees the change and looks again.
    DictStamp in_globals = stamp(fn->globals), in_builtins = stamp(fn->builtins);
    PyObject *v = PyDict_GetItemWithError(fn->globals, name.ptr());
    bool own = v != nullptr;
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(fn->builtins, name.ptr());
    if (!v) return global(name);  // NameError, worded as the interpreter words it
    if (!in_globals || (!own && !in_builtins)) return borrow(v);
    cache.globals = fn->globals;
    cache.in_globals = in_globals;
    cache.in_builtins = own ? DictStamp{} : in_builtins;
    cache.value = v;
    return borrow(v);
}

py::object Call::import(py::handle name) const {
    return import_name(fn->builtins, fn->globals, name, Py_None);
}

py::object Call::cell(int i) const {
    PyObject *c = PyTuple_GET_ITEM(fn->closure, i);
    PyObject *v = PyCell_GET(c);
    if (!v) {
        PyErr_Format(PyExc_NameError, "cannot access free variable in enclosing scope");
        raise_current();
    }
    return borrow(v);
}

py::object Call::super() const {
    if (!fn->klass) throw py::type_error("super(): __class__ cell not found");
    return steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), fn->klass,
                                              locals[0], nullptr));
}

py::object Call::closure(const Def &def, std::initializer_list<py::handle> captured) const {
    py::tuple cells(captured.size());
    size_t i = 0;
    for (py::handle v : captured) PyTuple_SET_ITEM(cells.ptr(), i++, new_cell(v).release().ptr());
    py::object qualname = steal(PyUnicode_FromFormat("%U.<locals>.%s", fn->qualname, def.code->name.c_str()));
    py::object globals = borrow(fn->globals);
    return make_function(fn->types, def.code, qualname, borrow(fn->module), py::none(), globals,
                         borrow(fn->builtins), eval_defaults(*def.code, globals), cells);
}

py::object Call::call_in_frame_of(py::handle callable, py::handle args, py::handle kwargs,
                                  FrameGlobals globals) const {
    if (!fn->frame_function) {
        // A one-line Python function `def <qualname>(callable, args, kwargs): return
        // callable(*args, **kwargs)`, compiled and renamed after this function once,
        // then kept.  By default it has globals of its own (builtins and the module's
        // name), which is what warnings.warn needs from a frame on 3.13; a callee that
        // takes its namespace from its caller's frame (an embedded shell) is given the
        // module's own globals instead.
        py::dict ns;
        ns["__builtins__"] = borrow(fn->builtins);
        ns["__name__"] = borrow(fn->module);
        PyObject *r = PyRun_String("def trampoline(callable, args, kwargs):\n"
                                   "    return callable(*args, **kwargs)\n",
                                   Py_file_input, ns.ptr(), ns.ptr());
        if (!r) raise_current();
        Py_DECREF(r);
        py::object trampoline = ns["trampoline"];
        py::object code = method(attr(trampoline, "__code__"_n), "replace"_n)
                              .kw<"co_name", "co_filename", "co_firstlineno">(
                                  {fn->qualname, py::str(fn->code->file), py::int_(fn->code->line)});
        if (globals == FrameGlobals::module)
            trampoline = steal(PyFunction_New(code.ptr(), fn->globals));
        else
            set_attr(trampoline, "__code__"_n, code);
        set_attr(trampoline, "__qualname__"_n, fn->qualname);
        // Making it ran Python code: another thread may have made one meanwhile.
        if (!fn->frame_function) fn->frame_function = trampoline.release().ptr();
    }
    return steal(PyObject_CallFunctionObjArgs(fn->frame_function, callable.ptr(), args.ptr(), kwargs.ptr(), nullptr));
}

py::object Call::generator(std::unique_ptr<GeneratorBody> body) const {
    return make_generator(PyTuple_GET_ITEM(fn->types, 1), std::move(body), borrow(fn->name),
                          borrow(fn->qualname), fn->code->file.c_str(), fn->code->line);
}

}  // namespace frame
