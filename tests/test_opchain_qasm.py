"""OpenQASM entry points of Opchain and the converters behind them."""
import importlib.util
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quorvex.backend.qasm.qasm as qasm3
import quorvex.backend.qasm.qasm2 as qasm2
from quorvex.backend.gate.morlith import QuantumGate as Q
from quorvex.backend.opchain.opchain import Opchain

_spec = importlib.util.spec_from_file_location(
    "_opchain_simulator", Path(__file__).with_name("test_opchain_transforms.py"))
_simulator = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_simulator)
unitary = _simulator.unitary


def _run_fresh(code):
    # a new interpreter, so that nothing is imported yet
    return subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          env=dict(os.environ))


# ---------------------------------------------------------------------------
# Entry points: calling convention, lazy imports, argument and result tests
# ---------------------------------------------------------------------------

def test_converters_are_imported_only_when_called():
    result = _run_fresh(
        "import sys\n"
        "from quorvex.backend.opchain.opchain import Opchain\n"
        "names = ('quorvex.backend.qasm.qasm', 'quorvex.backend.qasm.qasm2')\n"
        "assert not any(n in sys.modules for n in names)\n"
        "Opchain(1).to_openqasm2()\n"
        "assert names[1] in sys.modules\n")
    assert result.returncode == 0, result.stderr


def test_entry_points_fail_only_at_call_time_without_converters():
    result = _run_fresh(
        "import sys\n"
        "class Block:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.startswith('quorvex.backend.qasm.'):\n"
        "            raise ModuleNotFoundError(name)\n"
        "sys.meta_path.insert(0, Block())\n"
        "from quorvex.backend.opchain.opchain import Opchain\n"
        "seq = Opchain(1)\n"
        "seq.add_gate(seq.gateCreator('h', 0))\n"
        "for call in (seq.to_openqasm, seq.to_openqasm2, lambda: Opchain.from_openqasm('')):\n"
        "    try:\n"
        "        call()\n"
        "    except ImportError:\n"
        "        pass\n"
        "    else:\n"
        "        raise SystemExit('no import error')\n")
    assert result.returncode == 0, result.stderr


@pytest.fixture
def recorders(monkeypatch):
    calls = []

    def fake(name, result):
        def converter(*args, **kwargs):
            calls.append((name, args, kwargs))
            return result
        return converter

    monkeypatch.setattr(qasm3, "gate_sequence_to_qasm", fake("to3", "text3"))
    monkeypatch.setattr(qasm2, "gate_sequence_to_qasm2", fake("to2", "text2"))
    sentinel = object()
    monkeypatch.setattr(qasm3, "gate_sequence_from_qasm", fake("from", sentinel))
    return calls, sentinel


def test_default_register_names_and_delegation(recorders):
    calls, sentinel = recorders
    seq = Opchain(2)
    assert seq.to_openqasm() == "text3"
    assert seq.to_openqasm2() == "text2"
    assert seq.to_openqasm("r") == "text3"
    assert seq.to_openqasm2("r", creg_name="m") == "text2"
    assert calls == [("to3", (seq,), {"qreg_name": "q"}),
                     ("to2", (seq,), {"qreg_name": "q", "creg_name": "c"}),
                     ("to3", (seq,), {"qreg_name": "r"}),
                     ("to2", (seq,), {"qreg_name": "r", "creg_name": "m"})]

    class Sub(Opchain):
        pass

    calls.clear()
    assert Sub.from_openqasm("OPENQASM 3.0;") is sentinel
    assert Sub(1).from_openqasm("x") is sentinel
    assert calls == [("from", ("OPENQASM 3.0;",), {}), ("from", ("x",), {})]


@pytest.mark.parametrize("call, message", [
    (lambda s: s.to_openqasm(None), "Argument 'qreg_name' has incorrect type (expected str, got NoneType)"),
    (lambda s: s.to_openqasm(1), "Argument 'qreg_name' has incorrect type (expected str, got int)"),
    (lambda s: s.to_openqasm2("q", None), "Argument 'creg_name' has incorrect type (expected str, got NoneType)"),
    (lambda s: Opchain.from_openqasm(b"OPENQASM 2.0;"),
     "Argument 'qasm_code' has incorrect type (expected str, got bytes)"),
    (lambda s: s.to_openqasm("q", "c"), "to_openqasm() takes at most 2 positional arguments (3 given)"),
    (lambda s: s.to_openqasm2("q", "c", "d"), "to_openqasm2() takes at most 3 positional arguments (4 given)"),
    (lambda s: Opchain.from_openqasm(), "from_openqasm() takes exactly 2 positional arguments (1 given)"),
])
def test_argument_errors_come_before_the_converter(recorders, call, message):
    calls, _ = recorders
    with pytest.raises(TypeError) as info:
        call(Opchain(1))
    assert str(info.value) == message
    assert calls == []


