"""Run a quorvex module as the main program: ``python -m quorvex MODULE [ARG ...]``.

``python -m MODULE`` needs a code object, which a compiled extension module does
not have ("No code object available for ..."). This launcher loads MODULE with
``__name__`` set to "__main__" so that its demonstration block runs, with
``sys.argv`` set to the module's file followed by the arguments.
"""
import importlib.machinery
import importlib.util
import runpy
import sys

USAGE = "usage: python -m quorvex MODULE [ARG ...]"


def _run_extension(spec):
    module = importlib.util.module_from_spec(spec)
    # The module body reads __name__ as it runs, so the name must be set
    # before execution; it is registered under its real name so that its
    # own relative imports and pickling keep working.
    module.__name__ = "__main__"
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv:
        print(USAGE, file=sys.stderr)
        return 2
    name, args = argv[0], argv[1:]
    try:
        spec = importlib.util.find_spec(name)
    except (ImportError, ValueError):
        spec = None
    if spec is None:
        print(f"No module named {name!r}", file=sys.stderr)
        return 1
    sys.argv = [spec.origin or name, *args]
    if isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
        _run_extension(spec)
    else:
        runpy.run_module(name, run_name="__main__", alter_sys=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
