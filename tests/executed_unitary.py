"""The matrix a circuit applies, read column by column from basis-state runs."""
import numpy as np

from quorvex.core import Circuit


def executed_unitary(circuit):
    """Column j is the circuit run from |j> (qubit q = bit q of j)."""
    n = circuit.get_num_qubits()
    columns = []
    for j in range(2 ** n):
        qc = Circuit(n)
        for q in range(n):
            if j >> q & 1:
                qc.x(q)
        qc.append(circuit, list(range(n)))
        columns.append(np.asarray(qc.execute().state))
    return np.array(columns).T
