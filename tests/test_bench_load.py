"""The benchmarks' CPU burners never outlive the benchmark that started them."""
import os
import signal
import subprocess
import sys
import time

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")

# Starts one burner, writes its pid to the file named by argv[1], then dies
# without any clean-up. (A burner inherits the descriptors, so its pid does
# not go through a pipe that would stay open with it.)
SCRIPT = f"""
import os, signal, sys
sys.path.insert(0, {BENCH!r})
from load import Load
burners = Load(1).__enter__()
with open(sys.argv[1], "w") as f:
    f.write(str(burners.procs[0].pid))
os.kill(os.getpid(), signal.SIGKILL)
"""


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[1][0] != "Z"
    except FileNotFoundError:
        return False


def test_burner_ends_when_its_benchmark_is_killed(tmp_path):
    pid_file = tmp_path / "burner.pid"
    done = subprocess.run([sys.executable, "-c", SCRIPT, str(pid_file)], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=30)
    assert done.returncode == -signal.SIGKILL
    pid = int(pid_file.read_text())
    try:
        deadline = time.monotonic() + 10
        while alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not alive(pid)
    finally:
        if alive(pid):
            os.kill(pid, signal.SIGKILL)
