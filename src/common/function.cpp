// Native functions: the function type, its vectorcall and attributes, and what a
// body sees of its call (function.hpp).
#include "function.hpp"

#include "attributes.hpp"
#include "binding.hpp"
#include "code_object.hpp"
#include "errors.hpp"
#include "generator.hpp"
#include "native_type.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <structmember.h>
#include <vector>

#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

#if FRAME_FAST(RECURSION_COUNTER) || FRAME_FAST(RECURSION_DEPTH)
// Exported by CPython 3.9 to 3.13, declared in their internal headers: what
// Py_EnterRecursiveCall runs when the recursion budget is used up.
extern "C" int _Py_CheckRecursiveCall(PyThreadState *tstate, const char *where);
#endif

namespace frame {

// --- where bodies are defined -------------------------------------------------------

namespace {
std::vector<std::pair<Body, BodySource>> &body_sources() {
    static std::vector<std::pair<Body, BodySource>> sources;
    return sources;
}
}  // namespace

BodySource::BodySource(Body body, const char *file_, int line_, unsigned traits_) noexcept
    : file(file_), line(line_), traits(traits_) {
    body_sources().emplace_back(body, *this);
}

const BodySource *source_of(Body body) {
    for (const auto &[b, source] : body_sources())
        if (b == body) return &source;
    return nullptr;
}

namespace {

// The `__doc__` a `def` whose docstring is `text` has: from 3.13 on the compiler
// removes the docstring's indentation (the first line's leading spaces, and the
// margin common to the lines after it, once tabs are expanded), and so does this.
#if PY_VERSION_HEX >= 0x030D0000
PyObject *without_indentation(std::string_view doc) {
    size_t first_end = doc.find('\n');
    size_t margin = std::string_view::npos;
    for (size_t at = first_end; at != std::string_view::npos && at + 1 < doc.size();) {
        size_t start = at + 1, end = doc.find('\n', start);
        std::string_view line = doc.substr(start, end == std::string_view::npos ? end : end - start);
        size_t text = line.find_first_not_of(' ');
        if (text != std::string_view::npos) margin = std::min(margin, text);
        at = end;
    }
    if (margin == std::string_view::npos) margin = 0;
    size_t lead = std::min(doc.find_first_not_of(' '), doc.size());
    if (lead == 0 && margin == 0)
        return PyUnicode_FromStringAndSize(doc.data(), static_cast<Py_ssize_t>(doc.size()));
    std::string clean;
    clean.reserve(doc.size());
    clean.append(doc.substr(lead, first_end == std::string_view::npos ? first_end : first_end + 1 - lead));
    for (size_t at = first_end; at != std::string_view::npos && at + 1 < doc.size();) {
        size_t start = at + 1, end = doc.find('\n', start);
        std::string_view line = doc.substr(start, end == std::string_view::npos ? end : end + 1 - start);
        clean.append(line.substr(std::min(margin, std::min(line.find_first_not_of(' '), line.size()))));
        at = end;
    }
    return PyUnicode_FromStringAndSize(clean.data(), static_cast<Py_ssize_t>(clean.size()));
}
#endif

PyObject *docstring(const char *text) {
#if PY_VERSION_HEX >= 0x030D0000
    if (!std::strchr(text, '\t')) return without_indentation(text);
    PyObject *doc = PyUnicode_FromString(text);
    PyObject *expanded = doc ? PyObject_CallMethod(doc, "expandtabs", nullptr) : nullptr;
    Py_XDECREF(doc);
    Py_ssize_t size;
    const char *utf8 = expanded ? PyUnicode_AsUTF8AndSize(expanded, &size) : nullptr;
    PyObject *clean = utf8 ? without_indentation(std::string_view(utf8, static_cast<size_t>(size))) : nullptr;
    Py_XDECREF(expanded);
    return clean;
#else
    return PyUnicode_FromString(text);
#endif
}

}  // namespace

#if FRAME_NATIVE_FUNCTIONS

// --- the function type ------------------------------------------------------------------

namespace {

using F = FunctionObject;
F *as_fn(PyObject *o) { return reinterpret_cast<F *>(o); }

// Native bodies calling native functions (a method that calls itself through an
// override, say) never pass through the interpreter's loop: each call counts
// against the recursion limit, as builtin functions' calls do, so that endless
// recursion is a RecursionError rather than an overflow of the C stack.  Where the
// budget is a counter in the thread state (fast paths, fast_paths.hpp), it is read
// once per call here, where Py_EnterRecursiveCall and Py_LeaveRecursiveCall would
// find the thread state twice; up to 3.11 in the thread state the tracing switch
// has read.  A call watched (`watched`) checks nothing here: the interpreter runs
// its frame.
class CallState {
public:
#if FRAME_FAST(TRACING_FLAG_3_9) || FRAME_FAST(TRACING_FLAG_3_10)
    bool watched(const F *) const { return tracing::active(tstate_); }
#elif FRAME_FAST(MONITORS)
    bool watched(const F *fn) const { return tracing::active(fn->monitors); }
#else
    bool watched(const F *) const { return tracing::active(); }
#endif

#if FRAME_FAST(RECURSION_DEPTH)
    bool enter() {
        return ++tstate_->recursion_depth > tracing::recursion_limit(tstate_) &&
               _Py_CheckRecursiveCall(tstate_, kWhere) < 0;
    }
    void leave() { --tstate_->recursion_depth; }
#elif FRAME_FAST(RECURSION_COUNTER) && PY_VERSION_HEX < 0x030C0000
    bool enter() { return tstate_->recursion_remaining-- <= 0 && _Py_CheckRecursiveCall(tstate_, kWhere) < 0; }
    void leave() { ++tstate_->recursion_remaining; }
#elif FRAME_FAST(RECURSION_COUNTER)
    bool enter() {
#if PY_VERSION_HEX >= 0x030D0000
        tstate_ = PyThreadState_GetUnchecked();
#else
        tstate_ = _PyThreadState_UncheckedGet();
#endif
        return tstate_->c_recursion_remaining-- <= 0 && _Py_CheckRecursiveCall(tstate_, kWhere) < 0;
    }
    void leave() { ++tstate_->c_recursion_remaining; }
#else
    bool enter() { return Py_EnterRecursiveCall(kWhere) != 0; }
    void leave() { Py_LeaveRecursiveCall(); }
#endif

private:
#if FRAME_FAST(TRACING_FLAG_3_9) || FRAME_FAST(TRACING_FLAG_3_10)
    PyThreadState *tstate_ = tracing::thread_state();
#elif FRAME_FAST(RECURSION_COUNTER)
    PyThreadState *tstate_ = nullptr;
#endif
    static constexpr const char *kWhere = " while calling a Python object";
};


// What the interpreter's own functions call with: _PyFunction_Vectorcall, which
// runs a function's code object in a new frame (read from a function made for the
// purpose: from 3.15 on it is declared only in the internal headers).
vectorcallfunc interpreter_vectorcall() {
    static vectorcallfunc call = nullptr;
    if (!call) {
        PyObject *globals = PyDict_New();
        PyObject *f = globals ? PyFunction_New(placeholder_code(), globals) : nullptr;
        if (!f) Py_FatalError("frame: cannot make a function");
        call = PyVectorcall_Function(f);
        Py_DECREF(f);
        Py_DECREF(globals);
    }
    return call;
}

// The function's code object, made now if it still holds the placeholder.
bool ensure_code(F *fn) {
    if (fn->func.func_code != placeholder_code()) return true;
    try {
        py::object code = code_object(fn->types, fn->code, builtins_of(fn));
        if (fn->own_code == placeholder_code()) Py_SETREF(fn->own_code, Py_NewRef(code.ptr()));
        if (fn->func.func_code == placeholder_code()) Py_SETREF(fn->func.func_code, Py_NewRef(code.ptr()));
        return true;
    } catch (...) {
        restore_current_exception();
        return false;
    }
}

// The call as the interpreter makes it of a Python function: the code object in a
// frame of its own.  Taken while a profiler or tracer watches, so that it sees the
// call, and once `__code__` has been given another code object.
[[gnu::noinline]] PyObject *run_code_object(PyObject *self, PyObject *const *args, size_t nargsf,
                                            PyObject *kwnames) {
    if (!ensure_code(as_fn(self))) return nullptr;
    return interpreter_vectorcall()(self, args, nargsf, kwnames);
}

PyObject *vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    F *fn = as_fn(self);
    CallState state;
    if (__builtin_expect(fn->func.func_code != fn->own_code || state.watched(fn), 0))
        return run_code_object(self, args, nargsf, kwnames);
    Locals locals;
    if (!locals.bind(fn, args, PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
    if (state.enter()) return nullptr;
    // Keep the function alive while its body runs, whatever the body rebinds (its
    // code and globals are read throughout).
    Py_INCREF(self);
    PyObject *result = boundary([&]() -> PyObject * {
        Call call(locals.slots(), fn->func.func_globals, fn);
        py::object r = fn->code->body(call);
        return r ? r.release().ptr() : Py_NewRef(Py_None);
    });
    state.leave();
    if (!result) {
        add_traceback(fn->func.func_qualname, fn->code->file.c_str(), fn->code->line);
    }
    Py_DECREF(self);
    return result;
}

int traverse(PyObject *self, visitproc visit, void *arg) {
    F *f = as_fn(self);
    if (PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_HEAPTYPE)) Py_VISIT(Py_TYPE(self));
#if PY_VERSION_HEX < 0x030A0000
    Py_VISIT(f->builtins);
#endif
    Py_VISIT(f->own_code);
    Py_VISIT(f->class_cell);
    Py_VISIT(f->types);
    Py_VISIT(f->frame_function);
    // The function object's own fields, as the function type visits them.
    return PyFunction_Type.tp_traverse(self, visit, arg);
}

void clear_own(F *f) {
#if PY_VERSION_HEX < 0x030A0000
    Py_CLEAR(f->builtins);
#endif
    Py_CLEAR(f->own_code);
    Py_CLEAR(f->class_cell);
    Py_CLEAR(f->types);
    Py_CLEAR(f->frame_function);
}

int clear(PyObject *self) {
    clear_own(as_fn(self));
    return PyFunction_Type.tp_clear(self);
}

void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    F *f = as_fn(self);
    if (f->func.func_weakreflist) PyObject_ClearWeakRefs(self);
    clear_own(f);
    // The function type's clear leaves the code, and up to 3.10 clears the names,
    // from 3.11 on makes them the empty str.
    PyFunction_Type.tp_clear(self);
    Py_CLEAR(f->func.func_code);
    Py_CLEAR(f->func.func_name);
    Py_CLEAR(f->func.func_qualname);
    f->code.~shared_ptr();
    type->tp_free(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) Py_DECREF(type);
}

// --- attributes the frame serves itself ----------------------------------------------

// The function type's own descriptor of `name`, which ours defer to.
PyObject *function_descriptor(PyObject *&cache, const char *name) {
    if (!cache) cache = PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyFunction_Type), name);
    return cache;
}

