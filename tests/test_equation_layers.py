"""The equation library's parser, logger, plots, TDiff and Schrödingerisation."""
import io
import json
import math
import os
import contextlib

import numpy as np
import pytest
import scipy.linalg as sl

from quorvex.core import Circuit
from quorvex.library.equation.differential_operator import TDiff
from quorvex.library.equation.differential_operator.ostrival import (
    first_order_derivative, second_order_derivative)
from quorvex.library.equation import _memory
from quorvex.library.equation.equation_parser import parse_equation
from quorvex.library.equation.examples.base import BaseAlgorithm, create_algorithm_logger
from quorvex.library.equation.schrodingerization import (
    circuit_classical, p_grid, schro_classical, schro_trotter, warped_profile)

from executed_unitary import executed_unitary


def setup(**changes):
    params = {"parameters": {"r": 0.05, "σ": 0.2, "K": 100.0}, "T": 1.0, "nx": 3, "na": 5, "R": 2.0,
              "point": 1.0, "order": 2, "f0": "-min(exp(x), K)",
              "boundary": {"type": "dirichlet", "left_value": 0.0, "right_value": "-K*exp(-r*t)"},
              "solver": {"type": "classical", "dt": 0.05}}
    for key, value in changes.items():
        if value is KeyError:
            params.pop(key)
        else:
            params[key] = value
    return params


def test_parser_reads_a_set_up_and_its_json_text():
    params = setup(L=3.0, parameters={"r": 0.05, "σ": 0.2, "K": 100.0, "L1": -2.0})
    for given in (params, json.dumps(params)):
        eq = parse_equation(given)
        L, T, source, nx, na, R, point, order, f0 = eq.get_common_coefficients()
        assert (L, T, source, nx, na, R, point, order) == (3.0, 1.0, None, 3, 5, 2.0, 1.0, 2)
        np.testing.assert_allclose(f0(np.log([50.0, 100.0, 400.0])), [-50.0, -100.0, -100.0])
        assert eq.get_parameter("σ") == 0.2 and eq.get_parameter("L1") == -2.0
        assert eq.get_parameter("L2", 7.0) == 7.0
        with pytest.raises(KeyError):
            eq.get_parameter("L2")
        assert (eq.boundary.type, eq.boundary.left_value, eq.boundary.right_value) == (
            "dirichlet", 0.0, "-K*exp(-r*t)")
        assert (eq.solver.type, eq.solver.dt) == ("classical", 0.05)
    assert parse_equation(setup(solver={"type": "anything"})).solver.dt is None


@pytest.mark.parametrize("changes, key", [
    ({"extra": 1}, "extra"),
    ({"T": KeyError}, "T"),
    ({"parameters": {"r": 0.05, "σ": 0.2}}, "K"),
    ({"parameters": {"r": 0.05, "σ": 0.2, "K": 1.0, "q": 1}}, "q"),
    ({"T": float("nan")}, "T"),
    ({"T": -1.0}, "T"),
    ({"nx": -1}, "nx"),
    ({"nx": 2.0}, "nx"),
    ({"na": 0}, "na"),
    ({"order": True}, "order"),
    ({"R": 0.0}, "R"),
    ({"point": 2 * math.pi}, "point"),
    ({"point": -0.1}, "point"),
    ({"parameters": {"r": 0.05, "σ": 0.2, "K": 0.0}}, "K"),
    ({"parameters": {"r": 0.05, "σ": -0.2, "K": 1.0}}, "σ"),
    ({"parameters": {"r": float("inf"), "σ": 0.2, "K": 1.0}}, "r"),
    ({"f0": "__import__('os')"}, "f0"),
    ({"solver": {"type": "trotter"}}, "dt"),
    ({"solver": {"type": "trotter", "dt": 0.0}}, "dt"),
    ({"solver": {"type": "trotter", "dt": 1.5}}, "dt"),
    ({"solver": {"type": 3}}, "type"),
    ({"boundary": {"type": "dirichlet", "left_value": 0.0}}, "right_value"),
    # Integers beyond the double range are as non-finite as inf.
    ({"T": 10 ** 400}, "T"),
    ({"parameters": {"r": 0.05, "σ": 0.2, "K": -10 ** 400}}, "K"),
    ({"L": 10 ** 400}, "L"),
    ({"solver": {"type": "trotter", "dt": 1e-320}}, "dt"),
    ({"nx": 10 ** 400}, "nx"),
    ({"nx": 40, "na": 22}, "na"),
])
def test_parser_refusals_name_the_key(changes, key):
    with pytest.raises(ValueError, match=repr(key).replace("(", r"\(")):
        parse_equation(setup(**changes))


