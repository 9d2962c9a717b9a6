"""Gate bases: primitive tests, registry routing, open controls and the module tables."""
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.qcompiler.rule_based.rule_based_transpiler import basis as B
from quorvex.qcompiler.rule_based.rule_based_transpiler.definitions.standard import (
    mcgp, mch, mcp, mcrx, mcry, mcrz, mcsqrtx, mcsqrty, mcx, mcy, mcz, rzz, swap, tessik_native, unitary)
from quorvex.qcompiler.rule_based.rule_based_transpiler.definitions.tessik import (
    cx, h, kelvane, phase, rx, rxy, ry, u, x, y, z)

DEFAULT, TESSIK = B.DEFAULT_BASIS, B.TESSIK_BASIS


def g(gate_id, target=0, control=None, **kw):
    return QuantumGate(id=gate_id, target=target, control=control, **kw)


@pytest.mark.parametrize("basis, item, expected", [
    (DEFAULT, "cx", True), (DEFAULT, "measure", True), (DEFAULT, "barrier", True),
    (DEFAULT, "X", False), (DEFAULT, "swap", False),
    (DEFAULT, g("x", 1, 0), True), (DEFAULT, g("x", 2, (0, 1)), False),
    (DEFAULT, g("x", 1, 0, control_state=0), True),  # control states are ignored
    (TESSIK, g("cz", 1, 0), True), (TESSIK, g("z", 1, 0), False), (TESSIK, g("cx", 1, 0), False),
    (TESSIK, g("cz", (1, 2), 0), False),
    (DEFAULT, g("barrier", (0, 1), 2), True), (TESSIK, g("barrier", 0, (1, 2)), True),
    (TESSIK, g("rz", 0, parameter=0.1), True), (TESSIK, g("rz", 1, 0, parameter=0.1), False),
])
def test_is_basis(basis, item, expected):
    assert basis.is_basis(item) is expected


def test_is_basis_of_a_non_gate_fails():
    with pytest.raises(AttributeError):
        DEFAULT.is_basis(3)


@pytest.mark.parametrize("basis, gate, id_text, name_text", [
    (DEFAULT, g("measure", 0, classical_target=0), "'measure'", "'default'"),
    (DEFAULT, g("i"), "'i'", "'default'"),
    (TESSIK, g("x2p"), "'x2p'", "'Tessik'"),
])
def test_construct_without_rule(basis, gate, id_text, name_text):
    message = "Gate " + id_text + " is not in basis " + name_text + " and has no registered decomposition."
    with pytest.raises(ValueError) as info:
        basis.construct(gate)
    assert str(info.value) == message


@pytest.fixture
def recorder():
    calls = []

    def constructor(gate, circuit):
        calls.append((gate, circuit))
        return [QuantumGate(id="h", target=gate.target)]
    return constructor, calls


def test_construct_wraps_open_controls_and_normalises_the_gate(recorder):
    constructor, calls = recorder
    basis = GateBasisFor("mcx", constructor)
    gate = g("mcx", 7, (3, 5), control_state=(0, 1))
    context = object()
    out = basis.construct(gate, context)
    (seen, circuit), = calls
    assert circuit is context and seen.control == (3, 5) and seen.control_state == (1, 1)
    assert [(o.id, o.target) for o in out] == [("x", (3,)), ("h", (7,)), ("x", (3,))]
    assert out[0] is out[2]
    calls.clear()
    closed = g("mcx", 7, (3, 5))
    assert [(o.id, o.target) for o in basis.construct(closed)] == [("h", (7,))]
    assert calls[0][0] is closed


def GateBasisFor(gate_id, constructor):
    return B.GateBasis("rec", {"x"}, {gate_id: constructor})


@pytest.mark.parametrize("result, message", [
    ((QuantumGate(id="x", target=0),), "Expected list, got tuple"),
    (type("L", (list,), {})(), "Expected list, got L"),
])
def test_construct_refuses_a_result_that_is_not_a_list(result, message):
    basis = GateBasisFor("h", lambda gate, circuit: result)
    with pytest.raises(TypeError, match=message):
        basis.construct(g("h"))
    assert GateBasisFor("h", lambda gate, circuit: None).construct(g("h")) is None


def test_construct_uses_the_registry_for_basis_ids_too(monkeypatch):
    seen = []
    monkeypatch.setitem(B._DEFAULT_REGISTRY, "x", lambda gate, circuit: seen.append(gate) or [])
    gate = g("x")
    assert DEFAULT.construct(gate) == [] and seen == [gate]


@pytest.mark.parametrize("gate, table, key", [
    (g("sqrtx", 3), "_TESSIK_BARE", "sqrtx"),
    (g("sqrtx", 3, 0), "_TESSIK_MC_FALLBACK", "sqrtx"),
    (g("h", 3, (0, 1)), "_TESSIK_MC_FALLBACK", "h"),
    (g("p", 3, parameter=0.2), "_TESSIK_BARE", "p"),
])
def test_vendor_dispatch_reads_its_tables_at_call_time(monkeypatch, gate, table, key):
    marker = [QuantumGate(id="i", target=9)]
    monkeypatch.setitem(getattr(B, table), key, lambda gate_, circuit: marker)
    assert TESSIK.construct(gate) is marker


