"""Fermi-Hubbard builder: text forms, physics of the Pauli terms, argument handling."""
import itertools
import math
import re
from functools import reduce

import numpy as np
import pytest

from quorvex.library.fermi_hubbard import quandrel as fh

UP, DOWN, DAG = "\u2191", "\u2193", "\u2020"
NAN, INF = float("nan"), float("inf")


# --------------------------------------------------------------------------
# Golden texts
# --------------------------------------------------------------------------

@pytest.mark.parametrize("args, text", [
    # L = 1: no hopping whatever t is; U = B = 0 leaves nothing at all.
    ((1, 7.0, 0.0, 0.0), "0 * II"),
    ((1, 5, 4, 0), "1.0 * II - 1.0 * IZ - 1.0 * ZI + 1.0 * ZZ"),
    # U = 2B: the up-spin Z cancels exactly and is dropped.
    ((1, 0, 2, 1), "0.5 * II - 1.0 * IZ + 0.5 * ZZ"),
    # U = -2B: the down-spin Z cancels instead.
    ((1, 0, 2, -1), "0.5 * II - 1.0 * ZI + 0.5 * ZZ"),
    ((2, 1, 2, 0.5),
     "1.0 * IIII - 0.75 * IIIZ - 0.25 * IIZI + 0.5 * IIZZ - 0.5 * IXZX - 0.5 * IYZY"
     " - 0.75 * IZII - 0.5 * XZXI - 0.5 * YZYI - 0.25 * ZIII + 0.5 * ZZII"),
    # A negative first coefficient carries a bare minus.
    ((2, 1, 0, 0), "-0.5 * IXZX - 0.5 * IYZY - 0.5 * XZXI - 0.5 * YZYI"),
    ((2, -1, 0, 0), "0.5 * IXZX + 0.5 * IYZY + 0.5 * XZXI + 0.5 * YZYI"),
    # Filter boundary: 5e-13 is dropped, exactly 1e-12 is kept.
    ((2, 1e-12, 0, 0), "0 * IIII"),
    ((2, 2e-12, 0, 0),
     "-1e-12 * IXZX - 1e-12 * IYZY - 1e-12 * XZXI - 1e-12 * YZYI"),
    # The identity is summed once per site, in sequence.
    ((3, 0, 0.1, 0),
     "0.07500000000000001 * IIIIII - 0.025 * IIIIIZ - 0.025 * IIIIZI + 0.025 * IIIIZZ"
     " - 0.025 * IIIZII - 0.025 * IIZIII + 0.025 * IIZZII - 0.025 * IZIIII"
     " - 0.025 * ZIIIII + 0.025 * ZZIIII"),
    ((1, 0, 0, 2e16), "-1e+16 * IZ + 1e+16 * ZI"),
    ((1, 0, 0, 2e-4), "-0.0001 * IZ + 0.0001 * ZI"),
])
def test_quandrel_text(args, text):
    assert fh.quandrel(*args) == text


def test_identity_sum_may_overflow_to_inf():
    text = fh.quandrel(8, 0, 1e308, 0)
    assert text.startswith("inf * " + "I" * 16 + " - 2.5e+307 * ")
    assert fh.quandrel_terms(8, 0, 1e308, 0)["I" * 16] == INF


def test_terms_are_sorted_and_merged():
    terms = fh.quandrel_terms(1, 5, 4, 0)
    assert list(terms.items()) == [("II", 1.0), ("IZ", -1.0), ("ZI", -1.0), ("ZZ", 1.0)]
    assert all(type(v) is float for v in terms.values())

    terms = fh.quandrel_terms(3, 1, 0, 0)
    assert list(terms) == sorted(terms)
    hops = {"XZXIII", "IXZXII", "IIXZXI", "IIIXZX"}
    assert set(terms) == hops | {h.replace("X", "Y") for h in hops}
    assert set(terms.values()) == {-0.5}

    assert fh.quandrel_terms(1, 0, 0, 0) == {}


@pytest.mark.parametrize("L", [1, 2, 3, 5])
def test_term_count_bound(L):
    assert len(fh.quandrel_terms(L, 0.3, 0.7, 0.11)) == 7 * L - 3


