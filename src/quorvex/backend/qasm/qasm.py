"""OpenQASM 3.0 export and OpenQASM 2.0/3.0 import of gate sequences: the minimal platform layer.

The converters reach a sequence only through the gate-sequence interface
(``_num_qubits``, ``data()``, ``get_name()``), so list-backed and packed
sequences convert alike. Composite gates are expanded before writing.
Export covers the standard gates, controls (through ``ctrl``/``negctrl``
modifiers), measurements and barriers; a gate that OpenQASM cannot name
(a stored matrix, a custom id) is refused with ValueError rather than
written wrongly. Import reads the declarations, gate calls with modifiers,
user gate definitions, measurements and barriers of either version, and
refuses classical control flow and other statements it does not model.
A program is read whole, and the gates it makes counted, before any of
them is made: one that cannot fit in memory is refused at once.
A measurement of several qubits is written, and read back, as one
measurement per qubit; global phases are read back with the id ``gp``.
"""
import ast
import itertools
import math
import operator
import re

from ..expansion import PYTHON_GATE_BYTES, check_expansion
from ..gate.morlith import _leaf_count, _walk_blocks

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


# --------------------------------------------------------------------------
# Shared by both exporters
# --------------------------------------------------------------------------

def _flat_gates(gates, what=None):
    """Yield the gates with every composite gate expanded, at any depth, in order.

    The walk shared by every expansion of nested blocks: no recursion, and a
    block that contains itself raises RecursionError instead of never ending.
    With ``what`` (the expansion's name for a message), the caller keeps
    every gate as a Python record: the gates are counted first and an
    expansion that cannot fit is refused with MemoryError.
    """
    if what is not None:
        check_expansion(what, _leaf_count(gates), PYTHON_GATE_BYTES)
    return _walk_blocks(gates, operator.methodcaller("decompose"))


def _real(value):
    """A float literal that both OpenQASM versions accept (always with a decimal point)."""
    text = repr(float(value))
    mantissa, sep, exponent = text.partition("e")
    if "." not in mantissa:
        mantissa += ".0"
    return mantissa + sep + exponent


def _check_register_name(name, what):
    if not _IDENTIFIER.match(name):
        raise ValueError("Invalid OpenQASM " + what + " name: " + repr(name) + ".")


def _sequence_layout(sequence):
    """Return (num_qubits, flattened gates, number of classical bits), checking qubit indices."""
    num_qubits = int(sequence._num_qubits)
    gates = list(_flat_gates(sequence.data(), "Writing the sequence as OpenQASM"))
    num_bits = 0
    for gate in gates:
        for q in tuple(gate.target) + tuple(gate.control):
            if q < 0 or q >= num_qubits:
                raise ValueError("Gate " + gate.id + " addresses qubit " + str(q)
                                 + " outside a sequence of " + str(num_qubits) + " qubits.")
        if gate.id == "measure":
            if gate.control:
                raise ValueError("A controlled measurement cannot be written in OpenQASM.")
            bits = gate.classical_target
            if bits is None or len(bits) != len(gate.target):
                raise ValueError("Measurement targets and classical targets must match.")
            for bit in bits:
                if bit < 0:
                    raise ValueError("Classical bit indices must be non-negative.")
                num_bits = max(num_bits, bit + 1)
    return num_qubits, gates, num_bits


# OpenQASM 3.0 names (stdgates.inc and builtins) of the ids, before controls.
_BASE_ID = {
    "cx": "x", "cnot": "x", "mcx": "x", "cy": "y", "mcy": "y", "cz": "z", "mcz": "z",
    "ch": "h", "mch": "h", "cs": "s", "mcs": "s", "ct": "t", "mct": "t",
    "cp": "p", "mcp": "p", "crx": "rx", "mcrx": "rx", "cry": "ry", "mcry": "ry",
    "crz": "rz", "mcrz": "rz", "gphase": "gp", "global_phase": "gp",
}
_QASM3_NAMES = {
    "i": "id", "x": "x", "y": "y", "z": "z", "h": "h", "s": "s", "s_dag": "sdg",
    "t": "t", "t_dag": "tdg", "sqrtx": "sx", "sqrtx_dag": "inv @ sx",
    "p": "p", "rx": "rx", "ry": "ry", "rz": "rz", "u": "U", "swap": "swap",
    "sqrty": "sqrty", "sqrty_dag": "sqrty_dag", "x2p": "x2p", "x2m": "x2m",
    "y2p": "y2p", "y2m": "y2m", "rzz": "rzz", "gp": "gp",
}
# Single positive control spelled with the standard library's controlled gate.
_QASM3_CONTROLLED = {"x": "cx", "y": "cy", "z": "cz", "h": "ch", "p": "cp",
                     "rx": "crx", "ry": "cry", "rz": "crz", "swap": "cswap"}
