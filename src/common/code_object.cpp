// Native functions' code objects and the bodies they call (code_object.hpp).
#include "code_object.hpp"

#include "errors.hpp"

#include <map>
#include <string>
#include <tuple>

#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

namespace frame {
namespace {

// The constant the template calls, replaced by the body in each code object.
constexpr const char *kMark = "velora native body";

BodyObject *as_body(PyObject *o) { return reinterpret_cast<BodyObject *>(o); }

std::string join(const std::vector<std::string> &items) {
    std::string out;
    for (const std::string &item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

// The code object `name` among the constants of `code` (borrowed), or nullptr.
PyObject *nested_code(PyObject *code, const char *name) {
    py::object consts = steal(PyObject_GetAttrString(code, "co_consts"));
    for (py::handle c : consts) {
        if (!PyCode_Check(c.ptr())) continue;
        py::object n = steal(PyObject_GetAttrString(c.ptr(), "co_name"));
        if (PyUnicode_CompareWithASCIIString(n.ptr(), name) == 0) return c.ptr();
    }
    throw std::logic_error(std::string("frame: no code object ") + name + " in a template");
}

// The template for a code of this shape, compiled once per process (code objects
// are immutable: kept as constants are).  A method's is compiled in a class body,
// so that its flags are a method's, and one using super() refers to `__class__`,
// which gives it that cell, as the compiler gives it; a nested def's refers to the
// cells of an enclosing function.
PyObject *template_for(const Code &code) {
    using Shape = std::tuple<int, bool, bool, bool, int, bool, bool>;
    static std::map<Shape, PyObject *> templates;
    Shape shape{code.argcount, code.varargs, code.varkw, code.generator, code.nfree(), code.method, code.class_cell};
    if (auto found = templates.find(shape); found != templates.end()) return found->second;
    std::vector<std::string> params, args, cells;
    for (int i = 0; i < code.argcount; ++i) params.push_back("a" + std::to_string(i));
    args = params;
    if (code.varargs) params.push_back("*v"), args.push_back("v");
    if (code.varkw) params.push_back("**k"), args.push_back("k");
    if (code.class_cell) {
        args.push_back("__class__");
    } else {
        // Free variables are ordered by name: zero-padded, their order is their number's.
        for (int i = 0; i < code.nfree(); ++i) {
            std::string cell = "c" + std::string(i < 10 ? "00" : i < 100 ? "0" : "") + std::to_string(i);
            cells.push_back(cell);
            args.push_back(cell);
        }
    }
    // A conditional expression, not the bare constant: calling a constant draws a
    // SyntaxWarning from the compiler.
    std::string call = std::string("('") + kMark + "' if 1 else 0)(" + join(args) + ")";
    std::string def = "def f(" + join(params) + "): return " + (code.generator ? "(yield from " + call + ")" : call);
    std::string source, outer;
    if (code.method) {
        source = "class C:\n    " + def + "\n";
        outer = "C";
    } else if (!cells.empty()) {
        std::string assign;
        for (const std::string &c : cells) assign += c + " = ";
        source = "def g():\n    " + assign + "None\n    " + def + "\n    return f\n";
        outer = "g";
    } else {
        source = def + "\n";
    }
    py::object module = steal(Py_CompileString(source.c_str(), "<velora native code>", Py_file_input));
    PyObject *f = nested_code(outer.empty() ? module.ptr() : nested_code(module.ptr(), outer.c_str()), "f");
    templates.emplace(shape, Py_NewRef(f));
    return f;
}

py::tuple names_tuple(const std::vector<PyObject *> &names) {
    py::tuple t(names.size());
    for (size_t i = 0; i < names.size(); ++i) PyTuple_SET_ITEM(t.ptr(), i, Py_NewRef(names[i]));
    return t;
}

// The template of `body`'s code, given the def's names and calling `body`.
py::object make_code(BodyObject *body) {
    const Code &code = *body->code;
    py::object tmpl = borrow(template_for(code));
    // The template's constants, copied (the template's own tuple is shared), with the body for the mark.
    py::object template_consts = steal(PyObject_GetAttrString(tmpl.ptr(), "co_consts"));
    Py_ssize_t n = PyTuple_GET_SIZE(template_consts.ptr());
    py::object consts = steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *c = PyTuple_GET_ITEM(template_consts.ptr(), i);
        bool mark = PyUnicode_Check(c) && PyUnicode_CompareWithASCIIString(c, kMark) == 0;
        PyTuple_SET_ITEM(consts.ptr(), i, Py_NewRef(mark ? reinterpret_cast<PyObject *>(body) : c));
    }
    py::dict changes;
    changes["co_name"] = py::str(code.name);
    changes["co_filename"] = py::str(code.file);
    changes["co_firstlineno"] = py::int_(code.line);
    changes["co_varnames"] = names_tuple(code.varnames);
    if (code.nfree()) changes["co_freevars"] = names_tuple(code.freevars);
    changes["co_consts"] = consts;
#if PY_VERSION_HEX >= 0x030B0000
    changes["co_qualname"] = borrow(body->qualname);
#endif
    py::object replace = steal(PyObject_GetAttrString(tmpl.ptr(), "replace"));
    return steal(PyObject_Call(replace.ptr(), py::tuple().ptr(), changes.ptr()));
}

// --- the body ---------------------------------------------------------------------------

// Called by its code object with the bound parameters, then the cells' values.
PyObject *body_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    BodyObject *b = as_body(self);
    const Code &code = *b->code;
    if (kwnames || PyVectorcall_NARGS(nargsf) != static_cast<Py_ssize_t>(code.nlocals() + code.nfree())) {
        PyErr_Format(PyExc_TypeError, "the body of %U() is called by its code object only", b->qualname);
        return nullptr;
    }
    // The running frame is the code object's: its globals are the function's.
    PyObject *globals = PyEval_GetGlobals();
    if (!globals) {
        PyErr_Format(PyExc_SystemError, "the body of %U() called from no frame", b->qualname);
        return nullptr;
    }
    return boundary([&]() -> PyObject * {
        Call call(args, globals, b);
        py::object r = code.body(call);
        return r ? r.release().ptr() : Py_NewRef(Py_None);
    });
}

int body_traverse(PyObject *self, visitproc visit, void *arg) {
    BodyObject *b = as_body(self);
    Py_VISIT(b->types);
    Py_VISIT(b->builtins);
    Py_VISIT(b->qualname);
    return 0;
}

int body_clear(PyObject *self) {
    BodyObject *b = as_body(self);
    Py_CLEAR(b->types);
    Py_CLEAR(b->builtins);
    Py_CLEAR(b->qualname);
    return 0;
}

void body_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    body_clear(self);
    as_body(self)->code.~shared_ptr();
    Py_TYPE(self)->tp_free(self);
}

PyObject *body_repr(PyObject *self) {
    return PyUnicode_FromFormat("<native body of %U>", as_body(self)->qualname);
}

// One type of bodies per library: it holds nothing of a module.
PyTypeObject *body_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0) "velora native body"};
    if (type.tp_flags & Py_TPFLAGS_READY) return &type;
    type.tp_basicsize = sizeof(BodyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_dealloc = body_dealloc;
    type.tp_repr = body_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_vectorcall_offset = offsetof(BodyObject, vectorcall);
    type.tp_traverse = body_traverse;
    type.tp_clear = body_clear;
    if (PyType_Ready(&type) < 0) return nullptr;
    type.tp_new = nullptr;  // made by code_object() only
    return &type;
}