def test_exporter_results_are_type_checked(monkeypatch):
    monkeypatch.setattr(qasm3, "gate_sequence_to_qasm", lambda seq, qreg_name: 3)
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        Opchain(1).to_openqasm()
    monkeypatch.setattr(qasm3, "gate_sequence_to_qasm", lambda seq, qreg_name: None)
    assert Opchain(1).to_openqasm() is None


def test_missing_converter_function(monkeypatch):
    monkeypatch.delattr(qasm2, "gate_sequence_to_qasm2")
    with pytest.raises(ImportError, match="^cannot import name gate_sequence_to_qasm2$"):
        Opchain(1).to_openqasm2()


# ---------------------------------------------------------------------------
# The converters themselves
# ---------------------------------------------------------------------------

def _standard_sequence(extended=False):
    seq = Opchain(4)
    seq.addMultiTargetGate("h", [0, 1])
    for gate_id in ("x", "y", "z", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrtx_dag", "sqrty",
                    "sqrty_dag", "x2p", "x2m", "y2p", "y2m", "i"):
        seq.add_gate(Q(gate_id, 2))
    seq.add_gate(Q("rx", 0, parameter=0.25))
    seq.add_gate(Q("ry", 1, parameter=-1e-7))
    seq.add_gate(Q("rz", 2, parameter=3.0))
    seq.add_gate(Q("p", 3, parameter=0.5))
    seq.add_gate(Q("u", 3, parameter=(0.1, 0.2, 0.3)))
    seq.add_gate(Q("cx", 1, control=0))
    seq.add_gate(Q("cx", 1, control=0, control_state=0))
    seq.add_gate(Q("crz", 2, control=3, parameter=0.7))
    seq.add_gate(Q("cs", 2, control=3))
    seq.add_gate(Q("mcx", 3, control=[0, 1, 2], control_state=[1, 0, 1]))
    seq.add_gate(Q("swap", [0, 3]))
    seq.add_gate(Q("swap", [1, 2], control=0))
    seq.add_gate(Q("rzz", [0, 2], parameter=0.3))
    seq.add_gate(Q("gp", 1, parameter=0.6))
    seq.add_gate(Q("u", 2, control=1, parameter=(0.4, 0.5, 0.6)))
    if extended:  # beyond what qelib1.inc can express
        seq.add_gate(Q("mcp", 0, control=[1, 2], parameter=0.4))
        seq.add_gate(Q("sqrtx_dag", 2, control=3))
        seq.add_gate(Q("sqrty", 2, control=3, control_state=0))
        seq.add_gate(Q("gp", (), control=[0, 2], parameter=-0.2))
    return seq


def test_qasm3_round_trip_preserves_gates():
    seq = _standard_sequence(extended=True)
    seq.add_gate(Q("barrier", [0, 1]))
    seq.measure([0], [1])
    seq.measure([3], [0])
    text = seq.to_openqasm()
    assert text.startswith('OPENQASM 3.0;\ninclude "stdgates.inc";\n')
    assert "qubit[4] q;" in text and "bit[2] c;" in text
    back = Opchain.from_openqasm(text)
    assert back._num_qubits == 4
    assert back.data() == seq.data()


def test_qasm2_export_imports_to_the_same_unitary():
    seq = _standard_sequence()
    text = seq.to_openqasm2("qr", "cr")
    assert text.startswith('OPENQASM 2.0;\ninclude "qelib1.inc";\n') and "qreg qr[4];" in text
    back = Opchain.from_openqasm(text)
    u, v = unitary(seq), unitary(back)
    # OpenQASM 2.0 has no global phase: compare up to one
    row, col = np.unravel_index(np.argmax(abs(u)), u.shape)
    phase = v[row, col] / u[row, col]
    assert abs(abs(phase) - 1) < 1e-12
    np.testing.assert_allclose(v, phase * u, atol=1e-10)


def test_blocks_are_expanded_on_export():
    inner = Opchain(2, "Inner")
    inner.add_gate(Q("h", 0))
    inner.measure([1], [0])
    seq = Opchain(3)
    seq.append(inner, [2, 0])
    back = Opchain.from_openqasm(seq.to_openqasm())
    assert back.data() == seq.decompose().data()
    assert "measure q[0] -> c[0];" in seq.to_openqasm2()


@pytest.mark.parametrize("gate", [
    Q("unitary", 0, matrix=np.eye(2)), Q("custom", 0), Q("measure", 0, control=1, classical_target=[0]),
    Q("x", 5),
])
def test_gates_without_a_faithful_form_are_refused(gate):
    seq = Opchain(2)
    seq.add_gate(gate)
    with pytest.raises(ValueError):
        seq.to_openqasm()
    with pytest.raises(ValueError):
        seq.to_openqasm2()