@pytest.mark.parametrize("args, lines", [
    ((2, 1, 2, 0.5), [
        f"-1.0 * c{DAG}_{{1{UP}}}c_{{2{UP}}}", f"-1.0 * c{DAG}_{{2{UP}}}c_{{1{UP}}}",
        f"-1.0 * c{DAG}_{{1{DOWN}}}c_{{2{DOWN}}}", f"-1.0 * c{DAG}_{{2{DOWN}}}c_{{1{DOWN}}}",
        f"+2.0 * n_{{1{UP}}}n_{{1{DOWN}}}", f"+2.0 * n_{{2{UP}}}n_{{2{DOWN}}}",
        f"-0.5 * n_{{1{UP}}}", f"+0.5 * n_{{1{DOWN}}}",
        f"-0.5 * n_{{2{UP}}}", f"+0.5 * n_{{2{DOWN}}}"]),
    ((2, -1, 0, 0), [
        f"+1.0 * c{DAG}_{{1{UP}}}c_{{2{UP}}}", f"+1.0 * c{DAG}_{{2{UP}}}c_{{1{UP}}}",
        f"+1.0 * c{DAG}_{{1{DOWN}}}c_{{2{DOWN}}}", f"+1.0 * c{DAG}_{{2{DOWN}}}c_{{1{DOWN}}}"]),
    ((1, 0, 0, 2), [f"-2.0 * n_{{1{UP}}}", f"+2.0 * n_{{1{DOWN}}}"]),
    # No tolerance here: a tiny t is listed although the Pauli form drops it.
    ((2, 1e-13, 0, 0), [
        f"-1e-13 * c{DAG}_{{1{UP}}}c_{{2{UP}}}", f"-1e-13 * c{DAG}_{{2{UP}}}c_{{1{UP}}}",
        f"-1e-13 * c{DAG}_{{1{DOWN}}}c_{{2{DOWN}}}", f"-1e-13 * c{DAG}_{{2{DOWN}}}c_{{1{DOWN}}}"]),
    ((1, 3, 0, 0), None),
    ((2, -0.0, -0.0, 0.0), None),
])
def test_fermi_hubbard_hamiltonian_text(args, lines):
    expected = "H = 0" if lines is None else "H =\n" + "\n".join(lines)
    assert fh.fermi_hubbard_hamiltonian(*args) == expected


def test_fermi_hubbard_hamiltonian_line_order():
    lines = fh.fermi_hubbard_hamiltonian(3, 1, 1, 1).split("\n")
    assert lines[0] == "H ="
    assert len(lines) == 1 + 8 + 3 + 6
    assert lines[5] == f"-1.0 * c{DAG}_{{2{UP}}}c_{{3{UP}}}"
    assert lines[9] == f"+1.0 * n_{{1{UP}}}n_{{1{DOWN}}}"
    assert lines[-2:] == [f"-1.0 * n_{{3{UP}}}", f"+1.0 * n_{{3{DOWN}}}"]


@pytest.mark.parametrize("L, text", [
    (1, f"(q0, q1) = (1{UP}, 1{DOWN})"),
    (2, f"(q0, q1, q2, q3) = (1{UP}, 1{DOWN}, 2{UP}, 2{DOWN})"),
    (2.5, f"(q0, q1, q2, q3) = (1{UP}, 1{DOWN}, 2{UP}, 2{DOWN})"),
    (6, None),
])
def test_qubit_site_spin_mapping(L, text):
    result = fh.qubit_site_spin_mapping(L)
    if text is not None:
        assert result == text
    else:
        assert result.startswith("(q0, q1, q2, ") and result.endswith(f"6{UP}, 6{DOWN})")
        assert "q11) = (" in result and "q12" not in result


@pytest.mark.parametrize("coefficient, operator, text", [
    (1.0, f"n_{{1{UP}}}", f"+1.0 * n_{{1{UP}}}"),
    (-0.5, f"n_{{1{UP}}}", f"-0.5 * n_{{1{UP}}}"),
    (0.0, "x", "-0.0 * x"),
    (3, "", "+3.0 * "),
])
def test_format_fermion_term(coefficient, operator, text):
    assert fh._format_fermion_term(coefficient, operator) == text


@pytest.mark.parametrize("n, operators, text", [
    (4, {}, "IIII"),
    (4, {0: "X", 1: "Z", 2: "X"}, "XZXI"),
    (3, {-1: "Z"}, "IIZ"),
    (0, {}, ""),
    (-2, {}, ""),
    (3, {0: "X", 0.0 + 2: "Y", -3: "Z"}, "ZIY"),   # float key via int(); later entry wins
    (2, {1: "anything"}, "Ianything"),
])
def test_pauli_string(n, operators, text):
    assert fh._pauli_string(n, operators) == text