// `__code__` is made when first read; assigning it is the function type's own
// assignment (its checks and audit event), the code object first made so that its
// flags are compared with the function's own.
PyObject *get_code(PyObject *self, void *) {
    static PyObject *descriptor = nullptr;
    if (!ensure_code(as_fn(self)) || !function_descriptor(descriptor, "__code__")) return nullptr;
    return Py_TYPE(descriptor)->tp_descr_get(descriptor, self, reinterpret_cast<PyObject *>(Py_TYPE(self)));
}
int set_code(PyObject *self, PyObject *value, void *) {
    static PyObject *descriptor = nullptr;
    if (!ensure_code(as_fn(self)) || !function_descriptor(descriptor, "__code__")) return -1;
    return Py_TYPE(descriptor)->tp_descr_set(descriptor, self, value);
}

// `__doc__` from static text, made into a str when first read.
PyObject *get_doc(PyObject *self, void *) {
    F *f = as_fn(self);
    if (f->doc_text) {
        PyObject *doc = docstring(f->doc_text);
        if (!doc) return nullptr;
        Py_XSETREF(f->func.func_doc, doc);
        f->doc_text = nullptr;
    }
    return Py_NewRef(f->func.func_doc ? f->func.func_doc : Py_None);
}
int set_doc(PyObject *self, PyObject *v, void *) {
    F *f = as_fn(self);
    f->doc_text = nullptr;
    Py_XSETREF(f->func.func_doc, Py_NewRef(v ? v : Py_None));
    return 0;
}