def test_qasm2_refuses_controls_it_cannot_express_and_bad_register_names():
    seq = Opchain(3)
    seq.add_gate(Q("h", 2, control=[0, 1]))
    with pytest.raises(ValueError):
        seq.to_openqasm2()
    with pytest.raises(ValueError):
        Opchain(1).to_openqasm2("q", "q")
    with pytest.raises(ValueError):
        Opchain(1).to_openqasm("1q")


def test_reads_openqasm2_programs():
    text = """OPENQASM 2.0;
    include "qelib1.inc";   // standard gates
    gate bell a, b { h a; cx a, b; }
    gate twist(theta) a { rz(theta/2) a; u2(0, pi) a; }
    qreg a[2];
    qreg b[1];
    creg m[3];
    /* broadcast over a register */
    h a;
    bell a[1], b[0];
    twist(-pi^2) b[0];
    measure a -> m[0:1] ;
    """
    with pytest.raises(ValueError):
        Opchain.from_openqasm(text)  # register slices are not OpenQASM 2.0
    seq = Opchain.from_openqasm(text.replace("m[0:1]", "m") .replace("creg m[3]", "creg m[2]"))
    assert seq._num_qubits == 3
    ids = [(g.id, g.target, g.control) for g in seq.data()]
    assert ids[:4] == [("h", (0,), ()), ("h", (1,), ()), ("h", (1,), ()), ("cx", (2,), (1,))]
    assert seq.data()[4] == Q("rz", 2, parameter=-math.pi ** 2 / 2)
    assert seq.data()[5] == Q("u", 2, parameter=(math.pi / 2, 0.0, math.pi))
    assert seq.data()[6] == Q("measure", [0, 1], classical_target=[0, 1], name="measure")


def test_reads_openqasm3_modifiers_and_declarations():
    text = """OPENQASM 3;
    include "stdgates.inc";
    qubit[3] q;
    qubit anc;
    bit[2] c;
    bit flag;
    ctrl(2) @ x q[0], q[1], q[2];
    negctrl @ ctrl @ rx(pi/4) anc, q[0], q[1];
    inv @ s q[2];
    inv @ U(0.1, 0.2, 0.3) q[0];
    ctrl @ gphase(0.5) q[1];
    flag = measure anc;
    c[1] = measure q[2];
    """
    seq = Opchain.from_openqasm(text)
    assert seq._num_qubits == 4
    assert seq.data() == [
        Q("mcx", 2, control=[0, 1]),
        Q("mcrx", 1, control=[3, 0], control_state=[0, 1], parameter=math.pi / 4),
        Q("s_dag", 2),
        Q("u", 0, parameter=(-0.1, -0.3, -0.2)),
        Q("gp", [], control=1, parameter=0.5),
        Q("measure", 3, classical_target=[2], name="measure"),
        Q("measure", 2, classical_target=[1], name="measure"),
    ]


@pytest.mark.parametrize("text", [
    "",
    "qreg q[1];",
    "OPENQASM 4.0;",
    "OPENQASM 2.0; qreg q[1]; foo q[0];",
    "OPENQASM 2.0; qreg q[1]; h r[0];",
    "OPENQASM 2.0; qreg q[1]; h q[1];",
    "OPENQASM 2.0; qreg q[1]; rx q[0];",
    "OPENQASM 2.0; qreg q[1]; rx(__import__) q[0];",
    "OPENQASM 3.0; qubit[1] q; bit c; if (c) x q[0];",
    "OPENQASM 3.0; qubit[1] q; reset q[0];",
    "OPENQASM 2.0; qreg q[1]; h q[0]",
])
def test_unreadable_programs_raise_value_error(text):
    with pytest.raises(ValueError):
        Opchain.from_openqasm(text)


@pytest.mark.parametrize("expression, fault", [
    ("1/0", "has no finite real value"),
    ("10^400", "has no finite real value"),
    ("2^2^2^2^2", "has no finite real value"),
    ("0^-1", "has no finite real value"),
    ("(-8)^(1/3)", "has no finite real value"),
    ("sqrt(-1)", "has no finite real value"),
    ("ln(0)", "has no finite real value"),
    ("exp(1000)", "has no finite real value"),
    ("1" + "0" * 400, "has no finite real value"),
    ("1e400", "has no finite real value"),
    ("1e300*1e300 - 1e300*1e300", "has no finite real value"),
    ("-" * 5000 + "1", "is nested too deeply"),
    ("-" * 100_000 + "1", "is nested too deeply"),
    ("+".join(["1"] * 5000), "is nested too deeply"),
])
@pytest.mark.parametrize("program", [
    "OPENQASM 2.0; qreg q[2]; rx({}) q[0];",
    "OPENQASM 2.0; gate g(a) b {{ rx(a) b; }} qreg q[2]; g({}) q[0];",
    "OPENQASM 2.0; gate g(a) b {{ rx({}) b; }} qreg q[2]; g(0) q[0];",
    "OPENQASM 3.0; qubit[2] q; ctrl({}) @ x q[0], q[1];",
])
def test_angle_expressions_without_a_value_are_value_errors(expression, fault, program):
    with pytest.raises(ValueError) as info:
        Opchain.from_openqasm(program.format(expression))
    assert str(info.value) == "OpenQASM expression " + repr(expression) + " " + fault + "."


