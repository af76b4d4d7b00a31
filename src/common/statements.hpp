// Statements a body needs beyond calls and operators: tuple unpacking,
// and `try ... except T as e`.
#pragma once
#include "errors.hpp"
#include "function.hpp"

#include <array>

namespace frame {

// `a, b = iterable`: exactly N items, with the interpreter's ValueError texts.
void unpack_into(py::handle iterable, py::object *targets, int n);
template <int N>
std::array<py::object, N> unpack(py::handle iterable) {
    std::array<py::object, N> out;
    unpack_into(iterable, out.data(), N);
    return out;
}

// The exception that `catch (...)` just caught, if it is an instance of `type`:
// made the pending error, normalised, its traceback attached, and returned with
// the error cleared.  Any other exception is rethrown unchanged.
py::object caught_matching(py::handle type);

// try:
//     body()
// except <type> as e:
//     handler(e)
//
// Only an exception matching `type` is handled; any other propagates unchanged.
template <typename Body, typename Handler>
void try_except(py::handle type, Body &&body, Handler &&handler) {
    py::object e;
    try {
        body();
        return;
    } catch (...) {
        e = caught_matching(type);
    }
    Handling scope(e);
    handler(py::handle(e));
}

// The ImportError of `from <module> import <name>` when the module lacks the name.
[[noreturn]] void cannot_import(py::handle name, py::handle module);

}  // namespace frame
