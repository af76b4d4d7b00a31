// Binding a call's arguments to a function's parameters, as CPython does,
// with CPython's TypeError messages.
#include "binding.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

namespace frame {

#if FRAME_NATIVE_FUNCTIONS

namespace {

// Error messages name the function as the running interpreter does: by its code's
// name up to 3.9, by its (mutable) __qualname__ since 3.10.
PyObject *display_name(const FunctionObject *fn) {
#if PY_VERSION_HEX >= 0x030A0000
    return fn->func.func_qualname;
#else
    (void)fn;
    return nullptr;
#endif
}

py::object name_of(const FunctionObject *fn) {
    PyObject *n = display_name(fn);
    return n ? borrow(n) : steal(PyUnicode_FromString(fn->code->name.c_str()));
}

void too_many_positional(const FunctionObject *fn, Py_ssize_t given) {
    const Code &code = *fn->code;
    Py_ssize_t defcount = fn->func.func_defaults ? PyTuple_GET_SIZE(fn->func.func_defaults) : 0;
    py::object sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = steal(PyUnicode_FromFormat("from %zd to %d", code.argcount - defcount, code.argcount));
    } else {
        plural = code.argcount != 1;
        sig = steal(PyUnicode_FromFormat("%d", code.argcount));
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 name_of(fn).ptr(), sig.ptr(), plural ? "s" : "", given,
                 given == 1 ? "was" : "were");
}

void missing_positional(const FunctionObject *fn, PyObject *const *locals, Py_ssize_t end) {
    py::list names;
    for (Py_ssize_t i = 0; i < end; ++i)
        if (!locals[i]) names.append(steal(PyObject_Repr(fn->code->varnames[i])));
    Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
    py::object text;
    if (n == 1) {
        text = names[0];
    } else if (n == 2) {
        text = steal(PyUnicode_FromFormat("%U and %U", names[0].ptr(), names[1].ptr()));
    } else {
        py::object tail = steal(PyUnicode_FromFormat(", %U, and %U", names[n - 2].ptr(), names[n - 1].ptr()));
        py::list head = names[py::slice(0, n - 2, 1)];
        text = add(py::str(", ").attr("join")(head), tail);
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 name_of(fn).ptr(), n, n == 1 ? "" : "s", text.ptr());
}

#if PY_VERSION_HEX >= 0x030D0000
// 3.13 suggests the closest parameter name for a mistyped keyword, by the same
// weighted Levenshtein distance the interpreter uses for attribute names.
constexpr size_t kMaxStringSize = 40, kMoveCost = 2, kCaseCost = 1;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += 'a' - 'A';
    if ('A' <= b && b <= 'Z') b += 'a' - 'A';
    return a == b ? kCaseCost : kMoveCost;
}

size_t levenshtein(const char *a, size_t a_size, const char *b, size_t b_size, size_t max_cost) {
    if (a == b) return 0;
    while (a_size && b_size && a[0] == b[0]) ++a, ++b, --a_size, --b_size;
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) --a_size, --b_size;
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) std::swap(a, b), std::swap(a_size, b_size);
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    size_t buffer[kMaxStringSize];
    for (size_t i = 0, t = kMoveCost; i < a_size; ++i, t += kMoveCost) buffer[i] = t;
    size_t result = 0;
    for (size_t bi = 0; bi < b_size; ++bi) {
        size_t distance = result = bi * kMoveCost, minimum = SIZE_MAX;
        for (size_t i = 0; i < a_size; ++i) {
            size_t substitute = distance + substitution_cost(b[bi], a[i]);
            distance = buffer[i];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            buffer[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

PyObject *suggest(const Code &code, PyObject *keyword) {
    Py_ssize_t name_size;
    const char *name = PyUnicode_AsUTF8AndSize(keyword, &name_size);
    if (!name) return PyErr_Clear(), nullptr;
    PyObject *best = nullptr;
    Py_ssize_t best_distance = PY_SSIZE_T_MAX;
    for (int i = 0; i < code.argcount; ++i) {
        PyObject *item = code.varnames[i];
        if (PyUnicode_Compare(keyword, item) == 0) continue;
        Py_ssize_t item_size;
        const char *text = PyUnicode_AsUTF8AndSize(item, &item_size);
        Py_ssize_t max_distance = (name_size + item_size + 3) * (Py_ssize_t)kMoveCost / 6;
        max_distance = std::min(max_distance, best_distance - 1);
        Py_ssize_t d = (Py_ssize_t)levenshtein(name, name_size, text, item_size, max_distance);
        if (d > max_distance) continue;
        if (!best || d < best_distance) best = item, best_distance = d;
    }
    return best;
}
#endif

void unexpected_keyword(const FunctionObject *fn, PyObject *keyword) {
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject *s = suggest(*fn->code, keyword)) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     name_of(fn).ptr(), keyword, s);
        return;
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", name_of(fn).ptr(), keyword);
}

int find_parameter(const Code &code, PyObject *keyword) {
    for (int j = 0; j < code.argcount; ++j)
        if (code.varnames[j] == keyword) return j;
    for (int j = 0; j < code.argcount; ++j) {
        int eq = PyObject_RichCompareBool(keyword, code.varnames[j], Py_EQ);
        if (eq < 0) return -2;
        if (eq) return j;
    }
    return -1;
}

}  // namespace

