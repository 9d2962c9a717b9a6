"""Cost of gate records and list-backed sequences.

Run: bash dev.sh bench bench_gates
"""
import timeit
import tracemalloc

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain


def per_call(stmt, number, **names):
    seconds = min(timeit.repeat(stmt, globals=dict(QuantumGate=QuantumGate, **names),
                                number=number, repeat=5))
    return seconds / number * 1e6


def main():
    print("QuantumGate construction (microseconds per gate)")
    for label, stmt in [
        ("x on one qubit", 'QuantumGate("x", 0)'),
        ("rx with one angle", 'QuantumGate("rx", 1, parameter=0.5)'),
        ("cx with one control", 'QuantumGate("cx", 1, control=0)'),
        ("u, two open/closed controls",
         'QuantumGate("u", 2, control=(0, 1), control_state=(0, 1), parameter=(0.1, 0.2, 0.3))'),
    ]:
        print(f"  {label:32s} {per_call(stmt, 100_000):6.2f}")

    tracemalloc.start()
    gates = [QuantumGate("rx", i % 64, parameter=0.5) for i in range(100_000)]
    rx_bytes = tracemalloc.get_traced_memory()[0] / len(gates)
    tracemalloc.stop()
    print(f"memory per rx gate, record and tuples: {rx_bytes:.0f} bytes")

    seq = Opchain(16)
    for i in range(10_000):
        seq.add_gate(QuantumGate("rx", i % 16, parameter=0.1 * i))
        seq.add_gate(QuantumGate("cx", (i + 1) % 16, control=i % 16))
    print(f"sequence of {len(seq.data())} gates (milliseconds per call)")
    for label, stmt in [
        ("gateCreator + add_gate", 'seq.add_gate(seq.gateCreator("h", 0)); seq._data.pop()'),
    ]:
        print(f"  {label:32s} {per_call(stmt, 100_000, seq=seq) / 1000:8.4f}")
    for label, stmt in [("copy", "seq.copy()"), ("inverse", "seq.inverse()"),
                        ("reverse", "seq.reverse()"), ("repeat(4)", "seq.repeat(4)"),
                        ("control(2)", "seq.control(2)"), ("decompose of control(2)", "ctl.decompose()")]:
        print(f"  {label:32s} {per_call(stmt, 3, seq=seq, ctl=seq.control(2)) / 1000:8.2f}")


if __name__ == "__main__":
    main()
