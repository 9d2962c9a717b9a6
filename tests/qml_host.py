"""A small, real variational model that mixes in `TamsinMixin` (tests and benchmarks).

On ``n`` qubits, with one feature per qubit:

- encoding: RY(x_q) on qubit q, no parameters; or, ``scaled``, RY(w_q * x_q)
  with the n weights w as its block.  Only the plain encoding offers batched
  initial states: the scaled one would need its weights, and
  ``initial_states`` sees the features only;
- ansatz: ``layers`` layers, each RY(a) then RZ(b) on every qubit, then CX(q, q+1)
  for q = 0 .. n-2.  With ``uses_inputs`` the encoding is applied again before
  every layer, so the ansatz depends on the sample;
- readout: <Z_q> of every qubit, from one state or a batch of states;
  ``readout_execute`` gives the readout its own ``execute``, bypassing the
  backend's;
- head: linear, outputs = readout @ W + bias.

Parameters are one flat vector [encoding | ansatz | head]; the quantum vector is
[encoding | ansatz].  In the ansatz block, layer l holds the RY angles of qubits
0..n-1, then their RZ angles.  Everything is float64 / complex128, builds new
circuits per call (thread-safe) and reads no tensor value unless asked to
validate (safe under torch.vmap).
"""
from types import SimpleNamespace

import torch

from quorvex.core import Circuit
from quorvex.library.qml.models._tamsin import TamsinMixin


class RealTensorPolicy:
    @staticmethod
    def as_real(x):
        return torch.as_tensor(x, dtype=torch.float64)


class RyEncoding:
    supports_batched_initial_states = True

    def __init__(self, num_qubits):
        self.num_qubits = num_qubits
        self.parameter_count = 0

    def angle(self, sample, block, q):
        return sample[q]

    def build(self, circuit, sample, block):
        for q in range(self.num_qubits):
            circuit.mcry(self.angle(sample, block, q), [], q)

    def initial_states(self, features):
        """The product states RY(x_q)|0> of every row, as (B, 2**n) complex128."""
        half = features * 0.5
        factors = torch.stack([torch.cos(half), torch.sin(half)], dim=-1)  # (B, n, 2)
        states = factors[:, 0, :]
        for q in range(1, self.num_qubits):
            # qubit q is bit q: the new factor varies slowest.
            states = (factors[:, q, :, None] * states[:, None, :]).reshape(features.shape[0], -1)
        return states.to(torch.complex128)


class ScaledRyEncoding(RyEncoding):
    supports_batched_initial_states = False

    def __init__(self, num_qubits):
        super().__init__(num_qubits)
        self.parameter_count = num_qubits

    def angle(self, sample, block, q):
        return block[q] * sample[q]

    def initial_states(self, features):
        raise NotImplementedError("scaled encoding states depend on the encoding weights")


class LayeredAnsatz:
    def __init__(self, num_qubits, layers, uses_inputs=False):
        self.num_qubits = num_qubits
        self.layers = layers
        self.uses_inputs = uses_inputs
        self.parameter_count = 2 * num_qubits * layers

    def add_layer(self, circuit, angles, layer):
        n = self.num_qubits
        base = 2 * n * layer
        for q in range(n):
            circuit.mcry(angles[base + q], [], q)
            circuit.rz(angles[base + n + q], q)
        for q in range(n - 1):
            circuit.cx(q, q + 1)


class ZReadout:
    def __init__(self, num_qubits):
        index = torch.arange(1 << num_qubits)
        bits = torch.stack([(index >> q) & 1 for q in range(num_qubits)], dim=1)
        self.signs = (1 - 2 * bits).to(torch.float64)  # (2**n, n)

    def __call__(self, state):
        return (state.real ** 2 + state.imag ** 2) @ self.signs

    def batch_call(self, raw, validate=True):
        if validate and (raw.ndim != 2 or raw.shape[1] != self.signs.shape[0]):
            raise ValueError("raw states must have shape (batch, 2**num_qubits).")
        return self(raw)


def zero_state(num_qubits):
    state = torch.zeros(1, 1 << num_qubits, dtype=torch.complex128)
    state[0, 0] = 1.0
    return state


