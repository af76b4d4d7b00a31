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
py::object get_license_info(Call &f) {
    py::handle license_name = f[0];
    py::object license = vcall_method(py::getattr(f.global("os"_n), "environ"_n), "get"_n, {license_name});
    if (truth(license)) {
        py::object colon = vcall_method(license, "find"_n, {":"_n});
        if (ne(colon, -1_i)) {
            py::object user = getitem(license, slice(py::none(), colon));
            py::object pw = getitem(license, slice(add(vcall_method(license, "find"_n, {":"_n}), 1_i), py::none()));
            return py::make_tuple(user, pw);
        }
    }
    call_method(f.global("click"_n), "echo"_n, kNotConfigured);
    return py::make_tuple(py::none(), py::none());
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
        py::object command = call_method(py::str("setx {variable_name} \"{value}\" "), "format"_n,
                                         py::arg("variable_name") = name, py::arg("value") = value);
        call_method(f.global("os"_n), "popen"_n, command);
        return;
    }
    py::object subprocess = steal(PyImport_ImportModule("subprocess"));
    py::object devnull = py::getattr(subprocess, "DEVNULL"_n);
    call_method(subprocess, "run"_n, py::make_tuple("setx", name, value), py::arg("stdout") = devnull,
                py::arg("stderr") = devnull);
}

py::object set_to_environ(Call &f) {
    py::object variables = borrow(f[0].ptr());
    py::handle value = f[1];
    py::object var_name = eq(variables, py::str("VELORA_LICENSE")) ? py::object(py::str("velora license")) : variables;
    if (!PyList_Check(variables.ptr())) {
        py::list one;
        one.append(variables);
        variables = one;
    }
    py::object os = f.global("os"_n);
    if (truth(call_method(py::getattr(f.global("sys"_n), "platform"_n), "startswith"_n, "win"))) {
        for (py::handle name : variables) persist_on_windows(f, name, value);
    } else {
        f.global("update_bash_file"_n)(variables, value);
    }
    py::object environ = py::getattr(os, "environ"_n);
    for (py::handle name : variables) setitem(environ, name, value);
    py::object click = f.global("click"_n);
    call_method(click, "echo"_n, call_method(py::str("当前 {var_name} 已设置为 {value}"), "format"_n,
                                             py::arg("var_name") = var_name, py::arg("value") = value));
    call_method(click, "echo"_n, "请重启当前的 terminal ");
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
