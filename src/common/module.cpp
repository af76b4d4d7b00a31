#include "module.hpp"

#include "attributes.hpp"
#include "code_object.hpp"
#include "errors.hpp"
#include "statements.hpp"

#include <cstring>
#include <iterator>
#include <string>

namespace frame {
namespace {

ModuleState *state_of(PyObject *module) { return static_cast<ModuleState *>(PyModule_GetState(module)); }

// `a` of "a as b", and `b` (or `a` when there is no alias).
std::pair<std::string, std::string> split_alias(const char *spec) {
    std::string s = spec;
    size_t at = s.find(" as ");
    if (at == std::string::npos) return {s, s};
    return {s.substr(0, at), s.substr(at + 4)};
}

// The builtins' own `__import__`, as the interpreter ships it (not a replacement).
bool is_builtin_import(PyObject *import) {
    return PyCFunction_Check(import) && PyModule_Check(PyCFunction_GET_SELF(import)) &&
           std::strcmp(reinterpret_cast<PyCFunctionObject *>(import)->m_ml->ml_name, "__import__") == 0 &&
           std::strcmp(PyModule_GetName(PyCFunction_GET_SELF(import)), "builtins") == 0;
}


// `name` of an imported module, as the interpreter's IMPORT_FROM finds it: the
// attribute, else the submodule `<module>.<name>` already in sys.modules.
py::object imported_name(py::handle mod, const std::string &name) {
    PyObject *v = PyObject_GetAttrString(mod.ptr(), name.c_str());
    if (v) return steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
    PyErr_Clear();
    PyObject *pkg = PyObject_GetAttrString(mod.ptr(), "__name__");
    if (pkg && PyUnicode_Check(pkg)) {
        py::object full = steal(PyUnicode_FromFormat("%U.%s", pkg, name.c_str()));
        Py_DECREF(pkg);
        PyObject *sub = PyImport_GetModule(full.ptr());
        if (sub) return steal(sub);
        if (PyErr_Occurred()) raise_current();
    } else {
        Py_XDECREF(pkg);
        PyErr_Clear();
    }
    cannot_import(py::str(name), mod);
}

}  // namespace

// What IMPORT_NAME does: `__import__` looked up in `builtins` now, so that a
// replacement is honoured; the interpreter's own is called without the call's
// argument packing, as the interpreter calls it.
py::object import_name(PyObject *builtins, PyObject *globals, py::handle name, PyObject *fromlist) {
    PyObject *import = PyDict_GetItemWithError(builtins, "__import__"_n.ptr());
    if (!import) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        raise_current();
    }
    if (is_builtin_import(import))
        return steal(PyImport_ImportModuleLevelObject(name.ptr(), globals, Py_None, fromlist, 0));
    return borrow(import)(name, borrow(globals), py::none(), borrow(fromlist), 0);
}

Module::Module(PyObject *module)
    : module_(borrow(module)),
      globals_(py::reinterpret_borrow<py::dict>(PyModule_GetDict(module))),
      builtins_(borrow(state_of(module)->builtins)),
      types_(state_of(module)->types) {}

void Module::import(const char *dotted, const char *as) {
    // `import a.b` binds the top-level package `a`; `import a.b as c` the module `a.b`.
    py::str name(dotted);
    py::object top = import_name(builtins_.ptr(), globals_.ptr(), name, Py_None);
    if (!as) {
        std::string first(dotted, strcspn(dotted, "."));
        globals_[first.c_str()] = top;
    } else if (!std::strchr(dotted, '.')) {
        globals_[as] = top;
    } else {
        PyObject *leaf = PyImport_GetModule(name.ptr());
        if (!leaf) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "No module named '%s'", dotted);
            raise_current();
        }
        globals_[as] = steal(leaf);
    }
}

void Module::from_import(const char *module, std::initializer_list<const char *> names) {
    py::tuple fromlist(names.size());
    size_t i = 0;
    for (const char *spec : names) PyTuple_SET_ITEM(fromlist.ptr(), i++, py::str(split_alias(spec).first).release().ptr());
    py::object mod = steal(PyImport_ImportModuleLevel(module, globals_.ptr(), nullptr, fromlist.ptr(), 0));
    for (const char *spec : names) {
        auto [name, as] = split_alias(spec);
        globals_[as.c_str()] = imported_name(mod, name);
    }
}

