// A native function's code object: its signature for every tool, and a working
// trampoline to its body.
//
// Each `def` gets, in each module instance, one code object (closures made by the
// same nested `def` share theirs, as Python's do) whose argument count, parameter
// names, flags (CO_VARARGS, CO_VARKEYWORDS, CO_GENERATOR), free variables, name,
// qualified name, file and first line are those of the Python function it stands
// for, so that inspect.signature, inspect.isgeneratorfunction, mock's autospec and
// the profilers' labels read them as they would there.  Its bytecode is one line:
//
//     def name(a, b=..., *args, **kwargs): return BODY(a, b, args, kwargs, <cells>)
//
// (`return (yield from BODY(...))` for a generator function), where BODY, a
// constant, is the native body (`BodyObject`): run by the interpreter, the code
// object binds the arguments as Python does and calls the body with them in a
// frame of its own, which profilers and tracers see, and which holds the
// traceback entry.  The code is compiled once per shape (parameter count, stars,
// generator, number of cells) from that text, then given each def's names with
// code.replace(), only when first needed: a module loads as fast as before.
//
// Code objects are not tracked by the cycle collector, so nothing a code object
// holds may lead back to the module: the body keeps the module's builtins and its
// frame objects (the types, and the table of code objects, which keeps them by weak
// reference), never its globals, functions or classes.  A method's class comes from
// its `__class__` cell, as in Python.
#pragma once
#include "function.hpp"

namespace frame {

struct BodyObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    std::shared_ptr<const Code> code;
    PyObject *types;     // the module's frame objects (module.hpp)
    PyObject *builtins;  // the module's builtins
    PyObject *qualname;  // the code's qualified name
};

// The code object of `code` in the module of `types`, made on first need; the
// module's table finds it again while anything holds it.
py::object code_object(PyObject *types, const std::shared_ptr<const Code> &code, PyObject *builtins);
// The same if it exists, else a null object.
py::object made_code_object(PyObject *types, const Code *code);

// What a native function holds until its code object is made (fast builds): a code
// object that raises SystemError if ever run.
PyObject *placeholder_code();

}  // namespace frame