_QASM3_DEFINITIONS = {
    "sqrty": "gate sqrty a { gphase(pi/4); ry(pi/2) a; }",
    "sqrty_dag": "gate sqrty_dag a { gphase(-pi/4); ry(-pi/2) a; }",
    "x2p": "gate x2p a { rx(pi/2) a; }",
    "x2m": "gate x2m a { rx(-pi/2) a; }",
    "y2p": "gate y2p a { ry(pi/2) a; }",
    "y2m": "gate y2m a { ry(-pi/2) a; }",
    "rzz": "gate rzz(theta) a, b { cx a, b; rz(theta) b; cx a, b; }",
    "gp": "gate gp(theta) a { gphase(theta); }",
}


def _modifiers(states):
    """ctrl/negctrl modifiers for the control states, runs of equal states grouped."""
    parts = []
    i = 0
    while i < len(states):
        j = i
        while j < len(states) and (states[j] == 1) == (states[i] == 1):
            j += 1
        word = "ctrl" if states[i] == 1 else "negctrl"
        parts.append(word + ("(" + str(j - i) + ")" if j - i > 1 else "") + " @ ")
        i = j
    return "".join(parts)


def _qasm3_gate_line(gate, qreg, creg, used):
    q = lambda index: qreg + "[" + str(index) + "]"
    gate_id = gate.id
    if gate_id == "measure":
        return "\n".join(creg + "[" + str(b) + "] = measure " + q(t) + ";"
                         for t, b in zip(gate.target, gate.classical_target))
    if gate_id == "barrier":
        if gate.control:
            raise ValueError("A controlled barrier cannot be written in OpenQASM.")
        return "barrier " + (", ".join(q(t) for t in gate.target) if gate.target else qreg) + ";"
    if gate.has_stored_matrix:
        raise ValueError("Gate " + gate_id + " with a stored matrix cannot be written in OpenQASM.")
    base = _BASE_ID.get(gate_id, gate_id)
    if base not in _QASM3_NAMES:
        raise ValueError("Gate " + gate_id + " has no OpenQASM 3.0 form.")
    params = gate.parameter or ()
    controls = tuple(gate.control)
    states = tuple(gate.control_state)
    if base == "gp" and not gate.target:
        text = _modifiers(states) + "gphase(" + _real(params[0]) + ")"
        return text + (" " + ", ".join(q(c) for c in controls) if controls else "") + ";"
    targets = tuple(gate.target)
    if base == "gp":
        # The phase does not depend on the qubit it is written on.
        targets = targets[:1]
    if len(controls) == 1 and states == (1,) and base in _QASM3_CONTROLLED:
        name = _QASM3_CONTROLLED[base]
        prefix = ""
    else:
        name = _QASM3_NAMES[base]
        prefix = _modifiers(states)
    if base in _QASM3_DEFINITIONS:
        used.add(base)
    call = prefix + name
    if params:
        call += "(" + ", ".join(_real(v) for v in params) + ")"
    return call + " " + ", ".join(q(i) for i in controls + targets) + ";"


def gate_sequence_to_qasm(sequence, qreg_name="q"):
    """Write ``sequence`` as a complete OpenQASM 3.0 program."""
    _check_register_name(qreg_name, "register")
    num_qubits, gates, num_bits = _sequence_layout(sequence)
    creg = "c" if qreg_name != "c" else "c_bits"
    used = set()
    body = [_qasm3_gate_line(gate, qreg_name, creg, used) for gate in gates]
    lines = ["OPENQASM 3.0;", 'include "stdgates.inc";']
    lines.extend(_QASM3_DEFINITIONS[name] for name in sorted(used))
    if num_qubits > 0:
        lines.append("qubit[" + str(num_qubits) + "] " + qreg_name + ";")
    if num_bits > 0:
        lines.append("bit[" + str(num_bits) + "] " + creg + ";")
    lines.extend(body)
    return "\n".join(lines) + "\n"


# --------------------------------------------------------------------------
# Import
# --------------------------------------------------------------------------

