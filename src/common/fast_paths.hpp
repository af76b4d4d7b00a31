// The switchboard: every place where the frame reads the interpreter's internals
// instead of going through the public C API, each with the CPython versions it has
// been verified on.  Nowhere else in the frame is an internal detail read.
//
// A fast path is on only for the versions listed beside it, so an interpreter
// newer than the newest verified one gets none of them: the frame is then built
// on the public C API alone, correct and only slower.  The build does the same on
// request (`-DVELORA_PORTABLE=ON`, which defines FRAME_PORTABLE) and, saying so,
// for an interpreter newer than FRAME_NEWEST_VERIFIED_MINOR (CMakeLists.txt reads
// the number here).  docs/ARCHITECTURE.md says how to verify a fast path on a new
// release and widen its range.
#pragma once
#include <Python.h>

#ifdef Py_GIL_DISABLED
// The event queue's atomic steps and the frame's caches rely on the interpreter
// lock; a free-threaded build would compile into a module that is silently unsafe.
#error "velora-native does not support free-threaded CPython builds; use the standard (GIL) build of the same version"
#endif

// The newest CPython release every fast path below was verified on (3.x).
#define FRAME_NEWEST_VERIFIED_MINOR 15

#define FRAME_PY_3(minor) (0x03000000 | ((minor) << 16))
#ifdef FRAME_PORTABLE
#define FRAME_VERIFIED(first, last) 0
#else
// Verified on CPython 3.<first> to 3.<last>, final releases and their patch releases.
#define FRAME_VERIFIED(first, last) \
    (PY_VERSION_HEX >= FRAME_PY_3(first) && PY_VERSION_HEX < FRAME_PY_3((last) + 1) && \
     (last) <= FRAME_NEWEST_VERIFIED_MINOR)
#endif

// `#if FRAME_FAST(ATTRIBUTE_CACHES)`: a file that uses a fast path without including
// this header fails to compile (an undefined function-like macro), and a misspelt
// name is an undefined identifier, an error under -Werror=undef.
#define FRAME_FAST(path) (FRAME_FAST_##path)

// --- caches keyed by version tags -------------------------------------------------

// Dictionary version tags (PyDictObject.ma_version_tag, PEP 509) tell the global
// and module-attribute caches that a dictionary changed.  Deprecated from 3.12 and
// gone in 3.14: from 3.12 on the public dictionary watchers do the same
// (dict_state.cpp); before 3.12, without this path, nothing is cached.
#define FRAME_FAST_DICT_VERSION_TAG FRAME_VERIFIED(9, 11)

// The attribute caches (attributes.cpp): a type's version tag (tp_version_tag) as
// key, _PyType_Lookup, and reading what a lookup found where it lives: member and
// getset descriptors' definitions, a classmethod's callable (the field right after
// its header), a module's dictionary (PyModuleObject.md_dict).  Without it every
// attribute read, store and method lookup is the generic one.
#define FRAME_FAST_ATTRIBUTE_CACHES FRAME_VERIFIED(9, 15)

// An instance dictionary read at the entry where the name was last found
// (dict_hint.hpp): the layouts of the dictionary's keys object, one for 3.9-3.10 and
// one for 3.11 on.  Checked again at run time on dictionaries of the frame's own.
#define FRAME_FAST_DICT_HINT_3_9 FRAME_VERIFIED(9, 10)
#define FRAME_FAST_DICT_HINT_3_11 FRAME_VERIFIED(11, 15)

// Attribute values kept inline in instances of plain classes (inline_values.hpp),
// read and written by position as the interpreter's specialised instructions do:
// the values array after the object header, the managed dictionary pointer, the
// shared keys.  Checked again at run time on an instance of a class of its own.
#define FRAME_FAST_INLINE_VALUES FRAME_VERIFIED(13, 15)

// --- functions --------------------------------------------------------------------

