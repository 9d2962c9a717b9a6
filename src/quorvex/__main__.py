"""Run a quorvex module's demonstration: ``python -m quorvex MODULE [ARG ...]``.

``python -m MODULE`` needs a code object, which a compiled extension module does
not have ("No code object available for ..."). This launcher loads MODULE with
``__name__`` set to "__main__" so that its demonstration block runs, with
``sys.argv`` set to the module's file followed by the arguments. Only the
modules of `DEMONSTRATIONS` have such a block; any other name is refused with
one line, since running a module without one would do nothing and report
success. Each demonstration's arguments are checked against the table before
it starts: a demonstration reads its arguments only once it is running, after
its banner, and would end a wrong one with a traceback or ignore it.
"""
import _imp
import contextlib
import importlib.util
import sys
import textwrap
import warnings
from typing import Callable, NamedTuple, Tuple, Union

USAGE = "usage: python -m quorvex MODULE [ARG ...]"
HELP = ("-h", "--help")


class Value(NamedTuple):
    """An argument that stands for a value, not a fixed word."""
    name: str
    kind: str  # what the value must be, as the messages say it
    accepts: Callable[[str], bool]


def integer_between(minimum, maximum):
    # int() itself decides what an integer is: the demonstration converts its
    # argument with int(), so the two agree on every spelling.
    def accepts(text):
        try:
            return minimum <= int(text) <= maximum
        except ValueError:
            return False
    return accepts


class Demonstration(NamedTuple):
    short: str  # the name it is shown by
    shows: str
    # What it does with each argument it accepts, one at a time: a word, a
    # Value, or None for the run without an argument, which every
    # demonstration has.
    arguments: Tuple[Tuple[Union[None, str, Value], str], ...] = ()


# A module is also found by any dotted tail of its full name.
DEMONSTRATIONS = {
    "quorvex.library.linear_solver.pelqa": Demonstration(
        "pelqa", "phase-estimation solver on a 2x2 system", (
            (None, "a table of the original mode and r = 3, 5, 8, 12"),
            ("--compare", "the original mode beside r = 5"),
            # From r = 44 the rotation of its 2x2 system (d = 10) is too small
            # to reach the ancilla, which the solver refuses.
            (Value("R", "an integer from 3 to 43", integer_between(3, 43)), "one run with r = R"))),
    "quorvex.library.linear_solver.zumra": Demonstration(
        "zumra", "discrete adiabatic solver on a random 64x64 system, against numpy.linalg.solve"),
    "quorvex.library.linear_solver.tiberq": Demonstration(
        "tiberq", "Chebyshev/LCU solver on a random 4x4 system: residual and fidelity against numpy.linalg.solve"),
    "quorvex.library.equation.examples.equation_blackScholes.algorithm": Demonstration(
        "equation_blackScholes.algorithm",
        "Black-Scholes equation of its setup.json; writes an SVG plot, circuit diagrams and OpenQASM"
        " files under results/equation/equation_blackScholes in the current directory"),
}
_SHORT_NAMES = ", ".join(demo.short for demo in DEMONSTRATIONS.values())


def _form(argument, with_kind=False):
    if argument is None:
        return "without an argument"
    if isinstance(argument, Value):
        return f"{argument.name} ({argument.kind})" if with_kind else argument.name
    return argument


def _words_and_values(demo):
    return [argument for argument, _ in demo.arguments if argument is not None]


def arguments_of(demo):
    """The usage line's arguments: "[--compare | R]", or "" for none."""
    forms = " | ".join(_form(argument) for argument in _words_and_values(demo))
    return f"[{forms}]" if forms else ""


def refusal(demo, args):
    """The sentence that refuses ``args`` for ``demo``, or None when it accepts them."""
    if not args:
        return None
    if len(args) == 1 and any(argument == args[0] or isinstance(argument, Value) and argument.accepts(args[0])
                              for argument in _words_and_values(demo)):
        return None
    # "no argument, --compare or R (an integer from 3 to 43)"
    forms = ["no argument", *(_form(argument, with_kind=True) for argument in _words_and_values(demo))]
    accepted = forms[0] if len(forms) == 1 else ", ".join(forms[:-1]) + " or " + forms[-1]
    given = repr(args[0]) if len(args) == 1 else f"the {len(args)} arguments " + " ".join(map(repr, args))
    return f"{demo.short} takes {accepted}, not {given}"


def _description(demo):
    if not demo.arguments:
        return demo.shows
    return demo.shows + ": " + "; ".join(f"{_form(argument, with_kind=True)}, {does}"
                                         for argument, does in demo.arguments)


def listing():
    lines = [USAGE, "",
             "Runs the demonstration of a compiled module, which python -m MODULE cannot run.",
             f"MODULE is the full name or a short one ({_SHORT_NAMES}).", "",
             "Modules with a demonstration:"]
    for full, demo in DEMONSTRATIONS.items():
        lines.append(f"  {full} {arguments_of(demo)}".rstrip())
        lines.extend(textwrap.wrap(_description(demo), 79, initial_indent=" " * 6, subsequent_indent=" " * 6))
    return "\n".join(lines)


