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

// `click.echo`, found before its argument is made: `echo(f)(message)`.
Method echo(const Call &f) { return method(f.global("click"_n), "echo"_n); }

// `os.path.join(directory, "bundle")`
py::object bundle_dir(const Call &f, py::handle directory) {
    return method(attr(f.global("os"_n), "path"_n), "join"_n)(directory, "bundle"_n);
}

// `value in ["test", "inner", "dev", "uat"]`: the deployment environments the
// command stores or shows.
bool deployment_environment(py::handle value) {
    return contains(value, list_of({"test"_n, "inner"_n, "dev"_n, "uat"_n}));
}

FRAME_BODY(cli) { return py::none(); }

// Shows what is stored, or stores the user name and password (asking for what
// was not given) and, when it names a deployment environment, `--env`.  An empty
// user name or password is refused like a missing one, so that no credential
// without a user or a password is ever written.
FRAME_BODY(license) {
    py::object username = borrow(f[0].ptr()), password = borrow(f[1].ptr());
    py::handle show = f[2], env = f[3];
    if (truth(show)) {
        auto [user, pw] = unpack<2>(vcall(f.global("get_license_info"_n)));
        if (truth(user) && truth(pw)) {
            echo(f)(add(py::str(text::user_line), format(user)));
            echo(f)(add(py::str(text::password_line), format(pw)));
        }
        py::object ENV = method(f.global("os"_n), "getenv"_n)("velorasdk_env"_n);
        if (truth(ENV) && deployment_environment(ENV)) echo(f)(add(py::str(text::environment_line), format(ENV)));
        return py::none();
    }
    if (is_none(username))
        username = method(f.global("click"_n), "prompt"_n).kw<"type">({py::str(text::ask_username), f.global("str"_n)});
    if (is_none(password))
        password = method(f.global("click"_n), "prompt"_n)
                       .kw<"type", "hide_input">({py::str(text::ask_password), f.global("str"_n), Py_True});
    if (!truth(username) || !truth(password)) {
        echo(f)(py::str(text::both_required));
        return py::none();
    }
    py::object set_to_environ = f.global("set_to_environ"_n);
    vcall(set_to_environ, "VELORA_LICENSE"_n, add(add(username, ":"_n), password));
    if (deployment_environment(env)) vcall(f.global("set_to_environ"_n), "velorasdk_env"_n, env);
    return py::none();
}

// IPython is optional: without it the command says how to install it.  The shell
// is started from a Python-level frame of this function, so its namespace is this
// module's, not the command library's.
FRAME_BODY(shell) {
    py::object embed;
    try {
        embed = f.import_from("IPython", "embed");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        echo(f)(py::str(text::install_ipython));
        return py::none();
    }
    f.call_in_frame(embed, py::tuple(), py::dict(), Call::FrameGlobals::module);
    return py::none();
}

FRAME_BODY(update_data) {
    py::handle data_bundle_path = f[0], base = f[1], minbar = f[2], tick = f[3], with_derivatives = f[4],
               concurrency = f[5], smart = f[6], rebuild = f[7];
    py::object init_wux = f.import_from("velora.tavlo.utils.login", "init_wux");
    vcall(init_wux);
    // Nothing asked for: the command's own help.
    if (base.ptr() == Py_False && !truth(minbar) && !truth(tick) && smart.ptr() == Py_False) {
        py::object ctx = method(f.global("click"_n), "Context"_n)(f.global("update_data"_n));
        echo(f)(method(f.global("update_data"_n), "get_help"_n)(ctx));
        return borrow((1_i).ptr());
    }
    py::object update_bundle_from_pormex = f.import_from("velora.tavlo.alpha.bundle", "update_bundle_from_pormex");
    py::object update_bundle_from_exist_file =
        f.import_from("velora.tavlo.alpha.bundle", "update_bundle_from_exist_file");
    py::object check_tick = f.import_from("velora.tavlo.alpha.utils.scripts", "check_tick");
    py::object path = bundle_dir(f, data_bundle_path);
    if (truth(method(attr(f.global("os"_n), "path"_n), "exists"_n)(path))) vcall(check_tick, path);
    py::object succeed = vcall_kw<"rebuild">(
        update_bundle_from_pormex, {concurrency, data_bundle_path, base, minbar, tick, with_derivatives, rebuild});
    if (truth(smart)) {
        // Always run, even after a failed update; either failure fails the command.
        py::object r = vcall(update_bundle_from_exist_file, concurrency, data_bundle_path);
        succeed = truth(r) ? succeed : r;
    }
    if (!truth(succeed)) method(f.global("sys"_n), "exit"_n)(1_i);
    return py::none();
}

