"""Run a quorvex module's demonstration: ``python -m quorvex MODULE [ARG ...]``.

``python -m MODULE`` needs a code object, which a compiled extension module does
not have ("No code object available for ..."). This launcher loads MODULE with
``__name__`` set to "__main__" so that its demonstration block runs, with
``sys.argv`` set to the module's file followed by the arguments. Only the
modules of `DEMONSTRATIONS` have such a block; any other name is refused with
one line, since running a module without one would do nothing and report
success.
"""
import importlib.util
import sys
import textwrap

USAGE = "usage: python -m quorvex MODULE [ARG ...]"

# Full name: (the name shown for it, its arguments, what it shows). A module
# is also found by any dotted tail of its full name.
DEMONSTRATIONS = {
    "quorvex.library.linear_solver.pelqa": (
        "pelqa", "[--compare | R]",
        "phase-estimation solver on a 2x2 system: without an argument, a table of the original mode"
        " and r = 3, 5, 8, 12; --compare, the original mode beside r = 5; R, one run with r = R"),
    "quorvex.library.linear_solver.zumra": (
        "zumra", "", "discrete adiabatic solver on a random 64x64 system, against numpy.linalg.solve"),
    "quorvex.library.linear_solver.tiberq": (
        "tiberq", "", "Chebyshev/LCU solver on a random 4x4 system: residual and fidelity against"
                      " numpy.linalg.solve"),
    "quorvex.library.equation.examples.equation_blackScholes.algorithm": (
        "equation_blackScholes.algorithm", "",
        "Black-Scholes equation of its setup.json; writes an SVG plot, circuit diagrams and OpenQASM"
        " files under results/equation/equation_blackScholes in the current directory"),
}
_SHORT_NAMES = ", ".join(short for short, _, _ in DEMONSTRATIONS.values())


def listing():
    lines = [USAGE, "",
             "Runs the demonstration of a compiled module, which python -m MODULE cannot run.",
             f"MODULE is the full name or a short one ({_SHORT_NAMES}).", "",
             "Modules with a demonstration:"]
    for full, (_, arguments, shows) in DEMONSTRATIONS.items():
        lines.append(f"  {full} {arguments}".rstrip())
        lines.extend(textwrap.wrap(shows, 79, initial_indent=" " * 6, subsequent_indent=" " * 6))
    return "\n".join(lines)


def _find(name):
    try:
        return importlib.util.find_spec(name), None
    except ImportError as exc:
        # A parent package that is missing, or that fails to import.
        return None, str(exc)
    except ValueError:
        return None, None


def resolve(name):
    """The spec of the demonstration ``name`` calls for, else the line that says why there is none."""
    matches = [full for full in DEMONSTRATIONS if full == name or full.endswith("." + name)]
    if len(matches) == 1:
        spec, failure = _find(matches[0])
        if spec is None:
            return None, failure or f"No module named {matches[0]!r}: this installation of quorvex is incomplete"
        return spec, None
    hint = f"; the modules with a demonstration are {_SHORT_NAMES} (python -m quorvex --help describes them)"
    spec, failure = _find(name)
    if spec is None:
        return None, (failure or f"No module named {name!r}") + hint
    if spec.submodule_search_locations is not None:
        return None, f"{name!r} is a package, not a module{hint}"
    return None, f"{name!r} has no demonstration{hint}"


def _run(spec):
    module = importlib.util.module_from_spec(spec)
    # The module body reads __name__ as it runs, so the name must be set
    # before execution; it is registered under its real name so that its
    # own relative imports and pickling keep working.
    module.__name__ = "__main__"
    sys.modules[spec.name] = module
    # A source module (the uncompiled tree) is run from its code, since its
    # loader refuses a module renamed "__main__"; a compiled one has no code.
    code = spec.loader.get_code(spec.name)
    if code is None:
        spec.loader.exec_module(module)
    else:
        exec(code, module.__dict__)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv:
        print(listing(), file=sys.stderr)
        return 2
    if argv[0] in ("-h", "--help"):
        print(listing())
        return 0
    name, args = argv[0], argv[1:]
    spec, refusal = resolve(name)
    if spec is None:
        print(refusal, file=sys.stderr)
        return 1
    sys.argv = [spec.origin or spec.name, *args]
    # The demonstration's own errors end the program with their traceback.
    _run(spec)
    return 0


if __name__ == "__main__":
    sys.exit(main())
