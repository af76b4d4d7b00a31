"""Documentation strings as the running interpreter gives them to a `def`."""


def compiled_doc(text):
    """The __doc__ of a function whose docstring is `text`: as it is, or from 3.13
    on without its indentation, as the compiler removes it."""
    namespace = {}
    exec("def f():\n    %r\n" % text, namespace)
    return namespace["f"].__doc__
