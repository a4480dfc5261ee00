#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer (and
# the test-only hooks, which the tests of changes made while a print waits use) into a
# fresh virtual environment and runs the whole test suite (and one pass of
# scripts/exercise.py) against it. The interpreter itself is not instrumented,
# so the sanitizer runtimes are preloaded and leak detection is off; with
# PYTHONMALLOC=malloc every Python object lives in the sanitizer's heap, so a
# use of a released object is caught too. Reports of every process, forked
# test children included, go to log files; any report fails the run.
#
#   scripts/sanitize.sh [pytest args...]
#
# Environment: PYTHON (interpreter to build for, default python3),
# SANITIZE_VENV (default /tmp/orrery-sanitize-venv), SANITIZE_LOGS (default
# /tmp/orrery-sanitize-logs).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
PYTHON=${PYTHON:-python3}
VENV=${SANITIZE_VENV:-/tmp/orrery-sanitize-venv}
LOGS=${SANITIZE_LOGS:-/tmp/orrery-sanitize-logs}

rm -rf "$VENV" "$LOGS"
mkdir -p "$LOGS"
"$PYTHON" -m venv "$VENV"
"$VENV/bin/pip" install -q pytest hypothesis
ORRERY_SANITIZE=address,undefined ORRERY_TEST_HOOKS=ON "$VENV/bin/pip" install -q --no-cache-dir "$ROOT"

SO=$("$VENV/bin/python" -c 'import importlib.util as u; print(u.find_spec("orrery").origin)')
if ! grep -q __asan_report <<<"$(nm -D --undefined-only "$SO")"; then
    echo "sanitize: $SO is not instrumented" >&2
    exit 1
fi

preload=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
[ -e "$ubsan" ] && preload="$preload:$ubsan"

# Reports go to log files, one per process: a report in a test's child process
# is found even when the test does not look at the child's exit status.
export ASAN_OPTIONS="detect_leaks=0:log_path=$LOGS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/ubsan"
export PYTHONMALLOC=malloc

status=0
cd "$ROOT"
LD_PRELOAD="$preload" "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
LD_PRELOAD="$preload" "$VENV/bin/python" scripts/exercise.py 2 >/dev/null || status=$?

reports=$(find "$LOGS" -type f | sort)
if [ -n "$reports" ]; then
    echo "sanitize: reports found:" >&2
    for f in $reports; do
        echo "==== $f" >&2
        cat "$f" >&2
    done
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitize: tests failed (exit $status) without sanitizer reports" >&2
    exit "$status"
fi
echo "sanitize: no reports"