// A function's own `__module__`.  Each module's function type has its own
// `__module__` in its dictionary (the module that made it), which would hide the
// function type's descriptor: the function's is served here.
bool is_module_name(PyObject *name) {
    return name == "__module__"_n.ptr() ||
           (PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 10 &&
            PyUnicode_CompareWithASCIIString(name, "__module__") == 0);
}
PyObject *getattro(PyObject *self, PyObject *name) {
    if (is_module_name(name)) {
        PyObject *module = as_fn(self)->func.func_module;
        return Py_NewRef(module ? module : Py_None);
    }
    return PyObject_GenericGetAttr(self, name);
}
int setattro(PyObject *self, PyObject *name, PyObject *value) {
    if (is_module_name(name)) {
        Py_XSETREF(as_fn(self)->func.func_module, Py_XNewRef(value));
        return 0;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

// Pickled (and copied) by reference, as Python functions are.
PyObject *reduce(PyObject *self, PyObject *) { return Py_NewRef(as_fn(self)->func.func_qualname); }

PyGetSetDef getset[] = {
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The frame's subtype of the function type, one per library: the interpreter's
// function type is no acceptable base for a type made at run time (it lacks
// Py_TPFLAGS_BASETYPE), so this one is static, and each module's own function type
// derives from it.  It adds the attributes above; everything else (binding as a
// method, repr, call) is the function type's.
PyTypeObject *base_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0) "velora native function base"};
    if (type.tp_flags & Py_TPFLAGS_READY) return &type;
    type.tp_basicsize = sizeof(F);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                    Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_base = &PyFunction_Type;
    type.tp_dealloc = dealloc;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
    type.tp_getattro = getattro;
    type.tp_setattro = setattro;
    type.tp_getset = getset;
    type.tp_methods = methods;
    type.tp_call = PyVectorcall_Call;
    type.tp_vectorcall_offset = offsetof(PyFunctionObject, vectorcall);
    if (PyType_Ready(&type) < 0) return nullptr;
    // Functions are made by `def` only: calling the type raises TypeError.
    type.tp_new = nullptr;
    return &type;
}

