"""Small inputs that describe very many gates: time and memory.

Each case runs in a fresh process, which prints the seconds it took and the
growth of its peak resident memory (ru_maxrss after less before, MB):
- adding a gate whose block holds the same gate twice, 20 levels deep
  (21 records, 2**20 gates), to an OpchainPacked and to a packed Circuit;
  the same 60 levels deep (2**60 gates), and executing a circuit holding
  one of vendor gates (x2p, expanded by the executor), which is refused;
- 40,000 and 80,000 times reading a packed circuit's gate_sequence and
  adding one gate; 10,000 to 80,000 adds with the sequence read once
  before them and kept (its view shares the store's last page, which an
  add must not copy whole each time), and the adds alone;
- reading OpenQASM gate definitions that call the one below twice, 17
  levels (131,072 gates), and 60 levels, which is refused;
- OpenQASM programs that grow, each read with 3 GiB of address space
  beyond what the process has mapped when it starts: 4 and 40 lines calling
  such a definition of 19 levels (2**19 gates a line; 40 lines cannot fit),
  a gate, a barrier and a measurement over a register of 300,000,000
  qubits (none can fit);
- OpenQASM programs of 160,000 and 640,000 one-gate statements (2.5 and
  10 MB of text).
- packed walks of a block shared 16 to 40 levels deep (bulk_supported,
  the measurement plan, equality of two views built apart, a decomposition
  by every level), running one whose block also holds a barrier, and
  operations on one gate repeated 2**40 times (inverse, reverse, insert,
  decompose, OpenQASM, both storages' setters, Circuit.append): each done
  or refused with its count at once;
- reading a list-storage circuit's gate_sequence and adding one gate,
  2,000 and 80,000 times.

With --baseline REV the cases that a revision can finish are also run on a
build of REV (made once into build/bench-baseline/, as bench/interrupt.py
makes it), each next to this tree's.

Run: bash dev.sh bench shared_blocks [--baseline REV] [--repeat R]
"""
import argparse
import os
import statistics
import subprocess
import sys

import quorvex

HERE = os.path.dirname(os.path.abspath(__file__))

CASE = r"""
import resource, sys, time
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.core import Circuit

def shared(leaf, levels):
    gate = QuantumGate(leaf, [0])
    for _ in range(levels):
        gate = QuantumGate("block", [0], block_gate_sequence=(gate, gate))
    return gate

def doubling(levels, lines=1):
    return ("OPENQASM 2.0; qreg q[1]; gate g0 a { x a; } "
            + " ".join("gate g%d a { g%d a; g%d a; }" % (i, i - 1, i - 1) for i in range(1, levels + 1))
            + "\ng%d q[0];" % levels * lines)

def bounded_address_space(extra):
    # What the process maps already (the libraries, NumPy) stays usable.
    with open("/proc/self/status") as status:
        mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (mapped + extra, resource.RLIM_INFINITY))

QASM_GROWTH = {
    "OpenQASM lines of g19": lambda n: doubling(19, n),
    "OpenQASM x register": lambda n: "OPENQASM 3.0; qubit[%d] q; x q;" % n,
    "OpenQASM barrier reg.": lambda n: "OPENQASM 3.0; qubit[%d] q; barrier q;" % n,
    "OpenQASM measure reg.": lambda n: "OPENQASM 3.0; qubit[%d] q; bit[%d] c; c = measure q;" % (n, n),
}

kind, size = sys.argv[1], int(sys.argv[2])
if kind == "add to sequence":
    gate = shared("x", size)
    run = lambda: OpchainPacked(1).add_gate(gate)
elif kind == "add to circuit":
    gate = shared("x", size)
    run = lambda: Circuit(1, gate_storage="packed").add_gate(gate)
elif kind == "execute vendor gates":
    circuit = Circuit(1, gate_storage="packed")
    circuit.add_gate(shared("x2p", size))
    run = circuit.execute
elif kind in ("bulk_supported", "measurement plan", "packed views equal", "decompose all levels"):
    # Walks of a packed store holding a block shared by reference.
    sequence, other = OpchainPacked(1), OpchainPacked(1)
    sequence.add_gate(shared("x", size))
    other.add_gate(shared("x", size))
    run = {"bulk_supported": lambda: sequence._native.bulk_supported(),
           "measurement plan": lambda: sequence._native.measurement_plan(),
           "packed views equal": lambda: sequence.data() == other.data(),
           "decompose all levels": lambda: sequence.decompose(size)}[kind]
elif kind == "barrier in shared block":
    circuit = Circuit(1, gate_storage="packed")
    circuit.add_gate(QuantumGate("block", [0], block_gate_sequence=(shared("x", size), QuantumGate("barrier", [0]))))
    run = circuit.execute
elif kind.startswith("repeat view "):
    # One gate repeated 2**size times, then the named operation.
    one = OpchainPacked(1)
    one.add_gate(QuantumGate("x", [0]))
    rep = one.repeat(2 ** size)
    run = {"inverse": rep.inverse, "reverse": rep.reverse, "decompose": rep.decompose,
           "insert": lambda: rep.copy().data().insert(0, QuantumGate("h", [0])),
           "to_openqasm": rep.to_openqasm,
           "list setter": lambda: setattr(Circuit(1), "gate_sequence", rep),
           "packed setter": lambda: setattr(Circuit(1, gate_storage="packed"), "gate_sequence", rep),
           "Circuit.append": lambda: Circuit(1).append(rep, [0])}[kind[len("repeat view "):]]
elif kind == "list read and add":
    def run():
        c = Circuit(4)
        for i in range(size):
            c.gate_sequence
            c.h(i % 4)
elif kind in ("read and add", "add", "kept view and add"):
    def run():
        c = Circuit(4, gate_storage="packed")
        kept = c.gate_sequence if kind == "kept view and add" else None
        for i in range(size):
            if kind == "read and add":
                c.gate_sequence
            c.h(i % 4)
elif kind in QASM_GROWTH:
    text = QASM_GROWTH[kind](size)
    bounded_address_space(3 << 30)
    run = lambda: Opchain.from_openqasm(text)
elif kind == "OpenQASM statements":
    text = "OPENQASM 3.0; qubit[4] q;\n" + "rz(0.125) q[1];\n" * size
    run = lambda: Opchain.from_openqasm(text)
else:
    text = doubling(size)
    run = lambda: Opchain.from_openqasm(text)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
try:
    run()
    outcome = "done"
except MemoryError as exc:
    outcome = "MemoryError: " + str(exc)[:60] + "..."
seconds = time.perf_counter() - start
print(seconds, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024, outcome)
"""