void Module::star_import(const char *module) {
    py::object mod = steal(PyImport_ImportModuleLevel(module, globals_.ptr(), nullptr,
                                                      py::make_tuple("*").ptr(), 0));
    if (has_attribute(mod, "__all__"_n)) {
        for (py::handle name : py::getattr(mod, "__all__"_n)) globals_[name] = py::getattr(mod, name);
        return;
    }
    // Each public name read from the module, as the interpreter's import * reads it
    // (a lazy import in its dictionary is resolved by the read).
    py::list names = steal(PyDict_Keys(py::getattr(mod, "__dict__"_n).ptr()));
    for (py::handle key : names)
        if (!std::string(py::str(key)).starts_with("_")) globals_[key] = py::getattr(mod, key);
}

void Module::set(const char *name, py::handle value) { globals_[name] = value; }

py::object Module::get(const char *name) const {
    PyObject *v = PyDict_GetItemString(globals_.ptr(), name);
    if (!v) v = PyDict_GetItemString(builtins_.ptr(), name);
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        raise_current();
    }
    return borrow(v);
}

py::object Module::make(const char *name, const char *params, Body body, const char *doc,
                        py::handle qualname, const std::source_location &where, py::handle closure,
                        bool in_class) {
    auto code = Code::make(name, params, body, where);
    code->qualname = py::str(qualname);
    code->method = in_class;
    if (code->class_cell && closure.is_none())
        throw std::logic_error(std::string("def ") + name + ": a body using super() outside a class body");
    // Defaults are evaluated once, now, against the module's names (as `def` does).
    py::object defaults = eval_defaults(*code, globals_);
    PyObject *module_name = PyDict_GetItemWithError(globals_.ptr(), "__name__"_n.ptr());
    if (!module_name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "__name__");
        raise_current();
    }
    py::object fn = make_function(types_, std::move(code), qualname, borrow(module_name), globals_, builtins_,
                                  defaults, closure);
    if (doc) set_static_doc(fn, doc);
    return fn;
}

py::object Module::def(const char *name, const char *params, Body body, const char *doc,
                       std::source_location where) {
    py::object key = steal(PyUnicode_InternFromString(name));
    if (!key) raise_current();
    py::object fn = make(name, params, body, doc, key, where, py::none(), false);
    setitem(globals_, key, fn);
    return fn;
}

py::object Module::def(std::initializer_list<py::object> decorators, const char *name, const char *params,
                       Body body, const char *doc, std::source_location where) {
    py::object fn = make(name, params, body, doc, py::str(name), where, py::none(), false);
    for (auto d = std::rbegin(decorators); d != std::rend(decorators); ++d) fn = (*d)(fn);
    globals_[name] = fn;
    return fn;
}

py::object Module::cls(const char *name, std::initializer_list<py::handle> bases_list,
                       const std::function<void(ClassBody &)> &fill) {
    py::tuple bases(bases_list.size());
    size_t i = 0;
    for (py::handle b : bases_list) PyTuple_SET_ITEM(bases.ptr(), i++, Py_NewRef(b.ptr()));
    // The most derived metaclass of the bases, as the class statement picks it.
    py::object meta = borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    for (py::handle b : bases) {
        py::object bm = borrow(reinterpret_cast<PyObject *>(Py_TYPE(b.ptr())));
        if (PyObject_IsSubclass(meta.ptr(), bm.ptr())) continue;
        if (PyObject_IsSubclass(bm.ptr(), meta.ptr())) {
            meta = bm;
            continue;
        }
        throw py::type_error("metaclass conflict: the metaclass of a derived class must be a "
                             "(non-strict) subclass of the metaclasses of all its bases");
    }
    py::object ns = has_attribute(meta, "__prepare__"_n) ? meta.attr("__prepare__")(name, bases) : py::dict();
    setitem(ns, "__module__"_n, globals_["__name__"]);
    setitem(ns, "__qualname__"_n, py::str(name));
    ClassBody body(*this, ns, name);
    fill(body);
    py::object klass = meta(name, bases, ns);
    // Methods using super() share the class's `__class__` cell, which type.__new__
    // fills from the namespace's `__classcell__`; a metaclass must pass it on, as
    // the class statement requires.
    if (body.class_cell_ && PyCell_GET(body.class_cell_.ptr()) != klass.ptr()) {
        if (!PyCell_GET(body.class_cell_.ptr()))
            PyErr_Format(PyExc_RuntimeError,
                         "__class__ not set defining '%s' as %R. Was __classcell__ propagated to type.__new__?", name,
                         klass.ptr());
        else
            PyErr_Format(PyExc_TypeError, "__class__ set to %R defining '%s' as %R",
                         PyCell_GET(body.class_cell_.ptr()), name, klass.ptr());
        raise_current();
    }
    globals_[name] = klass;
    return klass;
}