PyMemberDef module_type_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(PyFunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot module_type_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(clear)},
    {Py_tp_members, module_type_members},
    {0, nullptr},
};

PyType_Spec module_type_spec = {
    "function",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL,
    module_type_slots,
};

}  // namespace

PyTypeObject *new_function_type(PyObject *module) {
    PyTypeObject *base = base_type();
    if (!base) return nullptr;
    PyTypeObject *type = new_native_type(module_type_spec, module, "velora native function", "__velora_function__",
                                         reinterpret_cast<PyObject *>(base));
    if (!type) return nullptr;
    type->tp_new = nullptr;
    // A made type's dictionary holds its own `__doc__` (None), which would hide the
    // functions' documentation.
    if (PyDict_GetItemString(type->tp_dict, "__doc__") && PyDict_DelItemString(type->tp_dict, "__doc__") < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    PyType_Modified(type);
    return type;
}

void set_static_doc(py::handle function, const char *text) { as_fn(function.ptr())->doc_text = text; }

py::object make_function(PyObject *types, std::shared_ptr<const Code> code, py::handle qualname, py::handle module,
                         py::handle globals, py::handle builtins, py::handle defaults, py::handle closure) {
    // Closures made by a nested def after its code object share it, as Python's do.
    py::object made = made_code_object(types, code.get());
    PyObject *code_object = made ? made.ptr() : placeholder_code();
    auto *type = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(types, module_objects::function_type));
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) raise_current();
    F *f = as_fn(self);
    PyObject *name = PyUnicode_FromString(code->name.c_str());
    new (&f->code) std::shared_ptr<const Code>(std::move(code));
    f->func.func_code = Py_NewRef(code_object);
    f->own_code = Py_NewRef(code_object);
    f->func.func_globals = Py_NewRef(globals.ptr());
#if PY_VERSION_HEX < 0x030A0000
    f->builtins = Py_NewRef(builtins.ptr());
#else
    f->func.func_builtins = Py_NewRef(builtins.ptr());
#endif
    f->func.func_name = name ? name : Py_NewRef("function"_n.ptr());  // never null, as the function type has it
    f->func.func_qualname = Py_NewRef(qualname.ptr());
    f->func.func_module = Py_NewRef(module.ptr());
    f->func.func_doc = Py_NewRef(Py_None);
    f->func.func_defaults = is_none(defaults) ? nullptr : Py_NewRef(defaults.ptr());
    f->func.func_closure = is_none(closure) ? nullptr : Py_NewRef(closure.ptr());
    if (f->code->class_cell) f->class_cell = Py_NewRef(PyTuple_GET_ITEM(closure.ptr(), PyTuple_GET_SIZE(closure.ptr()) - 1));
    f->func.vectorcall = vectorcall;
