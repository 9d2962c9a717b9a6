"""Values and gradients of the QML execution mixin against a dense NumPy model.

The reference below builds full 2**n x 2**n operators (qubit q is bit q of
an amplitude index) and never touches the circuit layer, so an agreement of
every execution path with it to 1e-12 checks the mixin, the host fixture and
the circuit layer's PyTorch path together.
"""
import random
import time

import numpy as np
import pytest
import torch

from qml_host import QmlHost, capabilities
from quorvex.library.qml.objectives.supervised import SupervisedObjective

TOL = 1e-12
DTYPE = torch.float64


@pytest.fixture(autouse=True)
def one_torch_thread():
    before = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(before)


# ---------------------------------------------------------------------------
# The dense reference model

def _ry(t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -s], [s, c]], dtype=complex)


def _rz(t):
    return np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)])


def _on(n, q, gate):
    return np.kron(np.kron(np.eye(1 << (n - 1 - q)), gate), np.eye(1 << q))


def _cx(n, control, target):
    dim = 1 << n
    op = np.zeros((dim, dim))
    for i in range(dim):
        op[i ^ (1 << target) if (i >> control) & 1 else i, i] = 1.0
    return op


def dense_readout(n, layers, x, quantum, *, scaled=False, uses_inputs=False):
    """<Z_q> for q = 0..n-1 of one sample."""
    e = n if scaled else 0
    weights, angles = quantum[:e], quantum[e:]
    encoded = [weights[q] * x[q] if scaled else x[q] for q in range(n)]
    psi = np.zeros(1 << n, dtype=complex)
    psi[0] = 1.0

    def encode(psi):
        for q in range(n):
            psi = _on(n, q, _ry(encoded[q])) @ psi
        return psi

    psi = encode(psi)
    for layer in range(layers):
        if uses_inputs:
            psi = encode(psi)
        base = 2 * n * layer
        for q in range(n):
            psi = _on(n, q, _ry(angles[base + q])) @ psi
            psi = _on(n, q, _rz(angles[base + n + q])) @ psi
        for q in range(n - 1):
            psi = _cx(n, q, q + 1) @ psi
    probabilities = np.abs(psi) ** 2
    return np.array([sum(p * (1 - 2 * ((i >> q) & 1)) for i, p in enumerate(probabilities))
                     for q in range(n)])


def dense_raw(host, x, quantum):
    n, kind = host.num_qubits, _kind(host)
    return np.array([dense_readout(n, host.ansatz.layers, row, quantum, **kind) for row in np.atleast_2d(x)])


def dense_outputs(host, x, parameters):
    q = host.quantum_parameter_count
    raw = dense_raw(host, x, parameters[:q])
    split = host.readout_width * host.output_dim
    return raw @ parameters[q:q + split].reshape(host.readout_width, host.output_dim) + parameters[q + split:]


def _kind(host):
    return {"scaled": host.encoding.parameter_count > 0, "uses_inputs": host.ansatz.uses_inputs}


def dense_gradient(f, rows, cotangent, h=1e-5):
    """Central differences of sum(f(row_i) * cotangent_i) with respect to every row."""
    grad = np.zeros_like(rows)
    for i, row in enumerate(rows):
        for k in range(row.size):
            up, down = row.copy(), row.copy()
            up[k] += h
            down[k] -= h
            grad[i, k] = np.sum((f(up) - f(down)) * cotangent[i]) / (2 * h)
    return grad


# ---------------------------------------------------------------------------
# Hosts

KINDS = {
    "plain": {},
    "scaled": {"scaled": True},
    "reupload": {"uses_inputs": True},
}


class SleepyReadout:
    """Delays each sample at random, so pool workers finish out of order."""

    def __init__(self, readout, seed):
        self._readout = readout
        self._random = random.Random(seed)

    def __call__(self, state):
        time.sleep(self._random.random() * 0.004)
        return self._readout(state)


def _data(host, samples=4, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-np.pi, np.pi, size=(samples, host.num_qubits))
    p = rng.normal(size=host.parameter_count)
    return x, p


def _t(a):
    return torch.tensor(a, dtype=DTYPE)


# ---------------------------------------------------------------------------
# Sample batches

@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("n", [1, 2, 3, 4])
def test_every_sample_path_matches_the_dense_model(n, kind):
    options = KINDS[kind]
    host = QmlHost(n, layers=2, output_dim=2, **options)
    x, p = _data(host, seed=n)
    q = host.quantum_parameter_count
    expected = dense_raw(host, x, p[:q])
    X, P = _t(x), _t(p)

    results = {
        "sequential": host.batch_quantum_forward(X, P),
        "sequential-1.0": host.batch_quantum_forward(X, P, max_workers=1.0),
        "quantum-only": host.batch_quantum_forward(X, P[:q]),
        "quantum_forward": torch.stack([host.quantum_forward(row, P) for row in X]),
        "request": torch.stack([host.backend.execute(host.quantum_execution_request(row, P[:q])) for row in X]),
    }
    sleepy = QmlHost(n, layers=2, output_dim=2, **options)
    for workers in (2, 4):
        sleepy.readout = SleepyReadout(host.readout, seed=workers)
        results["threads-%d" % workers] = sleepy.batch_quantum_forward(X, P, max_workers=workers)
    executing = QmlHost(n, layers=2, output_dim=2, readout_execute=True, **options)
    results["readout-execute"] = executing.batch_quantum_forward(X, P, max_workers=2)
    vectorised = QmlHost(n, layers=2, output_dim=2, capabilities=capabilities(), **options)
    results["vectorised-or-fallback"] = vectorised.batch_quantum_forward(X, P)

    for name, got in results.items():
        assert got.dtype == DTYPE and got.shape == expected.shape, name
        np.testing.assert_allclose(got.detach().numpy(), expected, rtol=0, atol=TOL, err_msg=name)

    one = host.batch_quantum_forward(X[0], P)
    assert one.shape == (1, n)
    np.testing.assert_allclose(one.numpy(), expected[:1], rtol=0, atol=TOL)

    outputs = host.batch_forward(X, P)
    np.testing.assert_allclose(outputs.numpy(), dense_outputs(host, x, p), rtol=0, atol=TOL)
    np.testing.assert_allclose(vectorised.batch_forward(X, P).numpy(), dense_outputs(host, x, p), rtol=0, atol=TOL)


