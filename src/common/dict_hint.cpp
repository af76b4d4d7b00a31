#include "dict_hint.hpp"

#include <algorithm>

namespace frame::dict_hint {

namespace layout {
namespace {

// 1 once the layout is known to hold, -1 once known not to, 0 before the check.
signed char state = 0;

// Only the first few entries are searched, so that a miss costs little however
// large the dictionary.
constexpr Py_ssize_t kSearched = 48;

Py_ssize_t search(PyDictObject *d, PyObject *name) {
    Py_ssize_t n = std::min(entry_count(d), kSearched);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (value_at(d, i, name)) return i;
    return -1;
}

// The few dictionaries the check reads: str keys alone, keys of any kind, one with
// a deleted entry, and (on 3.9 and 3.10, where it is read too) an instance's split
// table.
constexpr const char *kProbes =
    "class Probe:\n"
    "    def __init__(self):\n"
    "        self.first = 'one'\n"
    "        self.second = 2.5\n"
    "deleted = {'zero': 0, 'first': 'one', 'second': 2.5}\n"
    "del deleted['zero']\n"
    "probes = [{'first': 'one', 'second': 2.5}, {1: 'x', 'first': 'one', 'second': 2.5}, deleted,\n"
    "          Probe().__dict__]\n";

// Each probe's names are found where the dictionary's own lookup finds them.
bool probes_agree(PyObject *probes) {
    PyObject *zero = PyUnicode_InternFromString("zero");
    bool ok = zero && PyList_Check(probes) && PyList_GET_SIZE(probes) == 4;
    const char *names[] = {"first", "second"};
    for (Py_ssize_t p = 0; ok && p < PyList_GET_SIZE(probes); ++p) {
        PyObject *d = PyList_GET_ITEM(probes, p);
        bool split_table = p == 3;
        if (split_table && PY_VERSION_HEX >= 0x030B0000) continue;
        ok = PyDict_Check(d) && value_at(reinterpret_cast<PyDictObject *>(d), 0, zero) == nullptr;
        for (const char *n : names) {
            if (!ok) break;
            PyObject *name = PyUnicode_InternFromString(n);
            PyObject *expected = name ? PyDict_GetItemWithError(d, name) : nullptr;
            Py_ssize_t at = expected ? search(reinterpret_cast<PyDictObject *>(d), name) : -1;
            ok = at >= 0 && value_at(reinterpret_cast<PyDictObject *>(d), at, name) == expected &&
                 value_at(reinterpret_cast<PyDictObject *>(d), at + 1000, name) == nullptr;
            Py_XDECREF(name);
        }
    }
    Py_XDECREF(zero);
    return ok;
}

// Whether the layout described holds, found once by reading the probes.
bool check() {
    if (!kDescribed) return state = -1, false;
    PyObject *exc_type, *exc, *tb;
    PyErr_Fetch(&exc_type, &exc, &tb);
    state = -1;  // no hint is read while the probes are made
    PyObject *ns = PyDict_New();
    PyObject *builtins = PyEval_GetBuiltins();
    bool ok = ns && builtins && PyDict_SetItemString(ns, "__builtins__", builtins) == 0;
    PyObject *r = ok ? PyRun_String(kProbes, Py_file_input, ns, ns) : nullptr;
    Py_XDECREF(r);
    ok = r && probes_agree(PyDict_GetItemString(ns, "probes"));
    state = ok ? 1 : -1;
    Py_XDECREF(ns);
    PyErr_Restore(exc_type, exc, tb);
    return ok;
}

}  // namespace
}  // namespace layout

Py_ssize_t find(PyObject *dict, PyObject *name) {
    if (layout::state <= 0 && (layout::state < 0 || !layout::check())) return -1;
    return layout::search(reinterpret_cast<PyDictObject *>(dict), name);
}

}  // namespace frame::dict_hint