py::object ClassBody::def(const char *name, const char *params, Body body, const char *doc,
                          std::source_location where) {
    // A method using super() gets the class's `__class__` cell, made with the first.
    const BodySource *source = source_of(body);
    py::object closure = py::none();
    if (source && (source->traits & uses_class_cell)) {
        if (!class_cell_) {
            class_cell_ = steal(PyCell_New(nullptr));
            if (!class_cell_) raise_current();
            setitem(ns_, "__classcell__"_n, class_cell_);
        }
        closure = py::make_tuple(class_cell_);
    }
    py::object fn = m_.make(name, params, body, doc, py::str(qualname_ + "." + name), where, closure, true);
    setitem(ns_, py::str(name), fn);
    return fn;
}

void ClassBody::set(const char *name, py::handle value) { setitem(ns_, py::str(name), value); }

py::object Call::import_from(const char *module, const char *name) const {
    // As the interpreter's IMPORT_NAME: `__import__` is looked up in the builtins
    // at each use, so a replaced `builtins.__import__` is honoured.
    py::object mod = import_name(builtins(), globals, py::str(module), py::make_tuple(name).ptr());
    return imported_name(mod, name);
}

int exec_module(PyObject *module, void (*body)(Module &)) noexcept {
    ModuleState *st = state_of(module);
    PyObject *name = PyModule_GetNameObject(module);
    if (!name) return -1;
    PyObject *fn_type = reinterpret_cast<PyObject *>(new_function_type(name));
    PyObject *gen_type = fn_type ? reinterpret_cast<PyObject *>(new_generator_type(name)) : nullptr;
    PyObject *codes = gen_type ? PyDict_New() : nullptr;
    Py_DECREF(name);
    // The types are module attributes under their qualified names, so that pickle
    // finds them there.
    PyObject *dict = PyModule_GetDict(module);
    if (codes) st->types = PyTuple_Pack(module_objects::count, fn_type, gen_type, codes);
    bool failed = !st->types || PyDict_SetItemString(dict, "__velora_function__", fn_type) < 0 ||
                  PyDict_SetItemString(dict, "__velora_generator__", gen_type) < 0;
    Py_XDECREF(fn_type);
    Py_XDECREF(gen_type);
    Py_XDECREF(codes);
    if (failed) return -1;
    PyObject *builtins_module = PyImport_GetModule("builtins"_n.ptr());
    if (!builtins_module && !PyErr_Occurred()) builtins_module = PyImport_ImportModule("builtins");
    if (!st->types || !builtins_module) return -1;
    st->builtins = Py_NewRef(PyModule_GetDict(builtins_module));
    Py_DECREF(builtins_module);
    // As the import system gives a Python module: its `__builtins__`, which the
    // frames of its functions' code objects take their builtins from, and which
    // the interpreter's own imports (PyImport_Import) look up in the running frame.
    if (!PyDict_GetItemWithError(dict, "__builtins__"_n.ptr()) &&
        (PyErr_Occurred() || PyDict_SetItem(dict, "__builtins__"_n.ptr(), st->builtins) < 0))
        return -1;
    PyObject *ok = boundary([&]() -> PyObject * {
        // pybind11 sets up its per-interpreter state the first time an exception
        // object is destroyed (its GIL guard needs it).  Done then at the recursion
        // limit, the set-up fails and pybind11's error reporting recurses until the
        // C stack overflows: so it is done here, while the module loads.
        py::detail::get_internals();
        Module m(module);
        body(m);
        return Py_None;
    });
    return ok ? 0 : -1;
}

int traverse_module(PyObject *module, visitproc visit, void *arg) {
    ModuleState *st = state_of(module);
    if (st) {
        Py_VISIT(st->types);
        Py_VISIT(st->builtins);
    }
    return 0;
}

int clear_module(PyObject *module) {
    ModuleState *st = state_of(module);
    if (st) {
        Py_CLEAR(st->types);
        Py_CLEAR(st->builtins);
    }
    return 0;
}

void free_module(void *module) { clear_module(static_cast<PyObject *>(module)); }

}  // namespace frame
