// The event queue: numpy_ringbuffer's ring buffer, with every operation atomic.
//
//     class RingBuffer(RB):
//         (each operation of the base class, atomic with respect to other threads)
//
//     event_queue = RingBuffer(capacity=1000000, dtype=object)
//
// The SDK's threads append while the framework takes events out on its own.  The
// base class's operations are Python methods of several steps each (read an index,
// store, write the index back), so two threads inside them at once lose or repeat
// events.  Here the operations the bridge and its consumer use (append, appendleft,
// pop, popleft, len, and indexing by an int) are done in one native step with the
// interpreter lock held, running no Python code until the indices are consistent
// again: an element displaced from its slot, and the index objects replaced, are
// let go only afterwards, so that no finaliser runs in between.  They allocate
// nothing but ints, which never start a garbage collection.
//
// Everything else (extend, extendleft, slices and other indices, iteration,
// __array__), and any state the native step does not recognise (an index that is
// not an int, a replaced array), runs the base class's own method under the
// queue's lock; the native steps wait for that lock while another thread holds it
// (with the interpreter lock released), so the two never interleave.
//
// The base class keeps its state in five attributes; they live in the object
// itself here (`_arr`, `_left_index`, `_right_index`, `_capacity`,
// `_allow_overwrite`), so that the base class's methods and the native steps read
// and write the same values.  One difference from the base class: a slot that an
// element is popped from is set back to None, so that the queue does not keep
// events alive until their slot is overwritten.
#include "live_feed.hpp"

#include <optional>
#include <pythread.h>
#include <structmember.h>

using namespace frame;

