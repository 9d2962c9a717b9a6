"""Circuit executor for state vectors held by the device add-on.

`CuCircuitExecutor` streams a circuit's gates to the add-on module `dravik`
of the package `quorvex_cu12`. Composite gates are flattened lazily, identity
gates dropped, and the rest collected into chunks that the add-on prepares on
the calling thread and executes on one worker thread, so that preparing chunk
N+1 overlaps executing chunk N. Submissions alternate between two slots; a
new chunk waits for the slot it will take, which belongs to the chunk before
the previous one. A measure gate drains both slots and is measured on the
device.
"""

from .brantel import BaseCircuitExecutor, ExecutionResult
from ..gate.checks import check_gate_fields
from ..gate.matrix import NAMED_IDS, NO_OP_IDS, standard_matrix
from ..gate.morlith import _DONE, QuantumGate, _enter_block
from concurrent.futures import ThreadPoolExecutor
import numpy as np

INT_TWO = 2


class CuCircuitExecutor(BaseCircuitExecutor):
    """Runs circuits on a device state vector through the `dravik` add-on."""

    _GATE_CHUNK_SIZE = 8192
    _MAX_FUSION_GATES = 512

    def __init__(self, backend="cpp", device: str = "gpu", dtype=np.complex128, seed=42):
        if seed is not None and type(seed) is not int:
            raise TypeError("Argument 'seed' has incorrect type (expected int, got %.200s)"
                            % type(seed).__name__)
        super().__init__(backend=backend, device=device, dtype=dtype, seed=seed)
        try:
            from quorvex_cu12 import dravik
        except ImportError as exc:
            raise ImportError('CUDA backend requires quorvex-cu12. Install it with: pip install "quorvex[cuda]"') \
                from exc
        self.dravik = dravik

    # --- running ---------------------------------------------------------

    def run(self, circuit, quantum_state=None, *, skip_measurements=False):
        gates = circuit.gate_sequence.data()
        n = circuit.get_num_qubits()
        if quantum_state is None:
            device_state = self._zero_device_state(n)
        else:
            # Of the dtype's own precision in native byte order, as the zero
            # state is made from the dtype's name: a dtype equal in all but
            # its byte order (">c16") must not make the add-on refuse the copy.
            host_state = np.ascontiguousarray(quantum_state, dtype=np.dtype(np.dtype(self.dtype).name))
            if self._is_zero_state(host_state, n):
                device_state = self._zero_device_state(n)
            else:
                device_state = self.dravik.DeviceState.from_numpy(n, host_state, device=self.device,
                                                                  use_pinned_host=True)
        device_state, classical_results_map = self._execute_sequence(gates, device_state,
                                                                     skip_measurements=skip_measurements)
        return ExecutionResult(backend_state=device_state, classical_results_map=classical_results_map)

    def _zero_device_state(self, n):
        return self.dravik.DeviceState.zero_state(n, dtype=np.dtype(self.dtype).name, device=self.device)

    def _execute_sequence(self, gate_sequence, device_state, *, skip_measurements=False):
        if not hasattr(device_state, "n") or not hasattr(device_state, "to_numpy"):
            raise TypeError("CuCircuitExecutor._execute_sequence expects dravik.DeviceState.")
        return self._execute_sequence_double_buffered(gate_sequence, device_state,
                                                      skip_measurements=skip_measurements)

    def _execute_sequence_double_buffered(self, gate_sequence, state, *, skip_measurements=False):
        n = state.n
        classical_results_map = {}
        chunk = []
        current_slot = 0
        slot_futures = [None, None]
        slot_chunks = [None, None]  # the prepared chunk of each slot's future

        def collect_slot(slot):
            future = slot_futures[slot]
            if future is None:
                return
            # A failed execution keeps its slot: its error is the run's error.
            future.result()
            slot_futures[slot] = None
            slot_chunks[slot] = None

        def ensure_slot_free():
            collect_slot(current_slot)

        def submit_chunk(gpu_executor):
            nonlocal chunk, current_slot
            if not chunk:
                return
            prepared = self.dravik.prepare_fusion_chunk_gates(n, chunk, max_gates_per_group=self._MAX_FUSION_GATES)
            # The prepared list now belongs to the add-on.
            chunk = []
            if prepared.gate_count == 0:
                return
            # Known before it is submitted, so that an interrupt in between
            # still finds it to cancel.
            slot_chunks[current_slot] = prepared
            slot_futures[current_slot] = gpu_executor.submit(self.dravik.execute_prepared_fusion_chunk,
                                                             state, prepared)
            current_slot ^= 1

        def append_gate(gate, gpu_executor):
            if not chunk:
                ensure_slot_free()
            chunk.append(gate)
            if len(chunk) >= self._GATE_CHUNK_SIZE:
                submit_chunk(gpu_executor)

        def cancel_chunks():
            for prepared in slot_chunks:
                cancel = getattr(prepared, "cancel", None)
                if cancel is not None:
                    cancel()

        def finish_submitted(gpu_executor, interrupted):
            # Waits until the worker has finished every chunk submitted, also
            # one whose submit() an interrupt cut short after queueing it:
            # the one worker runs its tasks in order, so a no-op queued last
            # finishes last. Futures rather than the pool's join, which an
            # interrupt can leave taking a running thread for stopped. A
            # further interrupt (a second Ctrl-C) cancels too and does not
            # end the wait; the run raises what ended it first.
            while True:
                try:
                    if interrupted:
                        cancel_chunks()
                    gpu_executor.submit(int).result()
                    return
                except Exception:
                    raise
                except BaseException:
                    interrupted = True

        with ThreadPoolExecutor(max_workers=1, thread_name_prefix="dravik-gpu-consumer") as gpu_executor:
            try:
                # The worker is started before the first chunk: an interrupt
                # inside the pool's thread start leaves it unknown to the
                # pool, and a chunk it already runs would then not be waited
                # for; started here, it runs only this no-op.
                gpu_executor.submit(int)
                for gate in self._iter_flatten_sequence(gate_sequence):
                    gate_id = gate.id.lower()
                    if gate_id == "i":
                        continue
                    if gate_id == "measure":
                        if skip_measurements:
                            continue
                        submit_chunk(gpu_executor)
                        collect_slot(0)
                        collect_slot(1)
                        classical_results_map.update(self._apply_measure_cuda(state, gate, n))
                        continue
                    append_gate(self._as_run(gate, gate_id), gpu_executor)
                submit_chunk(gpu_executor)
                collect_slot(0)
                collect_slot(1)
            except BaseException as exc:
                # An interrupt (Ctrl-C, or what a signal handler raises)
                # abandons the run: the chunks still queued or running stop
                # at their next check instead of being waited for to the end.
                # An add-on that cannot cancel is waited for. No run ends
                # while its worker may still write the state.
                finish_submitted(gpu_executor, not isinstance(exc, Exception))
                raise
        return state, classical_results_map

    @staticmethod
    def _as_run(gate, gate_id):
        """``gate`` as the add-on runs it: a gate without a kernel of its own (a vendor gate such as
        x2p) runs the standard matrix of its id, as on every other path."""
        if gate_id in NAMED_IDS or gate_id in NO_OP_IDS or getattr(gate, "stored_matrix", None) is not None:
            return gate
        parameter = getattr(gate, "parameter", None)
        return QuantumGate(gate_id, gate.target, gate.control, getattr(gate, "control_state", None), None, parameter,
                           None, standard_matrix(gate_id, len(gate.target), parameter),
                           getattr(gate, "classical_target", None))

    # --- flattening ------------------------------------------------------

    def _iter_flatten_sequence(self, gate_sequence):
        # Composite gates are entered on a stack of their own rather than by
        # recursion: compiled code has no recursion guard, and a block nested
        # a few ten thousand levels deep would exhaust the C stack. A block
        # that contains itself raises RecursionError instead of never ending.
        open_blocks = set()
        # frames: [remaining gates, the composite gate they belong to (None
        # at the top), the walked sequence (kept alive while its key is in
        # use), key]
        stack = [[iter(gate_sequence), None, gate_sequence, _enter_block(gate_sequence, open_blocks)]]
        while stack:
            frame = stack[-1]
            gate = next(frame[0], _DONE)
            if gate is _DONE:
                stack.pop()
                open_blocks.discard(frame[3])
                continue
            # The check Circuit.add_gate makes, so that a gate it would refuse
            # (a position outside its block, a shape no kernel runs, fields
            # the executors cannot read) is refused alike here, before the
            # add-on, in the same words.
            check_gate_fields(gate, None if frame[1] is None else len(frame[1].target), optional=True)
            if frame[1] is not None:
                gate = self._remap_block_child(frame[1], gate)
            block = gate.block_gate_sequence
            if block is None:
                yield gate
            else:
                stack.append([iter(block), gate, block, _enter_block(block, open_blocks)])

    @staticmethod
    def _remap_block_child(block_gate, child_gate):
        targets = block_gate.target
        # A gate of a caller's own class need not take the record's keywords.
        cls = type(child_gate) if isinstance(child_gate, QuantumGate) else QuantumGate
        return cls(
            id=child_gate.id,
            target=tuple([targets[t] for t in child_gate.target]),
            control=tuple(block_gate.control) + tuple([targets[c] for c in child_gate.control]),
            control_state=tuple(block_gate.control_state) + tuple(child_gate.control_state),
            name=child_gate.name,
            parameter=child_gate.parameter,
            block_gate_sequence=child_gate.block_gate_sequence,
            matrix=child_gate.stored_matrix,
            classical_target=child_gate.classical_target,
        )

    def _is_zero_state(self, host_state, n):
        if host_state.ndim != 1 or host_state.size != (1 << n):
            return False
        if host_state[0] != np.dtype(self.dtype).type(1):
            return False
        return not np.any(host_state[1:])

    def _apply_backend_gate(self, quantum_state, gate, n):
        raise NotImplementedError("_apply_backend_gate is not implemented for cpp gpu backend.")

    # --- measurement -----------------------------------------------------

    def _device_seed(self):
        return int(self.rng.integers(0, np.iinfo(np.uint64).max, dtype=np.uint64))

    def _apply_measure_cuda(self, state, gate, n):
        target = gate.target
        classical_target = gate.classical_target
        if gate.control:
            raise ValueError("Controlled measure is not supported.")
        if classical_target is None:
            raise ValueError("measure gate requires classical register.")
        if isinstance(classical_target, int):
            classical_target = [classical_target]
        # Checked before the device collapses the state, so that a bad gate
        # neither loses an outcome nor reports a partial map.
        if len(target) == 0 or len(classical_target) != len(target):
            raise ValueError("measurement targets and classical targets must match")
        targets = [int(x) for x in target]
        sample_bin = self.dravik.measure_device(state, targets, endian=self.measure_endian,
                                                seed=self._device_seed())
        measured_map = {}
        for i, bit_char in enumerate(sample_bin):
            measured_map[classical_target[i]] = int(bit_char)
        return measured_map

    def sample_terminal(self, state, targets, shots):
        """Sample on-device once and collapse to the last sampled outcome."""
        targets = [int(x) for x in targets]
        shots = int(shots)
        endian = self.measure_endian
        seed = self._device_seed()
        raw_counts, last_outcome = self.dravik.sample_measure_device(state, targets, shots=shots, endian=endian,
                                                                     seed=seed, collapse_last=True)
        return state, dict(raw_counts), str(last_outcome)

    def _measure(self, n, quantum_state, target_indices, endian="big"):
        """Perform a projective measurement and collapse the statevector."""
        if isinstance(target_indices, int):
            target_indices = (target_indices,)
        elif not isinstance(target_indices, tuple):
            raise TypeError("Argument 'target_indices' has incorrect type (expected tuple, got %.200s)"
                            % type(target_indices).__name__)
        state = np.array(quantum_state, dtype=self.dtype)
        target_number = len(target_indices)
        if endian == "big":
            target_axes = target_indices
        else:
            target_axes = tuple([n - 1 - q for q in target_indices])
        remaining_axes = [axis for axis in range(n) if axis not in target_axes]
        permutation = list(target_axes) + remaining_axes
        inverse_permutation = np.argsort(permutation)

        rows = state.reshape((INT_TWO,) * n).transpose(permutation)
        rows = rows.reshape(INT_TWO ** target_number, INT_TWO ** (n - target_number))
        probs = np.sum(np.abs(rows) ** 2, axis=1)
        prob_sum = np.sum(probs)
        if not np.isfinite(prob_sum) or prob_sum <= 0:
            raise RuntimeError("Quantum state has zero norm.")
        probs = probs / prob_sum
        sample = int(self.rng.choice(INT_TWO ** target_number, p=probs))

        selected = rows[sample]
        norm = np.linalg.norm(selected)
        if norm <= 0:
            raise RuntimeError("Measured state has zero norm.")
        collapsed = np.zeros_like(rows)
        collapsed[sample] = selected / norm
        new_state = collapsed.reshape((INT_TWO,) * n).transpose(inverse_permutation).reshape(-1)
        outcome = format(sample, "0%db" % target_number) if target_number else ""
        return new_state, outcome
