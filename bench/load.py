"""CPU burners and interleaved timing shared by the benchmarks.

`Load(count)` starts `count` busy processes (pure Python loops, one core
each) for the duration of a with-block, so a measurement can be repeated on
a machine whose cores are partly or fully taken, as on shared CI runners.
`LOADS` names the levels the benchmarks print: no burner, one on half the
cores, one on every core.
"""
import multiprocessing
import os
import statistics
import time

CORES = os.cpu_count() or 1
LOADS = {"unloaded": 0, "half loaded": max(CORES // 2, 1), "fully loaded": CORES}


def _burn(parent):
    # A benchmark killed outright (SIGKILL, a CI timeout) never stops its
    # burners; each one ends by itself once its parent is gone instead of
    # spinning on a shared machine for good.
    while os.getppid() == parent:
        for _ in range(100_000):
            pass


class Load:
    def __init__(self, count):
        self.count = count
        self.procs = []

    def __enter__(self):
        ctx = multiprocessing.get_context("fork")
        self.procs = [ctx.Process(target=_burn, args=(os.getpid(),), daemon=True)
                      for _ in range(self.count)]
        for p in self.procs:
            p.start()
        if self.procs:
            time.sleep(0.2)  # let the scheduler spread them
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            p.terminate()
        for p in self.procs:
            p.join()
        self.procs = []


def under_loads():
    """Yields (label, burner count) for each level of LOADS, with the burners
    running until the next level is asked for."""
    for label, count in LOADS.items():
        with Load(count):
            yield label, count


def burners_line():
    return f"burners: half = {LOADS['half loaded']}, full = {LOADS['fully loaded']} busy processes"


def interleaved(calls, repeat):
    """Times each zero-argument call `repeat` times, the calls taking turns;
    returns (min, median) seconds per call, in the order given. One untimed
    call each first (first touch, thread start)."""
    for call in calls:
        call()
    times = [[] for _ in calls]
    for _ in range(repeat):
        for slot, call in zip(times, calls):
            start = time.perf_counter()
            call()
            slot.append(time.perf_counter() - start)
    return [(min(t), statistics.median(t)) for t in times]


def fmt(seconds):
    """Seconds as a short string in ms or µs."""
    if seconds >= 1e-3:
        return f"{seconds * 1e3:8.2f} ms"
    return f"{seconds * 1e6:8.1f} µs"