@pytest.mark.parametrize("modifier, message", [
    ("ctrl(-1)", "OpenQASM modifier ctrl(-1) is not a whole number of at least 1."),
    ("ctrl(0)", "OpenQASM modifier ctrl(0) is not a whole number of at least 1."),
    ("negctrl(0)", "OpenQASM modifier negctrl(0) is not a whole number of at least 1."),
    ("ctrl(1.5)", "OpenQASM modifier ctrl(1.5) is not a whole number of at least 1."),
    ("ctrl(0.5+0.5)", "OpenQASM modifier ctrl(0.5+0.5) is not a whole number of at least 1."),
    ("negctrl(1+1e-17)", "OpenQASM modifier negctrl(1+1e-17) is not a whole number of at least 1."),
    ("ctrl(3/2)", "OpenQASM modifier ctrl(3/2) is not a whole number of at least 1."),
    ("ctrl(2^-1)", "OpenQASM modifier ctrl(2^-1) is not a whole number of at least 1."),
    ("ctrl(pi)", "OpenQASM modifier ctrl(pi) is not a whole number of at least 1."),
    ("ctrl(2)", "Wrong operands for OpenQASM gate x."),
    ("ctrl(2^1000)", "Wrong operands for OpenQASM gate x."),
    ("negctrl(" + "9" * 30 + "*" + "9" * 30 + "-1)", "Wrong operands for OpenQASM gate x."),
    ("inv(2)", "The inv modifier takes no argument, got inv(2)."),
    ("pow(2)", "The pow modifier is not supported."),
])
def test_modifier_counts_are_whole_numbers_of_operands(modifier, message):
    with pytest.raises(ValueError) as info:
        Opchain.from_openqasm("OPENQASM 3.0; qubit[2] q; " + modifier + " @ x q[0], q[1];")
    assert str(info.value) == message
    for count in ("1", "+1", "2-1", "4/2-1", "2^0", "3*2-5", "(1)", "((2))-1", "(-1)^2"):
        for word, state in (("ctrl", 1), ("negctrl", 0)):
            seq = Opchain.from_openqasm("OPENQASM 3.0; qubit[2] q; " + word + "(" + count + ") @ x q[0], q[1];")
            assert seq.data() == [Q("cx", 1, control=0, control_state=state)]


@pytest.mark.parametrize("text, message", [
    ("rx(1;2) q[0];", "OpenQASM statement 'rx(1' ends before its parenthesis is closed."),
    ("rx(1)) q[0];", "OpenQASM statement 'rx(1)) q[0]' closes a parenthesis it did not open."),
    ("ctrl((2) @ x q[0], q[1];", "OpenQASM statement 'ctrl((2) @ x q[0], q[1]' ends before its parenthesis is closed."),
    ("gate g a { rz(pi;2) a; } g q[0];", "OpenQASM statement 'rz(pi' ends before its parenthesis is closed."),
])
def test_unpaired_parentheses_are_named_as_such(text, message):
    with pytest.raises(ValueError) as info:
        Opchain.from_openqasm("OPENQASM 3.0; qubit[2] q; " + text)
    assert str(info.value) == message


@pytest.mark.parametrize("text, angle", [
    # full-width letters are names of their own, never their ASCII look-alikes
    ("gate g(ａ, a) b { rx(ａ) b; } g(0.25, 0.75) q[0];", 0.25),
    ("gate g(a, ａ) b { rx(ａ) b; } g(0.25, 0.75) q[0];", 0.75),
    ("gate g(ａ, a) b { rx(π * (\n a - ａ)) b; } g(0.25, 0.75) q[0];", math.pi / 2),
    ("rx(ℇ) q[0];", math.e),
    ("rx(τ / 4) q[0];", math.pi / 2),
])
def test_names_are_read_as_written(text, angle):
    seq = Opchain.from_openqasm("OPENQASM 3.0; qubit[1] q; " + text)
    assert seq.data() == [Q("rx", 0, parameter=angle)]


@pytest.mark.parametrize("expression", ["ｐｉ", "ｓｉｎ(1)", "ｔａｕ"])
def test_look_alikes_of_known_names_are_unknown(expression):
    with pytest.raises(ValueError) as info:
        Opchain.from_openqasm("OPENQASM 3.0; qubit[1] q; rx(" + expression + ") q[0];")
    assert str(info.value) == "Unsupported OpenQASM expression " + repr(expression) + "."


