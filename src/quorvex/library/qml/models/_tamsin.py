"""Execution of a variational QML model's circuits, one sample or a batch at a time.

`TamsinMixin` is mixed into a model class (the host) and works only through
the host's members: its tensor policy, parameter blocks, circuit builders,
encoding, ansatz, readout, head and backend.  Every member is looked up on
the host at the moment it is needed, so a host class may override any of
them, and nothing is cached, caught or detached: gradients flow through
every result.
"""

from concurrent.futures import ThreadPoolExecutor

import torch


def _parameter_rows(model, features, parameters, width_name):
    """Checked features, checked parameter rows and whether to map over the rows.

    ``width_name`` names the host attribute a row's width must equal.
    """
    features = model.tensor_policy.as_real(features)
    if features.ndim == 1:
        features = features.reshape(1, -1)
    if features.ndim != 2 or features.shape[0] == 0:
        raise ValueError("features must have shape (sample_batch, n_features).")
    rows = model.tensor_policy.as_real(parameters)
    if rows.ndim != 2 or rows.shape[1] != getattr(model, width_name):
        raise ValueError("parameters must have shape (parameter_batch, " + width_name + ").")
    # Rows are checked here, once: under torch.vmap nothing may read a value.
    if rows.shape[0] == 0 or not torch.isfinite(rows).all():
        raise ValueError("parameter batch must be non-empty and finite.")
    capabilities = getattr(model.backend, "capabilities", None)
    mapped = model._can_vectorize_batch() and capabilities is not None and capabilities.parameter_batch
    return features, rows, mapped


class TamsinMixin:
    """Connect variational model components to requests, backends, and batches."""

    def quantum_forward_with_blocks(self, inputs, parameters):
        blocks = self.split_parameter_blocks(parameters)
        quantum_parameters = torch.cat([blocks["encoding"], blocks["ansatz"]])
        circuit = self.build_circuit(inputs, quantum_parameters)
        raw = self._execute_readout(circuit)
        return raw.reshape(-1), blocks

    def _execute_readout(self, circuit) -> torch.Tensor:
        execute = getattr(self.readout, "execute", None)
        if execute is not None:
            return execute(self.backend, circuit)
        from ..execution import ExecutionRequest

        def postprocess(results):
            return self.readout(results[0])

        return self.backend.execute(ExecutionRequest(circuits=(circuit,), postprocess=postprocess))

    def quantum_execution_request(self, inputs, parameters):
        from ..execution import ExecutionRequest

        # The sample is converted once; every circuit the executor asks for
        # is built from this very tensor.
        sample = self.tensor_policy.as_real(inputs)
        flat = self.tensor_policy.as_real(parameters).reshape(-1)
        if flat.numel() != self.quantum_parameter_count:
            raise ValueError(
                "quantum execution parameters must have shape (%d,)." % self.quantum_parameter_count
            )

        def circuit_factory(current):
            return (self.build_circuit(sample, current),)

        def postprocess(results):
            return self.readout(results[0]).reshape(-1)

        return ExecutionRequest(parameters=flat, circuit_factory=circuit_factory, postprocess=postprocess)

    def quantum_forward(self, inputs, parameters) -> torch.Tensor:
        raw, _blocks = self.quantum_forward_with_blocks(inputs, parameters)
        return raw

    def _can_vectorize_batch(self) -> bool:
        capabilities = getattr(self.backend, "capabilities", None)
        if capabilities is None:
            return False
        if not capabilities.batched_statevectors:
            return False
        if getattr(self.ansatz, "uses_inputs", False):
            return False
        if not getattr(self.encoding, "supports_batched_initial_states", False):
            return False
        return True

    def _apply_batch_quantum(self, features, quantum_parameters, *, validate: bool = True) -> torch.Tensor:
        states = self.encoding.initial_states(features)
        circuit = self.build_ansatz_circuit(quantum_parameters, validate=validate)
        raw = circuit.compile().apply_to_batch(states)
        return self.readout.batch_call(raw, validate=validate)

    def _vectorized_batch_forward(self, features, parameters, *, validate: bool = True) -> torch.Tensor:
        blocks = self.split_parameter_blocks(parameters, validate=validate)
        quantum_parameters = torch.cat([blocks["encoding"], blocks["ansatz"]])
        raw = self._apply_batch_quantum(features, quantum_parameters, validate=validate)
        return self._head(raw, blocks)

    def parameter_batch_forward(self, features, parameters) -> torch.Tensor:
        features, rows, mapped = _parameter_rows(self, features, parameters, "parameter_count")
        if not mapped:
            return torch.stack([self.batch_forward(features, row) for row in rows])

        def evaluate(row):
            return self._vectorized_batch_forward(features, row, validate=False)

        return torch.vmap(evaluate)(rows)

    def quantum_parameter_batch_forward(self, features, parameters) -> torch.Tensor:
        features, rows, mapped = _parameter_rows(self, features, parameters, "quantum_parameter_count")
        if not mapped:
            return torch.stack([self.batch_quantum_forward(features, row) for row in rows])

        def evaluate(row):
            return self._apply_batch_quantum(features, row, validate=False)

        return torch.vmap(evaluate)(rows)

    def batch_head_forward(self, raw_outputs, parameters) -> torch.Tensor:
        raw = torch.as_tensor(raw_outputs)
        if raw.ndim != 2 or raw.shape[1] != self.readout_width:
            raise ValueError("raw_outputs must have shape (sample_batch, readout_width).")
        blocks = self.split_parameter_blocks(parameters)
        outputs = self._head(raw, blocks)
        if outputs.ndim == 1:
            outputs = outputs.reshape(-1, 1)
        # One output row per raw row: a head that pools or drops samples would
        # otherwise be broadcast against the targets into a plausible loss.
        if outputs.ndim != 2 or outputs.shape[1] != self.output_dim or outputs.shape[0] != raw.shape[0]:
            raise ValueError("task head output must have shape (sample_batch, output_dim).")
        return outputs

    def batch_quantum_forward(self, features, parameters, max_workers=None) -> torch.Tensor:
        features = self.tensor_policy.as_real(features)
        if features.ndim == 1:
            features = features.reshape(1, -1)
        if features.ndim != 2:
            raise ValueError("features must have shape (n_samples, n_features).")
        flat = self.tensor_policy.as_real(parameters).reshape(-1)
        blocks = self.split_parameter_blocks(flat, allow_quantum_only=True)
        quantum_parameters = torch.cat([blocks["encoding"], blocks["ansatz"]])
        if self._can_vectorize_batch():
            return self._apply_batch_quantum(features, quantum_parameters)

        # A sample-independent ansatz is built once; each sample appends its
        # own copy, so worker threads only ever read the template.
        if getattr(self.ansatz, "uses_inputs", False):
            template = None
        else:
            template = self.build_ansatz_circuit(quantum_parameters)

        def run(sample):
            if template is not None:
                circuit = self.backend.create_circuit(self.num_qubits)
                self.encoding.build(circuit, sample, blocks["encoding"])
                circuit.append(template.copy(), target=list(range(self.num_qubits)))
            else:
                circuit = self.build_circuit(sample, quantum_parameters)
            return self._execute_readout(circuit).reshape(-1)

        if max_workers is None or max_workers == 1:
            outputs = [run(sample) for sample in features]
        else:
            with ThreadPoolExecutor(max_workers=max_workers) as pool:
                outputs = list(pool.map(run, features))
        return torch.stack(outputs)
