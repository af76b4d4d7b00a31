// Parsing a `def` statement's parameter list.
#include "function.hpp"

#include <cctype>
#include <stdexcept>

namespace frame {
namespace {

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\n"), e = s.find_last_not_of(" \t\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Split at the commas that separate parameters (not those inside brackets or quotes).
std::vector<std::string> split_params(const char *params) {
    std::vector<std::string> out;
    std::string cur;
    int depth = 0;
    char quote = 0;
    for (const char *p = params; *p; ++p) {
        char c = *p;
        if (quote) {
            if (c == '\\' && p[1]) {
                cur += c;
                c = *++p;
            } else if (c == quote) {
                quote = 0;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(trim(cur));
            cur.clear();
            continue;
        }
        cur += c;
    }
    if (!trim(cur).empty()) out.push_back(trim(cur));
    return out;
}

bool is_identifier(const std::string &s) {
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

}  // namespace

std::shared_ptr<const Code> Code::make(const char *name, const char *params, Body body,
                                       const std::source_location &where) {
    auto code = std::make_shared<Code>();
    code->name = name;
    code->body = body;
    code->file = relative_source(where.file_name());
    code->line = static_cast<int>(where.line());
    std::vector<PyObject *> star, starstar;
    for (const std::string &piece : split_params(params)) {
        auto fail = [&](const char *why) {
            throw std::logic_error(std::string("def ") + name + "(" + params + "): " + why);
        };
        if (piece.rfind("**", 0) == 0) {
            if (code->varkw || !is_identifier(piece.substr(2))) fail("bad **kwargs");
            code->varkw = true;
            starstar.push_back(intern(piece.substr(2).c_str()));
        } else if (piece.rfind("*", 0) == 0) {
            if (code->varargs || code->varkw || !is_identifier(piece.substr(1))) fail("bad *args");
            code->varargs = true;
            star.push_back(intern(piece.substr(1).c_str()));
        } else {
            if (code->varargs || code->varkw) fail("keyword-only parameters are not supported");
            size_t eq = piece.find('=');
            std::string pname = trim(piece.substr(0, eq));
            if (!is_identifier(pname)) fail("bad parameter name");
            if (eq != std::string::npos)
                code->defaults.push_back(trim(piece.substr(eq + 1)));
            else if (!code->defaults.empty())
                fail("non-default parameter follows default parameter");
            code->varnames.push_back(intern(pname.c_str()));
            ++code->argcount;
        }
    }
    code->varnames.insert(code->varnames.end(), star.begin(), star.end());
    code->varnames.insert(code->varnames.end(), starstar.begin(), starstar.end());
    return code;
}

py::object eval_defaults(const Code &code, py::handle globals) {
    if (code.defaults.empty()) return py::none();
    py::tuple values(code.defaults.size());
    for (size_t i = 0; i < code.defaults.size(); ++i) {
        PyObject *v = PyRun_String(code.defaults[i].c_str(), Py_eval_input, globals.ptr(),
                                   globals.ptr());
        if (!v) raise_current();
        PyTuple_SET_ITEM(values.ptr(), i, v);
    }
    return std::move(values);
}

}  // namespace frame