@pytest.mark.parametrize("definitions, call, message", [
    ("gate g a { g a; }", "g q[0];", "OpenQASM gate 'g' calls itself: g -> g."),
    ("gate g a { inv @ g a; }", "g q[0];", "OpenQASM gate 'g' calls itself: g -> g."),
    ("gate g a, b { h a; ctrl @ g a, b; }", "g q[0], q[1];", "OpenQASM gate 'g' calls itself: g -> g."),
    ("gate f a { h a; } gate g a { f a; } gate f a { g a; }", "g q[0];", "OpenQASM gate 'g' calls itself: g -> f -> g."),
])
def test_gates_that_call_themselves_are_refused_by_name(definitions, call, message):
    with pytest.raises(ValueError) as info:
        Opchain.from_openqasm("OPENQASM 3.0; qubit[2] q; " + definitions + " " + call)
    assert str(info.value) == message


def _doubling(levels):
    """Definitions each calling the one below twice: 2**levels gates from a few bytes a level."""
    return ("OPENQASM 2.0; qreg q[1]; gate g0 a { x a; } "
            + " ".join("gate g%d a { g%d a; g%d a; }" % (i, i - 1, i - 1) for i in range(1, levels + 1))
            + " g%d q[0];" % levels)


def test_definitions_are_expanded_to_any_depth_and_counted_before():
    depth = 1000
    chain = ["OPENQASM 2.0; qreg q[2]; gate g0(t) a, b { rx(t) a; cx a, b; }"]
    # each level swaps its qubits
    chain += ["gate g%d(t) a, b { g%d(t) b, a; }" % (i, i - 1) for i in range(1, depth + 1)]
    seq = Opchain.from_openqasm("\n".join(chain + ["g%d(0.5) q[0], q[1];" % depth]))
    assert seq.data() == [Q("rx", 0, parameter=0.5), Q("cx", 1, control=0)]
    assert len(Opchain.from_openqasm(_doubling(10)).data()) == 2**10
    with pytest.raises(MemoryError, match=r"^Expanding OpenQASM gate 'g60' would make " + str(2**60) + " gates, "):
        Opchain.from_openqasm(_doubling(60))


def test_counting_reads_each_definition_once_however_the_calls_interleave(monkeypatch):
    # A chain of definitions, each called as soon as it is defined: a count
    # made afresh at every call would read the chain again, n**2 / 2 bodies.
    depth = 300
    lines = ["OPENQASM 3.0; qubit[1] q; gate g0 a { x a; }"]
    for i in range(1, depth + 1):
        lines.append("gate g%d a { g%d a; } g%d q[0];" % (i, i - 1, i))
    read = []
    body, count = qasm3._Program._body, qasm3._Program._gate_count

    def counting(self, name):
        read.append(0)
        try:
            return count(self, name)
        finally:
            read.pop()

    def reading(self, name):
        if read:
            read[-1] += 1
            reads.append(name)
        return body(self, name)

    reads = []
    monkeypatch.setattr(qasm3._Program, "_gate_count", counting)
    monkeypatch.setattr(qasm3._Program, "_body", reading)
    assert len(Opchain.from_openqasm("\n".join(lines)).data()) == depth
    assert len(reads) <= 2 * depth


def test_a_count_follows_a_definition_it_met_changing():
    program = qasm3._parse("OPENQASM 3.0; qubit[1] q; gate f a { g a; g a; } gate g a { x a; } f q[0]; "
                           "gate g a { x a; x a; x a; } f q[0];")
    assert len(program.ops) == 2 + 6
    assert program._gate_count("f") == 6
    # a name met undefined (counted as one gate) and defined later
    program = qasm3._parse("OPENQASM 3.0; qubit[1] q; gate f a { h a; } f q[0];")
    program.define("gate e a { g a; g a; }")
    assert program._gate_count("e") == 2
    program.define("gate g a { x a; x a; }")
    assert program._gate_count("e") == 4


@pytest.mark.parametrize("text", [
    "qubit[２] q; x q[1];",          # fullwidth digits are not OpenQASM's digits
    "qubit[2] q; x q[１];",
    "qreg q[２]; x q[1];",
    "qubit[2] q; bit[2] c; c[１] = measure q[0];",
    "qubit[2] q; bit[２] c; measure q[0] -> c[1];",
    "qubit[2] q; x q[\u0661];",      # ARABIC-INDIC DIGIT ONE
])
def test_digits_are_read_as_written(text):
    with pytest.raises(ValueError):
        Opchain.from_openqasm("OPENQASM 3.0; " + text)


