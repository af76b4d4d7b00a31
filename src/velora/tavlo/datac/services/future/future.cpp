// velora.tavlo.datac.services.future: the futures section of the data API.
//
//     import six
//     import datetime
//     import warnings
//     import bisect
//     import pandas as pd
//     import numpy as np
//     from dateutil.relativedelta import relativedelta
//
//     def get_dominant_future(underlying_symbol, start_date=None, end_date=None, rule=0, rank=1, market='cn'): ...
//     def get_dominant(underlying_symbol, start_date=None, end_date=None, rule=0, rank=1, market='cn'): ...
//     ...
//     def get_exchange_daily(market_code, start_date=None, end_date=None, fields=None, market='cn'): ...
//
// The module declares the services (names, parameters, defaults, documentation);
// the serving layer answers them.  Besides the declarations it holds the field
// vocabularies, three deprecated aliases, the product check of get_dominant, the
// accumulation of adjustment factors and the generator that cuts a row sequence
// into dominant periods.
#include "docstrings.hpp"
#include "frame.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace frame;

namespace {

py::list strings(std::initializer_list<const char *> items) {
    py::list out;
    for (const char *s : items) out.append(py::str(s));
    return out;
}

// A declared service: the arguments are accepted and the answer is None.
FRAME_BODY(declared) { return py::none(); }

// The body every deprecated alias shares:
//
//     import warnings
//     warnings.warn(message, category=DeprecationWarning, stacklevel=2)
//     return replacement(<each parameter, positionally>)
//
// warn runs inside a Python frame named after the alias, so that stacklevel=2
// names the line that called the alias.
template <FixedString Replacement>
py::object redirect(Call &f, const char *message, Name<Replacement> replacement, int nargs) {
    py::object warnings = f.import("warnings"_n);
    py::object warn = attr(warnings, "warn"_n);
    py::object text = steal(PyUnicode_FromString(message));
    py::object options = dict_of<"category", "stacklevel">({f.global("DeprecationWarning"_n), 2_i});
    f.call_in_frame(warn, tuple_of({text}), options);
    py::object target = f.global(replacement);
    return steal(PyObject_Vectorcall(target.ptr(), &f.locals[0], nargs, nullptr));
}

// --- dominant contracts ---------------------------------------------------------

FRAME_BODY(get_dominant_future) {
    return redirect(f, "'get_dominant_future' is deprecated, please use 'futures.get_dominant' instead",
                    "get_dominant"_n, 6);
}

//     string_types = six.string_types
//     if isinstance(underlying_symbol, string_types):
//         return None
//     message = "invalid underlying_symbol: {}".format(underlying_symbol)
//     raise ValueError(message)
FRAME_BODY(get_dominant) {
    py::handle underlying_symbol = f[0];
    py::object string_types = attr(f.global("six"_n), "string_types"_n);
    if (truth(vcall(f.global("isinstance"_n), underlying_symbol, string_types))) return py::none();
    py::object message = method("invalid underlying_symbol: {}"_n, "format"_n)(underlying_symbol);
    raise(vcall(f.global("ValueError"_n), message));
}

// --- contract economics and market statistics ---------------------------------

FRAME_BODY(future_commission_margin) {
    return redirect(f, "'future_commission_margin' is deprecated, please use 'futures.get_commission_margin' instead",
                    "get_commission_margin"_n, 3);
}

FRAME_BODY(get_future_member_rank) {
    return redirect(f, "'get_future_member_rank' is deprecated, please use 'futures.get_member_rank' instead",
                    "get_member_rank"_n, 3);
}

// --- adjustment factors ----------------------------------------------------------

//     def _process(x):
//         if ratio:
//             x['ex_cum_factor'] = x['ex_factor'].cumprod()
//             if pre:
//                 x['ex_cum_factor'] = x['ex_cum_factor'] / x['ex_cum_factor'].iloc[-1]
//         else:
//             x['ex_cum_factor'] = x['ex_factor'].cumsum()
//             if pre:
//                 x['ex_cum_factor'] = x['ex_cum_factor'] - x['ex_cum_factor'].iloc[-1]
//         return x.set_index('ex_date')
FRAME_BODY(process) {
    py::handle x = f[0];
    auto last = [&] { return getitem(attr(getitem(x, "ex_cum_factor"_n), "iloc"_n), -1_i); };
    if (truth(f.cell(1))) {  // ratio
        setitem(x, "ex_cum_factor"_n, method(getitem(x, "ex_factor"_n), "cumprod"_n)());
        if (truth(f.cell(0))) {  // pre
            py::object cum = getitem(x, "ex_cum_factor"_n);
            setitem(x, "ex_cum_factor"_n, truediv(cum, last()));
        }
    } else {
        setitem(x, "ex_cum_factor"_n, method(getitem(x, "ex_factor"_n), "cumsum"_n)());
        if (truth(f.cell(0))) {
            py::object cum = getitem(x, "ex_cum_factor"_n);
            setitem(x, "ex_cum_factor"_n, sub(cum, last()));
        }
    }
    return method(x, "set_index"_n)("ex_date"_n);
}

// pandas 2.2 deprecated handing the grouping column to the applied function (with
// a warning on every call) and pandas 3 no longer does it.  _process never reads
// that column, so where the grouping's apply accepts include_groups it is told to
// leave the column out: the same result, without the warning.
bool apply_takes_include_groups(py::handle apply) {
    py::object signature = attr(steal(PyImport_ImportModule("inspect")), "signature"_n);
    PyObject *sig = PyObject_CallOneArg(signature.ptr(), apply.ptr());
    if (!sig) {
        // Not introspectable: call it plainly.
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) raise_current();
        PyErr_Clear();
        return false;
    }
    py::object parameters = attr(steal(sig), "parameters"_n);
    int found = PySequence_Contains(parameters.ptr(), "include_groups"_n.ptr());
    if (found < 0) raise_current();
    return found;
}

