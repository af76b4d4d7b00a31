// velora.tavlo.sdk.credentials: the user's data-service login in environment variables.
//
//     import os
//     import sys
//     import click
//     from velora.tavlo.sdk.script_update import update_bash_file
//
//     def get_license_info(license_name="VELORA_LICENSE"): ...
//     def set_to_environ(variables, value): ...
#include "docstrings.hpp"
#include "frame.hpp"

using namespace frame;

namespace {

const char *const kNotConfigured = "当前环境未配置用户名和密码";

// `license_name` is read as "user:password"; the first colon separates the two, so
// the password may hold further colons.  A value with no colon at all was never
// written by `velora license`: it is reported as not configured, rather than split
// into a clipped user name and the whole value as password.
FRAME_BODY(get_license_info) {
    py::handle license_name = f[0];
    py::object license = method(attr(f.global("os"_n), "environ"_n), "get"_n)(license_name);
    if (truth(license)) {
        py::object colon = method(license, "find"_n)(":"_n);
        if (ne(colon, -1_i)) {
            py::object user = getslice(license, Py_None, colon);
            py::object pw = getslice(license, add(method(license, "find"_n)(":"_n), 1_i), Py_None);
            return tuple_of({user, pw});
        }
    }
    method(f.global("click"_n), "echo"_n)(py::str(kNotConfigured));
    return tuple_of({Py_None, Py_None});
}

// Is `text` a non-empty str made only of ASCII characters that `accept` takes?
// Read by code point, never encoded, so that any str (lone surrogates included)
// is only examined here: what is not plain takes the argument-list route.
bool plain_text(py::handle text, bool (*accept)(Py_UCS4)) {
    PyObject *s = text.ptr();
    if (!PyUnicode_Check(s)) return false;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) raise_current();
#endif
    Py_ssize_t size = PyUnicode_GET_LENGTH(s);
    if (size == 0 || !PyUnicode_IS_ASCII(s)) return false;
    const Py_UCS1 *chars = PyUnicode_1BYTE_DATA(s);
    for (Py_ssize_t i = 0; i < size; ++i)
        if (!accept(chars[i])) return false;
    return true;
}
bool ascii_alnum(Py_UCS4 c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool name_char(Py_UCS4 c) { return ascii_alnum(c) || c == '_'; }
bool value_char(Py_UCS4 c) { return ascii_alnum(c) || c == ':'; }

// `setx NAME "value" ` through the command interpreter is safe only for values the
// interpreter cannot read as syntax; any other value goes to setx as an argument
// list, with no shell in between.  Either way the output and status are not used.
void persist_on_windows(const Call &f, py::handle name, py::handle value) {
    if (plain_text(name, name_char) && plain_text(value, value_char)) {
        Method popen = method(f.global("os"_n), "popen"_n);
        popen(method(py::str("setx {variable_name} \"{value}\" "), "format"_n).kw<"variable_name", "value">({name, value}));
        return;
    }
    py::object subprocess = steal(PyImport_ImportModule("subprocess"));
    py::object devnull = attr(subprocess, "DEVNULL"_n);
    method(subprocess, "run"_n).kw<"stdout", "stderr">({tuple_of({"setx"_n, name, value}), devnull, devnull});
}

FRAME_BODY(set_to_environ) {
    py::object variables = borrow(f[0].ptr());
    py::handle value = f[1];
    py::object var_name = eq(variables, py::str("VELORA_LICENSE")) ? py::object(py::str("velora license")) : variables;
    if (!PyList_Check(variables.ptr())) {
        py::list one;
        one.append(variables);
        variables = one;
    }
    if (truth(method(attr(f.global("sys"_n), "platform"_n), "startswith"_n)("win"_n))) {
        for (py::handle name : variables) persist_on_windows(f, name, value);
    } else {
        vcall(f.global("update_bash_file"_n), variables, value);
    }
    for (py::handle name : variables) setitem(attr(f.global("os"_n), "environ"_n), name, value);
    Method echo = method(f.global("click"_n), "echo"_n);
    echo(method(py::str("当前 {var_name} 已设置为 {value}"), "format"_n).kw<"var_name", "value">({var_name, value}));
    method(f.global("click"_n), "echo"_n)(py::str("请重启当前的 terminal "));
    return py::none();
}

void body(Module &m) {
    m.import("os");
    m.import("sys");
    m.import("click");
    m.from_import("velora.tavlo.sdk.script_update", {"update_bash_file"});
    m.def("get_license_info", "license_name='VELORA_LICENSE'", get_license_info, credentials_doc::get_license_info);
    m.def("set_to_environ", "variables, value", set_to_environ, credentials_doc::set_to_environ);
}

}  // namespace

FRAME_MODULE(credentials, body)