// Native functions as instances of a subtype of the interpreter's function type
// (function.hpp): the function object's layout (PyFunctionObject), whose fields the
// function type's own attributes and _PyFunction_Vectorcall read, filled in by the
// frame; func_version is left 0, so that no specialisation ever takes one for its
// own.  Without it a native function is an ordinary Python function whose code
// object calls the native body (code_object.hpp).
#define FRAME_FAST_FUNCTION_LAYOUT FRAME_VERIFIED(9, 15)

// Whether a profiler, tracer or monitoring tool watches calls now, so that a native
// function's call runs its code object in a frame of its own and is seen
// (tracing.hpp): the thread state's use_tracing (3.9), its CFrame's use_tracing
// (3.10-3.11), the current thread state read where the runtime keeps it
// (_PyRuntime.gilstate.tstate_current, Include/internal/pycore_runtime.h); from 3.12
// on the interpreter's global monitors (PyInterpreterState.monitors,
// Include/internal/pycore_interp.h), which sys.setprofile, sys.settrace, cProfile and
// every sys.monitoring tool set.  Each offset is taken from the installed internal
// header, in a unit of its own (tracing.cpp).  Without them: the thread state from
// _PyThreadState_UncheckedGet (3.9-3.11), the public PyMonitoring_EnterScope (3.13
// on), and on 3.12, which has no public way to ask, no native function type.
#if __has_include(<internal/pycore_interp.h>)
#define FRAME_INTERNAL_HEADERS 1
#else
#define FRAME_INTERNAL_HEADERS 0
#endif
#define FRAME_FAST_TRACING_FLAG_3_9 FRAME_VERIFIED(9, 9)
#define FRAME_FAST_TRACING_FLAG_3_10 FRAME_VERIFIED(10, 11)
#define FRAME_FAST_RUNTIME_THREAD_STATE (FRAME_VERIFIED(9, 11) && FRAME_INTERNAL_HEADERS)
#define FRAME_FAST_MONITORS (FRAME_VERIFIED(12, 15) && FRAME_INTERNAL_HEADERS)

// --- calls ------------------------------------------------------------------------

// _PyObject_GetMethod: a method found on the class comes back unbound, with its
// object, as LOAD_METHOD does, without making a bound method.  Without it, the
// bound method is made (PyObject_GetAttr) and called.
#define FRAME_FAST_GET_METHOD FRAME_VERIFIED(9, 15)

// Builtin functions and method descriptors called through their C function
// (PyCFunctionObject.m_ml, PyMethodDescrObject.d_method), as the interpreter's
// CALL_BUILTIN_* instructions call them; and a plain class called as
// type.__call__ would call it, without packing the arguments (fastcall.hpp).
// Without it, every call is a vectorcall.
#define FRAME_FAST_DIRECT_CALLS FRAME_VERIFIED(9, 15)

// The recursion budget counted in the thread state (3.11's recursion_remaining,
// 3.12-3.13's c_recursion_remaining, with _Py_CheckRecursiveCall when it runs out),
// read once per call; on 3.11 in the thread state the tracing switch has read
// already.  3.14 replaced the counter with a check of the stack pointer; elsewhere
// Py_EnterRecursiveCall.
#define FRAME_FAST_RECURSION_COUNTER FRAME_VERIFIED(11, 13)
// 3.9-3.10's: the thread state's recursion_depth against the interpreter's limit
// (PyInterpreterState.ceval.recursion_limit, Include/internal/pycore_interp.h, its
// offset taken by tracing.cpp), in the thread state the tracing switch has read.
#define FRAME_FAST_RECURSION_DEPTH (FRAME_VERIFIED(9, 10) && FRAME_INTERNAL_HEADERS)

// _PyStack_AsDict: a call's keyword dictionary made presized from the values and
// their names' tuple, for dict literals.  Without it the items are set one by one.
#define FRAME_FAST_STACK_AS_DICT FRAME_VERIFIED(9, 15)

// _PyTraceback_Add: a traceback entry for a native function without a code object
// of its own.  Without it, the same entry is made from a new empty code object and
// frame (PyCode_NewEmpty, PyFrame_New, PyTraceBack_Here), as it does itself.
#define FRAME_FAST_TRACEBACK_ADD FRAME_VERIFIED(9, 15)
