#!/usr/bin/env bash
# Development entry point: `bash dev.sh demo` runs the demonstration,
# `bash dev.sh test` runs the test suite. Both set up what they need:
#   - a CPython 3.12 virtual environment with the dependencies, kept outside
#     the clone (default ~/.cache/quorvex/venv-py312) so that PyTorch, a large
#     download, is installed once per machine;
#   - the package, built incrementally in build/ and installed into
#     .quorvex-site/ of this checkout, so several checkouts can share one venv.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
venv="${QUORVEX_VENV:-$HOME/.cache/quorvex/venv-py312}"
site="$here/.quorvex-site"

find_python312() {
    local candidate
    for candidate in python3.12 "$(pyenv prefix 3.12.1 2>/dev/null)/bin/python3.12"; do
        if command -v "$candidate" >/dev/null 2>&1 &&
           "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
            command -v "$candidate"
            return
        fi
    done
    echo "dev.sh: CPython 3.12 not found (tried python3.12 and pyenv 3.12.1)" >&2
    exit 1
}

ensure_venv() {
    local stamp="$venv/.quorvex-requirements"
    if [[ -x "$venv/bin/python" ]] && cmp -s "$here/requirements-dev.txt" "$stamp"; then
        return
    fi
    echo "dev.sh: preparing the environment in $venv" >&2
    [[ -x "$venv/bin/python" ]] || "$(find_python312)" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet -r "$here/requirements-dev.txt"
    cp "$here/requirements-dev.txt" "$stamp"
}

build() {
    # The build directory persists, so an unchanged tree rebuilds nothing.
    "$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
        --upgrade --target "$site" "$here" \
        -Cbuild-dir="$here/build/dev" -Ccmake.build-type=Release
}

run_python() {
    # -P keeps the checkout's source tree off sys.path: the compiled package
    # in .quorvex-site is what gets imported.
    PYTHONPATH="$site" "$venv/bin/python" -P "$@"
}

case "${1:-}" in
    demo)
        ensure_venv; build
        shift; run_python "$here/examples/demo.py" "$@" ;;
    test)
        ensure_venv; build
        shift; cd "$here"; run_python -m pytest "$@" ;;
    *)
        echo "usage: bash dev.sh demo|test [args...]" >&2; exit 2 ;;
esac
