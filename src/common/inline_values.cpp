#include "inline_values.hpp"

#include "dict_hint.hpp"

#include <cstdint>
#include <cstring>

namespace frame::inline_values {

#if FRAME_FAST(INLINE_VALUES)

namespace {

using layout::managed_dict;
using layout::values;

// The shared keys are a dictionary's keys (Include/internal/pycore_dict.h).
using Keys = dict_hint::layout::Keys;
using UnicodeEntry = dict_hint::layout::UnicodeEntry;
constexpr std::uint8_t kSplitKeys = 2;  // DICT_KEYS_SPLIT
Keys *shared_keys(PyTypeObject *type) {
    auto *keys = reinterpret_cast<Keys *>(reinterpret_cast<PyHeapTypeObject *>(type)->ht_cached_keys);
    return keys && keys->kind == kSplitKeys ? keys : nullptr;
}
const UnicodeEntry *unicode_entries(const Keys *keys) {
    return reinterpret_cast<const UnicodeEntry *>(dict_hint::layout::entries(keys));
}

bool layout_of(PyTypeObject *type) {
    return PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) &&
           PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && type->tp_basicsize == sizeof(PyObject) &&
           shared_keys(type);
}

// On an instance of a class of its own, the layout gives what the interpreter gives.
bool check_layout() {
    PyObject *ns = PyDict_New();
    if (!ns) return PyErr_Clear(), false;
    PyObject *builtins = PyEval_GetBuiltins();
    bool ok = builtins && PyDict_SetItemString(ns, "__builtins__", builtins) == 0;
    PyObject *r = ok ? PyRun_String("class Probe:\n"
                                    "    def __init__(self):\n"
                                    "        self.first = 'one'\n"
                                    "        self.second = 2.5\n"
                                    "probe = Probe()\n",
                                    Py_file_input, ns, ns)
                     : nullptr;
    Py_XDECREF(r);
    PyObject *probe = r ? PyDict_GetItemString(ns, "probe") : nullptr;
    ok = probe && layout_of(Py_TYPE(probe)) && values(probe)->valid == 1 && !managed_dict(probe);
    const char *names[] = {"first", "second"};
    for (const char *n : names) {
        if (!ok) break;
        PyObject *name = PyUnicode_InternFromString(n);
        PyObject *expected = name ? PyObject_GetAttr(probe, name) : nullptr;
        Py_ssize_t count;
        Py_ssize_t at = name ? index_of(Py_TYPE(probe), name, count) : -1;
        ok = expected && at >= 0 && at < values(probe)->capacity && values(probe)->values[at] == expected;
        Py_XDECREF(expected);
        Py_XDECREF(name);
    }
    PyErr_Clear();
    Py_DECREF(ns);
    return ok;
}

}  // namespace

bool usable(PyTypeObject *type) {
    static const bool checked = check_layout();
    return checked && layout_of(type);
}

Py_ssize_t index_of(PyTypeObject *type, PyObject *name, Py_ssize_t &count) {
    const Keys *keys = shared_keys(type);
    count = keys ? keys->nentries : 0;
    if (!keys) return -1;
    const UnicodeEntry *e = unicode_entries(keys);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (e[i].key == name || (e[i].key && PyUnicode_Compare(e[i].key, name) == 0)) return i;
    PyErr_Clear();
    return -1;
}

Py_ssize_t key_count(PyTypeObject *type) {
    const Keys *keys = shared_keys(type);
    return keys ? keys->nentries : -1;
}

#else

bool usable(PyTypeObject *) { return false; }
Py_ssize_t index_of(PyTypeObject *, PyObject *, Py_ssize_t &count) { return count = 0, -1; }
Py_ssize_t key_count(PyTypeObject *) { return -1; }

#endif

}  // namespace frame::inline_values