# name -> (base id, parameter count, built-in controls, number of qubit operands)
_KNOWN_GATES = {
    "id": ("i", 0, 0, 1), "i": ("i", 0, 0, 1),
    "x": ("x", 0, 0, 1), "y": ("y", 0, 0, 1), "z": ("z", 0, 0, 1), "h": ("h", 0, 0, 1),
    "s": ("s", 0, 0, 1), "sdg": ("s_dag", 0, 0, 1), "s_dag": ("s_dag", 0, 0, 1),
    "t": ("t", 0, 0, 1), "tdg": ("t_dag", 0, 0, 1), "t_dag": ("t_dag", 0, 0, 1),
    "sx": ("sqrtx", 0, 0, 1), "sqrtx": ("sqrtx", 0, 0, 1),
    "sxdg": ("sqrtx_dag", 0, 0, 1), "sqrtx_dag": ("sqrtx_dag", 0, 0, 1),
    "sqrty": ("sqrty", 0, 0, 1), "sqrty_dag": ("sqrty_dag", 0, 0, 1),
    "x2p": ("x2p", 0, 0, 1), "x2m": ("x2m", 0, 0, 1), "y2p": ("y2p", 0, 0, 1), "y2m": ("y2m", 0, 0, 1),
    "rx": ("rx", 1, 0, 1), "ry": ("ry", 1, 0, 1), "rz": ("rz", 1, 0, 1),
    "p": ("p", 1, 0, 1), "phase": ("p", 1, 0, 1), "u1": ("p", 1, 0, 1),
    "u": ("u", 3, 0, 1), "u3": ("u", 3, 0, 1), "U": ("u", 3, 0, 1), "u2": ("u", 2, 0, 1),
    "swap": ("swap", 0, 0, 2), "rzz": ("rzz", 1, 0, 2), "gp": ("gp", 1, 0, 1),
    "cx": ("x", 0, 1, 2), "CX": ("x", 0, 1, 2), "cnot": ("x", 0, 1, 2),
    "cy": ("y", 0, 1, 2), "cz": ("z", 0, 1, 2), "ch": ("h", 0, 1, 2),
    "cs": ("s", 0, 1, 2), "ct": ("t", 0, 1, 2),
    "cp": ("p", 1, 1, 2), "cphase": ("p", 1, 1, 2), "cu1": ("p", 1, 1, 2),
    "crx": ("rx", 1, 1, 2), "cry": ("ry", 1, 1, 2), "crz": ("rz", 1, 1, 2),
    "cu3": ("u", 3, 1, 2), "csx": ("sqrtx", 0, 1, 2), "cswap": ("swap", 0, 1, 3),
    "ccx": ("x", 0, 2, 3), "c3x": ("x", 0, 3, 4), "c4x": ("x", 0, 4, 5),
}
# Ids whose controlled forms have ids of their own.
_CONTROLLED_FAMILY = frozenset({"x", "y", "z", "h", "s", "t", "p", "rx", "ry", "rz"})

_FUNCTIONS = {"sin": math.sin, "cos": math.cos, "tan": math.tan, "exp": math.exp,
              "ln": math.log, "log": math.log, "sqrt": math.sqrt,
              "asin": math.asin, "acos": math.acos, "atan": math.atan,
              "arcsin": math.asin, "arccos": math.acos, "arctan": math.atan}
_CONSTANTS = {"pi": math.pi, "π": math.pi, "tau": math.tau, "τ": math.tau,
              "euler": math.e, "ℇ": math.e}


_LINE_BREAK = re.compile(r"\r\n|\r|\n")


def _python_source(text):
    """An OpenQASM expression as Python's parser reads the same expression.

    '^' is the power; a line break is only space in OpenQASM, while Python
    would end the expression there; leading space would be an indent. '#'
    would begin a Python comment and hide the rest of the expression, so it
    is refused (SyntaxError, as for any text that does not parse).
    """
    if "#" in text:
        raise SyntaxError("'#' has no meaning in an OpenQASM expression")
    return _LINE_BREAK.sub(" ", text.replace("^", "**")).strip()


def _written_name(source):
    """How a name node of ``source`` (one line) reads there.

    Python's parser folds identifiers to their NFKC form, which would make
    'ａ' the name 'a' and 'ｐｉ' pi; OpenQASM's names are kept as written.
    Node offsets count UTF-8 bytes.
    """
    if source.isascii():
        return operator.attrgetter("id")
    encoded = source.encode()
    return lambda node: encoded[node.col_offset:node.end_col_offset].decode()


def _evaluate(text, env):
    """Evaluate an OpenQASM angle expression with the names in ``env``: a finite real number."""
    try:
        source = _python_source(text)
        tree = ast.parse(source, mode="eval")
    except SyntaxError as exc:
        raise ValueError("Cannot parse OpenQASM expression " + repr(text) + ".") from exc
    except (RecursionError, MemoryError) as exc:
        # The parser's own limits on nesting ("too complex to parse").
        raise _too_deep(text) from exc
    name_of = _written_name(source)

    def walk(node):
        if isinstance(node, ast.Expression):
            return walk(node.body)
        if isinstance(node, ast.Constant) and type(node.value) in (int, float):
            return float(node.value)
        if isinstance(node, ast.Name):
            name = name_of(node)
            if name in env:
                return env[name]
            if name in _CONSTANTS:
                return _CONSTANTS[name]
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            value = walk(node.operand)
            return -value if isinstance(node.op, ast.USub) else value
        if isinstance(node, ast.BinOp):
            left, right = walk(node.left), walk(node.right)
            op = node.op
            if isinstance(op, ast.Add):
                return left + right
            if isinstance(op, ast.Sub):
                return left - right
            if isinstance(op, ast.Mult):
                return left * right
            if isinstance(op, ast.Div):
                return left / right
            if isinstance(op, ast.Pow):
                value = left ** right
                if isinstance(value, complex):  # a negative base to a fractional power
                    raise _no_value(text)
                return value
        if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
                and name_of(node.func) in _FUNCTIONS and len(node.args) == 1 and not node.keywords):
            argument = walk(node.args[0])
            try:
                return _FUNCTIONS[name_of(node.func)](argument)
            except ValueError as exc:  # outside the function's domain
                raise _no_value(text) from exc
        raise ValueError("Unsupported OpenQASM expression " + repr(text) + ".")

    try:
        value = walk(tree)
    except ArithmeticError as exc:  # a division by zero, or a number beyond floating point
        raise _no_value(text) from exc
    except RecursionError as exc:
        raise _too_deep(text) from exc
    if not math.isfinite(value):
        raise _no_value(text)
    return value