def help_of(full, demo):
    lines = [f"usage: python -m quorvex {demo.short} {arguments_of(demo)}".rstrip(), ""]
    if not demo.arguments:
        lines.extend(textwrap.wrap(f"The demonstration of {full}: {demo.shows}. It takes no argument.", 79))
        return "\n".join(lines)
    lines.extend(textwrap.wrap(f"The demonstration of {full}: {demo.shows}.", 79))
    width = max(len(_form(argument)) for argument, _ in demo.arguments)
    for argument, does in demo.arguments:
        if isinstance(argument, Value):
            does = f"{does}; {argument.name} is {argument.kind}"
        lines.append(f"  {_form(argument):<{width}}  {does}")
    return "\n".join(lines)


def _find(name):
    try:
        return importlib.util.find_spec(name), None
    except ImportError as exc:
        # A parent package that is missing, or that fails to import.
        return None, str(exc)
    except ValueError:
        return None, None


def _demonstration_named(name):
    matches = [full for full in DEMONSTRATIONS if full == name or full.endswith("." + name)]
    return matches[0] if len(matches) == 1 else None


def resolve(name):
    """The spec of the demonstration ``name`` calls for, else the line that says why there is none."""
    full = _demonstration_named(name)
    if full is not None:
        spec, failure = _find(full)
        if spec is None:
            return None, failure or f"No module named {full!r}: this installation of quorvex is incomplete"
        return spec, None
    hint = f"; the modules with a demonstration are {_SHORT_NAMES} (python -m quorvex --help describes them)"
    if name.endswith(".py"):
        module = name[:-3].replace("/", ".")
        if _demonstration_named(module) is not None:
            return None, f"{name!r} is a file name: drop the .py, as in python -m quorvex {module}"
        return None, f"{name!r} is a file name: drop the .py{hint}"
    if not all(part.isidentifier() for part in name.split(".")):
        # Left to the import system, "a..b" would be reported as "No module named 'a'".
        return None, f"{name!r} is not a module name{hint}"
    spec, failure = _find(name)
    if spec is None:
        return None, (failure or f"No module named {name!r}") + hint
    if spec.submodule_search_locations is not None:
        return None, f"{name!r} is a package, not a module{hint}"
    return None, f"{name!r} has no demonstration{hint}"


@contextlib.contextmanager
def _warnings_attributed_to(filename, frame):
    """Shows a warning that names ``frame`` or one beneath it as raised at ``filename``.

    ``frame`` runs the demonstration. A compiled module runs no Python frame
    of its own, so the frame that a warning it raises names is the nearest
    Python one: ``frame`` or, by a stack level that counts on a caller's
    frame, one beneath it ("sys" past the last). Each of them waits at one
    line while the demonstration runs, so the line tells them apart from
    any frame the demonstration calls.
    """
    beneath = []
    while frame is not None:
        beneath.append(frame)
        frame = frame.f_back
    shown = warnings.showwarning

    def showwarning(message, category, at, lineno, file=None, line=None):
        if (at, lineno) == ("sys", 1) or any((at, lineno) == (f.f_code.co_filename, f.f_lineno) for f in beneath):
            # No line of a compiled module is known: its first stands for it,
            # and no source line is looked up.
            at, lineno, line = filename, 1, ""
        shown(message, category, at, lineno, file, line)

    warnings.showwarning = showwarning
    try:
        yield
    finally:
        warnings.showwarning = shown


def run_demonstration(spec, args):
    """Runs the module of ``spec`` as the main program with the arguments ``args``, unchecked."""
    sys.argv = [spec.origin or spec.name, *args]
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
        # Shown by the name its tracebacks give it.
        with _warnings_attributed_to(spec.name.replace(".", "/") + ".py", sys._getframe()):
            # What the loader's exec_module does, without importlib's frames
            # on top: a warning would name them, and be filtered as
            # importlib's rather than as __main__'s.
            _imp.exec_dynamic(module)
    else:
        with _warnings_attributed_to(code.co_filename, sys._getframe()):
            exec(code, module.__dict__)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv:
        print(listing(), file=sys.stderr)
        return 2
    if argv[0] in HELP:
        print(listing())
        return 0
    name, args = argv[0], argv[1:]
    spec, failure = resolve(name)
    if spec is None:
        print(failure, file=sys.stderr)
        return 1
    demo = DEMONSTRATIONS[spec.name]
    if any(arg in HELP for arg in args):
        print(help_of(spec.name, demo))
        return 0
    failure = refusal(demo, args)
    if failure is not None:
        print(failure, file=sys.stderr)
        return 2
    # The demonstration's own errors end the program with their traceback.
    run_demonstration(spec, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
