"""Dorrin block encoding and the block-encoding layer."""
import numpy as np
import pytest
import scipy.linalg

from quorvex.core import Circuit
from quorvex.library.block_encoding import block_encode
from quorvex.library.block_encoding.dorrin.dorrin import Dorrin
from quorvex.library.block_encoding.tools import normalize_matrix, pad_to_power_of_two


def executed_unitary(circuit):
    n = circuit.get_num_qubits()
    cols = []
    for j in range(2 ** n):
        qc = Circuit(n)
        for q in range(n):
            if j >> q & 1:
                qc.x(q)
        qc.append(circuit, list(range(n)))
        cols.append(np.asarray(qc.execute().state))
    return np.array(cols).T


def matrices():
    rng = np.random.default_rng(7)
    real = rng.normal(size=(4, 4))
    cplx = rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2))
    Q, _ = np.linalg.qr(rng.normal(size=(4, 4)))
    norm_one = Q @ np.diag([1.0, 0.5, 0.2, 0.1]) @ Q.T
    return {"real": real, "complex": cplx, "three": rng.normal(size=(3, 3)),
            "norm one": norm_one, "one by one": np.array([[-2.5]])}


@pytest.mark.parametrize("name", list(matrices()))
def test_encoding_is_unitary_with_the_scaled_matrix_in_its_corner(name):
    A = matrices()[name]
    circuit, alpha, logn, U = Dorrin().encode(A)
    n = A.shape[0]
    size = 1 << logn
    assert logn == (n - 1).bit_length() and circuit.get_num_qubits() == logn + 1
    assert alpha == pytest.approx(np.linalg.norm(A, 2))
    np.testing.assert_allclose(U.conj().T @ U, np.eye(2 * size), atol=1e-7)
    np.testing.assert_allclose(U[:n, :n], A / alpha, atol=1e-12)
    np.testing.assert_array_equal(U[n:size, :n], 0)
    np.testing.assert_array_equal(U[:n, n:size], 0)
    np.testing.assert_allclose(executed_unitary(circuit), U, atol=1e-7)


def test_identity_and_padding_cases():
    circuit, alpha, logn, U = Dorrin().encode(np.eye(2))
    assert (alpha, logn, circuit.get_num_qubits()) == (1.0, 1, 2)
    np.testing.assert_allclose(U, np.diag([1, 1, -1, -1]), atol=1e-15)
    circuit, _, logn, U = Dorrin().encode(np.diag([1.0, 2.0, 3.0]))
    assert (logn, U.shape, circuit.get_num_qubits()) == (2, (8, 8), 3)


def test_compute_d_is_the_matrix_square_root():
    rng = np.random.default_rng(3)
    A = rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4))
    A /= 1.5 * np.linalg.norm(A, 2)
    D = Dorrin()._compute_D(A)
    np.testing.assert_allclose(D, scipy.linalg.sqrtm(np.eye(4) - A.conj().T @ A), atol=1e-12)
    # Norm one in one direction: singular, no error.
    D = Dorrin()._compute_D(np.diag([1.0, 0.5]))
    np.testing.assert_allclose(D, np.diag([0.0, np.sqrt(0.75)]), atol=1e-8)


def test_verbose_prints_four_lines(capsys):
    Dorrin().encode(np.diag([1.0, 2.0, 3.0]))
    assert capsys.readouterr().out == ""
    Dorrin().encode(matrix=np.diag([1.0, 2.0, 3.0]), verbose=1)
    assert capsys.readouterr().out.splitlines() == [
        "Dorrin: Encoding (3, 3) matrix",
        "  Normalization factor: alpha = 3.000000",
        "  Padded size: 4x4",
        "  Total qubits required: 3",
    ]


def test_block_encode_layer():
    result = block_encode(np.diag([0.5, -1.0]), method="dorrin")
    assert result.alpha == pytest.approx(1.0) and result.circuit.get_num_qubits() == 2
    with pytest.raises(ValueError, match="dorrin"):
        block_encode(np.eye(2), method="other")


@pytest.mark.parametrize("bad", [np.zeros((2, 2)), np.zeros((0, 0)), np.ones(3), [[np.nan]]])
def test_normalize_refuses_what_has_no_spectral_scale(bad):
    with pytest.raises(ValueError):
        normalize_matrix(bad)


def test_tools():
    with pytest.raises(ValueError):
        normalize_matrix(np.eye(2), norm_type="frobenius")
    scaled, alpha = normalize_matrix(np.diag([3.0, -4.0]))
    assert alpha == pytest.approx(4.0)
    np.testing.assert_allclose(scaled, np.diag([0.75, -1.0]))
    for n, logn in [(1, 0), (2, 1), (3, 2), (5, 3), (8, 3)]:
        padded, got, size = pad_to_power_of_two(np.ones((n, n)))
        assert (got, size, padded.shape) == (logn, 1 << logn, (size, size))
        assert padded[:n, :n].sum() == n * n and padded.sum() == n * n
