// Parsing a `def` statement's parameter list.
#include "function.hpp"

#include <cctype>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace frame {
namespace {

std::string_view trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\n"), e = s.find_last_not_of(" \t\n");
    return b == std::string_view::npos ? std::string_view() : s.substr(b, e - b + 1);
}

// Split at the commas that separate parameters (not those inside brackets or quotes).
std::vector<std::string_view> split_params(std::string_view params) {
    std::vector<std::string_view> out;
    int depth = 0;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < params.size(); ++i) {
        char c = params[i];
        if (quote) {
            if (c == '\\' && i + 1 < params.size())
                ++i;
            else if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(trim(params.substr(start, i - start)));
            start = i + 1;
        }
    }
    std::string_view last = trim(params.substr(start));
    if (!last.empty()) out.push_back(last);
    return out;
}

bool is_identifier(std::string_view s) {
    if (s.empty() || !(std::isalpha((unsigned char)s[0]) || s[0] == '_')) return false;
    for (char c : s)
        if (!(std::isalnum((unsigned char)c) || c == '_')) return false;
    return true;
}

std::string relative_source(const char *file) {
    std::string f = file;
    size_t at = f.rfind("/src/");
    return at == std::string::npos ? f : f.substr(at + 5);
}

// An interned parameter name (kept for the life of the process, as names are).
PyObject *intern_name(std::string_view name) {
    PyObject *s = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (!s) Py_FatalError("frame: cannot intern a name");
    PyUnicode_InternInPlace(&s);
    return s;
}

bool name_chars(const std::string &s) {
    for (char c : s)
        if (!(std::isalnum((unsigned char)c) || c == '_')) return false;
    return true;
}

// A default written as a plain literal, made as the compiler makes that constant
// (a str of name characters interned, as the compiler interns such constants):
// None, True, False, a decimal int, a one-line str without escapes.  nullptr, with
// no error, for any other expression.
PyObject *literal(const std::string &text) {
    if (text == "None") return Py_NewRef(Py_None);
    if (text == "True") return Py_NewRef(Py_True);
    if (text == "False") return Py_NewRef(Py_False);
    size_t digits = text[0] == '-' ? 1 : 0;
    if (text.size() > digits && text.find_first_not_of("0123456789", digits) == std::string::npos &&
        (text[digits] != '0' || text.size() == digits + 1))
        return PyLong_FromString(text.c_str(), nullptr, 10);
    char q = text[0];
    if (text.size() >= 2 && (q == '\'' || q == '"') && text.back() == q) {
        std::string inner = text.substr(1, text.size() - 2);
        if (inner.find_first_of(std::string("\\\n") + q) != std::string::npos) return nullptr;
        PyObject *str = PyUnicode_DecodeUTF8(inner.data(), static_cast<Py_ssize_t>(inner.size()), nullptr);
        if (str && name_chars(inner)) PyUnicode_InternInPlace(&str);
        return str;
    }
    return nullptr;
}

// `[a, b]` whose items are plain literals: a new list of them, as the compiler's
// BUILD_LIST of constants makes it.  nullptr, with no error, for anything else
// (a str item holding a comma or bracket falls to the interpreter).
PyObject *literal_list(const std::string &text) {
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') return nullptr;
    std::string inner = text.substr(1, text.size() - 2);
    if (inner.find_first_of("[](){}") != std::string::npos) return nullptr;
    py::list items;
    if (inner.find_first_not_of(" ") == std::string::npos) return items.release().ptr();
    for (size_t start = 0;;) {
        size_t comma = inner.find(',', start);
        std::string item(trim(std::string_view(inner).substr(start, comma - start)));
        if (item.empty()) return nullptr;
        PyObject *v = literal(item);
        if (!v) {  // an error, or not a plain literal: either way the interpreter's turn
            PyErr_Clear();
            return nullptr;
        }
        int failed = PyList_Append(items.ptr(), v);
        Py_DECREF(v);
        if (failed) return nullptr;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items.release().ptr();
}

}  // namespace

std::shared_ptr<Code> Code::make(const char *name, const char *params, Body body, const std::source_location &where,
                                 std::initializer_list<const char *> freevars) {
    auto code = std::make_shared<Code>();
    code->name = name;
    code->body = body;
    // Tracebacks name the line where the body is defined; a body defined without
    // FRAME_BODY is placed at the `def`.
    const BodySource *source = source_of(body);
    code->file = relative_source(source ? source->file : where.file_name());
    code->line = source ? source->line : static_cast<int>(where.line());
    unsigned traits = source ? source->traits : plain_body;
    code->generator = traits & generator_body;
    for (const char *free : freevars) code->freevars.push_back(intern_name(free));
    if (traits & uses_class_cell) {
        if (freevars.size()) throw std::logic_error(std::string("def ") + name + ": a nested def using super()");
        code->class_cell = true;
        code->freevars.push_back(intern_name("__class__"));
    }
    std::vector<PyObject *> star, starstar;
    for (std::string_view piece : split_params(params)) {
        auto fail = [&](const char *why) {
            throw std::logic_error(std::string("def ") + name + "(" + params + "): " + why);
        };
        if (piece.substr(0, 2) == "**") {
            if (code->varkw || !is_identifier(piece.substr(2))) fail("bad **kwargs");
            code->varkw = true;
            starstar.push_back(intern_name(piece.substr(2)));
        } else if (piece.substr(0, 1) == "*") {
            if (code->varargs || code->varkw || !is_identifier(piece.substr(1))) fail("bad *args");
            code->varargs = true;
            star.push_back(intern_name(piece.substr(1)));
        } else {
            if (code->varargs || code->varkw) fail("keyword-only parameters are not supported");
            size_t eq = piece.find('=');
            std::string_view pname = trim(piece.substr(0, eq));
            if (!is_identifier(pname)) fail("bad parameter name");
            if (eq != std::string_view::npos)
                code->defaults.emplace_back(trim(piece.substr(eq + 1)));
            else if (!code->defaults.empty())
                fail("non-default parameter follows default parameter");
            code->varnames.push_back(intern_name(pname));
            ++code->argcount;
        }
    }
    code->varnames.insert(code->varnames.end(), star.begin(), star.end());
    code->varnames.insert(code->varnames.end(), starstar.begin(), starstar.end());
    return code;
}

py::object eval_defaults(const Code &code, const std::function<py::object()> &scope) {
    if (code.defaults.empty()) return py::none();
    py::tuple values(code.defaults.size());
    py::object names;  // the namespace other expressions are evaluated in, made when first needed
    for (size_t i = 0; i < code.defaults.size(); ++i) {
        PyObject *v = literal(code.defaults[i]);
        if (!v && !PyErr_Occurred()) v = literal_list(code.defaults[i]);
        if (!v && !PyErr_Occurred()) {
            if (!names) names = scope();
            v = PyRun_String(code.defaults[i].c_str(), Py_eval_input, names.ptr(), names.ptr());
        }
        if (!v) raise_current();
        PyTuple_SET_ITEM(values.ptr(), i, v);
    }
    return values;
}

py::object eval_defaults(const Code &code, py::handle globals) {
    return eval_defaults(code, [&] { return borrow(globals.ptr()); });
}

}  // namespace frame
