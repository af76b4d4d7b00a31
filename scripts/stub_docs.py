"""Give each module's stub exactly the docstrings of the built module.

    PYTHONPATH=host .venv/py3.9/bin/python scripts/stub_docs.py [--check]

For every definition in src/velora/.../<module>/<module>.pyi (the module itself,
its functions, its classes and their methods) the stub's docstring becomes the
built module's ``__doc__`` of that object, character for character, and is
removed where the object has none.  Notes that are not the module's own
documentation are comments in the stubs.  ``--check`` changes nothing and exits
1 if a stub differs; tests/test_stubs.py makes the same comparison.
"""
import argparse
import ast
import enum
import glob
import importlib
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src")


class _Plain(enum.Enum):
    A = 1


# What an enumeration without a docstring carries (Python 3.9 and 3.10 give it one).
ENUM_DEFAULT_DOC = _Plain.__dict__.get("__doc__")


def stubs():
    """{dotted module name: stub path} for every module folder of src/velora."""
    found = {}
    for path in sorted(glob.glob(os.path.join(SRC, "velora", "**", "*.pyi"), recursive=True)):
        folder = os.path.dirname(path)
        found[os.path.relpath(folder, SRC).replace(os.sep, ".")] = path
    return found


def own_doc(owner, name):
    """The docstring of `owner`'s own attribute `name` (inherited ones do not
    count), or None."""
    value = vars(owner).get(name)
    if isinstance(value, (staticmethod, classmethod)):
        value = value.__func__
    if value is None or isinstance(value, (str, int, float, bytes, tuple, list, dict)):
        return None
    return class_doc(value) if isinstance(value, type) else getattr(value, "__doc__", None)


def class_doc(cls):
    doc = vars(cls).get("__doc__")
    if isinstance(cls, enum.EnumMeta) and doc == ENUM_DEFAULT_DOC:
        return None
    return doc if isinstance(doc, str) else None


def documented(tree, module):
    """(node, runtime docstring or None) for the module and every function, class
    and method that its stub defines."""
    out = [(tree, module.__doc__)]

    def walk(body, owner):
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                out.append((node, own_doc(owner, node.name)))
                if isinstance(node, ast.ClassDef) and isinstance(vars(owner).get(node.name), type):
                    walk(node.body, vars(owner)[node.name])
            elif isinstance(node, ast.If):  # sys.version_info branches
                walk(node.body + node.orelse, owner)

    walk(tree.body, module)
    return out


def compiled_doc(text):
    """The __doc__ of a function whose docstring is `text`, as this interpreter's
    compiler makes it (from 3.13 on without the indentation)."""
    namespace = {}
    exec("def f():\n    %r\n" % text, namespace)
    return namespace["f"].__doc__


def source_doc(doc, node, current=None):
    """The docstring to write in `node` for the __doc__ `doc`: as it is, or, where the
    compiler removes the indentation, laid out as the stub's `current` docstring is
    (else indented as the body of `node`), which the compiler then removes again."""
    if compiled_doc("a\n b") == "a\n b" or not isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
        return doc
    lead, indent, closing = "", " " * (node.col_offset + 4), None
    if current is not None:
        lead = current[:len(current) - len(current.lstrip(" "))]
        below = current.split("\n")[1:]
        margins = [len(line) - len(line.lstrip(" ")) for line in below if line.strip()]
        indent = " " * min(margins) if margins else indent
        closing = below[-1] if below and not below[-1].strip() else None
    first, *rest = doc.split("\n")
    lines = [lead + first] + [indent + line if line else line for line in rest[:-1]]
    if rest:
        lines.append(closing if not rest[-1] and closing is not None else indent + rest[-1])
    text = "\n".join(lines)
    assert compiled_doc(text) == doc, doc
    return text


def stub_doc(node):
    """The docstring of the stub's `node`, as the module's object carries it."""
    text = ast.get_docstring(node, clean=False)
    if text is not None and isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
        return compiled_doc(text)
    return text