def test_parser_refuses_a_huge_integer_in_json_text():
    text = json.dumps(setup()).replace('"T": 1.0', '"T": 1' + "0" * 400)
    with pytest.raises(ValueError, match="^'T' must be finite, got an integer of 1329 bits$"):
        parse_equation(text)
    assert parse_equation(setup(nx=40, na=21)).get_common_coefficients()[3:5] == (40, 21)


@pytest.mark.parametrize("bad", ["{not json", "[1, 2]", 3])
def test_parser_refuses_what_is_no_set_up(bad):
    with pytest.raises(ValueError):
        parse_equation(bad)


def test_logger_prints_and_appends(tmp_path, capsys):
    directory = tmp_path / "new" / "dir"
    logger = create_algorithm_logger(str(directory))
    logger.info("first σ")
    logger.error("second")
    assert capsys.readouterr().out == "first σ\nsecond\n"
    text = (directory / "algorithm.log").read_text(encoding="utf-8")
    assert "first σ" in text and "second" in text and text.index("first") < text.index("second")


@pytest.mark.parametrize("title", ["../x", "", "/etc/passwd", "a" * 300, "Ünïcode ☃ title"])
def test_files_stay_inside_the_results_directory(tmp_path, title):
    base = BaseAlgorithm()
    base.algo_dir = str(tmp_path / "out")
    plot = base._generate_solution_plot(title, [1, 2], [3, 4], xlabel="S", ylabel="V", bd="d", ul=0, ur=1)
    qc = Circuit(2)
    qc.h(0)
    qc.cx(0, 1)
    diagrams, qasm = base._generate_circuit_plots(title, qc, qc)
    for path in [plot, *diagrams, *qasm]:
        assert os.path.dirname(path) == base.algo_dir and os.path.isfile(path)
        assert len(os.path.basename(path)) <= 100 + len("_circuit_1.qasm")
    assert len(diagrams) == len(qasm) == 2 and diagrams[0] != diagrams[1]
    assert open(plot).read().lstrip().startswith("<?xml")
    assert "OPENQASM 3" in open(qasm[0]).read()


def test_a_circuit_without_openqasm_form_leaves_no_file(tmp_path):
    base = BaseAlgorithm()
    base.algo_dir = str(tmp_path)
    qc = Circuit(1)
    qc.unitary(np.array([[0.0, 1.0], [1.0, 0.0]]), [0])
    with pytest.raises(ValueError):
        base._generate_circuit_plots("dense", qc)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("n", [1, 2, 3, 4])
@pytest.mark.parametrize("order", [1, 2])
def test_tdiff_step_is_the_exponential(n, order):
    N, dx, c = 2 ** n, 0.7, 1.3
    data = (c * TDiff(n=n, dx=dx, order=order)).data()
    assert data[order - 1] is None
    step = data[2 - order]
    if order == 2:
        D = second_order_derivative(N, dx)[0].toarray()
        exact = lambda t: sl.expm(1j * t * c * D)
        theta = lambda t: t * c / dx ** 2
    else:
        D = first_order_derivative(N, dx, scheme="central")[0].toarray()
        exact = lambda t: sl.expm(t * c * D)
        theta = lambda t: t * c / (2 * dx)
    errors = []
    for t in (0.02, 0.01):
        qc = step(t)
        assert qc.get_num_qubits() == n
        errors.append(np.abs(executed_unitary(qc) - exact(t)).max())
    # Third order in t (exact on one qubit): halving t divides the error by 8.
    assert errors[0] <= 2 * theta(0.02) ** 3 + 1e-12
    assert errors[1] <= errors[0] / 6 + 1e-12