@pytest.mark.parametrize("gate", [g("rz", 0, parameter=0.2), g("gp", 0, parameter=0.2),
                                  g("u", 1, 0, parameter=(0.1, 0.2, 0.3)), g("rxy", 1, 0, parameter=(0.1, 0.2))])
def test_vendor_dispatch_hands_back_what_it_has_no_rule_for(gate):
    out = TESSIK.construct(gate)
    assert type(out) is list and len(out) == 1 and out[0] is gate


@pytest.mark.parametrize("controls, constructor", [((0,), "_tessik_cx_constructor"),
                                                  ((), "_mcx_constructor"), ((0, 1), "_mcx_constructor")])
@pytest.mark.parametrize("gate_id", ["cx", "cnot"])
def test_cx_dispatch(monkeypatch, gate_id, controls, constructor):
    monkeypatch.setattr(B, constructor, lambda gate, circuit: ["routed"])
    assert TESSIK.construct(g(gate_id, 3, controls or None)) == ["routed"]


def test_kelvane_through_the_vendor_basis():
    out = TESSIK.construct(g("sqrtx", 3))
    assert [o.id for o in out] == ["x2p", "gp"] and out[0].stored_matrix is kelvane._X2P


def test_repr_and_constructor_checks():
    assert repr(DEFAULT) == "GateBasis(name='default', n_basis=22, n_rules=44)"
    assert repr(TESSIK) == "GateBasis(name='Tessik', n_basis=11, n_rules=40)"
    rules = {}
    small = B.GateBasis("small", {"x"}, rules)
    assert small.single_controlled_basis == frozenset() and small.registry is rules
    assert repr(small) == "GateBasis(name='small', n_basis=1, n_rules=0)"
    rules["h"] = None
    assert repr(small) == "GateBasis(name='small', n_basis=1, n_rules=1)"
    with pytest.raises(ValueError, match="'h' is not in basis 'small'"):
        small.construct(g("h"))  # a None entry counts as missing
    ids = {"a"}
    kept = B.GateBasis(name="k", basis_ids=ids, registry={}, single_controlled_basis={"a"})
    ids.add("b")
    assert kept.basis_ids == frozenset({"a"}) and type(kept.single_controlled_basis) is frozenset


@pytest.mark.parametrize("args, message", [
    (("n", frozenset(), {}), "Argument 'basis_ids' has incorrect type (expected set, got frozenset)"),
    ((None, set(), {}), "Argument 'name' has incorrect type (expected str, got NoneType)"),
    (("n", set(), []), "Argument 'registry' has incorrect type (expected dict, got list)"),
    (("n", set(), {}, frozenset()),
     "Argument 'single_controlled_basis' has incorrect type (expected set, got frozenset)"),
    (("n", set()), None),
])
def test_constructor_argument_types(args, message):
    with pytest.raises(TypeError) as info:
        B.GateBasis(*args)
    if message:
        assert str(info.value) == message


STANDARD = [("_mcx_constructor", mcx.mcx_constructor), ("_mcy_constructor", mcy.mcy_constructor),
            ("_mcz_constructor", mcz.mcz_constructor), ("_mcp_constructor", mcp.mcp_constructor),
            ("_mcrx_constructor", mcrx.mcrx_constructor), ("_mcry_constructor", mcry.mcry_constructor),
            ("_mcrz_constructor", mcrz.mcrz_constructor), ("_mch_constructor", mch.mch_constructor),
            ("_swap_constructor", swap.swap_constructor), ("_unitary_constructor", unitary.unitary_constructor),
            ("_rzz_constructor", rzz.rzz_constructor), ("_mcsqrtx_constructor", mcsqrtx.mcsqrtx_constructor),
            ("_mcsqrty_constructor", mcsqrty.mcsqrty_constructor), ("_mcgp_constructor", mcgp.mcgp_constructor),
            ("_tessik_native_to_default", tessik_native.tessik_native_to_default)]
VENDOR = [("_tessik_x_constructor", x.tessik_x_constructor), ("_tessik_y_constructor", y.tessik_y_constructor),
          ("_tessik_phase_constructor", phase.tessik_phase_constructor),
          ("_tessik_z_constructor", z.tessik_z_constructor), ("_tessik_h_constructor", h.tessik_h_constructor),
          ("_tessik_rx_constructor", rx.tessik_rx_constructor), ("_tessik_ry_constructor", ry.tessik_ry_constructor),
          ("_tessik_rxy_constructor", rxy.tessik_rxy_constructor),
          ("_tessik_kelvane_constructor", kelvane.tessik_kelvane_constructor),
          ("_tessik_cx_constructor", cx.tessik_cx_constructor), ("_tessik_u_constructor", u.tessik_u_constructor)]


