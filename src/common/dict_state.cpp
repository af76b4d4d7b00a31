#include "dict_state.hpp"

#if FRAME_FAST(DICT_VERSION_TAG)

namespace frame {

DictStamp stamp(PyObject *dict) {
    const std::uint64_t *tag = &reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
    if (!*tag) return {};
    return {tag, *tag};
}

}  // namespace frame

#elif PY_VERSION_HEX >= 0x030C0000

// One dictionary watcher per interpreter counts the changes of the dictionaries
// stamped, each in a slot of a table the six libraries share (an interpreter has
// only a few watchers to give out): the first library to need it makes the table
// and the watcher, and leaves them in the interpreter's dictionary for the others.
// A slot's count only ever grows, also when its dictionary is freed and the slot
// taken by another: a stamp of the old dictionary never matches again.
namespace frame {
namespace {

constexpr int kSlots = 256;  // module dictionaries and the builtins: a few dozen in practice

struct Slot {
    PyObject *dict;  // borrowed: the watcher frees the slot when the dictionary goes
    std::uint64_t changes;
};

struct Table {
    int watcher;  // -1 when the interpreter had none left: nothing is stamped
    int used;     // slots [0, used) have ever held a dictionary
    Slot slots[kSlots];
};

constexpr const char *kCapsule = "velora_native.frame.dict_state.v1";

// The current interpreter's table, with `make` made with its watcher if there is
// none yet; null if there is none or it cannot be had.  No error is left set.
Table *table(bool make) {
    PyObject *shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!shared) return PyErr_Clear(), nullptr;
    PyObject *capsule = PyDict_GetItemString(shared, kCapsule);
    if (capsule) return static_cast<Table *>(PyCapsule_GetPointer(capsule, kCapsule));
    if (!make) return nullptr;
    int on_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *);
    // Kept for the life of the process: the watcher may be called until its end.
    auto *t = new Table{PyDict_AddWatcher(on_change), 0, {}};
    if (t->watcher < 0) PyErr_Clear();
    capsule = PyCapsule_New(t, kCapsule, nullptr);
    if (!capsule || PyDict_SetItemString(shared, kCapsule, capsule) < 0) PyErr_Clear();
    Py_XDECREF(capsule);
    return t;
}

Slot *slot_of(Table *t, PyObject *dict) {
    for (int i = 0; i < t->used; ++i)
        if (t->slots[i].dict == dict) return &t->slots[i];
    return nullptr;
}

int on_change(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    Table *t = table(false);
    if (Slot *s = t ? slot_of(t, dict) : nullptr) {
        ++s->changes;
        if (event == PyDict_EVENT_DEALLOCATED) s->dict = nullptr;
    }
    return 0;
}

}  // namespace

DictStamp stamp(PyObject *dict) {
    Table *t = table(true);
    if (!t || t->watcher < 0) return {};
    Slot *s = slot_of(t, dict);
    if (!s) {
        s = slot_of(t, nullptr);  // a slot freed by its dictionary
        if (!s && t->used < kSlots) s = &t->slots[t->used++];
        if (!s) return {};
        if (PyDict_Watch(t->watcher, dict) < 0) return PyErr_Clear(), DictStamp{};
        s->dict = dict;
        ++s->changes;
    }
    return {&s->changes, s->changes};
}

}  // namespace frame

#else

// Before 3.12, without the version tag: no change can be seen, nothing is cached.
namespace frame {
DictStamp stamp(PyObject *) { return {}; }
}  // namespace frame

#endif
