"""Implementation of the Dorrin method for block encoding matrices.

A matrix is scaled to spectral norm at most 1, padded to a power-of-two size
and embedded in the unitary dilation U = [[A, sqrt(I - A A^+)],
[sqrt(I - A^+ A), -A^+]], which one dense gate applies.
"""
import numpy as np
from typing import Tuple, Optional

from quorvex.core import Circuit
from quorvex.library.block_encoding.tools import normalize_matrix, pad_to_power_of_two


class Dorrin:
    """Constructs a unitary U whose top-left block equals A/alpha.

    It keeps no public state: all configuration is passed per call to `encode`.
    """

    def encode(self, matrix: np.ndarray, verbose: bool = False) -> Tuple[Circuit, float, int]:
        """Block-encode ``matrix``.

        Returns (circuit, alpha, logn, U): a circuit on logn + 1 qubits that
        applies U as one dense gate, its highest qubit the encoding flag; the
        normalisation alpha; the number logn of index qubits; and U itself.
        """
        if verbose:
            print("Dorrin: Encoding " + str(np.shape(matrix)) + " matrix")
        a, alpha = normalize_matrix(matrix, norm_type="spectral")
        a, logn, n_padded = pad_to_power_of_two(a)
        a_dag = a.conj().T
        D = self._compute_D(a)
        D1 = self._compute_D(a_dag)
        U = np.block([[a, D1], [D, -a_dag]])
        if verbose:
            print(f"  Normalization factor: alpha = {alpha:.6f}")
            print(f"  Padded size: {n_padded}x{n_padded}")
            print(f"  Total qubits required: {logn + 1}")
        n_qubits = logn + 1
        circuit = Circuit(n_qubits, name="Dorrin")
        circuit.unitary(U, list(range(n_qubits)))
        return circuit, alpha, logn, U

    def _compute_D(self, A: np.ndarray) -> np.ndarray:
        """Return sqrt(I - A^+ A) through an eigendecomposition."""
        n = A.shape[0]
        I = np.eye(n, dtype=complex)
        M = I - (A.conj().T @ A)
        eigenvalues, eigenvectors = np.linalg.eigh(M)
        # Rounding leaves tiny negative eigenvalues where A has norm 1.
        roots = np.sqrt(np.maximum(eigenvalues, 0))
        # Scaling the columns is the product with diag(roots) without its
        # n**3 multiplications by zero.
        return (eigenvectors * roots) @ eigenvectors.conj().T