//     def __internal_get_ex_factor(underlying_symbols, adjust_type, adjust_method, rule=0):
//         table = _get_future_factors_df(rule)
//         selected = table.loc[underlying_symbols]
//         ex_factor = selected[adjust_method]
//         ex_factor.name = "ex_factor"
//         ex_factor = ex_factor.reset_index()
//         pre = adjust_type == 'pre'
//         ratio = adjust_method.endswith('ratio')
//         def _process(x): ...
//         return ex_factor.groupby('underlying_symbol', as_index=True).apply(_process)['ex_cum_factor']
FRAME_BODY(internal_get_ex_factor) {
    py::handle underlying_symbols = f[0], adjust_type = f[1], adjust_method = f[2], rule = f[3];
    py::object table = vcall(f.global("_get_future_factors_df"_n), rule);
    py::object selected = getitem(attr(table, "loc"_n), underlying_symbols);
    py::object ex_factor = getitem(selected, adjust_method);
    set_attr(ex_factor, "name"_n, "ex_factor"_n);
    ex_factor = method(ex_factor, "reset_index"_n)();
    py::object pre = steal(PyObject_RichCompare(adjust_type.ptr(), "pre"_n.ptr(), Py_EQ));
    py::object ratio = method(adjust_method, "endswith"_n)("ratio"_n);
    static const Def process_def("_process", "x", process, {"pre", "ratio"});
    py::object _process = f.closure(process_def, {pre, ratio});
    py::object grouped = method(ex_factor, "groupby"_n).kw<"as_index">({"underlying_symbol"_n, Py_True});
    py::object apply = attr(grouped, "apply"_n);
    py::object applied = apply_takes_include_groups(apply) ? vcall_kw<"include_groups">(apply, {_process, Py_False})
                                                           : vcall(apply, _process);
    return getitem(applied, "ex_cum_factor"_n);
}

// --- slicing by dominant period ---------------------------------------------------

// The first values of the current slice while they are all exact str or int.
// Hashing and comparing such values runs no Python code, so how they are kept
// cannot be seen: here an open-addressing table whose entries are stamped with the
// slice they belong to, so that starting a slice is one increment instead of
// emptying a set (and the table keeps its size from one slice to the next).
class PlainKeys {
public:
    ~PlainKeys() { release(); }

    // hash(key), read from the str itself once it has been computed.
    static Py_hash_t hash_of(PyObject *key) {
        if (PyUnicode_CheckExact(key)) {
            Py_hash_t h = reinterpret_cast<PyASCIIObject *>(key)->hash;
            if (h != -1) return h;
        }
        return PyObject_Hash(key);
    }

