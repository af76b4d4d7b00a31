// Modules and classes, built the way a Python module body builds them.
//
// An extension module is defined with FRAME_MODULE(name, body): the shared library
// exports PyInit_<name> only, which returns the definition for multi-phase
// initialisation; executing the module runs `body(Module&)`, which imports,
// assigns and defines in the order the Python module body would, straight into
// the module's own dictionary.  Each execution makes its own function and
// generator types (kept in the module's state), so importing the library into a
// fresh module object gives a fully independent instance.
#pragma once
#include "function.hpp"
#include "generator.hpp"

#include <functional>
#include <initializer_list>
#include <source_location>

namespace frame {

class ClassBody;

class Module {
public:
    explicit Module(PyObject *module);

    py::handle globals() const { return globals_; }
    // `import os`, `import numpy as np`, `import pymach.strategy as strategy`
    void import(const char *dotted, const char *as = nullptr);
    // `from collections import deque`; a name may be given as "RingBuffer as RB".
    void from_import(const char *module, std::initializer_list<const char *> names);
    // `from pymach.enums import *`
    void star_import(const char *module);
    // `name = value`
    void set(const char *name, py::handle value);
    py::object get(const char *name) const;
    // `def name(params): body`, with its documentation string (nullptr for none).
    py::object def(const char *name, const char *params, Body body, const char *doc = nullptr,
                   std::source_location where = std::source_location::current());
    // `@d1 ... @dn def name(params): body`: the decorator expressions, evaluated top
    // to bottom before the function exists, are applied from the last up; the
    // name is bound to what the first returns.
    py::object def(std::initializer_list<py::object> decorators, const char *name, const char *params,
                   Body body, const char *doc = nullptr,
                   std::source_location where = std::source_location::current());
    // `class name(*bases): <fill>`, made by the bases' metaclass.
    py::object cls(const char *name, std::initializer_list<py::handle> bases,
                   const std::function<void(ClassBody &)> &fill);

    PyObject *types() const { return types_; }
    py::handle builtins() const { return builtins_; }

private:
    friend class ClassBody;
    py::object make(const char *name, const char *params, Body body, const char *doc,
                    py::handle qualname, const std::source_location &where, py::handle closure,
                    bool in_class);
    py::object module_;
    py::dict globals_;
    py::object builtins_;
    PyObject *types_;
};

// The namespace of a class statement being executed.
class ClassBody {
public:
    // `def name(params): body` inside the class: qualified name "Class.name".
    py::object def(const char *name, const char *params, Body body, const char *doc = nullptr,
                   std::source_location where = std::source_location::current());
    // `name = value` inside the class.
    void set(const char *name, py::handle value);

private:
    friend class Module;
    ClassBody(Module &m, py::object ns, std::string qualname) : m_(m), ns_(std::move(ns)), qualname_(std::move(qualname)) {}
    Module &m_;
    py::object ns_;
    std::string qualname_;
    py::object class_cell_;  // `__class__`, once a method using super() is defined
};

// Per-module state (PyModuleDef.m_size bytes).
struct ModuleState {
    PyObject *types;     // the module's frame objects (module_objects, function.hpp)
    PyObject *builtins;  // the builtins dict module-level names fall back to
};

int exec_module(PyObject *module, void (*body)(Module &)) noexcept;
int traverse_module(PyObject *module, visitproc visit, void *arg);
int clear_module(PyObject *module);
void free_module(void *module);

}  // namespace frame

#define FRAME_MODULE(NAME, BODY)                                                              \
    static int NAME##_exec(PyObject *m) { return ::frame::exec_module(m, BODY); }             \
    static PyModuleDef_Slot NAME##_slots[] = {                                                \
        {Py_mod_exec, reinterpret_cast<void *>(NAME##_exec)}, {0, nullptr}};                  \
    static PyModuleDef NAME##_def = {PyModuleDef_HEAD_INIT, #NAME, nullptr,                   \
                                     sizeof(::frame::ModuleState), nullptr, NAME##_slots,     \
                                     ::frame::traverse_module, ::frame::clear_module,         \
                                     ::frame::free_module};                                   \
    extern "C" __attribute__((visibility("default"))) PyObject *PyInit_##NAME() {            \
        return PyModuleDef_Init(&NAME##_def);                                                 \
    }
