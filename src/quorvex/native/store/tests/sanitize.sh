#!/usr/bin/env bash
# Runs the test suite under AddressSanitizer and UndefinedBehaviorSanitizer:
# a separate build (build/asan) in which both the native module and the
# Cython-compiled modules are instrumented, installed into build/asan-site,
# then pytest with the sanitizer runtime preloaded, plus the native unit
# tests. Slow; not part of every CI run.
#   bash src/quorvex/native/store/tests/sanitize.sh [pytest args]   (default: all of tests/)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../../../.." && pwd)"
venv="${QUORVEX_VENV:-$HOME/.cache/quorvex/venv-py312}"
site="$root/build/asan-site"
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
link="-fsanitize=address,undefined"

"$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --upgrade --target "$site" "$root" \
    -Cbuild-dir="$root/build/asan" -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.CMAKE_CXX_FLAGS="$flags" -Ccmake.define.CMAKE_C_FLAGS="$flags" \
    -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="$link" -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS="$link"

g++ -std=c++17 -O1 -g $flags -I"$root/src/quorvex/native" \
    "$root/src/quorvex/native/store/tests/store_units.cpp" "$root/src/quorvex/native/store/record_list.cpp" \
    "$root/src/quorvex/native/store/gate_ids.cpp" \
    -o "$root/build/asan/store_units"
"$root/build/asan/store_units"

# Python itself is not instrumented; its allocations are not leaks of ours.
# Tests ask for state vectors far beyond memory and expect MemoryError: a
# refused allocation must come back as null, as it does without the sanitizer.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
cd "$root"
args=("$@")
[[ ${#args[@]} -gt 0 ]] || args=(tests)
# --capture=sys: a sanitizer report is written to file descriptor 2 just
# before the process ends, and pytest's default descriptor capture would
# swallow it with the process.
PYTHONPATH="$site" "$venv/bin/python" -P -m pytest -q --capture=sys -p no:cacheprovider -p no:randomly "${args[@]}"