def final_state(circuit):
    return circuit.compile().apply_to_batch(zero_state(circuit.get_num_qubits()))[0]


class ExecutingZReadout(ZReadout):
    def execute(self, backend, circuit):
        return self(final_state(circuit))


class StateBackend:
    """Runs requests on the circuit layer's PyTorch path, from |0...0>."""

    def __init__(self, capabilities=None):
        if capabilities is not None:
            self.capabilities = capabilities

    def create_circuit(self, num_qubits):
        return Circuit(num_qubits)

    def execute(self, request):
        circuits = request.circuits
        if circuits is None:
            circuits = request.circuit_factory(request.parameters)
        return request.postprocess([final_state(circuit) for circuit in circuits])


def capabilities(batched_statevectors=True, parameter_batch=True):
    return SimpleNamespace(batched_statevectors=batched_statevectors, parameter_batch=parameter_batch)


class QmlHost(TamsinMixin):
    """The model; ``capabilities`` None gives a backend without the attribute."""

    def __init__(self, num_qubits, layers=2, output_dim=1, *, scaled=False, uses_inputs=False,
                 readout_execute=False, capabilities=None):
        n = num_qubits
        self.num_qubits = n
        self.output_dim = output_dim
        self.readout_width = n
        self.tensor_policy = RealTensorPolicy()
        self.encoding = (ScaledRyEncoding if scaled else RyEncoding)(n)
        self.ansatz = LayeredAnsatz(n, layers, uses_inputs)
        self.readout = (ExecutingZReadout if readout_execute else ZReadout)(n)
        self.backend = StateBackend(capabilities)
        self.quantum_parameter_count = self.encoding.parameter_count + self.ansatz.parameter_count
        self.parameter_count = self.quantum_parameter_count + n * output_dim + output_dim

    def split_parameter_blocks(self, parameters, validate=True, allow_quantum_only=False):
        flat = self.tensor_policy.as_real(parameters).reshape(-1)
        e = self.encoding.parameter_count
        q = self.quantum_parameter_count
        size = flat.shape[0]
        if size != self.parameter_count and not (allow_quantum_only and size == q):
            raise ValueError("expected %d parameters, got %d." % (self.parameter_count, size))
        if validate and not bool(torch.isfinite(flat).all()):
            raise ValueError("parameters must be finite.")
        return {"encoding": flat[:e], "ansatz": flat[e:q], "head": flat[q:]}

    def _check_quantum(self, quantum_parameters, validate):
        if quantum_parameters.shape != (self.quantum_parameter_count,):
            raise ValueError("expected %d quantum parameters." % self.quantum_parameter_count)
        if validate and not bool(torch.isfinite(quantum_parameters).all()):
            raise ValueError("quantum parameters must be finite.")

    def build_ansatz_circuit(self, quantum_parameters, validate=True):
        if self.ansatz.uses_inputs:
            raise ValueError("this ansatz depends on the sample; use build_circuit.")
        self._check_quantum(quantum_parameters, validate)
        angles = quantum_parameters[self.encoding.parameter_count:]
        circuit = Circuit(self.num_qubits)
        for layer in range(self.ansatz.layers):
            self.ansatz.add_layer(circuit, angles, layer)
        return circuit

    def build_circuit(self, sample, quantum_parameters):
        self._check_quantum(quantum_parameters, False)
        e = self.encoding.parameter_count
        block, angles = quantum_parameters[:e], quantum_parameters[e:]
        circuit = Circuit(self.num_qubits)
        self.encoding.build(circuit, sample, block)
        for layer in range(self.ansatz.layers):
            if self.ansatz.uses_inputs:
                self.encoding.build(circuit, sample, block)
            self.ansatz.add_layer(circuit, angles, layer)
        return circuit

    def _head(self, raw, blocks):
        head = blocks["head"]
        split = self.readout_width * self.output_dim
        weights = head[:split].reshape(self.readout_width, self.output_dim)
        return raw @ weights + head[split:]

    def batch_forward(self, features, parameters):
        return self.batch_head_forward(self.batch_quantum_forward(features, parameters), parameters)
