# The extension module `_taldo` beside this file is made by PyInit_taldo and
# is loaded here under the name "taldo", so that what it defines says it comes
# from "taldo" (functions' __module__, and so pickling by name) exactly as if
# it were the top-level module. Its public attributes, whatever they are, are
# the package's; nothing of this file's own stays behind as a name. No doc
# string: taldo.__doc__ is the extension's, the empty string.


def _load_extension():
    import importlib.machinery
    import importlib.util

    # Found through the import system rather than beside this file: an
    # editable install keeps the built file elsewhere and finds it by name.
    found = importlib.util.find_spec(__name__ + "._taldo")
    if found is None or found.origin is None:
        raise ImportError("taldo's extension module _taldo is missing from the package", name=__name__)
    loader = importlib.machinery.ExtensionFileLoader(__name__, found.origin)
    spec = importlib.util.spec_from_file_location(__name__, found.origin, loader=loader)
    extension = importlib.util.module_from_spec(spec)
    loader.exec_module(extension)
    return extension


def _export(extension, namespace):
    for name, value in vars(extension).items():
        if not name.startswith("_"):
            namespace[name] = value
    namespace["__all__"] = extension.__all__
    namespace["__version__"] = extension.__version__
    namespace["__doc__"] = extension.__doc__

    # A name the extension makes on first use (its exception class) is taken
    # from it when first asked for, and kept.
    def __getattr__(name):
        value = getattr(extension, name)
        namespace[name] = value
        return value

    def __dir__():
        return sorted(set(namespace) | set(dir(extension)))

    namespace["__getattr__"] = __getattr__
    namespace["__dir__"] = __dir__


_export(_load_extension(), globals())
del _load_extension, _export