def differences(dotted, path):
    """[(line, name, stub docstring, runtime docstring)] where they differ."""
    module = importlib.import_module(dotted)
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return [(getattr(node, "lineno", 1), getattr(node, "name", dotted), stub_doc(node), doc)
            for node, doc in documented(tree, module) if stub_doc(node) != doc]


def literal(text):
    """`text` as a triple-quoted string literal (tabs and other control
    characters escaped)."""
    plain = ("\\" not in text and '"""' not in text and not text.endswith('"')
             and all(c == "\n" or c.isprintable() for c in text))
    if plain:
        out = '"""%s"""' % text
    else:
        out = '"""%s"""' % "".join(
            "\\\\" if c == "\\" else '\\"' if c == '"' else c if c == "\n" or c.isprintable()
            else c.encode("unicode_escape").decode("ascii") for c in text)
    assert ast.literal_eval(out) == text, text
    return out


def rewrite(source, module):
    """The stub `source` with the runtime docstrings of `module`."""
    lines = source.splitlines(keepends=True)
    starts = [0]
    for line in lines:
        starts.append(starts[-1] + len(line))

    def offset(lineno, col):   # ast columns count UTF-8 bytes
        return starts[lineno - 1] + len(lines[lineno - 1].encode("utf-8")[:col].decode("utf-8"))

    edits = []
    for node, doc in documented(ast.parse(source), module):
        current = stub_doc(node)
        if current == doc:
            continue
        body = node.body
        first = body[0] if body else None
        if current is not None:
            span = (offset(first.lineno, first.col_offset), offset(first.end_lineno, first.end_col_offset))
            if doc is not None:
                edits.append((*span, literal(source_doc(doc, node, ast.get_docstring(node, clean=False)))))
            elif len(body) > 1 or isinstance(node, ast.Module):
                # the docstring's whole lines go
                edits.append((starts[first.lineno - 1], starts[first.end_lineno], ""))
            else:   # the body becomes `...`, on the def line when the docstring was alone below it
                head = source[:span[0]].rstrip()
                edits.append((len(head), span[1], " ...") if head.endswith(":") else (*span, "..."))
        elif isinstance(node, ast.Module):
            edits.append((0, 0, literal(doc) + "\n"))
        else:
            lone = (len(body) == 1 and isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant)
                    and first.value.value is Ellipsis)
            indent = " " * (node.col_offset + 4)
            if lone:   # the body is `...`: the docstring takes its place
                start, end = offset(first.lineno, first.col_offset), offset(first.end_lineno, first.end_col_offset)
                if source[:start].rstrip(" ").endswith(":"):   # `def f(): ...` on one line
                    start = len(source[:start].rstrip(" "))
                    following = lines[first.end_lineno] if first.end_lineno < len(lines) else ""
                    edits.append((start, end, "\n" + indent + literal(source_doc(doc, node)) +
                                  ("\n" if following.strip() else "")))
                else:
                    edits.append((start, end, literal(source_doc(doc, node))))
            else:
                at = starts[first.lineno - 1]
                edits.append((at, at, indent + literal(source_doc(doc, node)) + "\n"))
    for start, end, text in sorted(edits, reverse=True):
        source = source[:start] + text + source[end:]
    return source


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="change nothing; exit 1 if a stub differs")
    args = parser.parse_args(argv)
    status = 0
    for dotted, path in stubs().items():
        found = differences(dotted, path)
        if not found:
            continue
        if args.check:
            status = 1
            for line, name, _, _ in found:
                print("%s:%d: the docstring of %s differs from the module's" % (os.path.relpath(path, ROOT), line,
                                                                                 name))
            continue
        with open(path, encoding="utf-8") as f:
            source = f.read()
        with open(path, "w", encoding="utf-8") as f:
            f.write(rewrite(source, importlib.import_module(dotted)))
        left = differences(dotted, path)
        print("%s: %d docstrings rewritten%s" % (os.path.relpath(path, ROOT), len(found),
                                                 ", %d still differ" % len(left) if left else ""))
        status = status or bool(left)
    return status


if __name__ == "__main__":
    sys.exit(main())