def _modifier_count(word, text, available):
    """The count of a ctrl/negctrl modifier: a whole number of at least 1.

    Integer literals alone make a count, under + - * ^, exact division and
    parentheses, so that no rounding turns 1.5 or 1 + 1e-17 into a number of
    controls. A count beyond the ``available`` operands comes back as
    available + 1 (the call then has too few operands) before any product or
    power can grow large. ``text`` has a finite value already.
    """
    malformed = ValueError("OpenQASM modifier " + word + "(" + text + ") is not a whole number of at least 1.")
    try:
        tree = ast.parse(_python_source(text), mode="eval")
    except (SyntaxError, RecursionError, MemoryError, ValueError):
        raise malformed from None
    too_many = available + 1
    pending, values = [tree.body], []
    # Post-order by an explicit stack: an operator is met again, as a
    # one-tuple, once its operands are on the value stack.
    while pending:
        node = pending.pop()
        if type(node) is tuple:
            op = node[0]
            if isinstance(op, ast.UnaryOp):
                if isinstance(op.op, ast.USub):
                    values[-1] = -values[-1]
                continue
            right = values.pop()
            left = values.pop()
            kind = type(op.op)
            if kind is ast.Add:
                values.append(left + right)
            elif kind is ast.Sub:
                values.append(left - right)
            elif kind is ast.Div:
                if left % right:
                    raise malformed
                values.append(left // right)
            elif kind is ast.Pow and right < 0:
                raise malformed
            elif abs(left) > 1 and abs(right) > (64 if kind is ast.Pow else too_many):
                return too_many
            elif kind is ast.Pow:
                values.append(left ** right)
            elif left and abs(right) > too_many:
                return too_many
            else:
                values.append(left * right)
        elif isinstance(node, ast.Constant) and type(node.value) is int:
            values.append(node.value)
        elif isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            pending.extend([(node,), node.operand])
        elif isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.Pow)):
            pending.extend([(node,), node.right, node.left])
        else:
            raise malformed
    if values[0] < 1:
        raise malformed
    return min(values[0], too_many)


def _no_value(text):
    return ValueError("OpenQASM expression " + repr(text) + " has no finite real value.")


def _too_deep(text):
    return ValueError("OpenQASM expression " + repr(text) + " is nested too deeply.")


def _split_top(text, sep=","):
    """Split on ``sep`` outside parentheses and brackets."""
    parts, depth, current = [], 0, []
    for ch in text:
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        if ch == sep and depth == 0:
            parts.append("".join(current).strip())
            current = []
        else:
            current.append(ch)
    tail = "".join(current).strip()
    if tail or parts:
        parts.append(tail)
    return parts


# What ends a statement or changes how the text around it is read.
_STATEMENT_MARK = re.compile(r"/\*|//|[;{}]")


def _statements(code):
    """Yield the program's statements in order, comments left out.

    One pass over the text, however many statements it holds. A statement
    ends at a ';' outside braces; one that opens a brace (a gate definition)
    ends where that brace is closed, braces nested inside it included.
    """
    pieces = []  # the statement read so far, comments left out
    start = pos = depth = 0
    search = _STATEMENT_MARK.search
    while True:
        m = search(code, pos)
        if m is None:
            break
        mark, at, pos = m.group(), m.start(), m.end()
        if mark == "/*" or mark == "//":
            end = code.find("*/" if mark == "/*" else "\n", pos)
            if end < 0:
                if mark == "/*":
                    raise ValueError("Unterminated comment in OpenQASM program.")
                end = len(code)
            pieces.append(code[start:at])
            pieces.append(" ")
            start = pos = end + 2 if mark == "/*" else end
        elif mark == "{":
            depth += 1
        elif mark == "}":
            if not depth:
                text = ("".join(pieces) + code[start:pos]).strip()
                raise ValueError("OpenQASM statement " + repr(text[-60:]) + " closes a brace it did not open.")
            depth -= 1
            if not depth:
                pieces.append(code[start:pos])
                yield "".join(pieces).strip()
                pieces.clear()
                start = pos
        elif not depth:  # ';'
            pieces.append(code[start:at])
            yield "".join(pieces).strip()
            pieces.clear()
            start = pos
    if depth:
        raise ValueError("Unterminated block in OpenQASM program.")
    pieces.append(code[start:])
    rest = "".join(pieces).strip()
    if rest:
        raise ValueError("OpenQASM statement without ';': " + rest[:60])


_CALL = re.compile(r"(?P<name>[A-Za-z_][A-Za-z0-9_]*)\s*(?:\((?P<params>.*)\))?\s*(?P<args>.*)\Z", re.S)
_MODIFIER = re.compile(r"\s*(?P<word>ctrl|negctrl|inv|pow)\b\s*")
_AT = re.compile(r"\s*@")


