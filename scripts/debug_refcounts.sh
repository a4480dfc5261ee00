#!/usr/bin/env bash
# Builds the module for a debug build of CPython (Py_DEBUG: reference totals,
# negative-refcount checks, assertions in the C API and the debug memory
# allocator) and runs scripts/refcounts.py with it: every entry on its success
# and failure paths, many times, with the interpreter's total reference count
# and the counts of long-lived objects compared between passes.
#
#   scripts/debug_refcounts.sh [ROUNDS] [SIZE]     (defaults 20 and 30)
#
# The debug interpreter is DEBUG_PYTHON, else the first python3.Nd on PATH;
# on Debian, when none is there, python3-dbg is installed with apt-get (as
# root). Without a debug interpreter (NO_DEBUG_FALLBACK unset) the check falls
# back to the reference counts of the watched objects on PYTHON (default
# python3), which cannot see a leaked reference to a new object.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${REFCOUNT_BUILD:-/tmp/orrery-debug-build}
ROUNDS=${1:-20}
SIZE=${2:-30}

find_debug_python() {
    local c
    for c in ${DEBUG_PYTHON:-} python3.13d python3.12d python3.11d python3.10d python3.9d python3d; do
        if command -v "$c" >/dev/null && "$c" -c 'import sys; sys.gettotalrefcount' 2>/dev/null; then
            command -v "$c"
            return 0
        fi
    done
    return 1
}

DBG=$(find_debug_python) || true
if [ -z "$DBG" ] && command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
    echo "debug_refcounts: installing python3-dbg and python3-dev" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q python3-dbg python3-dev >/dev/null 2>&1 ||
        { apt-get update -q >/dev/null && apt-get install -y -q python3-dbg python3-dev >/dev/null; } || true
    DBG=$(find_debug_python) || true
fi

cd "$ROOT"
if [ -z "$DBG" ]; then
    [ -z "${NO_DEBUG_FALLBACK:-}" ] || { echo "debug_refcounts: no debug interpreter" >&2; exit 1; }
    PYTHON=${PYTHON:-python3}
    echo "debug_refcounts: no debug interpreter; falling back to $PYTHON on the normal build" >&2
    VENV=$BUILD-venv
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
    "$VENV/bin/pip" install -q --no-cache-dir "$ROOT"
    exec "$VENV/bin/python" scripts/refcounts.py "$ROUNDS" "$SIZE" >/dev/null
fi

# Debian's debug include directory holds symbolic links to the release
# headers beside its own pyconfig.h; GCC's canonical paths for system headers
# would resolve them and pick the release pyconfig.h (no Py_DEBUG).
rm -rf "$BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE="$DBG" \
    -DCMAKE_CXX_FLAGS=-fno-canonical-system-headers >"$BUILD.log" 2>&1 &&
    cmake --build "$BUILD" --target orrery -j "$(nproc)" >>"$BUILD.log" 2>&1 ||
    { cat "$BUILD.log" >&2; exit 1; }
if ! grep -Eq 'RefTotal|NegativeRefcount' <<<"$(nm -D "$BUILD"/orrery*.so)"; then
    echo "debug_refcounts: the module was not compiled with Py_DEBUG" >&2
    exit 1
fi

echo "debug_refcounts: $($DBG -c 'import sys; print(sys.version.split()[0])') debug interpreter $DBG" >&2
PYTHONPATH="$BUILD" "$DBG" -X dev scripts/refcounts.py "$ROUNDS" "$SIZE" >/dev/null