    // Add `key` (exact str or int, whose hash is `hash`) to the current slice: 1 if
    // it was already in it, 0 if added, -1 with an exception set.
    int add(PyObject *key, Py_hash_t hash) {
        if ((keys_.size() + 1) * 2 > table_.size()) grow();
        std::size_t mask = table_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
            Entry &e = table_[i];
            if (e.slice != slice_) {
                e = {hash, key, slice_};
                keys_.push_back(Py_NewRef(key));
                return 0;
            }
            if (e.hash == hash && Py_TYPE(e.key) == Py_TYPE(key)) {
                int same = e.key == key ? 1 : PyObject_RichCompareBool(e.key, key, Py_EQ);
                if (same) return same;
            }
        }
    }
    // A new slice: the keys of the last one are let go.
    void clear() {
        release();
        if (++slice_ == 0) {  // wrapped round: no stamp may match an old entry
            for (Entry &e : table_) e.slice = 0;
            slice_ = 1;
        }
    }
    // Whether the current slice is this very key and no other.
    bool is_only(PyObject *key) const { return keys_.size() == 1 && keys_[0] == key; }
    // The current slice's keys, in the order they were added.
    const std::vector<PyObject *> &keys() const { return keys_; }
    int traverse(visitproc visit, void *arg) const {
        for (PyObject *k : keys_) Py_VISIT(k);
        return 0;
    }

private:
    struct Entry {
        Py_hash_t hash;
        PyObject *key;        // borrowed from keys_ while the entry is of the current slice
        std::uint32_t slice;  // 0: never used
    };
    void release() {
        for (PyObject *k : keys_) Py_DECREF(k);
        keys_.clear();
    }
    void grow() {
        std::vector<Entry> old;
        old.swap(table_);
        table_.assign(old.empty() ? 16 : old.size() * 2, Entry{0, nullptr, 0});
        std::size_t mask = table_.size() - 1;
        for (const Entry &e : old) {
            if (e.slice != slice_) continue;
            std::size_t i = static_cast<std::size_t>(e.hash) & mask;
            while (table_[i].slice == slice_) i = (i + 1) & mask;
            table_[i] = e;
        }
    }
    std::vector<Entry> table_;
    std::vector<PyObject *> keys_;
    std::uint32_t slice_ = 1;
};

//     def _slice_dominant_data(data):
//         s = None
//         uids = set()
//         for i, (obid, _) in enumerate(data):
//             if obid in uids:
//                 uids.clear()
//                 yield slice(s, i)
//                 s = i
//             uids.add(obid)
//         yield slice(s, None)
//
// `uids` is the PlainKeys table while the slice holds only exact str and int; at the
// first other value it becomes a real set, filled with the slice's keys in the order
// they came (so it is laid out as the set of the Python code would be), and that
// value's hashing and comparing happen exactly as they would there.
struct SliceDominantData final : GeneratorBody {
    PyObject *data;               // until the loop starts
    PyObject *it = nullptr;
    PyObject *uids = nullptr;     // the set of first values in the current slice, when not plain
    PyObject *start = nullptr;    // s: None, then the int that began the current slice
    PyObject *stop = nullptr;     // the int yielded as the end of the last slice
    PyObject *pending = nullptr;  // obid of the element that ended the last slice, still to be added
    Py_hash_t pending_hash = -1;  // its hash, when it went into `keys`
    Py_ssize_t i = 0;
    bool started = false;
    bool ended = false;           // the final slice has been yielded
    bool plain = true;            // the current slice's keys are in `keys`, all exact str or int
    PlainKeys keys;

    static bool plain_key(PyObject *k) { return PyUnicode_CheckExact(k) || PyLong_CheckExact(k); }