def _check_parentheses(stmt):
    """Refuse a statement whose parentheses do not pair up, saying so.

    A ';' inside parentheses ends the statement there, and what is left of
    it would otherwise be read as a qubit operand.
    """
    depth = 0
    for ch in stmt:
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
            if depth < 0:
                raise ValueError("OpenQASM statement " + repr(stmt) + " closes a parenthesis it did not open.")
    if depth > 0:
        raise ValueError("OpenQASM statement " + repr(stmt) + " ends before its parenthesis is closed.")


def _split_call(stmt):
    """Return the modifiers of a gate call, as (word, argument) pairs, and the match of the call."""
    _check_parentheses(stmt)
    modifiers = []
    rest = stmt
    while True:
        m = _MODIFIER.match(rest)
        if not m:
            break
        end, arg = m.end(), None
        if rest.startswith("(", end):
            # The argument runs to its own closing parenthesis: it may hold
            # parentheses of its own, as in ctrl((1 + 1)).
            depth = 0
            for close in range(end, len(rest)):
                depth += {"(": 1, ")": -1}.get(rest[close], 0)
                if depth == 0:
                    break
            arg, end = rest[end + 1:close], close + 1
        at = _AT.match(rest, end)
        if not at:
            break
        modifiers.append((m.group("word"), arg))
        rest = rest[at.end():]
    m = _CALL.match(rest.strip())
    if not m:
        raise ValueError("Cannot parse OpenQASM statement " + repr(stmt) + ".")
    return modifiers, m


# Bytes that each gate of an imported program takes while it is read, its
# operation and its gate record together (measured: 330 to 420), with a margin.
_BYTES_PER_IMPORTED_GATE = 512
# Bytes that each qubit of a barrier or a measurement takes, in the
# operation and the gate record (measured: about 110 for a barrier, 80 for a
# measured qubit with its bit), with a margin.
_BYTES_PER_OPERAND = 192

# An index holds no bracket: "q[0]\n h q[1]" (a ';' left out) is no operand.
_OPERAND = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\s*(?:\[([^][]*)\])?\Z")
# The file is not read: the standard gates are known by name.
_INCLUDE = re.compile(r"""include\s*("[^"\r\n]*"|'[^'\r\n]*')\Z""")
_INCLUDE_WORD = re.compile(r"include(?![A-Za-z0-9_])")
# Register sizes and indices: OpenQASM's digits only, never other scripts' digits
# (which int() would read).
_WHOLE_NUMBER = re.compile(r"\s*([0-9]+)\s*\Z")
_DECLARATION_WORD = re.compile(r"(qreg|creg|qubit|bit)(?![A-Za-z0-9_])")
_NAMED = r"(?P<name>[A-Za-z_][A-Za-z0-9_]*)"
_DECLARATIONS = {
    **{word: re.compile(word + r"\s+" + _NAMED + r"\s*\[(?P<size>.*)\]\Z", re.S) for word in ("qreg", "creg")},
    **{word: re.compile(word + r"(?:\s*\[(?P<size>.*)\]\s*|\s+)" + _NAMED + r"\Z", re.S) for word in ("qubit", "bit")},
}
_UNSUPPORTED = frozenset({"if", "for", "while", "def", "reset", "opaque", "input", "output", "let", "const",
                          "box", "delay", "defcal", "cal", "extern", "return"})


def _whole_number(text, what, where):
    m = _WHOLE_NUMBER.match(text)
    if not m:
        raise ValueError("OpenQASM " + what + " " + repr(text.strip()) + " in " + repr(where)
                         + " is not a whole number written with the digits 0-9.")
    return int(m.group(1))


def _size(operand):
    """How many qubits or bits an operand's range holds: len() stops at sys.maxsize, a register's size does not."""
    return operand.stop - operand.start


def _width(operands):
    """How many calls a call over these operands stands for: registers are broadcast, single qubits repeated."""
    lengths = {_size(o) for o in operands if _size(o) != 1}
    if len(lengths) > 1:
        raise ValueError("Register operands of different sizes.")
    return lengths.pop() if lengths else 1


class _Definition:
    """A gate definition: formal parameters and qubits, and its body (statement texts, parsed when first needed)."""

    __slots__ = ("params", "qubits", "statements", "calls")

    def __init__(self, params, qubits, statements):
        self.params = params
        self.qubits = qubits
        self.statements = statements
        self.calls = None