# --------------------------------------------------------------------------
# Physics: the Pauli sum equals the fermionic Hamiltonian built directly in the
# occupation-number basis (no Jordan-Wigner strings involved on this side).
# --------------------------------------------------------------------------

PAULI = {
    "I": np.eye(2),
    "X": np.array([[0, 1], [1, 0]], dtype=complex),
    "Y": np.array([[0, -1j], [1j, 0]]),
    "Z": np.diag([1.0, -1.0]),
}


def pauli_sum(terms, n):
    h = np.zeros((2**n, 2**n), dtype=complex)
    for label, coefficient in terms.items():
        assert len(label) == n
        # Qubit 0 is the leftmost character and the leftmost Kronecker factor.
        h += coefficient * reduce(np.kron, [PAULI[c] for c in label])
    return h


def creation_operators(n):
    """c^dagger_j for modes 0..n-1; |1> is occupied; mode j is the j-th tensor factor."""
    dim = 2**n
    ops = []
    for j in range(n):
        c_dag = np.zeros((dim, dim))
        for occupation in itertools.product((0, 1), repeat=n):
            if occupation[j]:
                continue
            target = list(occupation)
            target[j] = 1
            sign = (-1) ** sum(occupation[:j])
            col = int("".join(map(str, occupation)), 2)
            row = int("".join(map(str, target)), 2)
            c_dag[row, col] = sign
        ops.append(c_dag)
    return ops


def fermionic_hamiltonian(L, t, U, B):
    n = 2 * L
    c_dag = creation_operators(n)
    c = [op.T for op in c_dag]
    num = [c_dag[j] @ c[j] for j in range(n)]
    up = lambda s: 2 * s
    down = lambda s: 2 * s + 1
    h = np.zeros((2**n, 2**n))
    for s in range(L - 1):
        for mode in (up, down):
            i, j = mode(s), mode(s + 1)
            h -= t * (c_dag[i] @ c[j] + c_dag[j] @ c[i])
    for s in range(L):
        h += U * num[up(s)] @ num[down(s)]
        h -= B * (num[up(s)] - num[down(s)])
    return h


def test_creation_operators_anticommute():
    ops = creation_operators(4)
    for a, b in itertools.product(range(4), repeat=2):
        anti = ops[a] @ ops[b].T + ops[b].T @ ops[a]
        assert np.array_equal(anti, np.eye(16) * (a == b))
        assert not np.any(ops[a] @ ops[b] + ops[b] @ ops[a])


@pytest.mark.parametrize("L", [1, 2, 3])
@pytest.mark.parametrize("t, U, B", [
    (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0), (0.7, -1.3, 0.45), (-1.1, 2.5, -0.8),
])
def test_pauli_terms_reproduce_fermionic_hamiltonian(L, t, U, B):
    expected = fermionic_hamiltonian(L, t, U, B)
    actual = pauli_sum(fh.quandrel_terms(L, t, U, B), 2 * L)
    np.testing.assert_allclose(actual, expected, rtol=0, atol=1e-12)


_LINE = re.compile(
    r"([+-])(\S+) \* (?:c\u2020_\{(\d+)(.)\}c_\{(\d+)(.)\}|n_\{(\d+)(.)\}(?:n_\{(\d+)(.)\})?)$")


def hamiltonian_from_text(text, L):
    """Rebuild the matrix from the fermionic listing, 1-based sites, up on 2(k-1)."""
    n = 2 * L
    c_dag = creation_operators(n)
    mode = lambda site, arrow: 2 * (int(site) - 1) + (arrow == DOWN)
    h = np.zeros((2**n, 2**n))
    head, *lines = text.split("\n")
    assert head == "H ="
    for line in lines:
        m = _LINE.match(line)
        assert m, line
        value = float(m[2]) * (1 if m[1] == "+" else -1)
        if m[3]:
            op = c_dag[mode(m[3], m[4])] @ c_dag[mode(m[5], m[6])].T
        else:
            op = c_dag[mode(m[7], m[8])] @ c_dag[mode(m[7], m[8])].T
            if m[9]:
                op = op @ c_dag[mode(m[9], m[10])] @ c_dag[mode(m[9], m[10])].T
        h += value * op
    return h


@pytest.mark.parametrize("L", [1, 2, 3])
def test_fermionic_text_matches_pauli_form(L):
    t, U, B = 0.7, -1.3, 0.45
    from_text = hamiltonian_from_text(fh.fermi_hubbard_hamiltonian(L, t, U, B), L)
    np.testing.assert_allclose(from_text, fermionic_hamiltonian(L, t, U, B), rtol=0, atol=1e-12)
    np.testing.assert_allclose(pauli_sum(fh.quandrel_terms(L, t, U, B), 2 * L), from_text,
                               rtol=0, atol=1e-12)


