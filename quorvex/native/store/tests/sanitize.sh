#!/usr/bin/env bash
# Runs the test suite under AddressSanitizer and UndefinedBehaviorSanitizer:
# a separate build (build/asan) in which both the native module and the
# Cython-compiled modules are instrumented, installed into build/asan-site,
# then pytest with the sanitizer runtime preloaded, plus the native unit
# tests. Slow; not part of every CI run.
#   bash quorvex/native/store/tests/sanitize.sh [pytest args]   (default: all of tests/)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../../.." && pwd)"
venv="${QUORVEX_VENV:-$HOME/.cache/quorvex/venv-py312}"
site="$root/build/asan-site"
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
link="-fsanitize=address,undefined"

"$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --upgrade --target "$site" "$root" \
    -Cbuild-dir="$root/build/asan" -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.CMAKE_CXX_FLAGS="$flags" -Ccmake.define.CMAKE_C_FLAGS="$flags" \
    -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="$link" -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS="$link"

g++ -std=c++17 -O1 -g $flags -I"$root/quorvex/native" \
    "$root/quorvex/native/store/tests/store_units.cpp" "$root/quorvex/native/store/record_list.cpp" \
    "$root/quorvex/native/store/gate_ids.cpp" \
    -o "$root/build/asan/store_units"
"$root/build/asan/store_units"

# Python itself is not instrumented; its allocations are not leaks of ours.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
cd "$root"
args=("$@")
[[ ${#args[@]} -gt 0 ]] || args=(tests)
PYTHONPATH="$site" "$venv/bin/python" -P -m pytest -q -p no:cacheprovider -p no:randomly "${args[@]}"