def test_tdiff_circuits_export_and_scale():
    t = TDiff(n=3, dx=0.5, order=2)
    assert (2.0 * t).coefficient == 2.0 and t.coefficient == 1.0
    assert "OPENQASM 3" in t.data()[0](0.1).gate_sequence.to_openqasm()
    for bad in [dict(n=0, dx=1.0, order=2), dict(n=2, dx=0.0, order=2), dict(n=2, dx=1.0, order=3)]:
        with pytest.raises(ValueError):
            TDiff(**bad)


def test_p_grid_and_profile():
    p = p_grid(3, 2.0)
    np.testing.assert_allclose(p, np.array([0, 1, 2, 3, -4, -3, -2, -1]) * (2 * math.pi * 2.0 / 8))
    q = np.array([-1.0, 0.0, 2.0])
    np.testing.assert_allclose(warped_profile(q, 2), [math.exp(-1) * (1 + 2), 1.0, math.exp(-2)])
    np.testing.assert_allclose(warped_profile(q, 1), [math.exp(-1), 1.0, math.exp(-2)])


def test_circuit_classical_is_the_identity_on_its_registers():
    qc = circuit_classical(2, 3)
    assert qc.get_num_qubits() == 5
    np.testing.assert_allclose(executed_unitary(qc), np.eye(32), atol=1e-12)
    assert "OPENQASM 3" in qc.gate_sequence.to_openqasm()


def test_schro_classical_is_the_exact_limit():
    rng = np.random.default_rng(1)
    A, u0 = rng.normal(size=(4, 4)), rng.normal(size=4)
    np.testing.assert_allclose(schro_classical(A, u0, T=0.7, na=3, R=2.0, order=2, point=1.0),
                               (sl.expm(0.7 * A) @ u0).real, rtol=1e-12)
    with pytest.raises(ValueError):
        schro_classical(A, u0, T=0.7, na=0, R=2.0, order=2, point=1.0)


def matrix_circuit(M):
    n = int(np.log2(M.shape[0]))
    qc = Circuit(n)
    qc.unitary(M, list(range(n)))
    return qc


def test_schro_trotter_converges_to_the_exponential():
    rng = np.random.default_rng(4)
    B = rng.normal(size=(4, 4))
    Hs = -(B @ B.T) / 8 - 0.1 * np.eye(4)          # dissipative symmetric part
    Aa = rng.normal(size=(4, 4))
    Aa = (Aa - Aa.T) / 4
    u0 = rng.normal(size=4)
    T, R = 1.0, 2.0
    exact = sl.expm(T * (Hs + Aa)) @ u0
    errors = []
    for Nt in (4, 8):
        dt = T / Nt
        H1 = matrix_circuit(sl.expm(1j * dt / R * Hs))
        H2 = matrix_circuit(sl.expm(dt * Aa))
        u, qc = schro_trotter(u0=u0, H1=H1, H2=H2, R=R, na=7, Nt=Nt, order=2, point=1.0,
                              backend="torch", device="cpu", dtype=np.complex128)
        assert qc.get_num_qubits() == 2 + 7 and u.shape == (4,)
        errors.append(np.abs(u - exact).max())
    assert errors[1] < 0.7 * errors[0] and errors[1] < 0.05 * np.abs(exact).max()
    with pytest.raises(ValueError):
        schro_trotter(u0=np.zeros(4), H1=H1, H2=H2, R=R, na=7, Nt=1, order=2, point=1.0,
                      backend="torch", device="cpu", dtype=np.complex128)
    with pytest.raises(ValueError):
        schro_trotter(u0=np.ones(8), H1=H1, H2=H2, R=R, na=7, Nt=1, order=2, point=1.0,
                      backend="torch", device="cpu", dtype=np.complex128)