Locals::~Locals() {
    Py_XDECREF(defaults_);
    Py_XDECREF(varargs_);
    Py_XDECREF(varkw_);
    delete[] heap_;
}

PyObject **Locals::allocate(int n) {
    PyObject **slots = n > kInline ? (heap_ = new PyObject *[n]) : inline_;
    std::fill(slots, slots + n, nullptr);
    slots_ = slots;
    return slots;
}

bool Locals::bind(const FunctionObject *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Code &code = *fn->code;
    Py_ssize_t argcount = code.argcount;
    if (kwnames || code.varargs || code.varkw || nargs > argcount) return bind_general(fn, args, nargs, kwnames);
    if (nargs == argcount) {
        slots_ = args;
        return true;
    }
    PyObject *defaults = fn->func.func_defaults;
    Py_ssize_t required = argcount - (defaults ? PyTuple_GET_SIZE(defaults) : 0);
    if (nargs < required || argcount > kInline) return bind_general(fn, args, nargs, kwnames);
    for (Py_ssize_t i = 0; i < nargs; ++i) inline_[i] = args[i];
    PyObject *const *tail = &PyTuple_GET_ITEM(defaults, 0) - required;
    for (Py_ssize_t i = nargs; i < argcount; ++i) inline_[i] = tail[i];
    defaults_ = Py_NewRef(defaults);
    slots_ = inline_;
    return true;
}

bool Locals::bind_general(const FunctionObject *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Code &code = *fn->code;
    PyObject **slots = allocate(code.nlocals());

    Py_ssize_t n = std::min<Py_ssize_t>(nargs, code.argcount);
    std::copy(args, args + n, slots);
    int at = code.argcount;
    if (code.varargs) {
        if (!(varargs_ = PyTuple_New(nargs - n))) return false;
        for (Py_ssize_t i = n; i < nargs; ++i) PyTuple_SET_ITEM(varargs_, i - n, Py_NewRef(args[i]));
        slots[at++] = varargs_;
    }
    if (code.varkw) {
        if (!(varkw_ = PyDict_New())) return false;
        slots[at] = varkw_;
    }

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k), *value = args[nargs + k];
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", name_of(fn).ptr());
            return false;
        }
        int j = find_parameter(code, keyword);
        if (j == -2) return false;
        if (j < 0) {
            if (!varkw_) return unexpected_keyword(fn, keyword), false;
            if (PyDict_SetItem(varkw_, keyword, value) < 0) return false;
            continue;
        }
        if (slots[j]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", name_of(fn).ptr(), keyword);
            return false;
        }
        slots[j] = value;
    }

    if (nargs > code.argcount && !code.varargs) return too_many_positional(fn, nargs), false;

    if (nargs < code.argcount) {
        Py_ssize_t defcount = fn->func.func_defaults ? PyTuple_GET_SIZE(fn->func.func_defaults) : 0;
        Py_ssize_t required = code.argcount - defcount;
        for (Py_ssize_t i = nargs; i < required; ++i)
            if (!slots[i]) return missing_positional(fn, slots, required), false;
        for (Py_ssize_t i = std::max(nargs, required); i < code.argcount; ++i) {
            if (slots[i]) continue;
            if (!defaults_) defaults_ = Py_NewRef(fn->func.func_defaults);
            slots[i] = PyTuple_GET_ITEM(defaults_, i - required);
        }
    }
    return true;
}

#endif

}  // namespace frame
