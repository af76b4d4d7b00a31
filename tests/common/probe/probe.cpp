// The Python module this stands for:
//
//     import enum
//     import warnings
//     LIMIT = 10
//     def describe(a, b=LIMIT, *rest, **named): return (a, b, rest, named)
//     def pair(x, y): return (x, y)
//     def read_limit():
//         """ Read LIMIT.
//     \tAs the module has it now.
//
//           (indented)
//         """
//         return LIMIT
//     def shared(items=[]): items.append(len(items)); return items
//     def make_adder(n):
//         def adder(x): return x + n
//         return adder
//     def pairs_firsts(data):
//         for first, _ in data: yield first
//     def call(fn, *args): return fn(*args)
//     def literals(a=None, b=True, c=False, d=0, e=-12, f=123456789012345678901234567890,
//                  g='cn', h="two words", i='', j='中文', k='it\'s', l=(1, 'x'), m=-LIMIT): return None
//     def warn_caller(message): warnings.warn(message, UserWarning, stacklevel=2)
//     class Base:
//         def __init__(self): self.base_ran = True
//     class Child(Base):
//         def __init__(self, x): super().__init__(); self.x = x
//         def get(self, extra=0): return self.x + extra
//     class Color(enum.Enum):
//         RED = "r"
//         GREEN = "g"
//     def read_x(obj): return obj.x
//     def write_x(obj, value): obj.x = value
//     def call_x(obj): return obj.x()
//     def make(cls, a): return cls(a)
//     def make_kw(cls, a, b): return cls(a, key=b)
//     def operate(name, *operands): return OPERATORS[name](*operands)
//
// with OPERATORS (tests/common/test_frame.py) the Python operator each helper of the
// frame stands for: "add" is `a + b`, "inplace_add" is `a += b; return a`, ...
#include "frame.hpp"

#include <utility>

using namespace frame;

namespace {

FRAME_BODY(describe) { return tuple_of({f[0], f[1], f[2], f[3]}); }
FRAME_BODY(pair) { return tuple_of({f[0], f[1]}); }
FRAME_BODY(read_limit) { return f.global("LIMIT"_n); }
FRAME_BODY(shared) {
    method(f[0], "append"_n)(len_of(f[0]));
    return borrow(f[0].ptr());
}

FRAME_BODY(adder) { return add(f[0], f.cell(0)); }
FRAME_BODY(make_adder) {
    static const Def adder_def("adder", "x", adder, {"n"});
    return f.closure(adder_def, {f[0]});
}

struct Firsts : GeneratorBody {
    py::object data, it;
    explicit Firsts(py::object d) : data(std::move(d)) {}
    PyObject *next() override {
        if (!it) it = steal(PyObject_GetIter(data.ptr()));
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) return nullptr;
        py::object element = steal(item);
        // unpack `first, _` as Python does
        py::object iter = steal(PyObject_GetIter(element.ptr()));
        std::vector<py::object> got;
        while (PyObject *v = PyIter_Next(iter.ptr())) {
            got.push_back(steal(v));
            if (got.size() > 2) throw py::value_error("too many values to unpack (expected 2)");
        }
        if (PyErr_Occurred()) raise_current();
        if (got.size() < 2)
            throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(got.size()) + ")");
        return got[0].release().ptr();
    }
    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(data.ptr());
        Py_VISIT(it.ptr());
        return 0;
    }
};
FRAME_GENERATOR_BODY(pairs_firsts) { return f.generator(std::make_unique<Firsts>(borrow(f[0].ptr()))); }

FRAME_BODY(call) { return call_with(f[0], f[1]); }

FRAME_BODY(warn_caller) {
    py::object warn = attr(f.global("warnings"_n), "warn"_n);
    py::object args = tuple_of({f[0], f.global("UserWarning"_n)});
    return f.call_in_frame(warn, args, dict_of<"stacklevel">({2_i}));
}

FRAME_BODY(base_init) {
    set_attr(f[0], "base_ran"_n, py::handle(Py_True));
    return py::none();
}
FRAME_SUPER_BODY(child_init) {
    method(f.super(), "__init__"_n)();
    set_attr(f[0], "x"_n, f[1]);
    return py::none();
}
FRAME_BODY(child_get) { return add(attr(f[0], "x"_n), f[1]); }

FRAME_BODY(read_x) { return attr(f[0], "x"_n); }
FRAME_BODY(write_x) {
    set_attr(f[0], "x"_n, f[1]);
    return py::none();
}
FRAME_BODY(call_x) { return method(f[0], "x"_n)(); }
FRAME_BODY(make) { return vcall(f[0], f[1]); }
FRAME_BODY(make_kw) { return vcall_kw<"key">(f[0], f[1], f[2]); }
// `a + b`, `a - b`, `a * b`, `a / b`, `a += b`, then `==`, `!=`, `<`, `>` as bools.
FRAME_BODY(arithmetic) {
    py::handle a = f[0], b = f[1];
    py::object sum = add(a, b), difference = sub(a, b), product = mul(a, b), quotient = truediv(a, b);
    py::object in_place = inplace_add(a, b);
    return tuple_of({sum, difference, product, quotient, in_place, py::bool_(eq(a, b)), py::bool_(ne(a, b)),
                     py::bool_(lt(a, b)), py::bool_(gt(a, b))});
}
FRAME_BODY(joined) { return concat({f[0], f[1], f[2]}); }