def test_schro_trotter_refuses_a_circuit_beyond_memory(monkeypatch, memory_limit):
    # 5 steps of 2**10 - 1 applications of a 2-gate H1: about 10**4 gates,
    # some 9 MB executed; with 0.5 MB of memory nothing may be allocated.
    memory_limit(2 ** 19)
    H = Circuit(1)
    H.h(0)
    H.h(0)
    built = []
    monkeypatch.setattr(Circuit, "append", lambda *args, **kwargs: built.append(args))
    with pytest.raises(MemoryError, match=r"^the Trotter circuit of 5 steps of 2048 gates on 11 qubits "
                                          r"would need about 0\.00\d+ GiB of memory; this process may "
                                          r"use about 0\.000488 GiB \(the memory available on this "
                                          r"machine\)\.$"):
        schro_trotter(u0=np.ones(2), H1=H, H2=H, R=2.0, na=10, Nt=5, order=2, point=1.0,
                      backend="torch", device="cpu", dtype=np.complex128)
    assert built == []


@pytest.mark.parametrize("boundary, error", [
    ({"type": "dirichlet", "left_value": 0.0, "right_value": 1.0}, None),
    ({"type": "neumann", "left_value": 0.0, "right_value": 1.0}, None),
    ({"type": "periodic", "left_value": 0.0, "right_value": 1.0}, None),
    ({"type": "Dirichlet", "left_value": 0.0, "right_value": 1.0},
     "'type' of 'boundary' must be one of 'dirichlet', 'neumann', 'periodic', got 'Dirichlet'"),
    ({"type": "robin", "left_value": 0.0, "right_value": 1.0},
     "'type' of 'boundary' must be one of 'dirichlet', 'neumann', 'periodic', got 'robin'"),
])
def test_parser_knows_the_boundary_types(boundary, error):
    if error is None:
        assert parse_equation(setup(boundary=boundary)).boundary.type == boundary["type"]
    else:
        with pytest.raises(ValueError, match="^" + error.replace("(", r"\(") + "$"):
            parse_equation(setup(boundary=boundary))


@pytest.mark.parametrize("solver, T, error", [
    # dt is not used by the classical solver: T = 0, and a dt above T, are fine.
    ({"type": "classical", "dt": 0.05}, 0.0, None),
    ({"type": "classical", "dt": 2.0}, 1.0, None),
    ({"type": "classical", "dt": -0.05}, 1.0, "'dt' must be positive, got -0.05"),
    ({"type": "trotter", "dt": 0.05}, 0.0, r"'dt' must lie in \(0, T\], got 0.05 with T = 0.0"),
])
def test_time_step_is_checked_where_it_is_used(solver, T, error):
    if error is None:
        assert parse_equation(setup(solver=solver, T=T)).get_common_coefficients()[1] == T
    else:
        with pytest.raises(ValueError, match="^" + error + "$"):
            parse_equation(setup(solver=solver, T=T))


def run_python(code):
    import subprocess
    import sys

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_memory_is_what_the_process_may_still_use():
    bounds = _memory.memory_bounds()
    # Two readings of the machine's available memory, which other processes
    # change between them: equal up to what they may take meanwhile.
    assert bounds and abs(_memory.available_memory() - min(bounds)[0]) <= 2 ** 28
    # The machine's available memory, never its total.
    assert any(what == "the memory available on this machine" for _, what in bounds)
    assert _memory.available_memory() <= _memory.physical_memory()
    # An address-space limit 1 GiB and the reserve above what the process maps
    # leaves it about 1 GiB: the reserve is for thread stacks, late libraries
    # and BLAS buffers, which no estimate counts.
    out = run_python(
        "import resource\n"
        "from quorvex import _memory as shared\n"
        "from quorvex.library.equation import _memory\n"
        "used = _memory._kib_field('/proc/self/status', 'VmSize')\n"
        "resource.setrlimit(resource.RLIMIT_AS, (used + 2 ** 30 + shared._LIMIT_RESERVE, resource.RLIM_INFINITY))\n"
        "room, what = min(_memory.memory_bounds())\n"
        "print(round(room / 2 ** 30, 1), what)\n"
        "try:\n"
        "    _memory.require_memory(2 ** 31, 'two GiB')\n"
        "except MemoryError as error:\n"
        "    print(error)\n")
    assert out.splitlines() == [
        "1.0 what its address-space limit (RLIMIT_AS) leaves",
        "two GiB would need about 2 GiB of memory; this process may use about 1 GiB (what its address-space "
        "limit (RLIMIT_AS) leaves)."]