# (case, size, whether a build without the bounds finishes it in reasonable time and memory)
CASES = [
    ("add to sequence", 20, True),
    ("add to circuit", 20, True),
    ("add to sequence", 60, False),
    ("add to circuit", 60, False),
    ("execute vendor gates", 60, False),
    ("read and add", 40_000, True),
    ("read and add", 80_000, True),
    ("kept view and add", 10_000, True),
    ("kept view and add", 20_000, True),
    ("kept view and add", 40_000, True),
    ("kept view and add", 80_000, True),
    ("add", 10_000, True),
    ("add", 20_000, True),
    ("add", 40_000, True),
    ("add", 80_000, True),
    ("OpenQASM import", 17, True),
    ("OpenQASM import", 60, False),
    ("OpenQASM lines of g19", 4, True),
    # a build that counts each line alone expands lines until memory runs out (minutes)
    ("OpenQASM lines of g19", 40, False),
    ("OpenQASM x register", 300_000_000, True),
    ("OpenQASM barrier reg.", 300_000_000, True),
    ("OpenQASM measure reg.", 300_000_000, True),
    ("OpenQASM statements", 160_000, True),
    ("OpenQASM statements", 640_000, True),
    # Walks of packed storage and the store: once per distinct block, or
    # refused with the count.
    ("bulk_supported", 24, True),
    ("bulk_supported", 40, False),
    ("measurement plan", 24, True),
    ("measurement plan", 40, False),
    ("packed views equal", 16, True),
    ("packed views equal", 40, False),
    ("decompose all levels", 40, False),
    ("barrier in shared block", 23, False),
    ("repeat view inverse", 40, False),
    ("repeat view reverse", 40, False),
    ("repeat view insert", 40, False),
    ("repeat view decompose", 40, False),
    ("repeat view to_openqasm", 40, False),
    ("repeat view list setter", 40, False),
    ("repeat view packed setter", 40, False),
    ("repeat view Circuit.append", 40, False),
    ("list read and add", 2_000, True),
    ("list read and add", 80_000, False),
]


def run_case(site, kind, size):
    env = dict(os.environ, PYTHONPATH=site)
    done = subprocess.run([sys.executable, "-P", "-c", CASE, kind, str(size)], env=env, capture_output=True,
                          text=True, check=True)
    seconds, megabytes, outcome = done.stdout.split(None, 2)
    return float(seconds), float(megabytes), outcome.strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", default=None)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    builds = {"this tree": os.path.dirname(os.path.dirname(quorvex.__file__))}
    if args.baseline:
        sys.path.insert(0, HERE)
        from interrupt import baseline_site

        site, described = baseline_site(args.baseline)
        print("baseline: " + described)
        builds = {"baseline": site, **builds}
    print("seconds and peak memory growth (MB), min / median of %d, each run in a fresh process" % args.repeat)
    print("%-22s %7s  %-10s %17s %17s  %s" % ("case", "size", "build", "seconds", "MB", "outcome"))
    for kind, size, old_finishes in CASES:
        for name, site in builds.items():
            if name == "baseline" and not old_finishes:
                continue
            found = [run_case(site, kind, size) for _ in range(args.repeat)]
            seconds = [f[0] for f in found]
            megabytes = [f[1] for f in found]
            print("%-22s %7d  %-10s %8.3f %8.3f %8.1f %8.1f  %s" % (
                kind, size, name, min(seconds), statistics.median(seconds), min(megabytes),
                statistics.median(megabytes), found[-1][2]))


if __name__ == "__main__":
    main()