namespace live_feed {
namespace {

// The first fields of a numpy array object (numpy's PyArrayObject_fields, the same
// from numpy 1.7 to 2.x).  An array is used through them only after its layout
// was checked against what numpy itself reports (see checked_array).
struct NdArray {
    PyObject_HEAD
    char *data;
    int nd;
    Py_ssize_t *dimensions;
    Py_ssize_t *strides;
    PyObject *base;
    PyObject *descr;
    int flags;
};
constexpr int kWriteable = 0x0400;  // NPY_ARRAY_WRITEABLE

struct Storage {
    PyObject_HEAD
    PyObject *arr, *left, *right, *capacity, *allow_overwrite;  // the base class's attributes
    bool arr_checked;           // `arr` is a one-dimensional object array with the layout above
    PyThread_type_lock lock;    // held by slow operations
    unsigned long owner;        // the thread holding it, or 0
    int depth;                  // how many times that thread holds it
};

Storage *as_storage(PyObject *o) { return reinterpret_cast<Storage *>(o); }

// --- the queue's lock --------------------------------------------------------------

class Held {
public:
    explicit Held(Storage *s) : s_(s) {
        unsigned long me = PyThread_get_thread_ident();
        if (s_->owner == me) {
            ++s_->depth;
            return;
        }
        if (!PyThread_acquire_lock(s_->lock, NOWAIT_LOCK)) {
            Py_BEGIN_ALLOW_THREADS
            PyThread_acquire_lock(s_->lock, WAIT_LOCK);
            Py_END_ALLOW_THREADS
        }
        s_->owner = me;
        s_->depth = 1;
    }
    ~Held() {
        if (--s_->depth == 0) {
            s_->owner = 0;
            PyThread_release_lock(s_->lock);
        }
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

private:
    Storage *s_;
};

// Another thread is inside a slow operation: a native step must wait for it.
bool locked_elsewhere(const Storage *s) { return s->owner && s->owner != PyThread_get_thread_ident(); }

// --- the state a native step works on ----------------------------------------------

struct View {
    Py_ssize_t left, right, capacity;
    Py_ssize_t old_left, old_right;  // as read, before the step changed them
    bool overwrite;
    PyObject **slots;
    Py_ssize_t size() const { return right - left; }
};

bool int_value(PyObject *o, Py_ssize_t &out) {
    if (!o || !PyLong_CheckExact(o)) return false;
    out = PyLong_AsSsize_t(o);
    if (out == -1 && PyErr_Occurred()) return PyErr_Clear(), false;
    return true;
}

// The state as the base class keeps it, when a native step can work on it: int
// indices with the base class's invariant (0 <= left < capacity, left <= right <=
// left + capacity), a bool overwrite flag and the checked array of `capacity` slots.
bool view(const Storage *s, View &v) {
    if (!s->arr_checked || !int_value(s->left, v.left) || !int_value(s->right, v.right) ||
        !int_value(s->capacity, v.capacity))
        return false;
    if (s->allow_overwrite != Py_True && s->allow_overwrite != Py_False) return false;
    v.overwrite = s->allow_overwrite == Py_True;
    auto *a = reinterpret_cast<const NdArray *>(s->arr);
    if (a->nd != 1 || a->dimensions[0] != v.capacity || a->strides[0] != sizeof(PyObject *) ||
        !(a->flags & kWriteable))
        return false;
    if (v.capacity <= 0 || v.left < 0 || v.left >= v.capacity || v.right < v.left || v.size() > v.capacity)
        return false;
    v.slots = reinterpret_cast<PyObject **>(a->data);
    v.old_left = v.left;
    v.old_right = v.right;
    return true;
}

// The base class's _fix_indices: 0 <= left < capacity.
void fix_indices(View &v) {
    if (v.left >= v.capacity) {
        v.left -= v.capacity;
        v.right -= v.capacity;
    } else if (v.left < 0) {
        v.left += v.capacity;
        v.right += v.capacity;
    }
}

// Store new indices.  The new int objects are made first (the only step that can
// fail), so that a failure changes nothing; an index that did not change keeps its
// object.  The replaced ones are let go with the displaced element, once the state
// is consistent.
class Commit {
public:
    Commit(Storage *s, const View &v) : s_(s) {
        left_ = v.left == v.old_left ? Py_NewRef(s->left) : PyLong_FromSsize_t(v.left);
        right_ = !left_ ? nullptr : v.right == v.old_right ? Py_NewRef(s->right) : PyLong_FromSsize_t(v.right);
        if (!right_) {
            Py_XDECREF(left_);
            raise_current();
        }
    }
    // Swap the indices in; `displaced` (or null) is released afterwards with them.
    void apply(PyObject *displaced) {
        PyObject *old_left = s_->left, *old_right = s_->right;
        s_->left = left_;
        s_->right = right_;
        Py_XDECREF(displaced);
        Py_DECREF(old_left);
        Py_DECREF(old_right);
    }

private:
    Storage *s_;
    PyObject *left_, *right_;
};

[[noreturn]] void index_error(const char *message) {
    PyErr_SetString(PyExc_IndexError, message);
    raise_current();
}

// The Storage of `self`, or null when `self` is not a RingBuffer of the bridge.
Storage *storage_of(const Call &f, py::handle self) {
    PyObject *klass = f.defining_class();
    if (!klass || !PyObject_TypeCheck(self.ptr(), reinterpret_cast<PyTypeObject *>(klass))) return nullptr;
    return as_storage(self.ptr());
}

// The base class's method, run while the queue's lock is held.
template <FixedString Name_>
py::object base_method(const Call &f, Storage *s, std::initializer_list<py::handle> args) {
    std::optional<Held> held;
    if (s) held.emplace(s);
    return method(f.super(), Name<Name_>{})(args);
}

// --- the operations ----------------------------------------------------------------------

// A native step on `self`: it first waits for the queue's lock if another thread
// holds it, then reads the state; false when the base class's method must run.
class Step {
public:
    Step(const Call &f, py::handle self) : s(storage_of(f, self)) {
        if (s && locked_elsewhere(s)) held_.emplace(s);
        ok_ = s && view(s, v);
    }
    explicit operator bool() const { return ok_; }

