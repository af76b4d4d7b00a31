// velora.tavlo.sdk.console: the `velora` command line.
//
//     import os
//     import sys
//     import click
//     from velora.tavlo.sdk.const import DEFAULT_BUNDLE_PATH, TAG_MAP, CONCERNED_PACKAGES
//     from velora.tavlo.sdk.credentials import get_license_info, set_to_environ
//
//     @click.group()
//     @click.help_option("-h", "--help")
//     def cli(): ...
//
//     @cli.command()
//     @click.option(...)
//     def license(username, password, show, env): ...
//     def shell(): ...
//     def update_data(data_bundle_path, base, minbar, tick, with_derivatives, concurrency, smart, rebuild): ...
//     def check_data(data_bundle_path, minbar, daybar): ...
//     def download_data(data_bundle_path, sample=True, file_path=None): ...
//
// The data commands import their workers from the framework when they run, so the
// command line loads and answers --help without the framework installed.
#include "frame.hpp"
#include "texts.hpp"

using namespace frame;
namespace text = console_text;

namespace {

// `click.echo(message)`
void echo(const Call &f, py::handle message) { call_method(f.global("click"_n), "echo"_n, message); }

// `os.path.join(directory, "bundle")`
py::object bundle_dir(const Call &f, py::handle directory) {
    return call_method(py::getattr(f.global("os"_n), "path"_n), "join"_n, directory, "bundle");
}

// `value in ["test", "inner", "dev", "uat"]`: the deployment environments the
// command stores or shows.
bool deployment_environment(py::handle value) {
    py::list names;
    for (const char *name : {"test", "inner", "dev", "uat"}) names.append(py::str(name));
    int r = PySequence_Contains(names.ptr(), value.ptr());
    if (r < 0) raise_current();
    return r;
}

// `a, b = value`
std::pair<py::object, py::object> unpack2(py::handle value) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value.ptr())->tp_iter && !PySequence_Check(value.ptr()))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        raise_current();
    }
    py::object iterator = steal(it);
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *item = PyIter_Next(it);
        if (!item) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            raise_current();
        }
        items[i] = steal(item);
    }
    PyObject *extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) raise_current();
    return {items[0], items[1]};
}

py::object cli(Call &) { return py::none(); }

// Shows what is stored, or stores the user name and password (asking for what
// was not given) and, when it names a deployment environment, `--env`.  An empty
// user name or password is refused like a missing one, so that no credential
// without a user or a password is ever written.
py::object license(Call &f) {
    py::object username = borrow(f[0].ptr()), password = borrow(f[1].ptr());
    py::handle show = f[2], env = f[3];
    if (truth(show)) {
        auto [user, pw] = unpack2(f.global("get_license_info"_n)());
        if (truth(user) && truth(pw)) {
            echo(f, add(py::str(text::user_line), format(user)));
            echo(f, add(py::str(text::password_line), format(pw)));
        }
        py::object ENV = call_method(f.global("os"_n), "getenv"_n, "velorasdk_env");
        if (truth(ENV) && deployment_environment(ENV)) echo(f, add(py::str(text::environment_line), format(ENV)));
        return py::none();
    }
    if (is_none(username))
        username = call_method(f.global("click"_n), "prompt"_n, text::ask_username, py::arg("type") = f.global("str"_n));
    if (is_none(password))
        password = call_method(f.global("click"_n), "prompt"_n, text::ask_password, py::arg("type") = f.global("str"_n),
                               py::arg("hide_input") = true);
    if (!truth(username) || !truth(password)) {
        echo(f, py::str(text::both_required));
        return py::none();
    }
    f.global("set_to_environ"_n)("VELORA_LICENSE", add(add(username, py::str(":")), password));
    if (deployment_environment(env)) f.global("set_to_environ"_n)("velorasdk_env", env);
    return py::none();
}

// IPython is optional: without it the command says how to install it.  The shell
// is started from a Python-level frame of this function, so its namespace is this
// module's, not the command library's.
py::object shell(Call &f) {
    py::object embed;
    try {
        embed = f.import_from("IPython", "embed");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        echo(f, py::str(text::install_ipython));
        return py::none();
    }
    f.call_in_frame(embed, py::tuple(), py::dict(), Call::FrameGlobals::module);
    return py::none();
}

py::object update_data(Call &f) {
    py::handle data_bundle_path = f[0], base = f[1], minbar = f[2], tick = f[3], with_derivatives = f[4],
               concurrency = f[5], smart = f[6], rebuild = f[7];
    py::object init_wux = f.import_from("velora.tavlo.utils.login", "init_wux");
    init_wux();
    // Nothing asked for: the command's own help.
    if (base.ptr() == Py_False && !truth(minbar) && !truth(tick) && smart.ptr() == Py_False) {
        py::object ctx = call_method(f.global("click"_n), "Context"_n, f.global("update_data"_n));
        echo(f, call_method(f.global("update_data"_n), "get_help"_n, ctx));
        return py::int_(1);
    }
    py::object update_bundle_from_pormex = f.import_from("velora.tavlo.alpha.bundle", "update_bundle_from_pormex");
    py::object update_bundle_from_exist_file =
        f.import_from("velora.tavlo.alpha.bundle", "update_bundle_from_exist_file");
    py::object check_tick = f.import_from("velora.tavlo.alpha.utils.scripts", "check_tick");
    py::object path = bundle_dir(f, data_bundle_path);
    if (truth(call_method(py::getattr(f.global("os"_n), "path"_n), "exists"_n, path))) check_tick(path);
    py::object succeed = update_bundle_from_pormex(concurrency, data_bundle_path, base, minbar, tick,
                                                   with_derivatives, py::arg("rebuild") = rebuild);
    if (truth(smart)) {
        // Always run, even after a failed update; either failure fails the command.
        py::object r = update_bundle_from_exist_file(concurrency, data_bundle_path);
        succeed = truth(r) ? succeed : r;
    }
    if (!truth(succeed)) call_method(f.global("sys"_n), "exit"_n, 1);
    return py::none();
}

