// The native function type: a C++ body behind Python's calling rules.
//
// A `Code` is what a `def` statement fixes (name, parameter list, body, where it
// stands in the source); a function object is what executing the `def` makes of
// it: the code plus globals, defaults, closure cells, documentation and a
// `__dict__`.  Calls arrive by vectorcall, are bound to the parameters exactly as
// CPython binds them (same TypeError wording), and run the body with a `Call`
// that reads arguments, globals and closure cells as Python code would.
#pragma once
#include "dict_state.hpp"
#include "ops.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <source_location>
#include <string>
#include <vector>

namespace frame {

struct Call;
using Body = py::object (*)(Call &);

// Where a body is defined, for tracebacks: FRAME_BODY records it when the library
// loads, and a function made from the body names that line.
struct BodySource {
    const char *file;
    int line;
    BodySource(Body body, const char *file, int line) noexcept;
};
const BodySource *source_of(Body body);

// `FRAME_BODY(name) { ... }` defines the body `py::object name(Call &f)`.
#define FRAME_BODY(NAME)                                                       \
    py::object NAME(::frame::Call &f);                                         \
    const ::frame::BodySource NAME##_source_{NAME, __FILE__, __LINE__};        \
    py::object NAME([[maybe_unused]] ::frame::Call &f)

struct Code {
    std::string name;
    std::vector<PyObject *> varnames;   // interned: parameters, then *args, then **kwargs
    std::vector<std::string> defaults;  // source text of each default, for the last parameters
    int argcount = 0;                   // positional-or-keyword parameters
    bool varargs = false, varkw = false;
    Body body = nullptr;
    std::string file;                   // source file of the body, relative to src/
    int line = 0;                       // the line the body is defined at

    int nlocals() const { return argcount + varargs + varkw; }
    // `params` is a Python parameter list: "market_code, count", "self, *args, **options",
    // "names=['market_code', 'trading_date']".
    static std::shared_ptr<const Code> make(const char *name, const char *params, Body body,
                                            const std::source_location &where);
};

// A nested `def`: parsed once, turned into a new closure at each use.
struct Def {
    std::shared_ptr<const Code> code;
    Def(const char *name, const char *params, Body body,
        std::source_location where = std::source_location::current())
        : code(Code::make(name, params, body, where)) {}
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;            // __dict__
    PyObject *weakrefs;
    PyObject *name, *qualname, *module, *doc;
    const char *doc_text;      // documentation not yet made into `doc` (static text), or NULL
    PyObject *defaults;        // tuple or NULL
    PyObject *kwdefaults;      // dict or NULL
    PyObject *annotations;     // dict or NULL, made on first access
    PyObject *globals, *builtins;
    PyObject *closure;         // tuple of cells or NULL
    PyObject *klass;           // the class whose body defined it (for super()), or NULL
    PyObject *types;           // (function type, generator type) of the defining module
    PyObject *frame_function;  // its Python-level frame (see call_in_frame), made on demand
    std::shared_ptr<const Code> code;
};

struct GeneratorBody;

// What a call site that names a module-level name literally (`f.global("Event"_n)`)
// remembers of its last lookup: the value, the module dictionary it looked in, and
// stamps of the dictionaries the value was found through (dict_state.hpp).  While
// the stamps are current the same lookup would find the same value; any rebinding,
// in the module or in the builtins, is seen at the next call.  A function's
// builtins come with its module, so the module's dictionary names both.
struct GlobalCache {
    PyObject *globals = nullptr;  // the module's dictionary (borrowed; compared only)
    DictStamp in_globals;         // the name looked up in it
    DictStamp in_builtins;        // the builtins', when the name was found there
    PyObject *value = nullptr;    // borrowed: held by the dictionary it was found in

    // The value remembered, if the dictionaries are unchanged since; else null.
    PyObject *hit(PyObject *module_globals) const {
        if (value && module_globals == globals && in_globals.current() && (!in_builtins || in_builtins.current()))
            return value;
        return nullptr;
    }
};

// What a body sees of its call.
struct Call {
    FunctionObject *fn;
    PyObject *const *locals;

    // Parameters by position in the parameter list (`*args` and `**kwargs` included).
    py::handle operator[](int i) const { return locals[i]; }
    // A module-level name, read from the module's globals, then builtins, at this moment.
    py::object global(py::handle name) const;
    // The same for a literal name; the call site keeps a GlobalCache, so that a
    // repeated read of an unchanged namespace costs a few comparisons.
    template <FixedString S>
    py::object global(Name<S> name) const {
        static GlobalCache cache;
        if (PyObject *v = cache.hit(fn->globals)) return borrow(v);
        return global(name.ptr(), cache);
    }
    py::object global(py::handle name, GlobalCache &cache) const;
    // `from module import name` executed now, inside the body: through the
    // builtins' `__import__`, with the sys.modules fallback for submodules.
    py::object import_from(const char *module, const char *name) const;
    // `import name` inside the body: the builtins' `__import__`, looked up now, called
    // as the interpreter calls it; for a dotted name, the top-level package.
    py::object import(py::handle name) const;
    // The value captured in closure cell `i`.
    py::object cell(int i) const;
    // `super()` inside a method: super(<defining class>, <first argument>).
    py::object super() const;
    // The class whose body defined this method (`__class__`), or null.
    PyObject *defining_class() const { return fn->klass; }
    // Execute a nested `def` here: a new function whose qualified name is
    // "<this>.<locals>.<name>" and whose closure cells hold `captured`.
    py::object closure(const Def &def, std::initializer_list<py::handle> captured) const;
    // Call `callable(*args, **kwargs)` from inside a Python frame that bears this
    // function's name and source file, for callees that inspect their caller's stack
    // (warnings.warn with a stacklevel).
    enum class FrameGlobals { own, module };
    template <typename C, typename A, typename K>
    py::object call_in_frame(C &&callable, A &&args, K &&kwargs, FrameGlobals globals = FrameGlobals::own) const {
        FRAME_IN_ORDER(C, A, K);
        return call_in_frame_of(callable, args, kwargs, globals);
    }
    py::object call_in_frame_of(py::handle callable, py::handle args, py::handle kwargs, FrameGlobals globals) const;
    // Calling a generator function: a suspended generator running `body` when iterated.
    py::object generator(std::unique_ptr<GeneratorBody> body) const;
};

// Make a function object of the type in `types` (see FunctionObject::types).
py::object make_function(PyObject *types, std::shared_ptr<const Code> code, py::handle qualname,
                         py::handle module, py::handle doc, py::handle globals,
                         py::handle builtins, py::handle defaults, py::handle closure);

// Documentation for `function` from static UTF-8 text, made into a str when first
// read: most functions' long texts are never read, and a module loads faster.
void set_static_doc(py::handle function, const char *text);

// Evaluate a parameter's default expression as the `def` statement would.
py::object eval_defaults(const Code &code, py::handle globals);
// The same with the namespace made only if an expression needs one (not for literals).
py::object eval_defaults(const Code &code, const std::function<py::object()> &scope);

// The function type of the module named `module` (see module.hpp).
PyTypeObject *new_function_type(PyObject *module);
bool is_function(PyObject *types, py::handle obj);

// What IMPORT_NAME does with `name` (fromlist None or a tuple, level 0), through
// the `__import__` of the `builtins` dictionary as it is now.
py::object import_name(PyObject *builtins, PyObject *globals, py::handle name, PyObject *fromlist);
void set_defining_class(py::handle function, py::handle klass);

}  // namespace frame
