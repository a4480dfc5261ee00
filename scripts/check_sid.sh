#!/usr/bin/env bash
# Build, install and test the module on the newest CPython releases, as Debian
# unstable packages them (python3.14 and python3.15), each in a fresh virtual
# environment inside a Debian unstable chroot, with warnings as errors.
#
# Usage: scripts/check_sid.sh [3.X ...]   (default: 3.14 3.15; needs root)
#        scripts/check_sid.sh --wheels DIR [3.X ...]
#          (install each version's x86-64 wheel from DIR instead of building)
#   ORRERY_SID_TESTS: the tests to run (space-separated pytest paths) instead
#   of the whole suite.
#        scripts/check_sid.sh --print-mirror | --print-bind-paths
#          (print the Debian mirror, or the local paths pip's configuration
#          names, that a run would use, and exit)
#
# The chroot is made with debootstrap from the Debian mirror that apt already
# uses on this machine (ORRERY_SID_MIRROR overrides it) and kept outside the
# checkout, in ORRERY_SID_CHROOT (default /var/cache/orrery/sid-chroot), for
# the next run. A chroot is only put in place once debootstrap completed, so an
# interrupted run leaves nothing half-made behind; a missing package is
# installed into it, and one older than ORRERY_SID_MAX_AGE_DAYS (default 7) is
# upgraded first. Runs that share the chroot wait for each other.
#
# The machine's resolver configuration and CA bundle, its pip configuration
# files (system-wide and the user's) and the PIP_* variables go in too, and
# every local folder or file they name (find-links, file:// indexes,
# constraints, certificates) is bind-mounted read-only at the same path, so pip
# inside reaches the same package index. All mounts are made in a private
# mount namespace, so they vanish when the script ends, however it ends.
#
# Each version gets a clean copy of the checkout (the files git tracks, as they
# are in the working tree, plus new files git does not ignore), then
# `pip install ".[test]" && python -m pytest`. Prints one line per version and
# the minutes taken, and exits non-zero if anything failed. Logs are kept as
# scripts/check_versions.sh keeps them (ORRERY_LOG_DIR).
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
etc="${ORRERY_SID_ETC:-/etc}"  # where apt's sources and the system pip files are read
print_only=
case "${1:-}" in --print-mirror|--print-bind-paths) print_only="$1"; shift ;; esac
wheels=
if [ "${1:-}" = --wheels ]; then wheels="$(realpath "${2:?--wheels needs a folder}")" || exit 2; shift 2; fi
# pytest arguments (space-separated paths); default: the whole suite.
read -r -a tests <<<"${ORRERY_SID_TESTS:-}"
self="$root/scripts/$(basename "$0")"
chroot_dir="$(realpath -m "${ORRERY_SID_CHROOT:-/var/cache/orrery/sid-chroot}")"
staging="$chroot_dir.partial"
marker="$chroot_dir/.orrery-ready"
max_age_days="${ORRERY_SID_MAX_AGE_DAYS:-7}"
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.14 3.15)
# strace: the tests that count write(2) calls skip without it.
packages=(ca-certificates g++ cmake make strace)
for v in "${versions[@]}"; do packages+=("python$v-dev" "python$v-venv"); done

script_name=check_sid suite=sid arch=
bootstrap_packages=("${packages[@]}")
# shellcheck source=scripts/chroot_lib.sh
. "$root/scripts/chroot_lib.sh"

[ -z "$print_only" ] && enter_private_namespace "$self" ${wheels:+--wheels "$wheels"} "$@"

# ------------------------------------------------------------ inner phase
start=$SECONDS
work_dirs=()
cleanup() {
  local d
  for d in "${work_dirs[@]}"; do rm -rf --one-file-system "$chroot_dir$d"; done
  unmount_below "$chroot_dir" "$staging"
}

# One version: clean copy, fresh venv, install with the test extra, then the
# suite from the copy's root.
check_one() {
  local version="$1" log="$2" work="/tmp/orrery-check-$1"
  local t0=$SECONDS t1
  work_dirs+=("$work")
  rm -rf --one-file-system "$chroot_dir$work"
  local requirement=. wheel
  if [ -n "$wheels" ]; then
    wheel="$(ls "$wheels"/*-cp${version/./}-cp${version/./}-*x86_64.whl 2>/dev/null | head -n 1)"
    [ -n "$wheel" ] || { echo "no wheel for $version in $wheels" >"$log"; build_time=0; test_time=0; summary="no wheel"; return 1; }
    mkdir -p "$chroot_dir$work" && cp "$wheel" "$chroot_dir$work/" && requirement="$work/$(basename "$wheel")"
  fi
  copy_checkout "$chroot_dir$work/src" >"$log" 2>&1 &&
    in_chroot "${pip_env[@]}" CI="${CI:-true}" ORRERY_WERROR=ON /bin/bash -c \
      'cd "$1/src" && "python$2" -m venv "$1/venv" && . "$1/venv/bin/activate" &&
       pip install --no-input --progress-bar off "$3[test]"' _ "$work" "$version" "$requirement" >>"$log" 2>&1 ||
    { build_time=$((SECONDS - t0)); test_time=0; summary="build failed"; return 1; }
  t1=$SECONDS
  build_time=$((t1 - t0))
  in_chroot "${pip_env[@]}" CI="${CI:-true}" /bin/bash -c \
    'cd "$1/src" && . "$1/venv/bin/activate" && shift && python -m pytest -q -p no:cacheprovider "$@"' \
    _ "$work" "${tests[@]}" >>"$log" 2>&1
  local rc=$?
  test_time=$((SECONDS - t1))
  summary="$(grep -E '^[=]* *[0-9]+ (passed|failed|error)|no tests ran' "$log" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')"
  [ -n "$summary" ] || summary="pytest exit $rc"
  return $rc
}

case "$print_only" in
  --print-mirror) find_mirror; exit ;;
  --print-bind-paths) pip_config; local_paths; exit ;;
esac

log_dir="${ORRERY_LOG_DIR:-$(mktemp -d)}"
mkdir -p "$log_dir"
trap cleanup EXIT
trap 'exit 130' INT TERM

prepare_chroot || die "could not prepare the chroot $chroot_dir (logs: $log_dir)"
prepared=$SECONDS
pip_config
install_pip_config || die "could not copy the pip configuration into $chroot_dir"

failed=0
for version in "${versions[@]}"; do
  full="$(in_chroot "python$version" -c 'import platform; print(platform.python_version())' 2>/dev/null)"
  log="$log_dir/${full:-$version}.log"
  if check_one "$version" "$log" </dev/null; then status=ok; else status=FAIL; failed=1; fi
  printf '%-8s %-4s build+install %4ss  tests %4ss  %s\n' "${full:-$version}" "$status" "$build_time" "$test_time" "$summary"
  if [ "$status" = FAIL ]; then
    echo "---- last lines of $log" >&2
    tail -n 40 "$log" | sed 's/^/    /' >&2
    echo "----" >&2
  fi
  rm -rf --one-file-system "$chroot_dir/tmp/orrery-check-$version"
done

elapsed=$((SECONDS - start))
printf 'chroot %s in %ss; total %d.%d minutes\n' "$chroot_state" "$((prepared - start))" \
  $((elapsed / 60)) $((elapsed % 60 * 10 / 60))
if [ "$failed" = 0 ] && [ -z "${ORRERY_LOG_DIR:-}" ]; then
  rm -rf "$log_dir"
else
  echo "logs: $log_dir"
fi
exit "$failed"