def _table(rows):
    """{id: constructor} in the listed order from 'name: id id ...' rows."""
    table = {}
    for row in rows.strip().splitlines():
        name, ids = row.split(":")
        for gate_id in ids.split():
            table[gate_id] = name.strip()
    return table


DEFAULT_ORDER = ("cy cz ch x y z h gp p s s_dag t t_dag rx ry rz cs mcx mcy mcz mch mcp cp crx cry crz "
                 "mcrx mcry mcrz cx cnot swap unitary rzz sqrtx sqrtx_dag sqrty sqrty_dag x2p x2m y2p y2m xyarb b")
DEFAULT_ROWS = _table("""
_mcx_constructor: x mcx cx cnot
_mcy_constructor: cy y mcy
_mcz_constructor: cz z mcz
_mch_constructor: ch h mch
_mcgp_constructor: gp
_mcp_constructor: p s s_dag t t_dag cs mcp cp
_mcrx_constructor: rx crx mcrx
_mcry_constructor: ry cry mcry
_mcrz_constructor: rz crz mcrz
_swap_constructor: swap
_unitary_constructor: unitary
_rzz_constructor: rzz
_mcsqrtx_constructor: sqrtx sqrtx_dag
_mcsqrty_constructor: sqrty sqrty_dag
_tessik_native_to_default: x2p x2m y2p y2m xyarb b
""")
BARE_ORDER = "x y z h rx ry rxy p s s_dag t t_dag sqrtx sqrtx_dag sqrty sqrty_dag u"
BARE_ROWS = _table("""
_tessik_x_constructor: x
_tessik_y_constructor: y
_tessik_z_constructor: z
_tessik_h_constructor: h
_tessik_rx_constructor: rx
_tessik_ry_constructor: ry
_tessik_rxy_constructor: rxy
_tessik_phase_constructor: p s s_dag t t_dag
_tessik_kelvane_constructor: sqrtx sqrtx_dag sqrty sqrty_dag
_tessik_u_constructor: u
""")
FALLBACK_ORDER = "x y z h rx ry rz p s s_dag t t_dag sqrtx sqrtx_dag sqrty sqrty_dag gp"
FALLBACK_ROWS = _table("""
_mcx_constructor: x
_mcy_constructor: y
_mcz_constructor: z
_mch_constructor: h
_mcrx_constructor: rx
_mcry_constructor: ry
_mcrz_constructor: rz
_mcp_constructor: p s s_dag t t_dag
_mcsqrtx_constructor: sqrtx sqrtx_dag
_mcsqrty_constructor: sqrty sqrty_dag
_mcgp_constructor: gp
""")
TESSIK_ORDER = ("cy cz ch cs mcx mcy mcz mch mcp cp crx cry crz mcrx mcry mcrz swap unitary rzz x y z h rx ry rz "
                "rxy p s s_dag t t_dag sqrtx sqrtx_dag sqrty sqrty_dag gp cx cnot u")
TESSIK_ROWS = _table("""
_mcy_constructor: cy mcy
_mcz_constructor: cz mcz
_mch_constructor: ch mch
_mcp_constructor: cs mcp cp
_mcx_constructor: mcx
_mcrx_constructor: crx mcrx
_mcry_constructor: cry mcry
_mcrz_constructor: crz mcrz
_swap_constructor: swap
_unitary_constructor: unitary
_rzz_constructor: rzz
_tessik_dispatch: x y z h rx ry rz rxy p s s_dag t t_dag sqrtx sqrtx_dag sqrty sqrty_dag gp u
_tessik_cx_dispatch: cx cnot
""")


def test_imported_constructors_are_the_library_functions():
    for name, function in STANDARD + VENDOR:
        assert getattr(B, name) is function, name


@pytest.mark.parametrize("table, order, rows, size", [
    ("_DEFAULT_REGISTRY", DEFAULT_ORDER, DEFAULT_ROWS, 44), ("_TESSIK_BARE", BARE_ORDER, BARE_ROWS, 17),
    ("_TESSIK_MC_FALLBACK", FALLBACK_ORDER, FALLBACK_ROWS, 17),
    ("_TESSIK_REGISTRY", TESSIK_ORDER, TESSIK_ROWS, 40),
])
def test_registry_tables(table, order, rows, size):
    registry = getattr(B, table)
    assert list(registry) == order.split() and len(registry) == size
    assert {k: v for k, v in registry.items()} == {k: getattr(B, rows[k]) for k in registry}


def test_bases():
    assert DEFAULT.registry is B._DEFAULT_REGISTRY and TESSIK.registry is B._TESSIK_REGISTRY
    assert DEFAULT.basis_ids == frozenset(
        "i x y z h s s_dag t t_dag sqrtx sqrtx_dag sqrty sqrty_dag rx ry rz p gp u cx cnot measure".split())
    assert TESSIK.basis_ids == frozenset("x2p x2m y2p y2m cz rz xyarb i b gp measure".split())
    assert DEFAULT.single_controlled_basis == {"cx", "cnot", "x"}
    assert TESSIK.single_controlled_basis == {"cz", "z"}
    assert B._STRUCTURAL_IDS == frozenset({"barrier"})
