"""quorvex demonstration: circuits on the state-vector engine and the algorithm library.

It shows, in this order:
1. a 20-qubit GHZ state built with `quorvex.core.Circuit` and run by the native
   engine, with its two non-zero amplitudes checked;
2. a layered 20-qubit circuit (rotations, CNOTs and controlled dense two-qubit
   unitaries): the time of `Circuit.execute` (warmed up, min and median of
   repeats, at the OpenMP thread count in force), and its inverse undoing it;
3. the memory that gate records keep, list-backed against the packed store,
   counted as the README counts it (resident memory of a fresh process, for
   200,000 float-angle gates), and that both storages hold the same gates of
   the layered circuit;
4. the algorithm library: a Fermi-Hubbard Hamiltonian as Pauli terms with its
   ground-state energy, a finite-difference heat equation against its exact
   solution, and a linear system solved by the Chebyshev/LCU method.
"""
import statistics
import subprocess
import sys
import time

try:
    import numpy as np

    from quorvex.backend.pelmor import strovane
    from quorvex.core import Circuit
except ImportError as exc:
    # Run as `python examples/demo.py` by a Python without the built package.
    sys.exit(f"examples/demo.py: {str(exc).rstrip('.')}. Run it with `bash dev.sh demo` in the checkout, which builds the"
             " package and its environment first, or install quorvex into this Python (`pip install .`).")

N = 20


def timed(func, repeat=3):
    func()  # warm-up: first-touch of the state's pages, caches, thread start
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def ghz():
    qc = Circuit(N, name="GHZ")
    qc.h(0)
    for q in range(1, N):
        qc.cx(q - 1, q)
    start = time.perf_counter()
    state = qc.execute().state
    elapsed = time.perf_counter() - start
    ok = np.isclose(state[0], 2 ** -0.5) and np.isclose(state[-1], 2 ** -0.5) and np.isclose(
        np.vdot(state, state).real, 1.0)
    print(f"1. GHZ state on {N} qubits ({state.nbytes >> 20} MiB, complex128): built and run in"
          f" {elapsed * 1e3:.0f} ms; |0...0> and |1...1> amplitudes {state[0].real:.6f},"
          f" {state[-1].real:.6f}: {'ok' if ok else 'WRONG'}")


def layered(storage="list", layers=6):
    rng = np.random.default_rng(1)
    qc = Circuit(N, name="layers", gate_storage=storage)
    for layer in range(layers):
        for q in range(N):
            qc.mcry(0.3 + 0.1 * q, [], q)
            qc.rz(0.2 * layer + 0.05 * q, q)
        for q in range(layer % 2, N - 1, 2):
            qc.cx(q, q + 1)
        for q in range(0, N - 2, 5):
            u, _ = np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))
            qc.unitary(u, [q, q + 1], control=[q + 2])
    return qc


def layered_run():
    qc = layered()
    gates = len(qc.gate_sequence.data())
    best, median = timed(qc.execute)
    print(f"2. layered circuit, {N} qubits, {gates} gates: execute {best * 1e3:.0f} ms (median"
          f" {median * 1e3:.0f} ms, {best / gates * 1e6:.1f} us per gate) with {strovane.max_threads()}"
          f" OpenMP threads (OMP_NUM_THREADS sets them)")
    undone = qc.copy()
    undone.append(qc.dagger(), list(range(N)))
    state = undone.execute().state
    print(f"   the circuit followed by its dagger() returns to |0...0> with amplitude {abs(state[0]):.12f}")


def same_gate(a, b):
    # Stored matrices are arrays, compared by value.
    fields = ("id", "target", "control", "control_state", "parameter")
    return all(getattr(a, f) == getattr(b, f) for f in fields) and (
        (a.stored_matrix is None and b.stored_matrix is None)
        or np.array_equal(a.stored_matrix, b.stored_matrix))