// The frame's operator helpers by name, each on up to three operands.
using Operator = py::object (*)(py::handle, py::handle, py::handle);
py::object boolean(bool value) { return py::bool_(value); }
const std::pair<const char *, Operator> operators[] = {
    {"add", [](py::handle a, py::handle b, py::handle) { return add(a, b); }},
    {"sub", [](py::handle a, py::handle b, py::handle) { return sub(a, b); }},
    {"mul", [](py::handle a, py::handle b, py::handle) { return mul(a, b); }},
    {"truediv", [](py::handle a, py::handle b, py::handle) { return truediv(a, b); }},
    {"inplace_add", [](py::handle a, py::handle b, py::handle) { return inplace_add(a, b); }},
    {"eq", [](py::handle a, py::handle b, py::handle) { return boolean(eq(a, b)); }},
    {"ne", [](py::handle a, py::handle b, py::handle) { return boolean(ne(a, b)); }},
    {"lt", [](py::handle a, py::handle b, py::handle) { return boolean(lt(a, b)); }},
    {"gt", [](py::handle a, py::handle b, py::handle) { return boolean(gt(a, b)); }},
    {"truth", [](py::handle x, py::handle, py::handle) { return boolean(truth(x)); }},
    {"neg", [](py::handle x, py::handle, py::handle) { return neg(x); }},
    {"to_int", [](py::handle x, py::handle, py::handle) { return to_int(x); }},
    {"str", [](py::handle x, py::handle, py::handle) { return str(x); }},
    {"format", [](py::handle x, py::handle, py::handle) { return format(x); }},
    {"is_none", [](py::handle x, py::handle, py::handle) { return boolean(is_none(x)); }},
    {"len_of", [](py::handle x, py::handle, py::handle) { return len_of(x); }},
    {"getitem", [](py::handle c, py::handle k, py::handle) { return getitem(c, k); }},
    {"setitem",
     [](py::handle c, py::handle k, py::handle v) {
         setitem(c, k, v);
         return py::object(py::none());
     }},
    {"getslice", [](py::handle x, py::handle a, py::handle b) { return getslice(x, a, b); }},
    {"slice", [](py::handle x, py::handle a, py::handle b) { return getitem(x, slice(a, b, 2_i)); }},
    {"contains", [](py::handle k, py::handle c, py::handle) { return boolean(contains(k, c)); }},
    {"contains_method", [](py::handle c, py::handle k, py::handle) { return boolean(contains_method(c, k)); }},
    {"concat", [](py::handle a, py::handle b, py::handle c) { return concat({a, b, c}); }},
};
FRAME_BODY(operate) {
    py::handle name = f[0], operands = f[1];
    py::handle x[3] = {Py_None, Py_None, Py_None};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(operands.ptr()) && i < 3; ++i)
        x[i] = PyTuple_GET_ITEM(operands.ptr(), i);
    for (const auto &[text, op] : operators)
        if (PyUnicode_CompareWithASCIIString(name.ptr(), text) == 0) return op(x[0], x[1], x[2]);
    throw py::key_error(py::repr(name));
}

void body(Module &m) {
    m.import("enum");
    m.import("warnings");
    m.set("LIMIT", py::int_(10));
    m.def("describe", "a, b=LIMIT, *rest, **named", describe, "Describe the call.");
    m.def("pair", "x, y", pair);
    m.def("read_limit", "", read_limit, " Read LIMIT.\n\tAs the module has it now.\n\n      (indented)\n    ");
    m.def("shared", "items=[]", shared);
    m.def("make_adder", "n", make_adder);
    m.def("pairs_firsts", "data", pairs_firsts);
    m.def("call", "fn, *args", call);
    m.def("literals",
          "a=None, b=True, c=False, d=0, e=-12, f=123456789012345678901234567890, g='cn', h=\"two words\", "
          "i='', j='中文', k='it\\'s', l=(1, 'x'), m=-LIMIT",
          read_limit);
    m.def("warn_caller", "message", warn_caller);
    py::object base = m.cls("Base", {}, [](ClassBody &c) { c.def("__init__", "self", base_init); });
    m.cls("Child", {base}, [](ClassBody &c) {
        c.def("__init__", "self, x", child_init);
        c.def("get", "self, extra=0", child_get);
    });
    m.def("read_x", "obj", read_x);
    m.def("write_x", "obj, value", write_x);
    m.def("call_x", "obj", call_x);
    m.def("make", "cls, a", make);
    m.def("make_kw", "cls, a, b", make_kw);
    m.def("arithmetic", "a, b", arithmetic);
    m.def("joined", "a, b, c", joined);
    m.def("operate", "name, *operands", operate);
    py::object enum_ = attr(m.get("enum"), "Enum"_n);
    m.cls("Color", {enum_}, [](ClassBody &c) {
        c.set("RED", py::str("r"));
        c.set("GREEN", py::str("g"));
    });
}

}  // namespace

FRAME_MODULE(frame_probe, body)
