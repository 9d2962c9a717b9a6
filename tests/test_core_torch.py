"""Circuit on PyTorch: gradients, torch.vmap over parameter rows, threads."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import torch

from quorvex.core import Circuit

N = 3


def ansatz(params, n=N):
    """A parameterised circuit using every gate that takes an angle, controlled and not."""
    c = Circuit(n)
    for q in range(n):
        c.h(q)
    c.rz(params[0], 0)
    c.cry(params[1], control=0, target=1, control_state=0)
    c.mcry(params[2], [0, 1], 2)
    c.mcrx(params[3], [2], 0, control_state="0")
    c.cx(1, 2)
    sub = Circuit(2)
    sub.rz(params[4], 1)
    sub.gp(params[5])
    c.append(sub, [2, 0], control=1, control_state=1)
    c.gp(params[0])
    return c


def test_gradcheck_through_execute():
    def run(params):
        return ansatz(params).execute().state

    params = torch.linspace(0.1, 1.3, 6, dtype=torch.float64, requires_grad=True)
    assert torch.autograd.gradcheck(run, (params,))


def test_gradcheck_through_apply_to_batch():
    states = torch.randn(4, 1 << N, dtype=torch.complex128)

    def run(params):
        return ansatz(params).compile().apply_to_batch(states)

    params = torch.linspace(-1.0, 0.9, 6, dtype=torch.float64, requires_grad=True)
    assert torch.autograd.gradcheck(run, (params,))


def test_tensor_angles_agree_with_numbers_and_keep_their_gradients():
    values = [0.3, -0.7, 1.1, 0.4, -1.9, 0.25]
    params = [torch.tensor(v, dtype=torch.float64, requires_grad=True) for v in values]
    c = ansatz(params)
    expected = ansatz(values).execute().state
    np.testing.assert_allclose(c.execute().state.detach().numpy(), expected, atol=1e-12)
    for derived in (c.copy(), c.dagger().dagger()):
        np.testing.assert_allclose(derived.execute().state.detach().numpy(), expected, atol=1e-12)
    outer = Circuit(N + 1)
    outer.append(c, [1, 2, 3])
    np.testing.assert_allclose(outer.execute().state.detach().numpy()[0::2], expected, atol=1e-12)
    # every angle still reaches its leaf tensor through copy, dagger and append
    for derived in (c.copy(), c.dagger(), outer):
        for p in params:
            p.grad = None
        dim = 1 << derived.get_num_qubits()
        states = torch.linspace(1, 2, 2 * dim, dtype=torch.float64).reshape(2, dim) * (1 + 2j)
        derived.compile().apply_to_batch(states).mul(torch.arange(dim) + 1j).real.sum().backward()
        assert all(p.grad is not None and p.grad != 0 for p in params)
    # gate_sequence reads the current values as floats
    assert c.gate_sequence.data()[N].parameter == (0.3,)


def test_vmap_over_parameter_rows_equals_a_loop():
    rows = torch.randn(5, 6, dtype=torch.float64, requires_grad=True)
    states = torch.randn(7, 1 << N, dtype=torch.complex128)
    states = states / states.abs().pow(2).sum(1, keepdim=True).sqrt()

    def evaluate(row):
        return ansatz(row).compile().apply_to_batch(states).abs().pow(2)

    mapped = torch.vmap(evaluate)(rows)
    looped = torch.stack([evaluate(row) for row in rows])
    torch.testing.assert_close(mapped, looped)
    weights = torch.randn_like(mapped)
    (grad_mapped,) = torch.autograd.grad((mapped * weights).sum(), rows)
    (grad_looped,) = torch.autograd.grad((looped * weights).sum(), rows)
    torch.testing.assert_close(grad_mapped, grad_looped)


def test_vmap_over_states_and_batched_inputs():
    params = torch.randn(6, dtype=torch.float64)
    states = torch.randn(3, 4, 1 << N, dtype=torch.complex128)
    compiled = ansatz(params).compile()
    mapped = torch.vmap(compiled.apply_to_batch)(states)
    torch.testing.assert_close(mapped, torch.stack([compiled.apply_to_batch(s) for s in states]))


def test_batched_angle_refuses_to_become_a_record():
    def evaluate(row):
        return ansatz(row).gate_sequence

    with pytest.raises(TypeError, match="float"):
        torch.vmap(evaluate)(torch.randn(2, 6, dtype=torch.float64))


@pytest.mark.parametrize("dtype", [torch.complex64, torch.complex128])
def test_apply_to_batch_keeps_the_states_dtype(dtype):
    c = ansatz([0.1] * 6)
    out = c.compile().apply_to_batch(torch.eye(1 << N, dtype=dtype))
    assert out.dtype == dtype and out.shape == (1 << N, 1 << N)
    tol = 1e-5 if dtype == torch.complex64 else 1e-12
    np.testing.assert_allclose(out[0].numpy(), c.execute().state, atol=tol)


def test_apply_to_batch_refuses_bad_shapes():
    compiled = Circuit(2).compile()
    with pytest.raises(ValueError, match=r"\(B, 4\)"):
        compiled.apply_to_batch(torch.zeros(3, 8, dtype=torch.complex128))
    with pytest.raises(TypeError):
        compiled.apply_to_batch(np.zeros((3, 4)))


def test_threads_building_copying_appending_and_executing_agree():
    template = ansatz([0.2, 0.4, 0.6, 0.8, 1.0, 1.2])
    tensor_template = ansatz([torch.tensor(v, dtype=torch.float64) for v in (0.2, 0.4, 0.6, 0.8, 1.0, 1.2)])

    def run(sample):
        results = []
        for source in (template, tensor_template):
            c = Circuit(N + 1)
            c.mcry(float(sample), [], N)
            c.unitary(np.array([[np.cos(sample), -np.sin(sample)], [np.sin(sample), np.cos(sample)]]), [0])
            c.append(source.copy(), list(range(N)))
            c.append(source.dagger(), [N, 0, 1], control=2, control_state="0")
            state = c.execute().state
            results.append(np.asarray(state.detach()) if isinstance(state, torch.Tensor) else state)
        return results

    samples = [0.1 * i for i in range(24)]
    sequential = [run(s) for s in samples]
    with ThreadPoolExecutor(max_workers=6) as pool:
        threaded = list(pool.map(run, samples))
    for one, other in zip(sequential, threaded):
        for a, b in zip(one, other):
            np.testing.assert_allclose(a, b, atol=1e-12)
        np.testing.assert_allclose(one[0], one[1], atol=1e-12)