FRAME_BODY(check_data) {
    py::handle data_bundle_path = f[0], minbar = f[1], daybar = f[2];
    py::object any = f.global("any"_n);
    py::object check_all = vcall(any, list_of({minbar, daybar}));
    py::object check_min_bar_data = f.import_from("velora.tavlo.alpha.bundle", "check_min_bar_data");
    py::object check_bundle_data = f.import_from("velora.tavlo.console.bundle", "check_bundle_data");
    if (truth(minbar) || !truth(check_all)) vcall(check_min_bar_data, data_bundle_path);
    if (truth(daybar) || !truth(check_all)) vcall(check_bundle_data, bundle_dir(f, data_bundle_path));
    return py::none();
}

FRAME_BODY(download_data) {
    py::handle data_bundle_path = f[0], sample = f[1], file_path = f[2];
    py::object download_simple_bundle = f.import_from("velora.tavlo.alpha.bundle", "download_simple_bundle");
    return vcall_kw<"sample", "file_path">(download_simple_bundle, {data_bundle_path, sample, file_path});
}

// --- the module body -----------------------------------------------------------

// `click.option`, called with the option's names and then its settings by keyword:
// `option(m).kw<"help">({"--env"_n, help})`.
Method option(const Module &m) { return method(m.get("click"), "option"_n); }

// `cli.command()`
py::object command(const Module &m) { return method(m.get("cli"), "command"_n)(); }

// `"bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH)`
py::object bundle_path_help(const Module &m) {
    return method(py::str(text::bundle_path_help), "format"_n)(m.get("DEFAULT_BUNDLE_PATH"));
}

// `text.format(", ".join(TAG_MAP))`
py::object with_tags(const Module &m, const char *help) {
    return method(py::str(help), "format"_n)(method(", "_n, "join"_n)(m.get("TAG_MAP")));
}

// `@click.option("-d", "--data-bundle-path", ...)`, the first option of each data command.
py::object bundle_path_option(const Module &m) {
    return option(m).kw<"default", "type", "help">(
        {"-d"_n, "--data-bundle-path"_n, m.get("DEFAULT_BUNDLE_PATH"),
         method(m.get("click"), "Path"_n).kw<"file_okay">({Py_False}), bundle_path_help(m)});
}

// `@click.option(<name>, default=False, is_flag=True, help=...)`
py::object flag_option(const Module &m, py::handle name, const char *help) {
    return option(m).kw<"default", "is_flag", "help">({name, Py_False, Py_True, py::str(help)});
}

void body(Module &m) {
    m.import("os");
    m.import("sys");
    m.import("click");
    m.from_import("velora.tavlo.sdk.const", {"DEFAULT_BUNDLE_PATH", "TAG_MAP", "CONCERNED_PACKAGES"});
    m.from_import("velora.tavlo.sdk.credentials", {"get_license_info", "set_to_environ"});

    m.def({method(m.get("click"), "group"_n)(), method(m.get("click"), "help_option"_n)("-h"_n, "--help"_n)}, "cli", "",
          cli, text::cli_doc);

    m.def({command(m),
           option(m).kw<"help">({"-username"_n, "-u"_n, py::str(text::username_help)}),
           option(m).kw<"help", "hide_input">({"--password"_n, "-p"_n, py::str(text::password_help), Py_True}),
           option(m).kw<"help">({"--env"_n, py::str(text::env_help)}),
           option(m).kw<"is_flag">({"--show"_n, Py_True})},
          "license", "username, password, show, env", license, text::license_doc);

    m.def({command(m)}, "shell", "", shell, text::shell_doc);

    m.def({command(m),
           bundle_path_option(m),
           flag_option(m, "--base"_n, text::base_help),
           option(m).kw<"multiple", "type", "help">(
               {"--minbar"_n, Py_True, attr(m.get("click"), "STRING"_n), with_tags(m, text::minbar_update_help)}),
           option(m).kw<"multiple", "type", "help">(
               {"--tick"_n, Py_True, attr(m.get("click"), "STRING"_n), with_tags(m, text::tick_update_help)}),
           flag_option(m, "--with-derivatives"_n, text::with_derivatives_help),
           option(m).kw<"type", "default", "help">(
               {"-c"_n, "--concurrency"_n, attr(m.get("click"), "INT"_n), 3_i, py::str(text::concurrency_help)}),
           flag_option(m, "--smart"_n, text::smart_help),
           flag_option(m, "--rebuild"_n, text::rebuild_help)},
          "update_data", "data_bundle_path, base, minbar, tick, with_derivatives, concurrency, smart, rebuild",
          update_data, text::update_data_doc);

    m.def({command(m),
           bundle_path_option(m),
           flag_option(m, "--minbar"_n, text::minbar_check_help),
           flag_option(m, "--daybar"_n, text::daybar_check_help)},
          "check_data", "data_bundle_path, minbar, daybar", check_data, text::check_data_doc);

    m.def({command(m),
           bundle_path_option(m),
           option(m).kw<"is_flag", "help">({"--sample"_n, Py_True, py::str(text::sample_help)}),
           option(m).kw<"help">({"-f"_n, "--file-path"_n, py::str(text::file_path_help)})},
          "download_data", "data_bundle_path, sample=True, file_path=None", download_data, text::download_data_doc);
}

}  // namespace

FRAME_MODULE(console, body)