def test_export_and_unrolling_walk_any_nesting_in_order():
    depth = 5000
    gate = Q("block", [0, 1], block_gate_sequence=(Q("h", 0), Q("x", 1)))
    for _ in range(depth):
        # each level swaps the qubits and adds a gate after its block
        gate = Q("block", [1, 0], block_gate_sequence=(gate, Q("z", 0)))
    seq = Opchain(2)
    seq.add_gate(gate)
    seq.add_gate(Q("s", 1))
    swapped = depth % 2
    flat = Opchain(2)
    flat.add_gate(Q("h", swapped))
    flat.add_gate(Q("x", 1 - swapped))
    for level in range(1, depth + 1):
        flat.add_gate(Q("z", (depth - level + 1) % 2))
    flat.add_gate(Q("s", 1))
    assert seq.to_openqasm() == flat.to_openqasm()
    assert seq.to_openqasm2() == flat.to_openqasm2()
    from quorvex.qcompiler import circuit_io
    assert circuit_io.gates_to_qcis(seq.data(), 2) == circuit_io.gates_to_qcis(flat.data(), 2)


def test_exporters_work_through_the_sequence_interface_alone():
    class View:
        """Read-only, index-only view, like the packed sequence's data proxy."""

        def __init__(self, gates):
            self._gates = gates

        def __getitem__(self, index):
            return self._gates[index]

    class Duck:
        _num_qubits = 2

        def data(self):
            return View([Q("h", 0), Q("block", [1, 0], block_gate_sequence=(Q("cx", 1, control=0),)),
                         Q("measure", [1], classical_target=[0])])

        def get_name(self):
            return "Duck"

    reference = Opchain(2)
    reference.add_gate(Q("h", 0))
    reference.add_gate(Q("cx", 0, control=1))
    reference.measure([1], [0])
    assert qasm3.gate_sequence_to_qasm(Duck(), qreg_name="q") == reference.to_openqasm()
    assert qasm2.gate_sequence_to_qasm2(Duck(), qreg_name="q", creg_name="c") == reference.to_openqasm2()


# ---------------------------------------------------------------------------
# Import: the program's size counted whole, statements split in one pass
# ---------------------------------------------------------------------------

@pytest.fixture
def little_memory(monkeypatch):
    """64 MiB left to allocate, and no gate of a program expanded before it is counted whole."""
    import quorvex.backend.expansion as expansion

    def expanded(*args):
        raise AssertionError("a gate was expanded before the program was counted")

    monkeypatch.setattr(expansion, "available_memory", lambda: 64 << 20)
    monkeypatch.setattr(qasm3._Program, "_expand", expanded)


@pytest.mark.parametrize("program, message", [
    # each line alone fits (16,384 gates), the forty together do not
    (_doubling(14) + "\ng14 q[0];" * 39,
     "Reading the OpenQASM program would make 655360 gates, at least 335544320 bytes, more than the 67108864 "),
    ("OPENQASM 3.0; qubit[1000000] q; barrier q;",
     "Reading the OpenQASM program (1000000 qubits in its barriers and measurements) would make 1 gate, "
     "at least 192000512 bytes, "),
    ("OPENQASM 3.0; qubit[1000000] q; bit[1000000] c; c = measure q;",
     "Reading the OpenQASM program (1000000 qubits in its barriers and measurements) would make 1 gate, "),
    ("OPENQASM 2.0; qreg q[500000]; creg c[500000]; barrier q; measure q -> c;",
     "Reading the OpenQASM program (1000000 qubits in its barriers and measurements) would make 2 gates, "),
    ("OPENQASM 3.0; qubit[1000000] q; x q;", "Expanding OpenQASM gate 'x' would make 1000000 gates, "),
    # registers past sys.maxsize, which len() of their qubits cannot count
    ("OPENQASM 3.0; qubit[%d] q; x q;" % 10**20, "Expanding OpenQASM gate 'x' would make %d gates, " % 10**20),
    ("OPENQASM 3.0; qubit[%d] q; barrier q;" % 10**20,
     "Reading the OpenQASM program (%d qubits in its barriers and measurements) would make 1 gate, " % 10**20),
    ("OPENQASM 3.0; qubit[%d] q; bit[%d] c; c = measure q;" % (10**20, 10**20),
     "Reading the OpenQASM program (%d qubits in its barriers and measurements) would make 1 gate, " % 10**20),
])
def test_a_program_that_cannot_fit_is_refused_before_any_of_it_is_made(little_memory, program, message):
    with pytest.raises(MemoryError) as info:
        Opchain.from_openqasm(program)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("program", [
    "OPENQASM 3.0; qubit[%d] q; qubit[%d] r; cx q, r;" % (10**20, 10**20 + 1),
    "OPENQASM 3.0; qubit[%d] q; bit[%d] c; c = measure q;" % (10**20, 10**20 + 1),
])
def test_registers_past_sys_maxsize_of_different_sizes_are_told_apart(program):
    with pytest.raises(ValueError, match="of different sizes"):
        Opchain.from_openqasm(program)


def _shared_block_sequence(levels):
    gate = Q("x", 0)
    for _ in range(levels):
        gate = Q("block", (0,), block_gate_sequence=(gate, gate))
    sequence = Opchain(1)
    sequence.add_gate(gate)
    return sequence