class _Program:
    """An OpenQASM program read in two passes.

    The first (``read``, a statement at a time) checks each statement and
    counts the gates it will make; ``run`` then refuses the whole program at
    once if it cannot fit, before any gate is made, and expands it. Operands
    stay ranges until then, so that a register of any size costs nothing
    before it is counted.
    """

    def __init__(self, version=3):
        self.version = version
        self.qregs = {}
        self.cregs = {}
        self.num_qubits = 0
        self.num_bits = 0
        self.definitions = {}
        self.ops = []  # ("gate", id, targets, controls, states, params) or ("measure", q, c) ...
        # What the second pass does, statement by statement: (function, arguments...),
        # each called with the program first; kept small, one per statement.
        self._actions = []
        self._gates = 0  # gates the program makes
        self._operands = 0  # qubits in its barriers and measurements
        # How many gates a call of a gate makes. A count depends on the
        # definitions it met and the names it met undefined (counted as one
        # gate); it is made again only when one of those changes.
        self._counts = {}
        self._undefined = set()

    # -- operands -------------------------------------------------------------
    def _operand(self, text, registers, kind):
        """The qubits or bits an operand names, as a range."""
        text = text.strip()
        m = _OPERAND.match(text)
        if not m:
            raise ValueError("Cannot parse OpenQASM " + kind + " operand " + repr(text) + ".")
        if m.group(1) not in registers:
            raise ValueError("Unknown " + kind + " operand " + repr(text) + ".")
        offset, size = registers[m.group(1)]
        if m.group(2) is None:
            return range(offset, offset + size)
        index = _whole_number(m.group(2), kind + " index", text)
        if index >= size:
            raise ValueError(kind.capitalize() + " index out of range in " + repr(text) + ".")
        return range(offset + index, offset + index + 1)

    # -- first pass: statements read, checked and counted ------------------------
    def read(self, stmt):
        if _INCLUDE_WORD.match(stmt):
            # Only the word: a gate or register named include_... is no include.
            if not _INCLUDE.match(stmt):
                raise ValueError("Cannot parse OpenQASM include statement " + repr(stmt) + ".")
            return
        if re.match(r"gate\s", stmt):
            self.define(stmt)
            return
        m = _DECLARATION_WORD.match(stmt)
        # qubit and bit are no keywords of OpenQASM 2.0: there they may name a gate.
        if m and (self.version == 3 or m.group(1) in ("qreg", "creg") or m.group(1) not in self.definitions):
            self._declaration(m.group(1), stmt)
            return
        m = re.fullmatch(r"measure\s+(.+?)\s*->\s*(.+)", stmt, re.S)
        if m:
            self.measure(m.group(1), m.group(2))
            return
        m = re.fullmatch(r"([A-Za-z_][A-Za-z0-9_]*\s*(?:\[[^\]]*\])?)\s*=\s*measure\s+(.+)", stmt, re.S)
        if m and self.version == 3:
            self.measure(m.group(2), m.group(1))
            return
        word = stmt.split(None, 1)[0] if stmt.split() else ""
        if word in _UNSUPPORTED:
            raise ValueError("Unsupported OpenQASM statement: " + word + ".")
        self.statement(stmt)

    def _declaration(self, word, stmt):
        if self.version == 2 and word in ("qubit", "bit"):
            raise ValueError("OpenQASM 2.0 declares registers with qreg and creg, not " + word + ": "
                             + repr(stmt) + ".")
        m = _DECLARATIONS[word].match(stmt)
        if not m:
            raise ValueError("Cannot parse OpenQASM declaration " + repr(stmt) + ".")
        size = 1 if m.group("size") is None else _whole_number(m.group("size"), "register size", stmt)
        self.declare("q" if word in ("qreg", "qubit") else "c", m.group("name"), size)

    def declare(self, kind, name, size):
        if name in self.qregs or name in self.cregs:
            raise ValueError("Register " + name + " declared twice.")
        if kind == "q":
            self.qregs[name] = (self.num_qubits, size)
            self.num_qubits += size
        else:
            self.cregs[name] = (self.num_bits, size)
            self.num_bits += size

    def measure(self, qubit_text, bit_text):
        qubits = self._operand(qubit_text, self.qregs, "qubit")
        bits = self._operand(bit_text, self.cregs, "bit")
        if _size(qubits) != _size(bits):
            raise ValueError("Measurement of registers of different sizes.")
        self._gates += 1
        self._operands += _size(qubits)
        self._actions.append((_Program._place_measurement, qubits, bits))

    def statement(self, stmt):
        modifiers, m = _split_call(stmt)
        name = m.group("name")
        params = [_evaluate(p, {}) for p in _split_top(m.group("params") or "")]
        args = _split_top(m.group("args"))
        if name == "barrier" and not modifiers:
            registers = tuple(self._operand(a, self.qregs, "qubit") for a in args)
            self._gates += 1
            self._operands += sum(map(_size, registers))
            self._actions.append((_Program._place_barrier, registers))
            return
        operands = tuple(self._operand(a, self.qregs, "qubit") for a in args if a)
        width = _width(operands)
        # Definitions that call each other twice a level make 2**levels
        # gates from a short text, and a register makes a gate per qubit.
        gates = width * self._gate_count(name)
        check_expansion("Expanding OpenQASM gate " + repr(name), gates, _BYTES_PER_IMPORTED_GATE)
        self._gates += gates
        self._actions.append((_Program._place_calls, name, tuple(params), operands, tuple(modifiers), width))

    # -- second pass: the gates made ------------------------------------------
    def run(self):
        """Refuse the program if all it makes cannot fit, else make its operations, in order."""
        gates, operands = self._gates, self._operands
        if gates:
            what = "Reading the OpenQASM program"
            if operands:
                what += " (" + str(operands) + " qubits in its barriers and measurements)"
            needed = gates * _BYTES_PER_IMPORTED_GATE + operands * _BYTES_PER_OPERAND
            check_expansion(what, gates, -(-needed // gates))
        actions, self._actions = self._actions, []
        # The definitions are met again in order, each call expanded with
        # those made before it.
        self.definitions = {}
        actions.reverse()
        while actions:
            action, *arguments = actions.pop()
            action(self, *arguments)

    def _redefine(self, name, definition):
        self.definitions[name] = definition

    def _place_measurement(self, qubits, bits):
        self.ops.append(("measure", tuple(qubits), tuple(bits)))

    def _place_barrier(self, registers):
        self.ops.append(("gate", "barrier", tuple(itertools.chain.from_iterable(registers)), (), (), ()))

    def _place_calls(self, name, params, operands, modifiers, width):
        for i in range(width):
            qubits = [o[0] if _size(o) == 1 else o[i] for o in operands]
            self.ops.extend(self._expand(name, params, qubits, modifiers, {}))

    def _is_defined(self, name):
        # The order in which _call looks names up.
        return name != "gphase" and name not in _KNOWN_GATES and name in self.definitions

    def _body(self, name):
        """The calls in the body of gate ``name``: (modifiers, callee, angle texts, qubit names)."""
        definition = self.definitions[name]
        if definition.calls is None:
            calls = []
            for stmt in definition.statements:
                mods, m = _split_call(stmt)
                calls.append((mods, m.group("name"), _split_top(m.group("params") or ""),
                              [a for a in _split_top(m.group("args")) if a]))
            definition.calls = calls
        return definition.calls

    def _gate_count(self, name):
        """How many gates one call of ``name`` makes, without making them.

        Each definition is counted once, so the count costs as much as the
        definitions' text. A gate that calls itself, directly or through
        others, is refused here, by name.
        """
        if not self._is_defined(name):
            return 1
        counts = self._counts
        if name in counts:
            return counts[name]
        path = [name]  # the definitions being counted, outermost first
        on_path = {name}
        # frames: [name, remaining calls of its body, count so far]
        stack = [[name, iter(self._body(name)), 0]]
        while stack:
            frame = stack[-1]
            call = next(frame[1], None)
            if call is None:
                stack.pop()
                on_path.discard(path.pop())
                counts[frame[0]] = frame[2]
                if stack:
                    stack[-1][2] += frame[2]
                continue
            callee = call[1]
            if not self._is_defined(callee):
                self._undefined.add(callee)
                frame[2] += 1
            elif callee in counts:
                frame[2] += counts[callee]
            elif callee in on_path:
                cycle = path[path.index(callee):] + [callee]
                raise ValueError("OpenQASM gate " + repr(callee) + " calls itself: " + " -> ".join(cycle) + ".")
            else:
                path.append(callee)
                on_path.add(callee)
                stack.append([callee, iter(self._body(callee)), 0])
        return counts[name]

    def _call(self, name, params, qubits, modifiers, env):
        """One call: its operations when it names a built-in gate, else a
        frame for the body of the gate it names."""
        controls, states, inverse = [], [], False
        for word, arg in modifiers:
            if word == "inv":
                if arg is not None:
                    raise ValueError("The inv modifier takes no argument, got inv(" + arg + ").")
                inverse = not inverse
                continue
            if word == "pow":
                raise ValueError("The pow modifier is not supported.")
            count = 1
            if arg is not None:
                _evaluate(arg, env)  # an expression without a value is refused as in an angle
                count = _modifier_count(word, arg, len(qubits) - len(controls))
            if count > len(qubits) - len(controls):
                raise ValueError("Wrong operands for OpenQASM gate " + name + ".")
            controls.extend(qubits[len(controls):len(controls) + count])
            states.extend([1 if word == "ctrl" else 0] * count)
        operands = qubits[len(controls):]

        if name == "gphase":
            if len(params) != 1 or operands:
                raise ValueError("gphase takes one angle and no qubit operand.")
            ops = [("gate", "gp", (), tuple(controls), tuple(states), (params[0],))]
        elif name in _KNOWN_GATES:
            base, count, builtin, width = _KNOWN_GATES[name]
            if len(params) != count or len(operands) != width:
                raise ValueError("Wrong operands for OpenQASM gate " + name + ".")
            if name == "u2":
                params = [math.pi / 2, params[0], params[1]]
            all_controls = tuple(controls) + tuple(operands[:builtin])
            all_states = tuple(states) + (1,) * builtin
            k = len(all_controls)
            gate_id = base
            if base in _CONTROLLED_FAMILY and k == 1:
                gate_id = "c" + base
            elif base in _CONTROLLED_FAMILY and k > 1:
                gate_id = "mc" + base
            ops = [("gate", gate_id, tuple(operands[builtin:]), all_controls, all_states, tuple(params))]
        elif name in self.definitions:
            definition = self.definitions[name]
            if len(params) != len(definition.params) or len(operands) != len(definition.qubits):
                raise ValueError("Wrong operands for OpenQASM gate " + name + ".")
            return _Frame(name, iter(self._body(name)), dict(zip(definition.params, params)),
                          dict(zip(definition.qubits, operands)), tuple(controls), tuple(states), inverse)
        else:
            raise ValueError("Unknown OpenQASM gate " + repr(name) + ".")
        return _inverted(ops) if inverse else ops

    def _expand(self, name, params, qubits, modifiers, env):
        """Gate operations of one call: (\"gate\", id, targets, controls, states, params).

        The bodies being expanded wait on a stack of their own, so that a
        chain of definitions as long as the text allows needs no recursion.
        """
        called = self._call(name, params, qubits, modifiers, env)
        if type(called) is list:
            return called
        stack = [called]
        while True:
            frame = stack[-1]
            call = next(frame.body, None)
            if call is None:
                stack.pop()
                ops = frame.placed()
                if not stack:
                    return ops
                stack[-1].ops.extend(ops)
                continue
            mods, callee, angle_texts, qubit_names = call
            inner_params = [_evaluate(p, frame.env) for p in angle_texts]
            try:
                inner_qubits = [frame.qubit_of[a] for a in qubit_names]
            except KeyError as exc:
                raise ValueError("Unknown qubit in the body of gate " + frame.name + ".") from exc
            called = self._call(callee, inner_params, inner_qubits, mods, frame.env)
            if type(called) is list:
                frame.ops.extend(called)
            else:
                stack.append(called)

    def define(self, stmt):
        m = re.fullmatch(r"gate\s+([A-Za-z_][A-Za-z0-9_]*)\s*(?:\(([^)]*)\))?\s*([^{]*)\{(.*)\}", stmt, re.S)
        if not m:
            raise ValueError("Cannot parse OpenQASM gate definition.")
        name, body = m.group(1), m.group(4)
        if "{" in body or "}" in body:
            raise ValueError("OpenQASM gate " + repr(name) + " has a block nested in its body, "
                             "which holds gate calls only here.")
        formal_params = [p for p in _split_top(m.group(2) or "") if p]
        formal_qubits = [q for q in _split_top(m.group(3)) if q]
        seen = set()
        for formal in formal_params + formal_qubits:
            if formal in seen:
                raise ValueError("OpenQASM gate " + repr(name) + " declares " + repr(formal) + " twice.")
            seen.add(formal)
        if name in _KNOWN_GATES:
            return  # the built-in meaning is kept for standard names
        if name in self.definitions or name in self._undefined:
            # Counts made with the old meaning of the name are stale; a new
            # name no count has met leaves them all as they are.
            self._counts.clear()
            self._undefined.clear()
        definition = _Definition(formal_params, formal_qubits, [s.strip() for s in body.split(";") if s.strip()])
        self.definitions[name] = definition
        self._actions.append((_Program._redefine, name, definition))


def _inverted(ops):
    return [("inverse" if op[0] == "gate" else "gate",) + op[1:] for op in reversed(ops)]


class _Frame:
    """A call of a defined gate being expanded: its body and what it places its gates under."""

    __slots__ = ("name", "body", "env", "qubit_of", "controls", "states", "inverse", "ops")

    def __init__(self, name, body, env, qubit_of, controls, states, inverse):
        self.name = name
        self.body = body
        self.env = env
        self.qubit_of = qubit_of
        self.controls = controls
        self.states = states
        self.inverse = inverse
        self.ops = []

    def placed(self):
        """The body's operations under this call's controls, inverted if the call is."""
        controls, states = self.controls, self.states
        ops = [(kind, gid, tg, controls + ct, states + st, pr) for kind, gid, tg, ct, st, pr in self.ops]
        return _inverted(ops) if self.inverse else ops


def _parse(code):
    if not isinstance(code, str):
        raise TypeError("An OpenQASM program is text: expected str, got " + type(code).__name__ + ".")
    statements = _statements(code)
    first = next(statements, None)
    if first is None:
        raise ValueError("Empty OpenQASM program.")
    header = re.fullmatch(r"OPENQASM\s+([0-9]+)(?:\.([0-9]+))?", first)
    if not header or header.group(1) not in ("2", "3"):
        raise ValueError("OpenQASM program must start with 'OPENQASM 2.0;' or 'OPENQASM 3.0;'.")
    program = _Program(int(header.group(1)))
    for stmt in statements:
        program.read(stmt)
    program.run()
    return program


def gate_sequence_from_qasm(qasm_code):
    """Read an OpenQASM 2.0 or 3.0 program into a new gate sequence."""
    from ..opchain.opchain import Opchain

    program = _parse(qasm_code)
    sequence = Opchain(program.num_qubits)
    for op in program.ops:
        if op[0] == "measure":
            sequence.measure(op[1], op[2])
            continue
        _, gate_id, targets, controls, states, params = op
        gate = sequence.gateCreator(gate_id, targets, control=controls or None,
                                    control_state=states or None,
                                    parameters=params or None)
        if op[0] == "inverse":
            gate = gate.dagger().replace(name=None)
        sequence.add_gate(gate)
    return sequence