# The resident memory that the gates of one storage keep, measured in a fresh
# process: in this one, memory freed by the runs above would be reused and
# not counted. The packed store also reports its own byte count.
RESIDENT = """
import gc, os, sys
from quorvex.core import Circuit

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def build(storage, count):
    qc = Circuit(20, gate_storage=storage)
    for i in range(count // 4):
        q = i % 20
        qc.h(q)
        qc.rz(0.001 * i, q)
        qc.cx(q, (q + 1) % 20)
        qc.x(q)
    return qc

storage, count = sys.argv[1], int(sys.argv[2])
build(storage, 400)  # what any first circuit loads (the native module among it) is not the gates' memory
gc.collect()
before = resident()
qc = build(storage, count)
gc.collect()
print(resident() - before, getattr(qc.gate_sequence, "storage_bytes", 0))
"""
MEMORY_GATES = 200_000


def storage():
    sizes = {}
    for kind in ("list", "packed"):
        done = subprocess.run([sys.executable, "-c", RESIDENT, kind, str(MEMORY_GATES)], capture_output=True,
                              text=True, check=True)
        sizes[kind] = [int(value) / MEMORY_GATES for value in done.stdout.split()]
    listed, packed = layered("list", layers=40).gate_sequence.data(), layered("packed", layers=40).gate_sequence.data()
    same = len(listed) == len(packed) and all(map(same_gate, listed, packed))
    print(f"3. memory of {MEMORY_GATES} float-angle gates (H, RZ, CX, X), resident in a fresh process:"
          f" list-backed {sizes['list'][0]:.0f} bytes per gate, packed store {sizes['packed'][0]:.0f} bytes per"
          f" gate ({sizes['list'][0] / sizes['packed'][0]:.1f}x smaller; the store counts"
          f" {sizes['packed'][1]:.0f} bytes per gate itself)")
    print(f"   the {len(listed)}-gate layered circuit holds the same gates in both storages: {same}")


def library():
    from quorvex.library.fermi_hubbard.quandrel import quandrel_terms
    from quorvex.library.equation.differential_operator.ostrival import (
        matrix_exponential, second_order_derivative)
    from quorvex.library.linear_solver.tiberq import TiberqSolver

    print("4. algorithm library")
    terms = quandrel_terms(2, 1.0, 4.0, 0.0)
    paulis = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
              "Z": np.diag([1.0, -1.0])}
    H = 0
    for label, coefficient in terms.items():
        term = np.array([[1.0]])
        for letter in label:
            term = np.kron(term, paulis[letter])
        H = H + coefficient * term
    # Half filling: two electrons. The number operator sum_q (1 - Z_q)/2 is
    # diagonal and the same in any qubit order.
    occupation = np.array([bin(i).count("1") for i in range(16)])
    half = np.flatnonzero(occupation == 2)
    energy = np.linalg.eigvalsh(H[np.ix_(half, half)])[0]
    print(f"   Fermi-Hubbard, 2 sites, t = 1, U = 4: {len(terms)} Pauli terms on 4 qubits; ground-state"
          f" energy at half filling {energy:.6f} (exact 2 - 2*sqrt(2) = {2 - 2 * 2 ** 0.5:.6f})")

    points, T = 63, 0.1
    dx = 1.0 / (points + 1)
    x = dx * np.arange(1, points + 1)
    A, _ = second_order_derivative(points, dx)
    u = matrix_exponential(A, np.sin(np.pi * x), T=T)
    exact = np.exp(-np.pi ** 2 * T) * np.sin(np.pi * x)
    print(f"   heat equation u_t = u_xx on {points} points to T = {T}: max error against the exact"
          f" solution {np.abs(u - exact).max():.2e}")

    rng = np.random.default_rng(7)
    M = rng.normal(size=(4, 4))
    A = M @ M.T + 2 * np.eye(4)
    b = rng.normal(size=4)
    circuit, x_q, _ = TiberqSolver(A, b, epsilon=0.01, logging=False)
    x_ref = np.linalg.solve(A, b)
    fidelity = abs(np.dot(x_q, x_ref)) / (np.linalg.norm(x_q) * np.linalg.norm(x_ref))
    print(f"   linear system 4x4 by Chebyshev/LCU on {circuit.get_num_qubits()} qubits: fidelity with"
          f" numpy.linalg.solve {fidelity:.6f}, relative residual"
          f" {np.linalg.norm(A @ x_q - b) / np.linalg.norm(b):.1e}")


def main():
    print(f"quorvex demonstration (strovane: OpenMP {strovane.openmp_enabled()},"
          f" {strovane.max_threads()} threads)")
    ghz()
    layered_run()
    storage()
    library()


if __name__ == "__main__":
    main()
