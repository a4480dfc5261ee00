#!/usr/bin/env bash
# Build, install and test the module on every supported CPython minor version
# that pyenv provides (the newest patch release of each), each in a fresh
# virtual environment, with compiler warnings as errors.
#
# Usage: scripts/check_versions.sh [3.X ...]   (default: 3.9 to 3.13)
#        scripts/check_versions.sh --which 3.X  (print that interpreter's path)
#
# Prints one line per version and exits non-zero if any build or test run
# failed, or if none of the versions is installed. A minor version that pyenv
# lacks is reported as skipped; set ORRERY_REQUIRE_ALL=1 to count it as a
# failure. The full log of each version is kept in $ORRERY_LOG_DIR (default: a
# fresh temporary folder, removed when every version passed) and the tail of a
# failed one is printed.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.9 3.10 3.11 3.12 3.13)

if command -v pyenv >/dev/null 2>&1; then
  pyenv_root="$(pyenv root)"
else
  pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
fi

# The newest final release of one minor version: 3.13.1 beats 3.13.0, while
# 3.13.0t (free-threaded), 3.13-dev and release candidates are left out.
interpreter_for() {
  local minor="$1" dir name best=""
  for dir in "$pyenv_root"/versions/"$minor".*; do
    name="${dir##*/}"
    [[ "$name" =~ ^${minor//./\\.}\.[0-9]+$ ]] || continue
    [ -x "$dir/bin/python" ] || continue
    best="$(printf '%s\n%s\n' "$best" "$name" | sed '/^$/d' | sort -V | tail -n 1)"
  done
  [ -n "$best" ] && echo "$pyenv_root/versions/$best/bin/python"
}

if [ "${1:-}" = --which ]; then
  interpreter_for "${2:?usage: $0 --which 3.X}" || { echo "no $2 under $pyenv_root/versions" >&2; exit 1; }
  exit 0
fi

# One version: fresh venv, warnings-as-errors build and install with the test
# extra, then the test suite from the repository root.
check_one() {
  local python="$1" log="$2" venv="$3"
  local t0 t1 t2
  t0=$SECONDS
  {
    "$python" -m venv "$venv" &&
      ORRERY_WERROR=ON "$venv/bin/python" -m pip install --disable-pip-version-check \
        --no-input --progress-bar off "$root[test]"
  } >"$log" 2>&1 || { build_time=$((SECONDS - t0)); test_time=0; summary="build failed"; return 1; }
  t1=$SECONDS
  build_time=$((t1 - t0))
  (cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider) >>"$log" 2>&1
  local rc=$?
  t2=$SECONDS
  test_time=$((t2 - t1))
  summary="$(grep -E '^[=]* *[0-9]+ (passed|failed|error)|no tests ran' "$log" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')"
  [ -n "$summary" ] || summary="pytest exit $rc"
  return $rc
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
log_dir="${ORRERY_LOG_DIR:-$(mktemp -d)}"
mkdir -p "$log_dir"

export CI="${CI:-true}"
failed=0 ran=0
for minor in "${versions[@]}"; do
  python="$(interpreter_for "$minor")"
  if [ -z "$python" ]; then
    printf '%-8s skipped: not installed under %s\n' "$minor" "$pyenv_root/versions"
    [ "${ORRERY_REQUIRE_ALL:-0}" = 1 ] && failed=1
    continue
  fi
  full="$("$python" -c 'import platform; print(platform.python_version())')"
  log="$log_dir/$full.log"
  ran=1
  if check_one "$python" "$log" "$work/venv-$full" </dev/null; then
    status=ok
  else
    status=FAIL
    failed=1
  fi
  printf '%-8s %-4s build+install %4ss  tests %4ss  %s\n' "$full" "$status" "$build_time" "$test_time" "$summary"
  if [ "$status" = FAIL ]; then
    echo "---- last lines of $log" >&2
    tail -n 40 "$log" | sed 's/^/    /' >&2
    echo "----" >&2
  fi
  rm -rf "$work/venv-$full"
done

[ "$ran" = 1 ] || { echo "no supported interpreter found under $pyenv_root/versions" >&2; exit 1; }
if [ "$failed" = 0 ] && [ -z "${ORRERY_LOG_DIR:-}" ]; then
  rm -rf "$log_dir"
else
  echo "logs: $log_dir"
fi
exit "$failed"
