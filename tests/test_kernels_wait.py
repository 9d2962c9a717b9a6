"""The OpenMP wait settings the native back end starts its runtime with.

Importing the back end makes idle OpenMP workers spin a bounded number of
rounds and then sleep, unless the user chose a policy or a spin count; the
variable it sets is gone from the environment again after the import. Each
case runs in a fresh interpreter; the runtime reports the settings it
started with when OMP_DISPLAY_ENV is set (a policy left unset shows as
PASSIVE there).
"""
import os
import subprocess
import sys

import pytest

from quorvex._openmp import SPIN_ROUNDS

SCRIPT = ("import os, {first}; "
          "print(os.environ.get('OMP_WAIT_POLICY'), os.environ.get('GOMP_SPINCOUNT'))")


# (variables the user set, what the runtime reports, the two variables after import)
@pytest.mark.parametrize("user, reported, left", [
    ({}, ["OMP_WAIT_POLICY = 'PASSIVE'", f"GOMP_SPINCOUNT = '{SPIN_ROUNDS}'"], "None None"),
    ({"OMP_WAIT_POLICY": "active"}, ["OMP_WAIT_POLICY = 'ACTIVE'"], "active None"),
    ({"OMP_WAIT_POLICY": "passive"}, ["OMP_WAIT_POLICY = 'PASSIVE'", "GOMP_SPINCOUNT = '0'"],
     "passive None"),
    ({"GOMP_SPINCOUNT": "5000"}, ["GOMP_SPINCOUNT = '5000'"], "None 5000"),
])
# The device add-on shares the runtime, so importing it first must not start
# the runtime before the back end has chosen the settings.
@pytest.mark.parametrize("first", ["quorvex.backend.pelmor", "quorvex_cu12.dravik"])
def test_wait_policy_at_import(user, reported, left, first):
    env = {k: v for k, v in os.environ.items() if k not in ("OMP_WAIT_POLICY", "GOMP_SPINCOUNT")}
    env.update(user, OMP_DISPLAY_ENV="verbose")
    done = subprocess.run([sys.executable, "-P", "-c", SCRIPT.format(first=first)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == left
    for line in reported:
        assert line in done.stderr