#if FRAME_FAST(MONITORS)
    f->monitors = tracing::monitors();
#endif
    f->types = Py_NewRef(types);
    py::object result = steal(self);
    if (!name) raise_current();
    return result;
}

#else  // a portable build: ordinary Python functions running the code object

PyTypeObject *new_function_type(PyObject *) {
    Py_INCREF(&PyFunction_Type);
    return &PyFunction_Type;
}

void set_static_doc(py::handle function, const char *text) {
    py::object doc = steal(docstring(text));
    if (!doc || PyObject_SetAttrString(function.ptr(), "__doc__", doc.ptr()) < 0) raise_current();
}

py::object make_function(PyObject *types, std::shared_ptr<const Code> code, py::handle qualname, py::handle module,
                         py::handle globals, py::handle builtins, py::handle defaults, py::handle closure) {
    py::object code_obj = code_object(types, code, builtins.ptr());
    py::object f = steal(PyFunction_NewWithQualName(code_obj.ptr(), globals.ptr(), qualname.ptr()));
    if (!f || PyFunction_SetDefaults(f.ptr(), defaults.ptr()) < 0 || PyFunction_SetClosure(f.ptr(), closure.ptr()) < 0 ||
        PyObject_SetAttrString(f.ptr(), "__module__", module.ptr()) < 0)
        raise_current();
    return f;
}

#endif

// --- what a body sees ---------------------------------------------------------

PyObject *Call::builtins() const {
#if FRAME_NATIVE_FUNCTIONS
    if (fn) return builtins_of(fn);
#endif
    return body->builtins;
}

const Code &Call::code() const {
#if FRAME_NATIVE_FUNCTIONS
    if (fn) return *fn->code;
#endif
    return *body->code;
}

py::object Call::global(py::handle name) const {
    PyObject *v = PyDict_GetItemWithError(globals, name.ptr());
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(builtins(), name.ptr());
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
    if (PyObject *v = cache.hit(globals)) return borrow(v);
    // Stamps taken before the lookups: should a lookup change a dictionary (a key
    // comparing by Python code), the next call sees the change and looks again.
    PyObject *builtins = this->builtins();
    DictStamp in_globals = stamp(globals), in_builtins = stamp(builtins);
    PyObject *v = PyDict_GetItemWithError(globals, name.ptr());
    bool own = v != nullptr;
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(builtins, name.ptr());
    if (!v) return global(name);  // NameError, worded as the interpreter words it
    if (!in_globals || (!own && !in_builtins)) return borrow(v);
    cache.globals = globals;
    cache.in_globals = in_globals;
    cache.in_builtins = own ? DictStamp{} : in_builtins;
    cache.value = v;
    return borrow(v);
}

py::object Call::import(py::handle name) const { return import_name(builtins(), globals, name, Py_None); }

namespace {
// The value of closure cell `i` of the running code (borrowed; null when empty).
PyObject *cell_value(const Call &f, const Code &code, int i) {
#if FRAME_NATIVE_FUNCTIONS
    if (f.fn) return PyCell_GET(PyTuple_GET_ITEM(f.fn->func.func_closure, i));
#endif
    // Passed by the code object after the parameters (it read the cells as it started).
    return f.locals[code.nlocals() + i];
}
}  // namespace

py::object Call::cell(int i) const {
    PyObject *v = cell_value(*this, code(), i);
    if (!v) {
        PyErr_Format(PyExc_NameError, "cannot access free variable in enclosing scope");
        raise_current();
    }
    return borrow(v);
}

PyObject *Call::defining_class_from_code() const {
    const Code &c = *body->code;
    return c.class_cell ? cell_value(*this, c, c.nfree() - 1) : nullptr;
}

py::object Call::super() const {
    if (!code().class_cell) throw py::type_error("super(): __class__ cell not found");
    PyObject *klass = defining_class();
    if (!klass) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        raise_current();
    }
    return steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), klass, locals[0], nullptr));
}

