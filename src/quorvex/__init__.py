"""quorvex: a quantum-computing toolkit; this package holds its compiled core."""
import sys as _sys

# The compiled modules exist for CPython 3.12 only; under another Python the
# first of them to be imported would be reported as a missing module.
if _sys.version_info[:2] != (3, 12):
    raise ImportError("quorvex is built for CPython 3.12, and this is Python "
                      + ".".join(map(str, _sys.version_info[:3]))
                      + f" ({_sys.executable}): run it with a 3.12 interpreter.")
del _sys

# Before any of the package's modules can load PyTorch, which uses the
# process's shared OpenMP runtime if one is loaded: that one starts with the
# bounded spin too (the native modules run on their own copy).
from . import _openmp

_openmp.start()