# --------------------------------------------------------------------------
# Argument conversion and validation
# --------------------------------------------------------------------------

def test_accepted_conversions():
    # int parameters go through int(), float parameters through the double conversion.
    assert fh.quandrel(2.7, True, np.float32(2.0), 0.5) == fh.quandrel(2, 1.0, 2.0, 0.5)
    assert fh.quandrel_terms(np.int64(1), 0, 4, False) == {"II": 1.0, "IZ": -1.0, "ZI": -1.0,
                                                           "ZZ": 1.0}
    assert fh.quandrel_terms(L=1, B=0, U=4, t=5) == fh.quandrel_terms(1, 5, 4, 0)
    assert fh._validate_length(True) is None
    assert fh._validate_length(2.9) is None
    result = fh._validate_parameters(1, 2, True)
    assert result == (1.0, 2.0, 1.0) and all(type(v) is float for v in result)


class StrSub(str):
    pass


class DictSub(dict):
    pass


POSITIVE = "L must be a positive integer"
SUBCLASS_NOTE = "subclasses of builtin types"

ERRORS = [
    # Binding.
    (fh.quandrel_terms, (1, 2, 3), {}, TypeError,
     "quandrel_terms() takes exactly 4 positional arguments (3 given)"),
    (fh.quandrel, (1, 2, 3, 4, 5), {}, TypeError,
     "quandrel() takes exactly 4 positional arguments (5 given)"),
    (fh.quandrel_terms, (), {"L": 1, "t": 2, "B": 3}, TypeError,
     "quandrel_terms() takes exactly 4 positional arguments (2 given)"),
    (fh.qubit_site_spin_mapping, (), {}, TypeError,
     "qubit_site_spin_mapping() takes exactly 1 positional argument (0 given)"),
    (fh.fermi_hubbard_hamiltonian, (1, 2, 3, 4), {"X": 1}, TypeError,
     "fermi_hubbard_hamiltonian() got an unexpected keyword argument 'X'"),
    (fh.quandrel, (1, 2, 3, 4), {"U": 1}, TypeError,
     "quandrel() got multiple values for keyword argument 'U'"),
    # int conversion.
    (fh._validate_length, ("3",), {}, TypeError,
     "Argument 'L' has incorrect type (expected int, got str)"),
    (fh.qubit_site_spin_mapping, (None,), {}, TypeError,
     "Argument 'L' has incorrect type (expected int, got NoneType)"),
    (fh.quandrel, ([2], 1, 1, 1), {}, TypeError,
     "Argument 'L' has incorrect type (expected int, got list)"),
    (fh.quandrel_terms, (NAN, 1, 1, 1), {}, ValueError, "cannot convert float NaN to integer"),
    (fh.quandrel_terms, (INF, 1, 1, 1), {}, OverflowError,
     "cannot convert float infinity to integer"),
    (fh._validate_length, (1j,), {}, TypeError,
     "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
    (fh._pauli_string, ("2", {}), {}, TypeError,
     "Argument 'number_of_qubits' has incorrect type (expected int, got str)"),
    # float conversion; type failures come before any value check.
    (fh.quandrel, (1, "1", 1, 1), {}, TypeError, "must be real number, not str"),
    (fh._validate_inputs, (0, "x", 1, 1), {}, TypeError, "must be real number, not str"),
    (fh._validate_inputs, ("x", NAN, 1, 1), {}, TypeError,
     "Argument 'L' has incorrect type (expected int, got str)"),
    (fh.quandrel, (1, 1, 1, None), {}, TypeError, "must be real number, not NoneType"),
    (fh._validate_parameters, (10**400, 1, 1), {}, OverflowError,
     "int too large to convert to float"),
    # str / dict parameters: exact type only.
    (fh._pauli_string, (2, [1]), {}, TypeError,
     "Argument 'operators' has incorrect type (expected dict, got list)"),
    (fh._pauli_string, (2, DictSub()), {}, TypeError,
     "Argument 'operators' has incorrect type (expected dict, got DictSub)"),
    (fh._format_fermion_term, (1.0, None), {}, TypeError,
     "Argument 'operator' has incorrect type (expected str, got NoneType)"),
    (fh._format_fermion_term, (1.0, StrSub("x")), {}, TypeError,
     "Argument 'operator' has incorrect type (expected str, got StrSub)"),
    (fh._format_fermion_term, ("1", "x"), {}, TypeError, "must be real number, not str"),
    # Entries of the operator map.
    (fh._pauli_string, (2, {"0": "X"}), {}, TypeError, "Expected int, got str"),
    (fh._pauli_string, (2, {0: 1}), {}, TypeError, "Expected str, got int"),
    (fh._pauli_string, (2, {5: "X"}), {}, IndexError, "list assignment index out of range"),
    (fh._pauli_string, (2, {-3: "X"}), {}, IndexError, "list assignment index out of range"),
    # Values: L first, then t, U, B.
    (fh._validate_length, (0,), {}, ValueError, POSITIVE),
    (fh._validate_length, (False,), {}, ValueError, POSITIVE),
    (fh._validate_length, (0.5,), {}, ValueError, POSITIVE),
    (fh._validate_length, (-3,), {}, ValueError, POSITIVE),
    (fh._validate_inputs, (0, NAN, NAN, NAN), {}, ValueError, POSITIVE),
    (fh.quandrel_terms, (0, 1, 1, 1), {}, ValueError, POSITIVE),
    (fh.quandrel, (-1, 1, 1, 1), {}, ValueError, POSITIVE),
    (fh.fermi_hubbard_hamiltonian, (0, 1, 1, 1), {}, ValueError, POSITIVE),
    (fh.qubit_site_spin_mapping, (0,), {}, ValueError, POSITIVE),
    (fh._validate_parameters, (NAN, NAN, NAN), {}, ValueError, "t must be finite"),
    (fh._validate_parameters, (1.0, INF, NAN), {}, ValueError, "U must be finite"),
    (fh.quandrel_terms, (1, 1, 1, -INF), {}, ValueError, "B must be finite"),
    (fh.quandrel, (1, INF, 0, 0), {}, ValueError, "t must be finite"),
    (fh.fermi_hubbard_hamiltonian, (1, 0, NAN, 0), {}, ValueError, "U must be finite"),
]


@pytest.mark.parametrize("func, args, kwargs, exc, message", ERRORS,
                         ids=[f"{i:02d}-{e[0].__name__}" for i, e in enumerate(ERRORS)])
def test_errors(func, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message
    if "Sub" in message:
        assert any(SUBCLASS_NOTE in note for note in getattr(info.value, "__notes__", []))


def test_pauli_string_none_entries_fail_in_python():
    with pytest.raises(TypeError, match="list indices must be integers"):
        fh._pauli_string(2, {None: "X"})
    with pytest.raises(TypeError, match="expected str instance, NoneType found"):
        fh._pauli_string(2, {1: None})


# --------------------------------------------------------------------------
# Module frame
# --------------------------------------------------------------------------

def test_module_frame():
    assert fh.__doc__ == "Jordan--Wigner mapping for the open one-dimensional Fermi--Hubbard model."
    assert fh._ZERO_TOLERANCE == 1e-12
    assert not hasattr(fh, "__all__")
    float3 = {"t": "float", "U": "float", "B": "float"}
    expected = {
        fh._validate_length: ({"L": "int", "return": "None"},
                              "Validate the number of lattice sites."),
        fh._validate_parameters: (
            {**float3, "return": "tuple[float, float, float]"},
            "Validate and normalize the three real-valued model parameters."),
        fh._validate_inputs: ({"L": "int", **float3, "return": "tuple[float, float, float]"},
                              None),
        fh._pauli_string: ({"number_of_qubits": "int", "operators": "dict[int, str]",
                            "return": "str"}, None),
        fh.quandrel_terms: ({"L": "int", **float3, "return": "dict[str, float]"},
                            "Return the merged Jordan--Wigner Pauli terms for an open chain."),
        fh.quandrel: ({"L": "int", **float3, "return": "str"},
                      "Format the merged Pauli-string Hamiltonian deterministically."),
        fh._format_fermion_term: ({"coefficient": "float", "operator": "str", "return": "str"},
                                  None),
        fh.fermi_hubbard_hamiltonian: (
            {"L": "int", **float3, "return": "str"},
            "Expand the original open-chain Hamiltonian without summation symbols."),
        fh.qubit_site_spin_mapping: (
            {"L": "int", "return": "str"},
            "Return q0, q1, ... mapped to site-major up/down fermion modes."),
    }
    for func, (annotations, doc) in expected.items():
        assert func.__annotations__ == annotations, func.__name__
        assert func.__doc__ == doc, func.__name__
