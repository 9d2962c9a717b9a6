"""The README's Python examples run as they stand and print what it shows."""
import contextlib
import io
import re
import shlex
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)


def examples():
    """(line, code, printed): each python block, with the text block right after it, if any."""
    text = README.read_text()
    blocks = [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 1, m.start(), m.end())
              for m in FENCE.finditer(text)]
    found = []
    for i, (kind, body, line, _, end) in enumerate(blocks):
        if kind != "python":
            continue
        following = blocks[i + 1] if i + 1 < len(blocks) else None
        printed = following[1] if following and following[0] == "text" and \
            text[end:following[3]].strip() == "" else None
        found.append(pytest.param(body, printed, id=f"README.md:{line}"))
    return found


@pytest.mark.parametrize("code, printed", examples())
def test_example_runs(code, printed):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README.md", "exec"), {"__name__": "__readme__"})
    if printed is not None:
        assert out.getvalue() == printed


def test_circuit_gate_methods_are_the_listed_ones():
    # The limits say which gates have no method; a new method must show in the list.
    from quorvex.core import Circuit

    text = README.read_text()
    table = text[text.index("`Circuit`'s gate methods"):text.index("Any other gate")]
    listed = set(re.findall(r"`(\w+)\(", table))
    not_gates = {"copy", "dagger", "decompose", "execute", "compile", "get_num_qubits"}
    methods = {name for name in vars(Circuit) if not name.startswith("_") and callable(getattr(Circuit, name))}
    assert listed == methods - not_gates


def shell_commands():
    return [line for kind, body in FENCE.findall(README.read_text()) if kind == "sh"
            for line in body.splitlines() if line.strip()]


def test_shell_commands_work_in_a_fresh_clone():
    # There, only dev.sh has the package: a bare `python -m quorvex ...` fails
    # with "No module named quorvex".
    commands = shell_commands()
    assert commands and all(command.startswith("bash dev.sh ") for command in commands)


def test_demonstration_commands_name_a_demonstration_and_arguments_it_accepts():
    import quorvex.__main__ as launcher

    prefix = ["bash", "dev.sh", "python", "-m", "quorvex"]
    launches = [words[len(prefix):] for words in (shlex.split(command, comments=True) for command in shell_commands())
                if words[:len(prefix)] == prefix]
    assert len(launches) == len(launcher.DEMONSTRATIONS)
    for name, *args in launches:
        spec, failure = launcher.resolve(name)
        assert failure is None
        assert launcher.refusal(launcher.DEMONSTRATIONS[spec.name], args) is None
