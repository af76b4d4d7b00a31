// Native functions: C++ bodies behind Python's calling rules, as Python functions.
//
// A `Code` is what a `def` statement fixes (name, parameter list, body, where it
// stands in the source); a function object is what executing the `def` makes of
// it: the code plus globals, defaults, closure cells, documentation and a
// `__dict__`.  A native function is a Python function to every tool: an instance of
// a subtype of the interpreter's function type (FunctionObject below), with a code
// object whose signature is the function's and which, run by the interpreter,
// calls the body (code_object.hpp).  Calls arrive by vectorcall, are bound to the
// parameters exactly as CPython binds them (same TypeError wording), and run the
// body with a `Call` that reads arguments, globals and closure cells as Python code
// would; while a profiler or tracer watches (tracing.hpp), or once `__code__` is
// reassigned, the call runs the code object in a frame instead.  A portable build
// makes ordinary Python functions of that code object.
#pragma once
#include "dict_state.hpp"
#include "ops.hpp"
#include "tracing.hpp"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <source_location>
#include <string>
#include <vector>

namespace frame {

struct Call;
using Body = py::object (*)(Call &);

// What the source says of a body beyond its parameters: a generator function's body
// (its code object has CO_GENERATOR, and calling it makes a generator); a method's
// body that uses super(), for which Python gives the function a `__class__` cell.
enum BodyTraits : unsigned { plain_body = 0, generator_body = 1, uses_class_cell = 2 };

// Where a body is defined, for tracebacks and code objects: FRAME_BODY records it
// when the library loads, and a function made from the body names that line.
struct BodySource {
    const char *file;
    int line;
    unsigned traits;
    BodySource(Body body, const char *file, int line, unsigned traits = plain_body) noexcept;
};
const BodySource *source_of(Body body);

#define FRAME_BODY_WITH_TRAITS(NAME, TRAITS)                                   \
    py::object NAME(::frame::Call &f);                                         \
    const ::frame::BodySource NAME##_source_{NAME, __FILE__, __LINE__, TRAITS}; \
    py::object NAME([[maybe_unused]] ::frame::Call &f)
// `FRAME_BODY(name) { ... }` defines the body `py::object name(Call &f)`.
#define FRAME_BODY(NAME) FRAME_BODY_WITH_TRAITS(NAME, ::frame::plain_body)
// The body of a generator function: it returns `f.generator(...)`.
#define FRAME_GENERATOR_BODY(NAME) FRAME_BODY_WITH_TRAITS(NAME, ::frame::generator_body)
// The body of a method that calls `f.super()`, as a Python method calling super().
#define FRAME_SUPER_BODY(NAME) FRAME_BODY_WITH_TRAITS(NAME, ::frame::uses_class_cell)

struct Code {
    std::string name;
    // As the `def` names it: "f", "Class.f", "outer.<locals>.f" (a nested def's is set
    // when the enclosing body first executes it).
    mutable std::string qualname;
    std::vector<PyObject *> varnames;   // interned: parameters, then *args, then **kwargs
    std::vector<PyObject *> freevars;   // interned: the closure cells' names
    std::vector<std::string> defaults;  // source text of each default, for the last parameters
    int argcount = 0;                   // positional-or-keyword parameters
    bool varargs = false, varkw = false;
    bool generator = false;             // a generator function's
    bool class_cell = false;            // its last free variable is `__class__`, for super()
    bool method = false;                // defined in a class body
    Body body = nullptr;
    std::string file;                   // source file of the body, relative to src/
    int line = 0;                       // the line the body is defined at