@pytest.mark.parametrize("convert", [
    lambda: Opchain.from_openqasm(_doubling(15000)),
    lambda: _shared_block_sequence(15000).to_openqasm(),
], ids=["import", "export"])
def test_a_count_with_more_digits_than_str_writes_is_named_by_its_power_of_two(little_memory, convert):
    # 2**15000 has 4,516 digits, past what str() of an int writes
    with pytest.raises(MemoryError) as info:
        convert()
    assert " would make 2**15000 or more gates, at least 2**15009 bytes, more than the 67108864 " in str(info.value)


_BOUNDED = """
import resource, sys
from quorvex.backend.opchain.opchain import Opchain
with open("/proc/self/status") as status:
    mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (mapped + (1 << 30), resource.RLIM_INFINITY))
try:
    Opchain.from_openqasm(sys.argv[1])
except MemoryError as exc:
    print("MemoryError:", exc)
"""


@pytest.mark.parametrize("program, message", [
    ("qubit[300000000] q; x q;", "MemoryError: Expanding OpenQASM gate 'x' would make 300000000 gates, "),
    ("qubit[300000000] q; barrier q;", "MemoryError: Reading the OpenQASM program (300000000 qubits in its "),
    ("qubit[300000000] q; bit[300000000] c; c = measure q;",
     "MemoryError: Reading the OpenQASM program (300000000 qubits in its "),
])
def test_a_register_of_any_size_is_counted_before_its_qubits_are_listed(program, message):
    # 1 GiB of address space: listing the register's qubits first runs out of it
    result = subprocess.run([sys.executable, "-P", "-c", _BOUNDED, "OPENQASM 3.0; " + program],
                            capture_output=True, text=True, env=dict(os.environ), timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(message), result.stdout


def test_statements_are_split_in_one_pass():
    # 640,000 statements (10 MB): scanning ahead to the text's end at each
    # statement took minutes
    code = ("import quorvex.backend.qasm.qasm as q\n"
            "text = 'OPENQASM 3.0; qubit[4] q;\\n' + 'rz(0.125) q[1];\\n' * 640000\n"
            "print(sum(1 for _ in q._statements(text)))\n")
    result = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                            env=dict(os.environ), timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["640002"]


@pytest.mark.parametrize("text, statements", [
    ("a; b;", ["a", "b"]),
    ("a /* ; { */ b; // c; }\n d;", ["a   b", "d"]),
    ("a; // no newline at the end", ["a"]),
    ("gate g a { x a; y a; } h q;", ["gate g a { x a; y a; }", "h q"]),
    ("gate g a { { x a; } } h q;", ["gate g a { { x a; } }", "h q"]),
    ("gate g a { x a; /* } */ } h q;", ["gate g a { x a;   }", "h q"]),
    ("a;; b;", ["a", "", "b"]),
    ("", []),
])
def test_statement_boundaries(text, statements):
    assert list(qasm3._statements(text)) == statements


@pytest.mark.parametrize("text, message", [
    ("a; b", "OpenQASM statement without ';': b"),
    ("a; /* b;", "Unterminated comment in OpenQASM program."),
    ("gate g a { x a; ", "Unterminated block in OpenQASM program."),
    ("gate g a { { x a; } h q;", "Unterminated block in OpenQASM program."),
    ("a; x q } b;", "OpenQASM statement 'x q }' closes a brace it did not open."),
])
def test_statement_boundary_errors(text, message):
    with pytest.raises(ValueError) as info:
        list(qasm3._statements(text))
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Import: what is accepted and what each refusal says
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("text, gates", [
    # an expression, a modifier count, a register, may run across lines
    ("OPENQASM 3.0; qubit[1] q; rx(1 +\n 2) q[0];", [Q("rx", 0, parameter=3.0)]),
    ("OPENQASM 3.0; qubit[1] q; rx(\r\n  1\r\n  - 0.5 ) q[0];", [Q("rx", 0, parameter=0.5)]),
    ("OPENQASM 3.0; qubit[1] q; gate g(t) a { rz(t *\n 2) a; } g(0.25) q[0];", [Q("rz", 0, parameter=0.5)]),
    ("OPENQASM 3.0; qubit[2] q; ctrl( 1 ) @ x q[0], q[1];", [Q("cx", 1, control=0)]),
    ("OPENQASM 3.0; qubit[3] q; ctrl(1 +\n 1) @ x q[0], q[1], q[2];", [Q("mcx", 2, control=[0, 1])]),
    ("OPENQASM 3.0; qubit\n[ 2 ]\nq; h q[ 1 ];", [Q("h", 1)]),
    ("OPENQASM 3.0; qubit[2]q; h q[1];", [Q("h", 1)]),
    # qubit and bit are no keywords of OpenQASM 2.0: gate names there
    ("OPENQASM 2.0; qreg q[1]; gate bit a { x a; } bit q[0];", [Q("x", 0)]),
    ("OPENQASM 2.0; qreg q[1]; gate\tg a { x a; } g q[0];", [Q("x", 0)]),
])
def test_programs_spelled_across_lines_and_spaces_are_read(text, gates):
    assert Opchain.from_openqasm(text).data() == gates


@pytest.mark.parametrize("text, gates", [
    ('OPENQASM 2.0; include "qelib1.inc"; qreg q[1]; x q[0];', [Q("x", 0)]),
    ("OPENQASM 3.0; include'stdgates.inc' ; qubit[1] q; x q[0];", [Q("x", 0)]),
    # names that begin with the word are gates and registers of their own
    ("OPENQASM 3.0; qubit[1] q; gate include_h a { h a; } include_h q[0];", [Q("h", 0)]),
    ("OPENQASM 3.0; qubit[1] q; bit[1] includes; includes[0] = measure q[0];",
     [Q("measure", 0, name="measure", classical_target=0)]),
])
def test_an_include_is_the_word_and_a_file_name_only(text, gates):
    assert Opchain.from_openqasm(text).data() == gates


@pytest.mark.parametrize("text, message", [
    ("OPENQASM 3.0; qubit[２] q;",
     "OpenQASM register size '２' in 'qubit[２] q' is not a whole number written with the digits 0-9."),
    ("OPENQASM 2.0; qreg q[\u0662];",
     "OpenQASM register size '\u0662' in 'qreg q[\u0662]' is not a whole number written with the digits 0-9."),
    ("OPENQASM 3.0; qubit[2] q; x q[１];",
     "OpenQASM qubit index '１' in 'q[１]' is not a whole number written with the digits 0-9."),
    ("OPENQASM 3.0; qubit[2] q; bit[2] c; c[-1] = measure q[0];",
     "OpenQASM bit index '-1' in 'c[-1]' is not a whole number written with the digits 0-9."),
    ("OPENQASM 2.0; qubit[2] q;", "OpenQASM 2.0 declares registers with qreg and creg, not qubit: 'qubit[2] q'."),
    ("OPENQASM 2.0; bit c;", "OpenQASM 2.0 declares registers with qreg and creg, not bit: 'bit c'."),
    ("OPENQASM 3.0; qubit[2] q r;", "Cannot parse OpenQASM declaration 'qubit[2] q r'."),
    ("OPENQASM 2.0; qreg q;", "Cannot parse OpenQASM declaration 'qreg q'."),
    ("OPENQASM 3.0; qubit[2] q; x q r;", "Cannot parse OpenQASM qubit operand 'q r'."),
    # a ';' left out: the index is not read as "0]\n h q[1"
    ("OPENQASM 3.0; qubit[2] q; h q[0]\n h q[1];", "Cannot parse OpenQASM qubit operand 'q[0]\\n h q[1]'."),
    ("OPENQASM 3.0; qubit[2] q; includex q[0];", "Unknown OpenQASM gate 'includex'."),
    ("OPENQASM 3.0; qubit[2] q; include q[0];", "Cannot parse OpenQASM include statement 'include q[0]'."),
    ('OPENQASM 3.0; include "a.inc" "b.inc";', "Cannot parse OpenQASM include statement 'include \"a.inc\" \"b.inc\"'."),
    ("OPENQASM 3.0; qubit[1] q; gate g a { { x a; } } g q[0];",
     "OpenQASM gate 'g' has a block nested in its body, which holds gate calls only here."),
    ("OPENQASM 3.0; qubit[2] q; gate g a, a { x a; } g q[0], q[1];", "OpenQASM gate 'g' declares 'a' twice."),
    ("OPENQASM 3.0; qubit[1] q; gate g(t, t) a { rx(t) a; } g(1, 2) q[0];",
     "OpenQASM gate 'g' declares 't' twice."),
    ("OPENQASM 3.0; qubit[1] q; gate g(a) a { rx(a) a; } g(1) q[0];", "OpenQASM gate 'g' declares 'a' twice."),
    # Python would read the rest as a comment
    ("OPENQASM 3.0; qubit[1] q; rx(1 # + 2\n) q[0];", "Cannot parse OpenQASM expression '1 # + 2'."),
    ("OPENQASM 3.0; qubit[2] q; ctrl(1 #\n) @ x q[0], q[1];", "Cannot parse OpenQASM expression '1 #\\n'."),
])
def test_refusals_name_what_is_wrong(text, message):
    with pytest.raises(ValueError) as info:
        Opchain.from_openqasm(text)
    assert str(info.value) == message


@pytest.mark.parametrize("program", [b"OPENQASM 2.0;", None, 3, bytearray(b"OPENQASM 2.0;")])
def test_a_program_that_is_not_text_is_a_type_error(program):
    with pytest.raises(TypeError) as info:
        qasm3.gate_sequence_from_qasm(program)
    assert str(info.value) == "An OpenQASM program is text: expected str, got " + type(program).__name__ + "."
