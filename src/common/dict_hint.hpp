// Reading a name from an instance dictionary at the position it was last found.
//
// Records of the same kind are usually made the same way, so their dictionaries
// hold the same keys in the same order, and a name sits at the same entry in each.
// The interpreter's specialised attribute read keeps that entry's index as a hint
// and checks the key there before any hashing; native code has no public way to do
// the same and would probe the table on every read.  So the frame reads the entry
// as the interpreter does: only a key identical to the name (never a dummy or a
// freed key) with a value counts, and anything else falls back to the dictionary's
// own lookup.  The layout assumed is checked once, on dictionaries of the frame's
// own; when it does not hold, or on an interpreter not described here (a fast
// path, fast_paths.hpp), no hint ever matches.
#pragma once
#include "fast_paths.hpp"

#include <cstdint>

namespace frame::dict_hint {

namespace layout {

#if FRAME_FAST(DICT_HINT_3_9)
// 3.9 and 3.10 (Objects/dict-common.h): every entry has its hash; a split table's
// values are in `ma_values`, by entry.
constexpr bool kDescribed = true;
struct Keys {
    Py_ssize_t refcnt, size;
    void *lookup;
    Py_ssize_t usable, nentries;
    char indices[1];
};
struct Entry {
    Py_hash_t hash;
    PyObject *key, *value;
};
inline int index_bytes(const Keys *k) {
    return k->size <= 0xff ? 1 : k->size <= 0xffff ? 2 : k->size <= 0xffffffffLL ? 4 : 8;
}
inline const Entry *entries(const Keys *k) {
    return reinterpret_cast<const Entry *>(k->indices + k->size * index_bytes(k));
}
inline PyObject *value_at(PyDictObject *d, Py_ssize_t i, PyObject *name) {
    auto *k = reinterpret_cast<const Keys *>(d->ma_keys);
    if (static_cast<std::size_t>(i) >= static_cast<std::size_t>(k->nentries)) return nullptr;
    const Entry &e = entries(k)[i];
    if (e.key != name) return nullptr;
    return d->ma_values ? d->ma_values[i] : e.value;
}
inline Py_ssize_t entry_count(PyDictObject *d) { return reinterpret_cast<const Keys *>(d->ma_keys)->nentries; }

#elif FRAME_FAST(DICT_HINT_3_11)
// 3.11 on (Include/internal/pycore_dict.h): keys of str alone have entries without
// a hash.  Only combined tables are read: a split table's values moved between
// these versions.
constexpr bool kDescribed = true;
struct Keys {
    Py_ssize_t refcnt;
    std::uint8_t log2_size, log2_index_bytes, kind;
    std::uint32_t version;
    Py_ssize_t usable, nentries;
    char indices[1];
};
struct Entry {
    Py_hash_t hash;
    PyObject *key, *value;
};
struct UnicodeEntry {
    PyObject *key, *value;
};
constexpr std::uint8_t kGeneral = 0;  // DICT_KEYS_GENERAL
inline const char *entries(const Keys *k) { return k->indices + (std::size_t{1} << k->log2_index_bytes); }
inline PyObject *value_at(PyDictObject *d, Py_ssize_t i, PyObject *name) {
    auto *k = reinterpret_cast<const Keys *>(d->ma_keys);
    if (d->ma_values || static_cast<std::size_t>(i) >= static_cast<std::size_t>(k->nentries)) return nullptr;
    if (k->kind == kGeneral) {
        const Entry &e = reinterpret_cast<const Entry *>(entries(k))[i];
        return e.key == name ? e.value : nullptr;
    }
    const UnicodeEntry &e = reinterpret_cast<const UnicodeEntry *>(entries(k))[i];
    return e.key == name ? e.value : nullptr;
}
inline Py_ssize_t entry_count(PyDictObject *d) {
    return d->ma_values ? 0 : reinterpret_cast<const Keys *>(d->ma_keys)->nentries;
}

#else
constexpr bool kDescribed = false;
inline PyObject *value_at(PyDictObject *, Py_ssize_t, PyObject *) { return nullptr; }
inline Py_ssize_t entry_count(PyDictObject *) { return 0; }
#endif

}  // namespace layout

// The value of `name` (an interned str) in `dict` (a dict or a subclass), when the
// key at entry `hint` is `name` itself; else null, with no exception set.
inline PyObject *at(PyObject *dict, PyObject *name, Py_ssize_t hint) {
    // A hint is only ever found (find) once the layout has been checked.
    if (!layout::kDescribed || hint < 0) return nullptr;
    return layout::value_at(reinterpret_cast<PyDictObject *>(dict), hint, name);
}

// Which entry of `dict` holds the key `name` itself, or -1: only the first few
// entries are searched, so that a miss costs little however large the dictionary.
Py_ssize_t find(PyObject *dict, PyObject *name);

}  // namespace frame::dict_hint
