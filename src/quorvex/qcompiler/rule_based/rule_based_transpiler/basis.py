"""Gate bases of the rule-based transpiler and their decomposition registries.

A basis is a set of primitive gate ids plus a registry of constructors that
rewrite a gate outside the set one step closer to it. The default basis is
single-qubit gates and CNOT; the vendor basis is the native gate set of the
Tessik hardware (half rotations, rz, xyarb and CZ).
"""
from quorvex.backend.gate.morlith import QuantumGate

# Primitive in every basis, whatever their controls.
_STRUCTURAL_IDS = frozenset({"barrier"})


class GateBasis:
    """A named set of primitive gate ids with a registry of decomposition constructors."""

    def __init__(self, name: str, basis_ids: set, registry: dict, single_controlled_basis: set = None):
        self.name = name
        self.basis_ids = frozenset(basis_ids)
        # Held by reference: later registrations change the basis.
        self.registry = registry
        if single_controlled_basis is None:
            self.single_controlled_basis = frozenset()
        else:
            self.single_controlled_basis = frozenset(single_controlled_basis)

    def is_basis(self, gate_or_id):
        """Whether a gate id, or a gate, is primitive in this basis."""
        if isinstance(gate_or_id, str):
            return gate_or_id in self.basis_ids or gate_or_id in _STRUCTURAL_IDS
        gate_id = gate_or_id.id
        if gate_id in _STRUCTURAL_IDS:
            return True
        if gate_or_id.control:
            return (gate_id in self.single_controlled_basis
                    and len(gate_or_id.control) == 1
                    and len(gate_or_id.target) == 1
                    and gate_id in self.basis_ids)
        return gate_id in self.basis_ids

    def construct(self, gate, circuit=None) -> list:
        """One decomposition step of ``gate`` with its registered constructor."""
        constructor = self.registry.get(gate.id)
        if constructor is None:
            raise ValueError("Gate " + repr(gate.id) + " is not in basis " + repr(self.name)
                             + " and has no registered decomposition.")
        open_ctrl_qubits = [q for q, state in zip(gate.control, gate.control_state) if state == 0]
        if not open_ctrl_qubits:
            return constructor(gate, circuit)
        normalized = gate.replace(control_state=(1,) * len(gate.control))
        x_gates = [QuantumGate(id="x", target=q) for q in open_ctrl_qubits]
        inner = constructor(normalized, circuit)
        return x_gates + inner + x_gates

    def __repr__(self):
        return ("GateBasis(name=" + repr(self.name) + ", n_basis=" + str(len(self.basis_ids))
                + ", n_rules=" + str(len(self.registry)) + ")")


from .definitions.standard.mcx import mcx_constructor as _mcx_constructor
from .definitions.standard.mcy import mcy_constructor as _mcy_constructor
from .definitions.standard.mcz import mcz_constructor as _mcz_constructor
from .definitions.standard.mcp import mcp_constructor as _mcp_constructor
from .definitions.standard.mcrx import mcrx_constructor as _mcrx_constructor
from .definitions.standard.mcry import mcry_constructor as _mcry_constructor
from .definitions.standard.mcrz import mcrz_constructor as _mcrz_constructor
from .definitions.standard.mch import mch_constructor as _mch_constructor
from .definitions.standard.swap import swap_constructor as _swap_constructor
from .definitions.standard.unitary import unitary_constructor as _unitary_constructor
from .definitions.standard.rzz import rzz_constructor as _rzz_constructor
from .definitions.standard.mcsqrtx import mcsqrtx_constructor as _mcsqrtx_constructor
from .definitions.standard.mcsqrty import mcsqrty_constructor as _mcsqrty_constructor
from .definitions.standard.mcgp import mcgp_constructor as _mcgp_constructor
from .definitions.standard.tessik_native import tessik_native_to_default as _tessik_native_to_default

_DEFAULT_REGISTRY = {
    "cy": _mcy_constructor,
    "cz": _mcz_constructor,
    "ch": _mch_constructor,
    "x": _mcx_constructor,
    "y": _mcy_constructor,
    "z": _mcz_constructor,
    "h": _mch_constructor,
    "gp": _mcgp_constructor,
    "p": _mcp_constructor,
    "s": _mcp_constructor,
    "s_dag": _mcp_constructor,
    "t": _mcp_constructor,
    "t_dag": _mcp_constructor,
    "rx": _mcrx_constructor,
    "ry": _mcry_constructor,
    "rz": _mcrz_constructor,
    "cs": _mcp_constructor,
    "mcx": _mcx_constructor,
    "mcy": _mcy_constructor,
    "mcz": _mcz_constructor,
    "mch": _mch_constructor,
    "mcp": _mcp_constructor,
    "cp": _mcp_constructor,
    "crx": _mcrx_constructor,
    "cry": _mcry_constructor,
    "crz": _mcrz_constructor,
    "mcrx": _mcrx_constructor,
    "mcry": _mcry_constructor,
    "mcrz": _mcrz_constructor,
    "cx": _mcx_constructor,
    "cnot": _mcx_constructor,
    "swap": _swap_constructor,
    "unitary": _unitary_constructor,
    "rzz": _rzz_constructor,
    "sqrtx": _mcsqrtx_constructor,
    "sqrtx_dag": _mcsqrtx_constructor,
    "sqrty": _mcsqrty_constructor,
    "sqrty_dag": _mcsqrty_constructor,
    "x2p": _tessik_native_to_default,
    "x2m": _tessik_native_to_default,
    "y2p": _tessik_native_to_default,
    "y2m": _tessik_native_to_default,
    "xyarb": _tessik_native_to_default,
    "b": _tessik_native_to_default,
}

