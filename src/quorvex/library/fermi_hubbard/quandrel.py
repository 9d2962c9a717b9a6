"""Jordan--Wigner mapping for the open one-dimensional Fermi--Hubbard model."""

import math

# Coefficients smaller than this in magnitude are rounding residue of
# cancelling contributions, not physics, and are left out of the Pauli form.
_ZERO_TOLERANCE = 1e-12


def _validate_length(L: int) -> None:
    """Validate the number of lattice sites."""
    if L <= 0:
        raise ValueError("L must be a positive integer")
    return None


def _validate_parameters(t: float, U: float, B: float) -> tuple[float, float, float]:
    """Validate and normalize the three real-valued model parameters."""
    for name, value in (("t", t), ("U", U), ("B", B)):
        if not math.isfinite(value):
            raise ValueError(name + " must be finite")
    return (t, U, B)


def _validate_inputs(L: int, t: float, U: float, B: float) -> tuple[float, float, float]:
    _validate_length(L)
    return _validate_parameters(t, U, B)


def _pauli_string(number_of_qubits: int, operators: dict[int, str]) -> str:
    paulis = ["I"] * number_of_qubits
    qubit: int
    operator: str
    for qubit, operator in operators.items():
        # Plain list indexing on purpose: a negative qubit counts from the
        # right end and an out-of-range one raises IndexError.
        paulis[qubit] = operator
    return "".join(paulis)


def quandrel_terms(L: int, t: float, U: float, B: float) -> dict[str, float]:
    """Return the merged Jordan--Wigner Pauli terms for an open chain."""
    t_value, U_value, B_value = _validate_inputs(L, t, U, B)
    number_of_qubits = 2 * L
    identity = "I" * number_of_qubits
    terms = {}

    def add_term(pauli: str, coefficient: float) -> None:
        # Contributions are summed in the order they arrive; that order fixes
        # the printed coefficients to the last bit.
        terms[pauli] = terms.get(pauli, 0.0) + coefficient

    # Site s carries spin up on qubit 2s and spin down on qubit 2s + 1, so a
    # same-spin hop between neighbouring sites spans two qubits and the
    # Jordan--Wigner string is the single Z on the qubit in between.
    for site in range(L - 1):
        for spin_offset in (0, 1):
            left = 2 * site + spin_offset
            right = left + 2
            z_chain = {qubit: "Z" for qubit in range(left + 1, right)}
            for endpoint_operator in ("X", "Y"):
                operators = {left: endpoint_operator}
                operators.update(z_chain)
                operators[right] = endpoint_operator
                add_term(_pauli_string(number_of_qubits, operators), (-t_value) / 2.0)

    # U n_up n_down = U/4 (I - Z_up - Z_down + Z_up Z_down) and
    # -B (n_up - n_down) = B/2 Z_up - B/2 Z_down; the identity parts of the
    # field term cancel and are never generated.
    for site in range(L):
        up = 2 * site
        down = up + 1
        add_term(identity, U_value / 4.0)
        add_term(_pauli_string(number_of_qubits, {up: "Z"}), (-U_value) / 4.0)
        add_term(_pauli_string(number_of_qubits, {down: "Z"}), (-U_value) / 4.0)
        add_term(_pauli_string(number_of_qubits, {up: "Z", down: "Z"}), U_value / 4.0)
        add_term(_pauli_string(number_of_qubits, {up: "Z"}), B_value / 2.0)
        add_term(_pauli_string(number_of_qubits, {down: "Z"}), (-B_value) / 2.0)

    # Keys are unique, so the sort never compares coefficients.
    return {
        pauli: coefficient
        for pauli, coefficient in sorted(terms.items())
        if abs(coefficient) >= _ZERO_TOLERANCE
    }


def quandrel(L: int, t: float, U: float, B: float) -> str:
    """Format the merged Pauli-string Hamiltonian deterministically."""
    terms = quandrel_terms(L, t, U, B)
    if not terms:
        return "0 * " + "I" * (2 * L)
    pieces = []
    for index, (pauli, coefficient) in enumerate(terms.items()):
        magnitude = abs(coefficient)
        if index == 0:
            sign = "-" if coefficient < 0.0 else ""
        else:
            sign = " - " if coefficient < 0.0 else " + "
        pieces.append(sign + repr(magnitude) + " * " + pauli)
    return "".join(pieces)


def _format_fermion_term(coefficient: float, operator: str) -> str:
    sign = "+" if coefficient > 0 else "-"
    return sign + repr(abs(coefficient)) + " * " + operator


def fermi_hubbard_hamiltonian(L: int, t: float, U: float, B: float) -> str:
    """Expand the original open-chain Hamiltonian without summation symbols."""
    t_value, U_value, B_value = _validate_inputs(L, t, U, B)
    lines = []

    # Exact zero tests: this is the model as written, so any non-zero
    # parameter shows its terms, however small.
    hopping_coefficient = -t_value
    if hopping_coefficient != 0.0:
        for site in range(1, L):
            next_site = site + 1
            for spin in ("\u2191", "\u2193"):
                lines.append(_format_fermion_term(
                    hopping_coefficient,
                    "c\u2020_{" + str(site) + spin + "}c_{" + str(next_site) + spin + "}"))
                lines.append(_format_fermion_term(
                    hopping_coefficient,
                    "c\u2020_{" + str(next_site) + spin + "}c_{" + str(site) + spin + "}"))

    if U_value != 0.0:
        for site in range(1, L + 1):
            lines.append(_format_fermion_term(
                U_value, "n_{" + str(site) + "\u2191}n_{" + str(site) + "\u2193}"))

    if B_value != 0.0:
        for site in range(1, L + 1):
            lines.append(_format_fermion_term(-B_value, "n_{" + str(site) + "\u2191}"))
            lines.append(_format_fermion_term(B_value, "n_{" + str(site) + "\u2193}"))

    if lines:
        return "H =\n" + "\n".join(lines)
    return "H = 0"


def qubit_site_spin_mapping(L: int) -> str:
    """Return q0, q1, ... mapped to site-major up/down fermion modes."""
    _validate_length(L)
    qubits = ", ".join("q" + str(k) for k in range(2 * L))
    modes = ", ".join(
        str(site) + spin for site in range(1, L + 1) for spin in ("\u2191", "\u2193"))
    return "(" + qubits + ") = (" + modes + ")"