    explicit SliceDominantData(py::handle d) : data(Py_NewRef(d.ptr())) {}
    ~SliceDominantData() override {
        Py_XDECREF(data);
        Py_XDECREF(it);
        Py_XDECREF(uids);
        Py_XDECREF(start);
        Py_XDECREF(stop);
        Py_XDECREF(pending);
    }
    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(data);
        Py_VISIT(it);
        Py_VISIT(uids);
        Py_VISIT(start);
        Py_VISIT(stop);
        Py_VISIT(pending);
        return keys.traverse(visit, arg);
    }

    // The plain keys become a set, added in the order they came.
    bool to_set() {
        if (!uids && !(uids = PySet_New(nullptr))) return false;
        for (PyObject *k : keys.keys())
            if (PySet_Add(uids, k) < 0) return false;
        keys.clear();
        plain = false;
        return true;
    }

    // `obid in uids`, then (when not) `uids.add(obid)`: 1 if it was in, 0 if added, -1 on error.
    int seen_or_add(PyObject *obid) {
        if (plain && plain_key(obid)) {
            Py_hash_t hash = PlainKeys::hash_of(obid);
            if (hash == -1) return -1;
            pending_hash = hash;
            return keys.add(obid, hash);
        }
        pending_hash = -1;
        if (plain && !to_set()) return -1;
        int seen = PySet_Contains(uids, obid);
        if (seen == 0 && PySet_Add(uids, obid) < 0) return -1;
        return seen;
    }

    // `uids.add(obid)` alone, as the first element of a new slice: 0, or -1 on error.
    int add(PyObject *obid) {
        if (plain && plain_key(obid)) {
            Py_hash_t hash = pending_hash != -1 ? pending_hash : PlainKeys::hash_of(obid);
            return hash == -1 || keys.add(obid, hash) < 0 ? -1 : 0;
        }
        if (plain && !to_set()) return -1;
        return PySet_Add(uids, obid);
    }

    // `uids.clear()`
    bool clear() {
        if (plain) {
            keys.clear();
            return true;
        }
        if (PySet_Clear(uids) < 0) return false;
        plain = true;
        return true;
    }

    PyObject *next() override {
        if (ended) return nullptr;
        if (!started) {
            started = true;
            start = Py_NewRef(Py_None);
            if (!(it = PyObject_GetIter(data))) return nullptr;
            Py_CLEAR(data);
        }
        if (stop) {
            // Resumed after `yield slice(s, i)`: s = i, and the element that ended the
            // last slice is the first of this one.
            Py_SETREF(start, stop);
            stop = nullptr;
            if (pending) {
                PyObject *obid = pending;
                pending = nullptr;
                int r = add(obid);
                Py_DECREF(obid);
                if (r < 0) return nullptr;
            }
            ++i;
        }
        iternextfunc iternext = Py_TYPE(it)->tp_iternext;
        while (PyObject *item = iternext(it)) {
            // `obid, _ = item`: the second value is not used, and of a pair it is not
            // even read.
            PyObject *obid;
            if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
                obid = PyTuple_GET_ITEM(item, 0);
                if (plain && keys.is_only(obid)) {
                    // The slice was this one key and the next is the same key again
                    // (a row a slice): clearing and adding it back would leave the
                    // keys as they are.
                    Py_DECREF(item);
                    if (!(stop = PyLong_FromSsize_t(i))) return nullptr;
                    return PySlice_New(start, stop, nullptr);
                }
                Py_INCREF(obid);
            } else {
                py::object held = steal(item);  // let go if the unpacking raises
                obid = unpack<2>(held)[0].release().ptr();
                item = held.release().ptr();
            }
            Py_DECREF(item);
            int seen = seen_or_add(obid);
            if (seen < 0) {
                Py_DECREF(obid);
                return nullptr;
            }
            if (seen) {
                if (!clear() || !(stop = PyLong_FromSsize_t(i))) {
                    Py_DECREF(obid);
                    return nullptr;
                }
                pending = obid;
                return PySlice_New(start, stop, nullptr);
            }
            Py_DECREF(obid);
            ++i;
        }
        // As PyIter_Next: an iterator's StopIteration is its end, not an error.
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
            PyErr_Clear();
        }
        ended = true;
        return PySlice_New(start, Py_None, nullptr);
    }
};

FRAME_GENERATOR_BODY(_slice_dominant_data) { return f.generator(std::make_unique<SliceDominantData>(f[0])); }

// --- the module body ---------------------------------------------------------------

