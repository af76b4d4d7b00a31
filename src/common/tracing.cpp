// Where the interpreter keeps what the tracing switch reads (tracing.hpp): the
// current thread state (3.9-3.11) and the global monitors (3.12 on); and the
// recursion limit (3.9-3.10).
//
// They are laid out only in the interpreter's internal headers: this unit alone
// includes one, and is compiled without the frame's precompiled header and with
// -Wno-undef (CMakeLists.txt), so that it can define Py_BUILD_CORE before Python.h.
// Up to 3.12 the atomic types of the internal headers are C11's, which C++ does not
// have: the shim below gives them the same size and alignment (a plain integer
// each), which is all offsetof and an address need.
#include <patchlevel.h>

#if !defined(FRAME_PORTABLE) && __has_include(<internal/pycore_interp.h>)
#define Py_BUILD_CORE 1
#include <cstdint>
#if PY_VERSION_HEX < 0x030D0000
#define Py_ATOMIC_H
typedef struct {
    std::uintptr_t _value;
} _Py_atomic_address;
typedef struct {
    int _value;
} _Py_atomic_int;
#define _Py_atomic_load_relaxed(ATOMIC_VAL) ((ATOMIC_VAL)->_value)
#define _Py_atomic_store_relaxed(ATOMIC_VAL, NEW_VAL) ((ATOMIC_VAL)->_value = (NEW_VAL))
#endif
#endif

#include "tracing.hpp"

#if FRAME_FAST(RUNTIME_THREAD_STATE)
#include <internal/pycore_runtime.h>
static_assert(sizeof(_PyRuntime.gilstate.tstate_current) == sizeof(PyThreadState *));
PyThreadState *const *const frame::tracing::current_thread_state =
    reinterpret_cast<PyThreadState *const *>(&_PyRuntime.gilstate.tstate_current);
#endif

#if FRAME_FAST(RECURSION_DEPTH)
#include <internal/pycore_interp.h>
const std::size_t frame::tracing::recursion_limit_offset = offsetof(PyInterpreterState, ceval.recursion_limit);
#endif

#if FRAME_FAST(MONITORS)
#include <internal/pycore_interp.h>
static_assert(PY_MONITORING_EVENT_PY_START == 0 && PY_MONITORING_EVENT_PY_RETURN == 2);
const std::size_t frame::tracing::monitors_offset = offsetof(PyInterpreterState, monitors);
#endif
