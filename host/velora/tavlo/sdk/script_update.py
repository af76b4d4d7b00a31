"""Persist environment variables for shells started later.

``update_bash_file(names, value)`` writes one ``export NAME='value'`` line per
name into the user's shell start-up file, replacing an earlier line for the same
name instead of adding another, and writes the file atomically.
"""
import os
import re
import tempfile

_EXPORT = re.compile(r"^\s*export\s+([A-Za-z_][A-Za-z0-9_]*)=")
_NAME = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")


def startup_file():
    """The start-up file of the user's login shell (zsh or bash)."""
    home = os.path.expanduser("~")
    if os.path.basename(os.environ.get("SHELL", "")) == "zsh":
        return os.path.join(home, ".zshrc")
    return os.path.join(home, ".bashrc")


def shell_quote(value):
    """Single-quote ``value`` for a POSIX shell: nothing inside is expanded."""
    return "'" + str(value).replace("'", "'\\''") + "'"


def update_bash_file(names, value, path=None):
    if isinstance(names, str):
        names = [names]
    for name in names:
        if not _NAME.match(name):
            raise ValueError("not a shell variable name: %r" % (name,))
    path = path or startup_file()
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        lines = []
    wanted = set(names)
    kept = [line for line in lines if not (_EXPORT.match(line) and _EXPORT.match(line).group(1) in wanted)]
    kept.extend("export %s=%s" % (name, shell_quote(value)) for name in names)
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".velora-", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write("\n".join(kept) + "\n")
        if os.path.exists(path):
            os.chmod(tmp, os.stat(path).st_mode & 0o7777)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
    return path