    Storage *const s;
    View v;

private:
    std::optional<Held> held_;
    bool ok_ = false;
};


FRAME_SUPER_BODY(append) {
    py::handle self = f[0], value = f[1];
    Step step(f, self);
    View &v = step.v;
    if (!step) return base_method<"append">(f, step.s, {value});
    if (v.size() == v.capacity) {
        if (!v.overwrite) index_error("append to a full RingBuffer with overwrite disabled");
        v.left += 1;
    }
    PyObject **slot = v.slots + v.right % v.capacity;
    v.right += 1;
    fix_indices(v);
    Commit commit(step.s, v);
    PyObject *displaced = *slot;
    *slot = Py_NewRef(value.ptr());
    commit.apply(displaced);
    return py::none();
}

FRAME_SUPER_BODY(appendleft) {
    py::handle self = f[0], value = f[1];
    Step step(f, self);
    View &v = step.v;
    if (!step) return base_method<"appendleft">(f, step.s, {value});
    if (v.size() == v.capacity) {
        if (!v.overwrite) index_error("append to a full RingBuffer with overwrite disabled");
        v.right -= 1;
    }
    v.left -= 1;
    fix_indices(v);
    PyObject **slot = v.slots + v.left;
    Commit commit(step.s, v);
    PyObject *displaced = *slot;
    *slot = Py_NewRef(value.ptr());
    commit.apply(displaced);
    return py::none();
}

// pop and popleft hand the slot's reference to the caller and leave None behind.
PyObject *take(PyObject **slot) {
    PyObject *element = *slot;
    *slot = Py_NewRef(Py_None);
    return element ? element : Py_NewRef(Py_None);
}

FRAME_SUPER_BODY(pop) {
    py::handle self = f[0];
    Step step(f, self);
    View &v = step.v;
    if (!step) return base_method<"pop">(f, step.s, {});
    if (v.size() == 0) index_error("pop from an empty RingBuffer");
    v.right -= 1;
    fix_indices(v);
    Commit commit(step.s, v);
    py::object element = steal(take(v.slots + v.right % v.capacity));
    commit.apply(nullptr);
    return element;
}

FRAME_SUPER_BODY(popleft) {
    py::handle self = f[0];
    Step step(f, self);
    View &v = step.v;
    if (!step) return base_method<"popleft">(f, step.s, {});
    if (v.size() == 0) index_error("pop from an empty RingBuffer");
    PyObject **slot = v.slots + v.left;
    v.left += 1;
    fix_indices(v);
    Commit commit(step.s, v);
    py::object element = steal(take(slot));
    commit.apply(nullptr);
    return element;
}

FRAME_SUPER_BODY(length) {
    py::handle self = f[0];
    Step step(f, self);
    View &v = step.v;
    if (!step) return base_method<"__len__">(f, step.s, {});
    return steal(PyLong_FromSsize_t(v.size()));
}

// An int index counts from the left end and wraps around the capacity, as the
// base class's does (so -1 is the newest element).
FRAME_SUPER_BODY(getitem) {
    py::handle self = f[0], item = f[1];
    Step step(f, self);
    View &v = step.v;
    Py_ssize_t index;
    if (!step || !int_value(item.ptr(), index) || index > PY_SSIZE_T_MAX - v.capacity ||
        index < PY_SSIZE_T_MIN + v.capacity)
        return base_method<"__getitem__">(f, step.s, {item});
    Py_ssize_t at = (index + v.left) % v.capacity;
    if (at < 0) at += v.capacity;
    return borrow(v.slots[at] ? v.slots[at] : Py_None);
}

// The rest runs the base class's method under the lock.
FRAME_SUPER_BODY(extend) { return base_method<"extend">(f, storage_of(f, f[0]), {f[1]}); }
FRAME_SUPER_BODY(extendleft) { return base_method<"extendleft">(f, storage_of(f, f[0]), {f[1]}); }
FRAME_SUPER_BODY(iter) { return base_method<"__iter__">(f, storage_of(f, f[0]), {}); }
FRAME_SUPER_BODY(array) { return base_method<"__array__">(f, storage_of(f, f[0]), {}); }

// --- the storage type ------------------------------------------------------------------

// The array the base class's __init__ stores: checked once against what numpy
// reports of it, so that the native steps may use its slots directly.
bool checked_array(PyObject *arr) {
    PyObject *numpy = PyImport_ImportModule("numpy");
    if (!numpy) return PyErr_Clear(), false;
    PyObject *ndarray = PyObject_GetAttrString(numpy, "ndarray");
    Py_DECREF(numpy);
    if (!ndarray) return PyErr_Clear(), false;
    bool exact = reinterpret_cast<PyObject *>(Py_TYPE(arr)) == ndarray;
    Py_DECREF(ndarray);
    if (!exact) return false;
    bool ok = boundary([&]() -> PyObject * {
        auto *a = reinterpret_cast<const NdArray *>(arr);
        py::handle array(arr);
        py::object dtype = attr(array, "dtype"_n);
        py::object address = getitem(getitem(attr(array, "__array_interface__"_n), "data"_n), 0_i);
        py::object slot_size = steal(PyLong_FromSize_t(sizeof(PyObject *)));
        py::object length = steal(PyLong_FromSsize_t(a->nd == 1 ? a->dimensions[0] : -1));
        bool layout = a->nd == 1 && eq(attr(dtype, "kind"_n), "O"_n) && eq(attr(dtype, "itemsize"_n), slot_size) &&
                      PyLong_AsVoidPtr(address.ptr()) == static_cast<void *>(a->data) &&
                      a->strides[0] == static_cast<Py_ssize_t>(sizeof(PyObject *)) && eq(len_of(array), length);
        return layout ? Py_True : Py_False;
    }) == Py_True;
    PyErr_Clear();
    return ok;
}

PyObject *get_arr(PyObject *self, void *) {
    Storage *s = as_storage(self);
    if (!s->arr) {
        PyErr_SetString(PyExc_AttributeError, "_arr");
        return nullptr;
    }
    return Py_NewRef(s->arr);
}

int set_arr(PyObject *self, PyObject *value, void *) {
    Storage *s = as_storage(self);
    bool checked = value && checked_array(value);
    Py_XSETREF(s->arr, Py_XNewRef(value));
    s->arr_checked = checked;
    return 0;
}

PyObject *storage_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Storage *s = as_storage(self);
    if (!(s->lock = PyThread_allocate_lock())) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

int storage_traverse(PyObject *self, visitproc visit, void *arg) {
    Storage *s = as_storage(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s->arr);
    Py_VISIT(s->left);
    Py_VISIT(s->right);
    Py_VISIT(s->capacity);
    Py_VISIT(s->allow_overwrite);
    return 0;
}

int storage_clear(PyObject *self) {
    Storage *s = as_storage(self);
    s->arr_checked = false;
    Py_CLEAR(s->arr);
    Py_CLEAR(s->left);
    Py_CLEAR(s->right);
    Py_CLEAR(s->capacity);
    Py_CLEAR(s->allow_overwrite);
    return 0;
}

void storage_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    storage_clear(self);
    if (as_storage(self)->lock) PyThread_free_lock(as_storage(self)->lock);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef storage_members[] = {
    {"_left_index", T_OBJECT_EX, offsetof(Storage, left), 0, nullptr},
    {"_right_index", T_OBJECT_EX, offsetof(Storage, right), 0, nullptr},
    {"_capacity", T_OBJECT_EX, offsetof(Storage, capacity), 0, nullptr},
    {"_allow_overwrite", T_OBJECT_EX, offsetof(Storage, allow_overwrite), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef storage_getset[] = {
    {"_arr", get_arr, set_arr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot storage_slots[] = {
    {Py_tp_doc, const_cast<char *>("Where a RingBuffer of the bridge keeps its state and lock.")},
    {Py_tp_new, reinterpret_cast<void *>(storage_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(storage_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(storage_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(storage_clear)},
    {Py_tp_members, storage_members},
    {Py_tp_getset, storage_getset},
    {0, nullptr},
};

}  // namespace

void define_event_queue(Module &m) {
    PyType_Spec spec = {"", sizeof(Storage), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                        storage_slots};
    py::object name = m.get("__name__");
    py::object storage = borrow(reinterpret_cast<PyObject *>(
        new_native_type(spec, name.ptr(), "RingBufferStorage", "RingBufferStorage")));
    if (!storage) raise_current();
    Py_DECREF(storage.ptr());
    py::object ring = m.cls("RingBuffer", {m.get("RB"), storage}, [](ClassBody &c) {
        c.set("__doc__", py::str("A ring buffer whose operations are each atomic: the SDK's threads append "
                                 "while the framework takes events out."));
        c.def("append", "self, value", append);
        c.def("appendleft", "self, value", appendleft);
        c.def("pop", "self", pop);
        c.def("popleft", "self", popleft);
        c.def("extend", "self, values", extend);
        c.def("extendleft", "self, values", extendleft);
        c.def("__len__", "self", length);
        c.def("__getitem__", "self, item", getitem);
        c.def("__iter__", "self", iter);
        c.def("__array__", "self", array);
    });
    m.set("event_queue", vcall_kw<"capacity", "dtype">(ring, {1000000_i, m.get("object")}));
    if (PyDict_DelItemString(m.globals().ptr(), "RingBuffer") < 0) raise_current();
}

}  // namespace live_feed
