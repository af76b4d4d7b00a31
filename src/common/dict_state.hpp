// Knowing that a dictionary has not changed since a value was found in it.
//
// The global cache and the module-attribute cache remember where a lookup found a
// value; the value is good as long as the dictionary it was found in is unchanged.
// A stamp says so: it points at a number that changes with every change to the
// dictionary and never comes back to an earlier value, and keeps the number the
// dictionary had.  Where the interpreter keeps such a number in the dictionary
// itself (its version tag, fast_paths.hpp) the stamp points there; from 3.12 on a
// dictionary watcher, public API, counts the changes of each dictionary stamped.
#pragma once
#include "fast_paths.hpp"

#include <cstdint>

namespace frame {

struct DictStamp {
    const std::uint64_t *counter = nullptr;  // null: the dictionary's changes cannot be seen
    std::uint64_t seen = 0;

    explicit operator bool() const { return counter != nullptr; }
    // The dictionary is unchanged since the stamp was taken (a stamp with a counter only).
    bool current() const { return *counter == seen; }
};

// A stamp of `dict` (an exact dict) as it is now.  Take it before reading the
// dictionary: a change made while reading (by a key's __eq__) then shows.
DictStamp stamp(PyObject *dict);

}  // namespace frame
