"""The README's Python examples run as they stand and print what it shows."""
import contextlib
import io
import re
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
