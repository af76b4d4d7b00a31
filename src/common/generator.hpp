// The native generator type.
//
// A generator function's body is a small state machine: `next()` runs it to its
// next `yield` and returns the yielded value (a new reference), or returns
// nullptr with no error set when the body has finished.  The generator object
// around it gives Python's protocol: nothing runs before the first `next`,
// `send` (the value is ignored), `throw` and `close`, "generator already
// executing" on re-entry, and registration as collections.abc.Generator.
// Native bodies have no exception handlers of their own, so an exception thrown
// in at a `yield` finishes the generator and propagates, as it would from a
// Python generator with no try statement; a StopIteration, raised by the body or
// thrown in, leaves as RuntimeError("generator raised StopIteration") caused by it
// (PEP 479), with the interpreter's exceptions: a finished generator, and from 3.12
// on one not yet started, raise what is thrown in as it is.
#pragma once
#include "names.hpp"

#include <memory>

namespace frame {

struct GeneratorBody {
    virtual ~GeneratorBody() = default;
    virtual PyObject *next() = 0;
    // Visit the Python objects the state holds (for the cycle collector).
    virtual int traverse(visitproc, void *) { return 0; }
};

// The generator type of the module named `module` (see module.hpp).
PyTypeObject *new_generator_type(PyObject *module);
// A generator running `body`; a traceback entry `file`, `line` is added to what it
// raises (none for a null `file`: a frame that runs it has one).
py::object make_generator(PyObject *type, std::unique_ptr<GeneratorBody> body, py::handle name,
                          py::handle qualname, const char *file, int line);

}  // namespace frame
