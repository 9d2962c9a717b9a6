#!/usr/bin/env bash
# Development entry point:
#   bash dev.sh demo  [args]        run the demonstration (examples/demo.py)
#   bash dev.sh test  [pytest args] run the test suite
#   bash dev.sh bench NAME [args]   run bench/NAME.py
#   bash dev.sh python [args]       the full environment's Python with the built package
# Each sets up what it needs first:
#   - a CPython 3.12 virtual environment kept outside the clone (default
#     ~/.cache/quorvex/venv-py312, or $QUORVEX_VENV). The demo needs only the
#     build tools, NumPy and SciPy (requirements-demo.txt); tests and benchmarks
#     add PyTorch, matplotlib, pytest and hypothesis (requirements-dev.txt), a
#     large download that is made once per machine;
#   - the package, built incrementally in build/ and installed into
#     .quorvex-site/ of this checkout, rebuilt only when a source file changed.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
venv="${QUORVEX_VENV:-$HOME/.cache/quorvex/venv-py312}"
site="$here/.quorvex-site"
build_stamp="$site/.quorvex-build-stamp"

say() { echo "dev.sh: $*" >&2; }

find_python312() {
    local candidate prefix
    prefix="$(pyenv prefix 3.12.1 2>/dev/null || true)"
    for candidate in python3.12 ${prefix:+"$prefix/bin/python3.12"}; do
        if command -v "$candidate" >/dev/null 2>&1 &&
           "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}

# ensure_venv LAYER: LAYER is "demo" or "dev"; each layer's requirements file
# is installed once and remembered by a copy of it inside the venv.
ensure_venv() {
    local layer="$1" python312
    local wanted="$here/requirements-$layer.txt" stamp="$venv/.quorvex-requirements-$layer"
    if [[ -x "$venv/bin/python" ]] && cmp -s "$wanted" "$stamp"; then
        return 0
    fi
    if [[ ! -x "$venv/bin/python" ]]; then
        # An assignment keeps set -e's exit: a failure inside $(...) alone would not stop the script.
        python312="$(find_python312)" || {
            say "CPython 3.12 not found (tried python3.12 and pyenv's 3.12.1); install one and retry"
            exit 1
        }
        say "creating a virtual environment in $venv with $python312"
        "$python312" -m venv "$venv"
        "$venv/bin/python" -m pip install --quiet --upgrade pip
    fi
    say "installing requirements-$layer.txt into $venv"
    "$venv/bin/python" -m pip install --progress-bar on -r "$wanted"
    cp "$wanted" "$stamp"
}

sources_changed() {
    [[ -f "$build_stamp" ]] || return 0
    # Directories are listed too: adding or removing a file changes their time.
    [[ -n "$(find "$here/src" "$here/CMakeLists.txt" "$here/pyproject.toml" \
                -newer "$build_stamp" -not -name '__pycache__' -print -quit 2>/dev/null)" ]]
}

build() {
    if ! sources_changed; then
        return 0
    fi
    say "building the package into .quorvex-site (incremental)"
    local started="$site.stamp-new"
    mkdir -p "$site"
    touch "$started"
    "$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
        --upgrade --target "$site" "$here" \
        -Cbuild-dir="$here/build/dev" -Ccmake.build-type=Release
    # Files edited during the build are newer than this stamp and rebuild next time.
    mv "$started" "$build_stamp"
}

run_python() {
    # -P keeps the checkout's source tree off sys.path: the compiled package
    # in .quorvex-site is what gets imported.
    PYTHONPATH="$site" "$venv/bin/python" -P "$@"
}

command="${1:-}"
[[ $# -gt 0 ]] && shift
case "$command" in
    demo)
        ensure_venv demo; build
        run_python "$here/examples/demo.py" "$@" ;;
    test)
        ensure_venv demo; ensure_venv dev; build
        cd "$here"; run_python -m pytest "$@" ;;
    bench)
        [[ $# -gt 0 ]] || { echo "usage: bash dev.sh bench NAME [args...]   (NAME: $(cd "$here/bench" && ls *.py | sed 's/\.py$//' | tr '\n' ' '))" >&2; exit 2; }
        name="${1%.py}"; shift
        [[ -f "$here/bench/$name.py" ]] || { say "no benchmark bench/$name.py"; exit 2; }
        ensure_venv demo; ensure_venv dev; build
        cd "$here"; run_python "bench/$name.py" "$@" ;;
    python)
        # Scripts of one's own may use any part of the package, PyTorch and
        # matplotlib included, so this is the full environment.
        ensure_venv demo; ensure_venv dev; build
        run_python "$@" ;;
    *)
        echo "usage: bash dev.sh demo|test|bench NAME|python [args...]" >&2; exit 2 ;;
esac
