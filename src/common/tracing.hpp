// The tracing switch: whether a profiler, tracer or monitoring tool is watching
// Python functions' calls now.
//
// A native function's call is invisible to them: no interpreter reports a call
// that goes through a native vectorcall.  While one is watching, a native function
// runs its code object instead (code_object.hpp), in a frame of its own, which
// they see as they see a Python function's; otherwise it calls its body directly.
// The check is made on every call, so it reads what the interpreter itself reads
// to decide whether to report a frame, and costs a few loads:
//
//   3.9        the current thread state's use_tracing (sys.setprofile, sys.settrace,
//              cProfile), the thread state read where the runtime keeps it (and
//              then used for the call's recursion check too)
//   3.10-3.11  the same flag, in the thread state's current CFrame
//   3.12 on    the interpreter's global monitors for PY_START and PY_RETURN, which
//              sys.setprofile, sys.settrace, cProfile and sys.monitoring tools set;
//              each function keeps where its interpreter has them
//
// These are fast paths (fast_paths.hpp), their offsets taken from the internal
// headers by tracing.cpp.  Without them, 3.13 on asks the public
// PyMonitoring_EnterScope.  A tool that watches only some code objects
// (sys.monitoring.set_local_events) is not seen: only events set for every code
// object are.
#pragma once
#include "fast_paths.hpp"

#include <cstddef>
#include <cstdint>

namespace frame::tracing {

#if FRAME_FAST(TRACING_FLAG_3_9) || FRAME_FAST(TRACING_FLAG_3_10)
#if FRAME_FAST(RUNTIME_THREAD_STATE)
// _PyRuntime.gilstate.tstate_current: the thread state of the thread holding the
// interpreter lock, which _PyThreadState_UncheckedGet reads (tracing.cpp).
extern PyThreadState *const *const current_thread_state;
inline PyThreadState *thread_state() { return *current_thread_state; }
#else
inline PyThreadState *thread_state() { return _PyThreadState_UncheckedGet(); }
#endif
#if FRAME_FAST(TRACING_FLAG_3_9)
inline bool active(PyThreadState *tstate) { return tstate->use_tracing != 0; }
#else
inline bool active(PyThreadState *tstate) { return tstate->cframe->use_tracing != 0; }
#endif
#if FRAME_FAST(RECURSION_DEPTH)
// Where the interpreter state keeps its recursion limit (tracing.cpp).
extern const std::size_t recursion_limit_offset;
inline int recursion_limit(PyThreadState *tstate) {
    return *reinterpret_cast<const int *>(reinterpret_cast<const char *>(tstate->interp) + recursion_limit_offset);
}
#endif

#elif FRAME_FAST(MONITORS)
// Where the interpreter state keeps its global monitors (tracing.cpp).
extern const std::size_t monitors_offset;
// The running interpreter's monitors: one tool mask per event.
inline const std::uint8_t *monitors() {
    return reinterpret_cast<const std::uint8_t *>(PyInterpreterState_Get()) + monitors_offset;
}
// tools[PY_MONITORING_EVENT_PY_START] and tools[PY_MONITORING_EVENT_PY_RETURN]
inline bool active(const std::uint8_t *tools) { return (tools[0] | tools[2]) != 0; }

#elif PY_VERSION_HEX >= 0x030D0000
inline bool active() {
    static PyMonitoringState states[2];
    static std::uint64_t version;
    static const std::uint8_t events[2] = {PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_PY_RETURN};
    PyMonitoring_EnterScope(states, &version, events, 2);
    bool watched = (states[0].active | states[1].active) != 0;
    PyMonitoring_ExitScope();
    return watched;
}
#endif

}  // namespace frame::tracing