def test_the_fixture_vectorises_exactly_the_plain_host():
    assert QmlHost(2, capabilities=capabilities())._can_vectorize_batch() is True
    assert not QmlHost(2, capabilities=capabilities(), scaled=True)._can_vectorize_batch()
    assert not QmlHost(2, capabilities=capabilities(), uses_inputs=True)._can_vectorize_batch()


# ---------------------------------------------------------------------------
# Parameter batches

def _count_ansatz_builds(host):
    calls = []
    build = host.build_ansatz_circuit

    def counted(*args, **kwargs):
        calls.append(kwargs.get("validate"))
        return build(*args, **kwargs)

    host.build_ansatz_circuit = counted
    return calls


@pytest.mark.parametrize("method", ["parameter_batch_forward", "quantum_parameter_batch_forward"])
@pytest.mark.parametrize("n", [1, 3])
def test_parameter_batches_mapped_and_per_row_match_values_and_gradients(method, n):
    mapped_host = QmlHost(n, layers=1, output_dim=2, capabilities=capabilities())
    row_host = QmlHost(n, layers=1, output_dim=2)
    x, _ = _data(mapped_host, samples=3, seed=10 + n)
    quantum_only = method == "quantum_parameter_batch_forward"
    width = mapped_host.quantum_parameter_count if quantum_only else mapped_host.parameter_count
    rng = np.random.default_rng(n)
    rows = rng.normal(size=(3, width))

    def reference(row):
        return dense_raw(mapped_host, x, row) if quantum_only else dense_outputs(mapped_host, x, row)

    expected = np.stack([reference(row) for row in rows])
    cotangent = rng.normal(size=expected.shape)
    builds = _count_ansatz_builds(mapped_host)

    grads = {}
    for name, host in (("mapped", mapped_host), ("per-row", row_host)):
        R = _t(rows).requires_grad_()
        got = getattr(host, method)(_t(x), R)
        assert got.shape == expected.shape, name
        np.testing.assert_allclose(got.detach().numpy(), expected, rtol=0, atol=TOL, err_msg=name)
        (got * _t(cotangent)).sum().backward()
        grads[name] = R.grad.numpy()

    assert builds == [False]  # one ansatz for all rows, unvalidated under vmap
    np.testing.assert_allclose(grads["mapped"], grads["per-row"], rtol=0, atol=TOL)
    np.testing.assert_allclose(grads["mapped"], dense_gradient(reference, rows, cotangent), rtol=0, atol=1e-7)


@pytest.mark.parametrize("kind", ["scaled", "reupload"])
def test_parameter_batches_fall_back_per_row_for_sample_dependent_hosts(kind):
    host = QmlHost(2, layers=1, output_dim=1, capabilities=capabilities(), **KINDS[kind])
    x, _ = _data(host, samples=2, seed=3)
    rows = np.random.default_rng(4).normal(size=(2, host.parameter_count))
    got = host.parameter_batch_forward(_t(x), _t(rows))
    expected = np.stack([dense_outputs(host, x, row) for row in rows])
    np.testing.assert_allclose(got.numpy(), expected, rtol=0, atol=TOL)
    q = host.quantum_parameter_count
    got = host.quantum_parameter_batch_forward(_t(x), _t(rows[:, :q]))
    expected = np.stack([dense_raw(host, x, row[:q]) for row in rows])
    np.testing.assert_allclose(got.numpy(), expected, rtol=0, atol=TOL)


# ---------------------------------------------------------------------------
# gradcheck

def _gradcheck_inputs(host, samples=2, seed=5):
    x, p = _data(host, samples=samples, seed=seed)
    return _t(x).requires_grad_(), _t(p).requires_grad_()


GRADCHECKS = {
    "vectorised": (dict(capabilities=capabilities()), lambda h, x, p: h.batch_quantum_forward(x, p)),
    "sequential": ({}, lambda h, x, p: h.batch_quantum_forward(x, p)),
    "threaded": (dict(uses_inputs=True), lambda h, x, p: h.batch_quantum_forward(x, p, max_workers=2)),
    "quantum_forward": (dict(scaled=True), lambda h, x, p: h.quantum_forward(x[0], p)),
    "mapped-quantum-rows": (
        dict(capabilities=capabilities()),
        lambda h, x, p: h.quantum_parameter_batch_forward(x, torch.stack([p[:-3], p[:-3].flip(0)])),
    ),
    "supervised-objective": (
        dict(capabilities=capabilities()),
        lambda h, x, p: SupervisedObjective(torch.nn.functional.mse_loss)(h, (x, torch.tensor([0.3, -0.2])), p),
    ),
}


@pytest.mark.parametrize("name", list(GRADCHECKS))
def test_gradcheck(name):
    options, call = GRADCHECKS[name]
    host = QmlHost(2, layers=1, output_dim=1, **options)
    x, p = _gradcheck_inputs(host)
    assert torch.autograd.gradcheck(lambda x, p: call(host, x, p), (x, p), eps=1e-6, atol=1e-8)