    int nlocals() const { return argcount + varargs + varkw; }
    int nfree() const { return static_cast<int>(freevars.size()); }
    // `params` is a Python parameter list: "market_code, count", "self, *args, **options",
    // "names=['market_code', 'trading_date']".  A body that uses super() gets the
    // `__class__` cell its Python method would have.
    static std::shared_ptr<Code> make(const char *name, const char *params, Body body,
                                      const std::source_location &where,
                                      std::initializer_list<const char *> freevars = {});
};

// A nested `def`: parsed once, turned into a new closure at each use.  `freevars`
// names the cells it captures, in the order `f.closure` is given their values
// (alphabetical, as the compiler orders them).
struct Def {
    std::shared_ptr<const Code> code;
    Def(const char *name, const char *params, Body body, std::initializer_list<const char *> freevars,
        std::source_location where = std::source_location::current())
        : code(Code::make(name, params, body, where, freevars)) {}
};

struct BodyObject;
struct GeneratorBody;

// Where the function object's layout is a verified fast path and the tracing switch
// can be read (tracing.hpp), a native function is an instance of a subtype of the
// interpreter's function type: its first part is a PyFunctionObject, whose fields
// the function type's attributes read (`__code__`, `__globals__`, `__defaults__`,
// `__closure__`, `__builtins__`, `__dict__`...), and whose vectorcall is the frame's.
// The interpreter's specialised instructions check the exact type before they run a
// function's code themselves (PyFunction_Check), so they leave such a function
// alone, while isinstance, inspect, pickle, pydoc and mock see a function.  Its code
// object is made when first needed (code_object.hpp); until then the function holds
// a placeholder, which its `__code__` never shows.
//
// Elsewhere (a portable build) a native function is an ordinary Python function
// whose code object calls the body, and FunctionObject is never defined.
#define FRAME_NATIVE_FUNCTIONS                                                                         \
    (FRAME_FAST(FUNCTION_LAYOUT) && (FRAME_FAST(TRACING_FLAG_3_9) || FRAME_FAST(TRACING_FLAG_3_10) || \
                                     FRAME_FAST(MONITORS) || PY_VERSION_HEX >= 0x030D0000))

#if FRAME_NATIVE_FUNCTIONS
struct FunctionObject {
    PyFunctionObject func;    // the interpreter's function: code, globals, name, defaults, closure...
#if PY_VERSION_HEX < 0x030A0000
    PyObject *builtins;       // the module's builtins (the function object has them from 3.10 on)
#endif
    PyObject *own_code;       // the code object the body stands for, or the placeholder until made
    PyObject *class_cell;     // its `__class__` cell (the last of its closure), for super(); or NULL
    PyObject *types;          // the defining module's frame objects (module.hpp)
    PyObject *frame_function; // its Python-level frame (see call_in_frame), made on demand
    const char *doc_text;     // documentation not yet made into func_doc (static text), or NULL
#if FRAME_FAST(MONITORS)
    const std::uint8_t *monitors;  // its interpreter's global monitors (tracing.hpp)
#endif
    std::shared_ptr<const Code> code;
};


inline PyObject *builtins_of(const FunctionObject *fn) {
#if PY_VERSION_HEX < 0x030A0000
    return fn->builtins;
#else
    return fn->func.func_builtins;
#endif
}
#endif
#if !FRAME_NATIVE_FUNCTIONS
struct FunctionObject;
#endif

// What each module instance makes for its functions (module.hpp), in one tuple that
// its functions share: its function type, generator type and the table of its code
// objects (code_object.hpp).
namespace module_objects {
enum : int { function_type, generator_type, codes, count };
}

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

// What a body sees of its call.  A native function's body runs either called
// directly by the function (`fn`), or by the function's code object, run by the
// interpreter in a frame of its own (`body`; see code_object.hpp): while a profiler
// or tracer is active, or when the interpreter runs the code object itself.
struct Call {
    PyObject *const *locals;
    PyObject *globals;  // the module's dictionary, as the running code sees it
    FunctionObject *fn; // the function, when it called its body directly; else null, and
    BodyObject *body;   // the body of the code object that runs (set only then)

    Call(PyObject *const *locals_, PyObject *globals_, FunctionObject *fn_)
        : locals(locals_), globals(globals_), fn(fn_) {}
    Call(PyObject *const *locals_, PyObject *globals_, BodyObject *body_)
        : locals(locals_), globals(globals_), fn(nullptr), body(body_) {}
    // The dictionary of builtins the module's names fall back to.
    PyObject *builtins() const;

    // Parameters by position in the parameter list (`*args` and `**kwargs` included).
    py::handle operator[](int i) const { return locals[i]; }
    // A module-level name, read from the module's globals, then builtins, at this moment.
    py::object global(py::handle name) const;
    // The same for a literal name; the call site keeps a GlobalCache, so that a
    // repeated read of an unchanged namespace costs a few comparisons.
    template <FixedString S>
    py::object global(Name<S> name) const {
        static GlobalCache cache;
        if (PyObject *v = cache.hit(globals)) return borrow(v);
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
    // The class whose body defined this method (its `__class__` cell), or null.
    PyObject *defining_class() const {
#if FRAME_NATIVE_FUNCTIONS
        if (fn) return fn->class_cell ? PyCell_GET(fn->class_cell) : nullptr;
#endif
        return defining_class_from_code();
    }
    // Execute a nested `def` here: a new function whose qualified name is
    // "<this>.<locals>.<name>" and whose closure cells hold `captured`, given in the
    // order of the Def's names.
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

private:
    const Code &code() const;
    PyObject *defining_class_from_code() const;
};

// Make a function object for `code` in the module of `types` (see module.hpp):
// `qualname` is its `__qualname__`, `module` its `__module__`, `closure` a tuple of
// cells (one for each of the code's free variables) or None.
py::object make_function(PyObject *types, std::shared_ptr<const Code> code, py::handle qualname,
                         py::handle module, py::handle globals, py::handle builtins, py::handle defaults,
                         py::handle closure);

// Documentation for `function` from static UTF-8 text, made into a str when first
// read: most functions' long texts are never read, and a module loads faster.
void set_static_doc(py::handle function, const char *text);

// Evaluate a parameter's default expression as the `def` statement would.
py::object eval_defaults(const Code &code, py::handle globals);
// The same with the namespace made only if an expression needs one (not for literals).
py::object eval_defaults(const Code &code, const std::function<py::object()> &scope);

// The function type of the module named `module` (see module.hpp): a subtype of
// the interpreter's function type, or that type itself in a portable build.
PyTypeObject *new_function_type(PyObject *module);

// What IMPORT_NAME does with `name` (fromlist None or a tuple, level 0), through
// the `__import__` of the `builtins` dictionary as it is now.
py::object import_name(PyObject *builtins, PyObject *globals, py::handle name, PyObject *fromlist);

}  // namespace frame