py::object check_data(Call &f) {
    py::handle data_bundle_path = f[0], minbar = f[1], daybar = f[2];
    py::list flags;
    flags.append(minbar);
    flags.append(daybar);
    py::object check_all = f.global("any"_n)(flags);
    py::object check_min_bar_data = f.import_from("velora.tavlo.alpha.bundle", "check_min_bar_data");
    py::object check_bundle_data = f.import_from("velora.tavlo.console.bundle", "check_bundle_data");
    if (truth(minbar) || !truth(check_all)) check_min_bar_data(data_bundle_path);
    if (truth(daybar) || !truth(check_all)) check_bundle_data(bundle_dir(f, data_bundle_path));
    return py::none();
}

py::object download_data(Call &f) {
    py::handle data_bundle_path = f[0], sample = f[1], file_path = f[2];
    py::object download_simple_bundle = f.import_from("velora.tavlo.alpha.bundle", "download_simple_bundle");
    return download_simple_bundle(data_bundle_path, py::arg("sample") = sample, py::arg("file_path") = file_path);
}

// --- the module body -----------------------------------------------------------

// `click.option(*decls, **attrs)`
template <typename... Args>
py::object option(const Module &m, Args &&...args) {
    return call_method(m.get("click"), "option"_n, std::forward<Args>(args)...);
}

// `cli.command()`
py::object command(const Module &m) { return call_method(m.get("cli"), "command"_n); }

// `"bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH)`
py::object bundle_path_help(const Module &m) {
    return call_method(py::str(text::bundle_path_help), "format"_n, m.get("DEFAULT_BUNDLE_PATH"));
}

// `text.format(", ".join(TAG_MAP))`
py::object with_tags(const Module &m, const char *help) {
    return call_method(py::str(help), "format"_n, call_method(py::str(", "), "join"_n, m.get("TAG_MAP")));
}

// `@click.option("-d", "--data-bundle-path", ...)`, the first option of each data command.
py::object bundle_path_option(const Module &m) {
    return option(m, "-d", "--data-bundle-path", py::arg("default") = m.get("DEFAULT_BUNDLE_PATH"),
                  py::arg("type") = call_method(m.get("click"), "Path"_n, py::arg("file_okay") = false),
                  py::arg("help") = bundle_path_help(m));
}

void body(Module &m) {
    m.import("os");
    m.import("sys");
    m.import("click");
    m.from_import("velora.tavlo.sdk.const", {"DEFAULT_BUNDLE_PATH", "TAG_MAP", "CONCERNED_PACKAGES"});
    m.from_import("velora.tavlo.sdk.credentials", {"get_license_info", "set_to_environ"});

    m.def({call_method(m.get("click"), "group"_n), call_method(m.get("click"), "help_option"_n, "-h", "--help")},
          "cli", "", cli, text::cli_doc);

    m.def({command(m),
           option(m, "-username", "-u", py::arg("help") = text::username_help),
           option(m, "--password", "-p", py::arg("help") = text::password_help, py::arg("hide_input") = true),
           option(m, "--env", py::arg("help") = text::env_help),
           option(m, "--show", py::arg("is_flag") = true)},
          "license", "username, password, show, env", license, text::license_doc);

    m.def({command(m)}, "shell", "", shell, text::shell_doc);

    m.def({command(m),
           bundle_path_option(m),
           option(m, "--base", py::arg("default") = false, py::arg("is_flag") = true, py::arg("help") = text::base_help),
           option(m, "--minbar", py::arg("multiple") = true, py::arg("type") = py::getattr(m.get("click"), "STRING"_n),
                  py::arg("help") = with_tags(m, text::minbar_update_help)),
           option(m, "--tick", py::arg("multiple") = true, py::arg("type") = py::getattr(m.get("click"), "STRING"_n),
                  py::arg("help") = with_tags(m, text::tick_update_help)),
           option(m, "--with-derivatives", py::arg("default") = false, py::arg("is_flag") = true,
                  py::arg("help") = text::with_derivatives_help),
           option(m, "-c", "--concurrency", py::arg("type") = py::getattr(m.get("click"), "INT"_n),
                  py::arg("default") = 3, py::arg("help") = text::concurrency_help),
           option(m, "--smart", py::arg("default") = false, py::arg("is_flag") = true, py::arg("help") = text::smart_help),
           option(m, "--rebuild", py::arg("default") = false, py::arg("is_flag") = true,
                  py::arg("help") = text::rebuild_help)},
          "update_data", "data_bundle_path, base, minbar, tick, with_derivatives, concurrency, smart, rebuild",
          update_data, text::update_data_doc);

    m.def({command(m),
           bundle_path_option(m),
           option(m, "--minbar", py::arg("default") = false, py::arg("is_flag") = true,
                  py::arg("help") = text::minbar_check_help),
           option(m, "--daybar", py::arg("default") = false, py::arg("is_flag") = true,
                  py::arg("help") = text::daybar_check_help)},
          "check_data", "data_bundle_path, minbar, daybar", check_data, text::check_data_doc);

    m.def({command(m),
           bundle_path_option(m),
           option(m, "--sample", py::arg("is_flag") = true, py::arg("help") = text::sample_help),
           option(m, "-f", "--file-path", py::arg("help") = text::file_path_help)},
          "download_data", "data_bundle_path, sample=True, file_path=None", download_data, text::download_data_doc);
}

}  // namespace

FRAME_MODULE(console, body)
