"""Mapping stage of the compiler pipeline: place a circuit's QCIS on a machine's qubits.

Two strategies place logical qubit i on physical qubit i without routing
and therefore check every CZ against the machine's coupling; the third
hands placement and routing to the calibration-aware mapper.
"""
from ..circuit_io import measured_qasm2, qasm_to_qcis, qcis_to_circuit, validate_qcis
from ..mapping.qasm2qcis import convert as noise_aware_qasm_to_qcis
from ..transpile import DEFAULT_UNROLL_TIMES, qcompiler_transpile
from ..contracts import Layout, Machine, MappingOutcome, MappingStrategy, PipelineContext, Registry

__all__ = ["MAPPING", "UnrollIdentityMapping", "PassthroughMapping", "NoiseAwareMapping"]

MAPPING = Registry("mapping strategy")


def _identity_layout(circuit):
    return Layout({i: i for i in range(circuit.get_num_qubits())})


def _reject_uncoupled_qcis(machine, qcis: str, ctx, method: str):
    coupling = machine.coupling
    # Only a string can mean "all": an array of pairs would compare element
    # by element and its truth value would raise.
    if isinstance(coupling, str) and coupling == "all":
        return None
    # The coupling is read again here, as a fresh iteration of the attribute.
    allowed = {frozenset(pair) for pair in machine.coupling}
    violations = []
    for line in qcis.splitlines():
        tokens = line.split()
        if not tokens or tokens[0].upper() != "CZ":
            continue
        pair = frozenset([int(token.lstrip("Qq")) for token in tokens[1:3]])
        if pair not in allowed:
            violations.append(line.strip())
    if violations:
        preview = "; ".join(violations[:5])
        if len(violations) > 5:
            preview += "; ..."
        raise ValueError(
            method + " mapping performs no routing, but machine '" + str(machine.name)
            + "' has restricted coupling and the circuit requires uncoupled pairs: " + preview
            + ". Use mapping.method='noise_aware' to route for this topology.")
    ctx.metadata.setdefault("mapping_warnings", []).append(
        method + " mapping performed no routing; all two-qubit instructions verified against"
        " the machine's restricted coupling.")
    return None


@MAPPING.register("default")
class UnrollIdentityMapping(MappingStrategy):
    """Unroll to the selected basis and use identity placement."""

    def run(self, circuit, machine: Machine, ctx: PipelineContext) -> MappingOutcome:
        default_basis = machine.basis or "default"
        basis = self.config.mapping.get("basis", default_basis)
        times = int(self.config.mapping.get("times", DEFAULT_UNROLL_TIMES))
        mapped = qcompiler_transpile(circuit, basis=basis, times=times)
        mapped_qcis = qasm_to_qcis(mapped)
        _reject_uncoupled_qcis(machine, mapped_qcis, ctx, "default")
        ctx.metadata["mapping"] = {
            "method": "default",
            "basis": basis,
            "unroll_times": times,
            "layout": "identity",
        }
        return MappingOutcome(mapped_qcis=mapped_qcis, mapped_circuit=mapped,
                              layout=_identity_layout(mapped))


@MAPPING.register("passthrough")
class PassthroughMapping(MappingStrategy):
    """Convert QASM to QCIS without unrolling or routing."""

    def run(self, circuit, machine: Machine, ctx: PipelineContext) -> MappingOutcome:
        mapped_qcis = qasm_to_qcis(circuit)
        _reject_uncoupled_qcis(machine, mapped_qcis, ctx, "passthrough")
        ctx.metadata["mapping"] = {"method": "passthrough", "layout": "identity"}
        return MappingOutcome(mapped_qcis=mapped_qcis, mapped_circuit=circuit,
                              layout=_identity_layout(circuit))


@MAPPING.register("noise_aware")
class NoiseAwareMapping(MappingStrategy):
    """Calibration-aware placement and MCTS routing."""

    def run(self, circuit, machine: Machine, ctx: PipelineContext) -> MappingOutcome:
        from ..mapping.chip import Chip
        from ..mapping.mapper import expected_fidelity, map_qcis

        calibration = self.config.mapping.get("calibration")
        if calibration is not None:
            chip = Chip(calibration)
            calibration_source = "config"
        elif machine.client is not None:
            chip = Chip(machine.client.download_config())
            calibration_source = "live_client"
        else:
            raise ValueError("noise_aware mapping needs chip calibration: provide mapping.calibration"
                             " or select a provider with a live client")
        qcis = noise_aware_qasm_to_qcis(measured_qasm2(circuit))
        validate_qcis(qcis)
        seed = int(self.config.mapping.get("seed", 0))
        max_rounds = int(self.config.mapping.get("max_rounds", 6))
        mapped_qcis, initial_map, final_map, swaps = map_qcis(
            qcis, chip=chip, seed=seed, max_rounds=max_rounds)
        initial_layout = Layout({int(k): int(v) for k, v in initial_map.items()})
        final_layout = Layout({int(k): int(v) for k, v in final_map.items()})
        # Built in key order; each value is computed in that order.
        mapping = {
            "method": "noise_aware",
            "calibration_source": calibration_source,
            "swap_count": int(swaps),
            "seed": seed,
            "max_rounds": max_rounds,
            "expected_fidelity": expected_fidelity(mapped_qcis, chip),
            "initial_layout": dict(initial_layout.virtual_to_physical),
            "final_layout": dict(final_layout.virtual_to_physical),
        }
        ctx.metadata["mapping"] = mapping
        return MappingOutcome(mapped_qcis=mapped_qcis, mapped_circuit=qcis_to_circuit(mapped_qcis),
                              layout=initial_layout, final_layout=final_layout)