py::object Call::closure(const Def &def, std::initializer_list<py::handle> captured) const {
    const Code &inner = *def.code;
    if (captured.size() != inner.freevars.size())
        throw std::logic_error("closure " + inner.name + ": " + std::to_string(captured.size()) + " values for " +
                               std::to_string(inner.freevars.size()) + " cells");
    if (inner.qualname.empty()) inner.qualname = code().qualname + ".<locals>." + inner.name;
    py::tuple cells(captured.size());
    size_t i = 0;
    for (py::handle v : captured) {
        PyObject *cell = PyCell_New(v.ptr());
        if (!cell) raise_current();
        PyTuple_SET_ITEM(cells.ptr(), i++, cell);
    }
#if FRAME_NATIVE_FUNCTIONS
    PyObject *outer = fn ? fn->func.func_qualname : body->qualname, *types = fn ? fn->types : body->types;
#else
    PyObject *outer = body->qualname, *types = body->types;
#endif
    py::object qualname = steal(PyUnicode_FromFormat("%U.<locals>.%s", outer, inner.name.c_str()));
    // `__module__` as MAKE_FUNCTION takes it: the globals' `__name__`, or None.
    PyObject *module = PyDict_GetItemWithError(globals, "__name__"_n.ptr());
    if (!module && PyErr_Occurred()) raise_current();
    py::object module_name = borrow(module ? module : Py_None);
    py::object scope = borrow(globals);
    return make_function(types, def.code, qualname, module_name, scope, borrow(builtins()), eval_defaults(inner, scope),
                         cells);
}

py::object Call::call_in_frame_of(py::handle callable, py::handle args, py::handle kwargs,
                                  FrameGlobals frame_globals) const {
#if FRAME_NATIVE_FUNCTIONS
    if (fn) {
        if (!fn->frame_function) {
            // A one-line Python function `def <qualname>(callable, args, kwargs): return
            // callable(*args, **kwargs)`, compiled and renamed after this function once,
            // then kept.  By default it has globals of its own (builtins and the module's
            // name), which is what warnings.warn needs from a frame on 3.13; a callee that
            // takes its namespace from its caller's frame (an embedded shell) is given the
            // module's own globals instead.
            py::dict ns;
            ns["__builtins__"] = borrow(builtins());
            ns["__name__"] = borrow(fn->func.func_module ? fn->func.func_module : Py_None);
            PyObject *r = PyRun_String("def trampoline(callable, args, kwargs):\n"
                                       "    return callable(*args, **kwargs)\n",
                                       Py_file_input, ns.ptr(), ns.ptr());
            if (!r) raise_current();
            Py_DECREF(r);
            py::object trampoline = ns["trampoline"];
            py::object code = method(attr(trampoline, "__code__"_n), "replace"_n)
                                  .kw<"co_name", "co_filename", "co_firstlineno">(
                                      {fn->func.func_qualname, py::str(fn->code->file), py::int_(fn->code->line)});
            if (frame_globals == FrameGlobals::module)
                trampoline = steal(PyFunction_New(code.ptr(), globals));
            else
                set_attr(trampoline, "__code__"_n, code);
            set_attr(trampoline, "__qualname__"_n, fn->func.func_qualname);
            // Making it ran Python code: another thread may have made one meanwhile.
            if (!fn->frame_function) fn->frame_function = trampoline.release().ptr();
        }
        return steal(
            PyObject_CallFunctionObjArgs(fn->frame_function, callable.ptr(), args.ptr(), kwargs.ptr(), nullptr));
    }
#endif
    // Run by its code object, the function has its own frame, whose globals are the
    // module's: the callee is called from it.
    (void)frame_globals;
    return steal(PyObject_Call(callable.ptr(), args.ptr(), kwargs.ptr()));
}

py::object Call::generator(std::unique_ptr<GeneratorBody> state) const {
    // Its code object must say so (CO_GENERATOR), for inspect and for the frame that runs it.
    if (!code().generator) throw std::logic_error(code().name + ": f.generator() in a body not made by FRAME_GENERATOR_BODY");
#if FRAME_NATIVE_FUNCTIONS
    if (fn)
        return make_generator(PyTuple_GET_ITEM(fn->types, module_objects::generator_type), std::move(state),
                              borrow(fn->func.func_name), borrow(fn->func.func_qualname), fn->code->file.c_str(),
                              fn->code->line);
#endif
    // The code object's own generator runs this one (`yield from`) and holds the
    // traceback entry.
    py::object name = py::str(body->code->name);
    return make_generator(PyTuple_GET_ITEM(body->types, module_objects::generator_type), std::move(state), name,
                          borrow(body->qualname), nullptr, 0);
}

}  // namespace frame
