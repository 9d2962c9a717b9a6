#!/usr/bin/env bash
# Development entry point:
#   bash dev.sh demo  [args]        run the demonstration (examples/demo.py)
#   bash dev.sh test  [pytest args] run the test suite
#   bash dev.sh bench NAME [args]   run the benchmark bench/NAME.py (no NAME: list them)
#   bash dev.sh python [args]       the full environment's Python with the built package
# Each sets up what it needs first:
#   - a CPython 3.12 virtual environment kept outside the clone (default
#     ~/.cache/quorvex/venv-py312, or $QUORVEX_VENV). The demo needs only the
#     build tools, NumPy and SciPy (requirements-demo.txt); tests and benchmarks
#     add PyTorch, matplotlib, pytest and hypothesis (requirements-dev.txt).
#     PyTorch from PyPI is its CUDA build, about 5.2 GB installed (of 5.8 GB
#     in all), which every new environment downloads again: the default one
#     is shared by all clones on the machine, each other QUORVEX_VENV has its
#     own;
#   - the package, built incrementally in build/ and installed into
#     .quorvex-site/ of this checkout, rebuilt only when a source file changed.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
venv="${QUORVEX_VENV:-$HOME/.cache/quorvex/venv-py312}"
site="$here/.quorvex-site"
build_stamp="$site/.quorvex-build-stamp"

say() { echo "dev.sh: $*" >&2; }

is_python312() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null
}

find_python312() {
    local candidate prefix
    prefix="$(pyenv prefix 3.12.1 2>/dev/null || true)"
    for candidate in python3.12 ${prefix:+"$prefix/bin/python3.12"}; do
        if command -v "$candidate" >/dev/null 2>&1 && is_python312 "$candidate"; then
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
    # Before anything is installed into it or built for it: the package is
    # built for the environment's Python, and only 3.12 can import it.
    if [[ -x "$venv/bin/python" ]] && ! is_python312 "$venv/bin/python"; then
        local found
        found="$("$venv/bin/python" -V 2>/dev/null)" || found="a Python that does not start"
        say "the environment $venv has ${found:-an unknown Python}, not CPython 3.12: set QUORVEX_VENV" \
            "to a 3.12 environment, or to a new directory where dev.sh creates one"
        exit 1
    fi
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
        "$python312" -m venv "$venv" >&2
        "$venv/bin/python" -m pip install --quiet --upgrade pip >&2
    fi
    # Standard output is the command's own (a demo's results, a script's):
    # the set-up's progress goes with dev.sh's other messages.
    say "installing requirements-$layer.txt into $venv"
    "$venv/bin/python" -m pip install --progress-bar on -r "$wanted" >&2
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
    local started="$site.stamp-new" log="$here/build/dev.log"
    if [[ -f "$here/build/dev/build.ninja" ]]; then
        say "building the package into .quorvex-site (incremental: what changed)"
    else
        say "building the package into .quorvex-site; a first build takes about a minute"
    fi
    mkdir -p "$site" "$here/build"
    touch "$started"
    # pip's verbose output carries the build tool's own progress, one line a
    # step ("[12/80] Cythonizing ..."): those lines are shown, the whole goes
    # to the log, shown in full when the build fails.
    if ! "$venv/bin/python" -m pip install --verbose --no-build-isolation --no-deps \
            --upgrade --target "$site" "$here" \
            -Cbuild-dir="$here/build/dev" -Ccmake.build-type=Release 2>&1 |
         tee "$log" | sed -un 's/^ *\(\[[0-9]*\/[0-9]*\]\)/  \1/p' >&2; then
        cat "$log" >&2
        say "the build failed; its output is above and in build/dev.log"
        exit 1
    fi
    # Files edited during the build are newer than this stamp and rebuild next time.
    mv "$started" "$build_stamp"
}

benchmarks() {
    # A benchmark is a script of bench/ that runs as a program; the others
    # there are helpers the benchmarks import.
    (cd "$here/bench" && grep -lE "^if __name__ == ['\"]__main__['\"]:" -- *.py | sed 's/\.py$//')
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
        known="$(benchmarks)"; listed="${known//$'\n'/ }"
        [[ $# -gt 0 ]] || { echo "usage: bash dev.sh bench NAME [args...]   (NAME: $listed)" >&2; exit 2; }
        name="${1%.py}"; shift
        grep -qxF -- "$name" <<< "$known" || { say "no benchmark named '$name'; the benchmarks are: $listed"; exit 2; }
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
