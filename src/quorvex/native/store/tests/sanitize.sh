#!/usr/bin/env bash
# Runs the test suite under AddressSanitizer and UndefinedBehaviorSanitizer:
# a separate build (build/asan) in which both the native module and the
# Cython-compiled modules are instrumented, installed into build/asan-site,
# then pytest with the sanitizer runtime preloaded, plus the native unit
# tests of the store and the kernels. Slow; not part of every CI run.
#   bash src/quorvex/native/store/tests/sanitize.sh [pytest args]   (default: all of tests/)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../../../.." && pwd)"
venv="${QUORVEX_VENV:-$HOME/.cache/quorvex/venv-py312}"
site="$root/build/asan-site"
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
link="-fsanitize=address,undefined"

say() { echo "sanitize.sh: $*" >&2; }

# The environment is dev.sh's, with the test tools: this script builds into
# it but does not create it.
if ! [[ -x "$venv/bin/python" ]] || ! "$venv/bin/python" -c "import importlib.util as u, sys;
sys.exit(not all(u.find_spec(m) for m in ('pytest', 'hypothesis', 'torch')))" 2>/dev/null; then
    say "no test environment at $venv: run \`bash dev.sh test\` first (with the same QUORVEX_VENV)," \
        "which creates it, or create it as dev.sh does: a CPython 3.12 venv with requirements-demo.txt" \
        "and requirements-dev.txt installed"
    exit 1
fi

# The instrumented build takes several minutes: its steps are shown as they
# go ("[12/80] Cythonizing ..."), the whole output is kept in build/asan.log
# and shown in full when the build fails.
log="$root/build/asan.log"
mkdir -p "$root/build"
say "building the instrumented package into build/asan-site (several minutes the first time)"
if ! "$venv/bin/python" -m pip install --verbose --no-build-isolation --no-deps --upgrade --target "$site" "$root" \
        -Cbuild-dir="$root/build/asan" -Ccmake.build-type=RelWithDebInfo \
        -Ccmake.define.CMAKE_CXX_FLAGS="$flags" -Ccmake.define.CMAKE_C_FLAGS="$flags" \
        -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="$link" -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS="$link" 2>&1 |
     tee "$log" | sed -un 's/^ *\(\[[0-9]*\/[0-9]*\]\)/  \1/p' >&2; then
    cat "$log" >&2
    say "the instrumented build failed; its output is above and in build/asan.log"
    exit 1
fi

say "running the native unit tests of the store"

g++ -std=c++17 -O1 -g $flags -I"$root/src/quorvex/native" \
    "$root/src/quorvex/native/store/tests/store_units.cpp" "$root/src/quorvex/native/store/record_list.cpp" \
    "$root/src/quorvex/native/store/gate_ids.cpp" \
    -o "$root/build/asan/store_units"
"$root/build/asan/store_units"

say "running the native unit tests of the kernels"
g++ -std=c++17 -O1 -g -fopenmp $flags -I"$root/src/quorvex/native" \
    "$root/src/quorvex/native/kernels/tests/kernel_units.cpp" "$root/build/asan/libquorvex_gates.a" \
    -o "$root/build/asan/kernel_units"
OMP_NUM_THREADS=4 "$root/build/asan/kernel_units"

# Python itself is not instrumented; its allocations are not leaks of ours.
# Tests ask for state vectors far beyond memory and expect MemoryError: a
# refused allocation must come back as null, as it does without the sanitizer.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
cd "$root"
say "running the test suite under the sanitizers"
args=("$@")
[[ ${#args[@]} -gt 0 ]] || args=(tests)
# --capture=sys: a sanitizer report is written to file descriptor 2 just
# before the process ends, and pytest's default descriptor capture would
# swallow it with the process.
PYTHONPATH="$site" "$venv/bin/python" -P -m pytest -q --capture=sys -p no:cacheprovider -p no:randomly "${args[@]}"