py::object key_of(const Code *code) { return steal(PyLong_FromVoidPtr(const_cast<Code *>(code))); }

}  // namespace

py::object made_code_object(PyObject *types, const Code *code) {
    PyObject *codes = PyTuple_GET_ITEM(types, module_objects::codes);
    py::object key = key_of(code);
    PyObject *ref = key ? PyDict_GetItemWithError(codes, key.ptr()) : nullptr;
    PyObject *found = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (ref && PyWeakref_GetRef(ref, &found) < 0) found = nullptr;
#else
    if (ref && (found = PyWeakref_GetObject(ref)) != nullptr) found = found == Py_None ? nullptr : Py_NewRef(found);
#endif
    PyErr_Clear();
    return py::reinterpret_steal<py::object>(found);
}

py::object code_object(PyObject *types, const std::shared_ptr<const Code> &code, PyObject *builtins) {
    if (py::object made = made_code_object(types, code.get())) return made;
    PyTypeObject *type = body_type();
    PyObject *self = type ? type->tp_alloc(type, 0) : nullptr;
    if (!self) raise_current();
    py::object body = steal(self);
    BodyObject *b = as_body(self);
    new (&b->code) std::shared_ptr<const Code>(code);
    b->vectorcall = body_vectorcall;
    b->types = Py_NewRef(types);
    b->builtins = Py_NewRef(builtins);
    b->qualname = PyUnicode_FromString((code->qualname.empty() ? code->name : code->qualname).c_str());
    if (!b->qualname) raise_current();
    py::object made = make_code(b);
    // Making it may have run Python code (a collection): another thread may have made
    // one meanwhile, which is then the one.
    if (py::object other = made_code_object(types, code.get())) return other;
    py::object ref = steal(PyWeakref_NewRef(made.ptr(), nullptr));
    py::object key = key_of(code.get());
    if (!ref || !key || PyDict_SetItem(PyTuple_GET_ITEM(types, module_objects::codes), key.ptr(), ref.ptr()) < 0)
        raise_current();
    return made;
}

PyObject *placeholder_code() {
    static PyObject *placeholder = nullptr;
    if (!placeholder) {
        PyObject *module = Py_CompileString(
            "def native_code_not_made(*args, **kwargs):\n"
            "    raise SystemError('a native function ran before its code object was made')\n",
            "<velora native code>", Py_file_input);
        if (!module) Py_FatalError("frame: cannot compile the placeholder code object");
        placeholder = Py_NewRef(nested_code(module, "native_code_not_made"));
        Py_DECREF(module);
    }
    return placeholder;
}

}  // namespace frame