void body(Module &m) {
    m.import("six");
    m.import("datetime");
    m.import("warnings");
    m.import("bisect");
    m.import("pandas", "pd");
    m.import("numpy", "np");
    m.from_import("dateutil.relativedelta", {"relativedelta"});

    const char *dominant_params = "underlying_symbol, start_date=None, end_date=None, rule=0, rank=1, market='cn'";
    m.def("get_dominant_future", dominant_params, get_dominant_future);
    m.def("get_dominant", dominant_params, get_dominant, future_doc::get_dominant);
    m.def("current_real_contract", "ob, market", declared, future_doc::current_real_contract);

    m.set("_FIELDS", strings({"margin_type", "long_margin_ratio", "short_margin_ratio", "commission_type",
                              "open_commission_ratio", "close_commission_ratio", "close_commission_today_ratio"}));

    const char *commission_params = "market_code=None, fields=None, hedge_flag='speculation'";
    m.def("future_commission_margin", commission_params, future_commission_margin);
    m.def("get_commission_margin", commission_params, declared, future_doc::get_commission_margin);
    m.def("get_future_member_rank", "market_code, trading_date=None, info_type='volume'", get_future_member_rank);
    m.def("get_member_rank", "obj, trading_date=None, rank_by='volume', **kwargs", declared,
          future_doc::get_member_rank);
    m.def("get_warehouse_stocks", "underlying_symbols, start_date=None, end_date=None, market='cn'", declared,
          future_doc::get_warehouse_stocks);
    m.def("get_contract_multiplier", "underlying_symbols, start_date=None, end_date=None, market='cn'", declared,
          future_doc::get_contract_multiplier);
    m.def("get_current_basis", "market_code, market='cn'", declared, future_doc::get_current_basis);

    py::dict valid_fields;
    valid_fields["1d"] = strings({"open_price", "high_price", "low_price", "close_price", "index", "close_index",
                                  "basis", "basis_rate", "basis_annual_rate", "settlement", "settle_basis",
                                  "settle_basis_rate", "settle_basis_annual_rate"});
    valid_fields["1m"] = strings({"open_price", "high_price", "low_price", "close_price", "index", "close_index",
                                  "basis", "basis_rate", "basis_annual_rate"});
    valid_fields["tick"] = strings({"index", "future_px", "index_px", "basis", "basis_rate", "basis_annual_rate"});
    m.set("VALID_FIELDS_MAP", valid_fields);

    py::dict future_price_fields;
    future_price_fields["1d"] = strings({"close_price", "open_price", "high_price", "low_price", "settlement"});
    future_price_fields["1m"] = strings({"close_price", "open_price", "high_price", "low_price"});
    future_price_fields["tick"] = strings({"last_price"});
    m.set("FUTURE_PRICE_FIELDS_MAP", future_price_fields);

    m.def("get_basis", "market_code, start_date=None, end_date=None, fields=None, frequency='1d', market='cn'",
          declared, future_doc::get_basis);

    m.set("VALID_ADJUST_METHODS", strings({"prev_close_spread", "open_spread", "prev_close_ratio", "open_ratio"}));

    m.def("_get_future_factors_df", "rule=0, market='cn'", declared, future_doc::_get_future_factors_df);
    m.def("get_ex_factor",
          "underlying_symbols, start_date=None, end_date=None, adjust_method='prev_close_spread', rule=0, market='cn'",
          declared, future_doc::get_ex_factor);
    m.def("__internal_get_ex_factor", "underlying_symbols, adjust_type, adjust_method, rule=0",
          internal_get_ex_factor, future_doc::internal_get_ex_factor);

    m.set("DOMINANT_PRICE_ADJUST_FIELDS",
          strings({"open_price", "high_price", "low_price", "close_price", "last_price", "high_limited",
                   "low_limited", "settlement", "prev_settlement", "prev_close", "a1", "a2", "a3", "a4", "a5", "b1",
                   "b2", "b3", "b4", "b5"}));

    py::dict dominant_fields;
    dominant_fields["tick"] =
        strings({"trading_date", "open_price", "last_price", "high_price", "low_price", "prev_close", "volume",
                 "total_turnover", "high_limited", "low_limited", "a1", "a2", "a3", "a4", "a5", "b1", "b2", "b3",
                 "b4", "b5", "a1_v", "a2_v", "a3_v", "a4_v", "a5_v", "b1_v", "b2_v", "b3_v", "b4_v", "b5_v",
                 "change_rate", "open_interest", "prev_settlement"});
    dominant_fields["d"] = strings({"open_price", "close_price", "high_price", "low_price", "total_turnover",
                                    "volume", "prev_close", "settlement", "prev_settlement", "open_interest",
                                    "high_limited", "low_limited", "day_session_open"});
    dominant_fields["m"] = strings({"trading_date", "open_price", "close_price", "high_price", "low_price",
                                    "total_turnover", "volume", "open_interest"});
    m.set("DOMINANT_PRICE_FIELDS", dominant_fields);

    m.def("_slice_dominant_data", "data", _slice_dominant_data);
    m.def("get_dominant_price",
          "underlying_symbols, start_date=None, end_date=None, frequency='1d', fields=None, adjust_type='pre', "
          "adjust_method='prev_close_spread', rule=0",
          declared, future_doc::get_dominant_price);
    m.def("get_ob_datetime_multi_index", "market_code, start_date, end_date, names=['market_code', 'trading_date']",
          declared);

    m.set("TRADING_PARAMETERS_FIELDS",
          strings({"long_margin_ratio", "short_margin_ratio", "commission_type", "open_commission",
                   "close_commission", "discount_rate", "close_commission_today", "non_member_limit_rate",
                   "client_limit_rate", "non_member_limit", "client_limit", "min_order_quantity",
                   "max_order_quantity", "min_margin_ratio"}));

    m.def("get_trading_parameters", "market_code, start_date=None, end_date=None, fields=None, market='cn'",
          declared, future_doc::get_trading_parameters);
    m.def("get_exchange_daily", "market_code, start_date=None, end_date=None, fields=None, market='cn'", declared,
          future_doc::get_exchange_daily);
}

}  // namespace

FRAME_MODULE(future, body)
