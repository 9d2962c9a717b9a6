"""Small inputs that describe very many gates: time and memory.

``shared(L)`` is a gate whose block holds the same gate twice, L levels deep (L + 1 records, 2**L
gates). Each case runs in a fresh process, which prints the seconds it took and the growth of its
peak resident memory (ru_maxrss after less before, MB), or the refusal that ended it; a run still
going after --limit seconds is stopped and shown as such.

Cases:
- adding shared(20) and shared(60) to an OpchainPacked and to a packed Circuit;
- walks whose answer is per block, at 18 levels (what an expansion of every occurrence costs) and
  at 40 (2**40 gates, which only a walk per block object finishes): the gate_sequence setter into
  list storage from a list or packed sequence and into packed storage from a list sequence,
  Circuit.append of a sequence, Opchain.append of a packed sequence, editing a list circuit's
  gate_sequence and then adding, Opchain.control set on a circuit, == of equal blocks built apart,
  repr(gate), Opchain.has_measurement, .matrix;
- execution: shared(23) beside one barrier, on both storages; vendor gates (x2p, run from their
  standard matrix) shared 22 levels deep, and 2**18 of them side by side (one matrix for all); the
  store prepared for shared x2p at 60 levels;
- one Toffoli of 14 controls compiled with times=16, in both bases;
- packed walks of a block shared 16 to 40 levels deep (bulk_supported, the measurement plan,
  equality of two views built apart, a decomposition by every level), and operations on one gate
  repeated 2**40 times (inverse, reverse, insert, decompose, OpenQASM, both storages' setters,
  Circuit.append): each done or refused with its count at once;
- 40,000 and 80,000 times reading a packed circuit's gate_sequence and adding one gate; 10,000 to
  80,000 adds with the sequence read once before them and kept (its view shares the store's last
  page, which an add must not copy whole each time), and the adds alone; reading a list-storage
  circuit's gate_sequence and adding one gate, 2,000 and 80,000 times;
- reading OpenQASM gate definitions that call the one below twice, 17 levels (131,072 gates), and
  60 levels, which is refused; OpenQASM programs that grow, each read with 3 GiB of address space
  beyond what the process has mapped when it starts: 4 and 40 lines calling such a definition of
  19 levels (2**19 gates a line; 40 lines cannot fit), a gate, a barrier and a measurement over a
  register of 300,000,000 qubits (none can fit); programs of 160,000 and 640,000 one-gate
  statements (2.5 and 10 MB of text).

With --baseline REV the cases are also run on a build of REV (made once into
build/bench-baseline/, as bench/interrupt.py makes it), each next to this tree's; cases that a
revision without the bounds cannot finish in reasonable time are run there once, to the limit.

Run: bash dev.sh bench shared_blocks [--baseline REV] [--repeat R] [--limit S] [--only WORD]
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
import numpy as np
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.core import Circuit

def shared(leaf, levels):
    gate = QuantumGate(leaf, [0])
    for _ in range(levels):
        gate = QuantumGate("block", [0], block_gate_sequence=(gate, gate))
    return gate

def sequence(cls, levels):
    s = cls(1)
    s.add_gate(shared("x", levels))
    return s

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

def packed_builds(kind, size):
    def run():
        c = Circuit(4, gate_storage="packed")
        kept = c.gate_sequence if kind == "kept view and add" else None
        for i in range(size):
            if kind == "read and add":
                c.gate_sequence
            c.h(i % 4)
    return run

def setter(storage, cls, size):
    s = sequence(cls, size)
    def run():
        Circuit(1, gate_storage=storage).gate_sequence = s
    return run

def circuit_append(cls, size):
    s = sequence(cls, size)
    return lambda: Circuit(1).append(s, [0])

def edit_then_add(size):
    gate = shared("x", size)
    def run():
        c = Circuit(1)
        c.gate_sequence.data().append(gate)
        c.h(0)
    return run

def control_set(size):
    s = sequence(Opchain, size)
    def run():
        Circuit(2).gate_sequence = s.control(1)
    return run

def execute(gate, storage="list"):
    c = Circuit(1, gate_storage=storage)
    c.add_gate(gate)
    return c.execute

def side_by_side(size, storage):
    c = Circuit(1, gate_storage=storage)
    for _ in range(size):
        c.add_gate(QuantumGate("x2p", [0]))
    return c.execute

def compile_toffoli(basis):
    from quorvex.qcompiler.transpile import qcompiler_transpile
    c = Circuit(15)
    c.add_gate(QuantumGate("mcx", 0, control=list(range(1, 15))))
    return lambda: qcompiler_transpile(c, basis=basis, times=16)

kind, size = sys.argv[1], int(sys.argv[2])
if kind == "add to sequence":
    gate = shared("x", size)
    run = lambda: OpchainPacked(1).add_gate(gate)
elif kind == "add to circuit":
    gate = shared("x", size)
    run = lambda: Circuit(1, gate_storage="packed").add_gate(gate)
elif kind == "setter list <- list":
    run = setter("list", Opchain, size)
elif kind == "setter list <- packed":
    run = setter("list", OpchainPacked, size)
elif kind == "setter packed <- list":
    run = setter("packed", Opchain, size)
elif kind == "Circuit.append list":
    run = circuit_append(Opchain, size)
elif kind == "Circuit.append packed":
    run = circuit_append(OpchainPacked, size)
elif kind == "Opchain.append packed":
    s = sequence(OpchainPacked, size)
    run = lambda: Opchain(1).append(s, [0])
elif kind == "edit list, then add":
    run = edit_then_add(size)
elif kind == "control set on circuit":
    run = control_set(size)
elif kind == "== built apart":
    left, right = shared("x", size), shared("x", size)
    run = lambda: left == right
elif kind == "repr":
    gate = shared("x", size)
    run = lambda: repr(gate)
elif kind == "has_measurement":
    s = sequence(Opchain, size)
    run = lambda: s.has_measurement
elif kind == ".matrix":
    gate = shared("x", size)
    run = lambda: gate.matrix
elif kind in ("barrier beside shared, list", "barrier beside shared, packed"):
    run = execute(QuantumGate("block", [0], block_gate_sequence=(shared("x", size), QuantumGate("barrier", [0]))),
                  kind.rsplit(" ", 1)[1])
elif kind in ("x2p shared, list", "x2p shared, packed"):
    run = execute(shared("x2p", size), kind.rsplit(" ", 1)[1])
elif kind in ("x2p side by side, list", "x2p side by side, packed"):
    run = side_by_side(size, kind.rsplit(" ", 1)[1])
elif kind == "prepare x2p shared":
    c = Circuit(1)
    c.add_gate(shared("x2p", size))
    run = c._native_store
elif kind in ("C14X times=16 default", "C14X times=16 Tessik"):
    run = compile_toffoli(kind.rsplit(" ", 1)[1])
elif kind in ("bulk_supported", "measurement plan", "packed views equal", "decompose all levels"):
    # Walks of a packed store holding a block shared by reference.
    packed, other = OpchainPacked(1), OpchainPacked(1)
    packed.add_gate(shared("x", size))
    other.add_gate(shared("x", size))
    run = {"bulk_supported": lambda: packed._native.bulk_supported(),
           "measurement plan": lambda: packed._native.measurement_plan(),
           "packed views equal": lambda: packed.data() == other.data(),
           "decompose all levels": lambda: packed.decompose(size)}[kind]
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
    run = packed_builds(kind, size)
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

WALKS = ["setter list <- list", "setter list <- packed", "setter packed <- list", "Circuit.append list",
         "Circuit.append packed", "Opchain.append packed", "edit list, then add", "control set on circuit",
         "== built apart", "repr", "has_measurement", ".matrix"]

# (case, size, whether a build without a walk per block object finishes it in reasonable time and memory)
CASES = [
    ("add to sequence", 20, True),
    ("add to circuit", 20, True),
    ("add to sequence", 60, False),
    ("add to circuit", 60, False),
    *[(walk, 18, True) for walk in WALKS],
    *[(walk, 40, False) for walk in WALKS],
    ("barrier beside shared, list", 23, True),
    ("barrier beside shared, packed", 23, True),
    ("x2p shared, list", 22, True),
    ("x2p shared, packed", 22, True),
    ("x2p side by side, list", 2**18, True),
    ("x2p side by side, packed", 2**18, True),
    ("prepare x2p shared", 60, True),
    ("C14X times=16 default", 14, False),
    ("C14X times=16 Tessik", 14, False),
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


def run_case(site, kind, size, limit):
    env = dict(os.environ, PYTHONPATH=site)
    try:
        done = subprocess.run([sys.executable, "-P", "-c", CASE, kind, str(size)], env=env, capture_output=True,
                              text=True, timeout=limit)
    except subprocess.TimeoutExpired:
        return None
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["exit code %d" % done.returncode])[-1]
        return float("nan"), float("nan"), "failed: " + last[:70]
    seconds, megabytes, outcome = done.stdout.split(None, 2)
    return float(seconds), float(megabytes), outcome.strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", default=None)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--limit", type=float, default=60.0, help="seconds a run may take before it is stopped")
    parser.add_argument("--only", default=None, help="run only the cases whose name holds this text")
    args = parser.parse_args()
    builds = {"this tree": os.path.dirname(os.path.dirname(quorvex.__file__))}
    if args.baseline:
        sys.path.insert(0, HERE)
        from interrupt import baseline_site

        site, described = baseline_site(args.baseline)
        print("baseline: " + described)
        builds = {"baseline": site, **builds}
    print("seconds and peak memory growth (MB), min / median of %d, each run in a fresh process, stopped after "
          "%g s; a case a baseline cannot finish in reasonable time is run there once" % (args.repeat, args.limit))
    print("%-26s %7s  %-10s %17s %17s  %s" % ("case", "size", "build", "seconds", "MB", "outcome"))
    for kind, size, old_finishes in CASES:
        if args.only and args.only not in kind:
            continue
        for name, site in builds.items():
            repeat = args.repeat if name != "baseline" or old_finishes else 1
            found = []
            for _ in range(repeat):
                result = run_case(site, kind, size, args.limit)
                if result is None:
                    break
                found.append(result)
            if not found:
                print("%-26s %7d  %-10s %17s %17s  stopped after %g s" % (kind, size, name, "-", "-", args.limit))
                continue
            seconds = [f[0] for f in found]
            megabytes = [f[1] for f in found]
            print("%-26s %7d  %-10s %8.3f %8.3f %8.1f %8.1f  %s" % (
                kind, size, name, min(seconds), statistics.median(seconds), min(megabytes),
                statistics.median(megabytes), found[-1][2]), flush=True)


if __name__ == "__main__":
    main()