def test_estimated_time_beyond_the_limit_is_refused():
    _memory.require_time(_memory.TIME_LIMIT, "a run")
    with pytest.raises(ValueError, match=r"^a run would take about 11 min; runs estimated to take more than "
                                         r"10 min are refused\. Use less\.$"):
        _memory.require_time(660.0, "a run", hint="Use less.")
    with pytest.raises(ValueError, match=r"about 3\.17e\+09 years"):
        _memory.require_time(1e17, "a run")
    with pytest.raises(ValueError):
        _memory.require_time(float("nan"), "a run")


@pytest.mark.parametrize("raised, message", [
    (MemoryError(), r"^the circuit ran out of memory \(about [\d.e+]+ GiB is left\); no result is returned\.$"),
    (MemoryError("std::bad_alloc"), r"^the circuit ran out of memory"),
    (MemoryError("Unable to allocate 8 GiB for an array"), r"^Unable to allocate 8 GiB for an array$"),
])
def test_a_bare_memory_error_says_what_ran_out(raised, message):
    with pytest.raises(MemoryError, match=message) as info:
        with _memory.naming_memory_errors("the circuit"):
            raise raised
    assert info.value is raised or info.value.__cause__ is raised


def test_schro_trotter_refuses_a_series_order_beyond_the_double_range():
    H = Circuit(1)
    H.h(0)
    with pytest.raises(ValueError, match=r"^order must be at most 170 \(.*\), got 171$"):
        schro_trotter(u0=np.ones(2), H1=H, H2=H, R=2.0, na=3, Nt=1, order=171, point=1.0,
                      backend="torch", device="cpu", dtype=np.complex128)
    assert np.all(np.isfinite(warped_profile(p_grid(3, 2.0), 170)))


# Past a norm of 6.4 the count is exact; below it expm_multiply may take
# fewer than the 55 it is estimated at.
@pytest.mark.parametrize("nx, T, sigma", [(3, 3e4, 0.2), (5, 1e3, 0.2), (8, 300.0, 0.2), (8, 1.0, 0.0), (6, 0.0, 0.2)])
def test_expm_multiply_cost_is_its_own_count(monkeypatch, nx, T, sigma):
    import scipy.sparse as sp
    import scipy.sparse.linalg._expm_multiply as internals

    from quorvex.library.equation.schrodingerization import expm_multiply_cost

    counted = []
    core = getattr(internals, "_expm_multiply_simple_core", None)
    if core is None:
        pytest.skip("this SciPy organises expm_multiply otherwise")

    def spy(A, B, t, mu, m_star, s, *args, **kwargs):
        counted.append(m_star * s)
        return core(A, B, t, mu, m_star, s, *args, **kwargs)

    monkeypatch.setattr(internals, "_expm_multiply_simple_core", spy)
    Nx, r = 2 ** nx, 0.05
    dx = (math.log(1000.0) - math.log(1e-4)) / (Nx + 1)
    A = (r - sigma ** 2 / 2) * first_order_derivative(Nx, dx)[0] + sigma ** 2 / 2 * second_order_derivative(Nx, dx)[0]
    A.resize(2 * Nx, 2 * Nx)
    A = sp.csc_matrix(A - r * sp.identity(2 * Nx))
    products, seconds = expm_multiply_cost(A, T)
    schro_classical(A, np.ones(2 * Nx), T=T, na=3, R=2.0, order=2, point=1.0)
    if T == 0:
        assert (products, seconds) == (0, 0.0)
    else:
        assert products == max(counted[0], 55) and 0 < seconds < 10