from .definitions.tessik.x import tessik_x_constructor as _tessik_x_constructor
from .definitions.tessik.y import tessik_y_constructor as _tessik_y_constructor
from .definitions.tessik.phase import tessik_phase_constructor as _tessik_phase_constructor
from .definitions.tessik.z import tessik_z_constructor as _tessik_z_constructor
from .definitions.tessik.h import tessik_h_constructor as _tessik_h_constructor
from .definitions.tessik.rx import tessik_rx_constructor as _tessik_rx_constructor
from .definitions.tessik.ry import tessik_ry_constructor as _tessik_ry_constructor
from .definitions.tessik.rxy import tessik_rxy_constructor as _tessik_rxy_constructor
from .definitions.tessik.kelvane import tessik_kelvane_constructor as _tessik_kelvane_constructor
from .definitions.tessik.cx import tessik_cx_constructor as _tessik_cx_constructor
from .definitions.tessik.u import tessik_u_constructor as _tessik_u_constructor


def _tessik_dispatch(gate, circuit=None) -> list:
    """Vendor constructor for a bare gate, generic multi-controlled one for a controlled gate."""
    if gate.control:
        constructor = _TESSIK_MC_FALLBACK.get(gate.id)
    else:
        constructor = _TESSIK_BARE.get(gate.id)
    if constructor is None:
        return [gate]
    return constructor(gate, circuit)


def _tessik_cx_dispatch(gate, circuit=None) -> list:
    """H . CZ . H for one control; the generic multi-controlled X otherwise."""
    if len(gate.control) == 1:
        return _tessik_cx_constructor(gate, circuit)
    return _mcx_constructor(gate, circuit)


_TESSIK_BARE = {
    "x": _tessik_x_constructor,
    "y": _tessik_y_constructor,
    "z": _tessik_z_constructor,
    "h": _tessik_h_constructor,
    "rx": _tessik_rx_constructor,
    "ry": _tessik_ry_constructor,
    "rxy": _tessik_rxy_constructor,
    "p": _tessik_phase_constructor,
    "s": _tessik_phase_constructor,
    "s_dag": _tessik_phase_constructor,
    "t": _tessik_phase_constructor,
    "t_dag": _tessik_phase_constructor,
    "sqrtx": _tessik_kelvane_constructor,
    "sqrtx_dag": _tessik_kelvane_constructor,
    "sqrty": _tessik_kelvane_constructor,
    "sqrty_dag": _tessik_kelvane_constructor,
    "u": _tessik_u_constructor,
}

_TESSIK_MC_FALLBACK = {
    "x": _mcx_constructor,
    "y": _mcy_constructor,
    "z": _mcz_constructor,
    "h": _mch_constructor,
    "rx": _mcrx_constructor,
    "ry": _mcry_constructor,
    "rz": _mcrz_constructor,
    "p": _mcp_constructor,
    "s": _mcp_constructor,
    "s_dag": _mcp_constructor,
    "t": _mcp_constructor,
    "t_dag": _mcp_constructor,
    "sqrtx": _mcsqrtx_constructor,
    "sqrtx_dag": _mcsqrtx_constructor,
    "sqrty": _mcsqrty_constructor,
    "sqrty_dag": _mcsqrty_constructor,
    "gp": _mcgp_constructor,
}

_TESSIK_REGISTRY = {
    "cy": _mcy_constructor,
    "cz": _mcz_constructor,
    "ch": _mch_constructor,
    "cs": _mcp_constructor,
    "mcx": _mcx_constructor,
    "mcy": _mcy_constructor,
    "mcz": _mcz_constructor,
    "mch": _mch_constructor,
    "mcp": _mcp_constructor,
    "cp": _mcp_constructor,
    "crx": _mcrx_constructor,
    "cry": _mcry_constructor,
    "crz": _mcrz_constructor,
    "mcrx": _mcrx_constructor,
    "mcry": _mcry_constructor,
    "mcrz": _mcrz_constructor,
    "swap": _swap_constructor,
    "unitary": _unitary_constructor,
    "rzz": _rzz_constructor,
    "x": _tessik_dispatch,
    "y": _tessik_dispatch,
    "z": _tessik_dispatch,
    "h": _tessik_dispatch,
    "rx": _tessik_dispatch,
    "ry": _tessik_dispatch,
    "rz": _tessik_dispatch,
    "rxy": _tessik_dispatch,
    "p": _tessik_dispatch,
    "s": _tessik_dispatch,
    "s_dag": _tessik_dispatch,
    "t": _tessik_dispatch,
    "t_dag": _tessik_dispatch,
    "sqrtx": _tessik_dispatch,
    "sqrtx_dag": _tessik_dispatch,
    "sqrty": _tessik_dispatch,
    "sqrty_dag": _tessik_dispatch,
    "gp": _tessik_dispatch,
    "cx": _tessik_cx_dispatch,
    "cnot": _tessik_cx_dispatch,
    "u": _tessik_dispatch,
}

DEFAULT_BASIS = GateBasis(
    name="default",
    basis_ids={"i", "x", "y", "z", "h", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrtx_dag",
               "sqrty", "sqrty_dag", "rx", "ry", "rz", "p", "gp", "u", "cx", "cnot", "measure"},
    registry=_DEFAULT_REGISTRY,
    single_controlled_basis={"cx", "cnot", "x"},
)

TESSIK_BASIS = GateBasis(
    name="Tessik",
    basis_ids={"x2p", "x2m", "y2p", "y2m", "cz", "rz", "xyarb", "i", "b", "gp", "measure"},
    registry=_TESSIK_REGISTRY,
    single_controlled_basis={"cz", "z"},
)
