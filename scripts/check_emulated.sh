#!/usr/bin/env bash
# Test the module on another processor under emulation: cross-compile it here
# (scripts/build_wheels.sh, with Debian's cross compiler against the headers of
# the target's own CPython), then install the wheel and run tests inside a
# Debian chroot of that processor, whose programs run through qemu-user
# (binfmt_misc). Compiling under emulation would take half an hour; the tests
# alone take minutes.
#
# Usage: scripts/check_emulated.sh ARCH [--suite SUITE] [--wheel FILE | --prepare] [TEST ...]
#   ARCH: arm64 or s390x, or amd64 (this machine's, run natively: an older
#   release's C library); needs root. SUITE: bookworm (CPython 3.11, the
#   default), bullseye (CPython 3.9, glibc 2.31) or sid (3.13, 3.14 and
#   3.15). FILE: a wheel for that processor and one of those CPython
#   versions to test instead of building one (for the first). --prepare:
#   only make or refresh the chroot (whose headers scripts/build_wheels.sh
#   uses) and install the cross compiler.
#
# TESTs are pytest arguments, relative to the checkout; without them the
# default selection below runs. The chroot is kept in
# /var/cache/orrery/SUITE-ARCH-chroot and refreshed like the one of
# scripts/check_sid.sh; ORRERY_EMU_CHROOT overrides the folder.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
etc=/etc
self="$root/scripts/$(basename "$0")"
arch="${1:?usage: $0 arm64|s390x|amd64 [--suite bullseye|bookworm|sid] [--wheel FILE | --prepare] [TEST ...]}"
shift
wheel= prepare_only= suite=bookworm
if [ "${1:-}" = --suite ]; then suite="${2:?--suite needs a Debian release}"; shift 2; fi
case "${1:-}" in
  --wheel) wheel="$(realpath "${2:?--wheel needs a file}")" || exit 2; shift 2 ;;
  --prepare) prepare_only=1; shift ;;
esac
case "$arch" in
  # Debian's newer arm64 builds (CPython 3.13 on in unstable) sign return
  # addresses; qemu-user's emulated pointer authentication makes them about
  # 30 times slower. Without it those instructions are no-ops, as on any
  # ARMv8.0 processor.
  arm64) triplet=aarch64-linux-gnu; export QEMU_CPU="${QEMU_CPU:-max,pauth=off}" ;;
  s390x) triplet=s390x-linux-gnu ;;
  amd64) triplet=x86_64-linux-gnu ;;
  *) echo "check_emulated: unknown ARCH $arch" >&2; exit 2 ;;
esac
# Each release's own CPython: bullseye's (glibc 2.31) is the oldest the
# wheels are tested on; unstable packages three. A wheel is tested with the
# interpreter its tag names, a cross build with the release's first.
case "$suite" in
  bullseye) versions=(3.9) ;;
  bookworm) versions=(3.11) ;;
  sid) versions=(3.13 3.14 3.15) ;;
  *) echo "check_emulated: unknown suite $suite" >&2; exit 2 ;;
esac
version="${versions[0]}"
if [ -n "$wheel" ]; then
  version="$(basename "$wheel" | sed -n 's/.*-cp3\([0-9]*\)-cp3.*/3.\1/p')"
  case " ${versions[*]} " in
    *" $version "*) ;;
    *) echo "check_emulated: $suite has no CPython ${version:-of} $(basename "$wheel")" >&2; exit 2 ;;
  esac
fi
tests=("$@")
# The model-based differential tests (generated object graphs against a
# Python model of the output) and the leaf writers whose code differs by
# processor: str scanning, int digits, float text (byte-order branches); and
# what the wheel's C++ runtime decides: internal faults and allocation
# failures unwinding to the boundary, a thread ended at interpreter exit
# unwinding through the module. Emulation is 10 to 20 times slower, so the
# exhaustive code point sweeps of test_str_scan.py stay on x86-64.
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_fuzz.py tests/test_render.py tests/test_float_repr.py
                               tests/test_fast_paths.py tests/test_escaped.py tests/test_failures.py
                               tests/test_robustness.py)
script_name="check_emulated $arch $suite"
chroot_dir="$(realpath -m "${ORRERY_EMU_CHROOT:-/var/cache/orrery/$suite-$arch-chroot}")"
staging="$chroot_dir.partial"
marker="$chroot_dir/.orrery-ready"
max_age_days="${ORRERY_SID_MAX_AGE_DAYS:-7}"
# No compiler inside: the module is built outside. No strace either, since
# qemu-user cannot trace.
packages=(ca-certificates)
for v in "${versions[@]}"; do packages+=("python$v-venv" "python$v-dev"); done
# debootstrap's own resolver misses some of the interpreter's dependencies;
# apt installs the packages into the finished base system instead.
bootstrap_packages=(ca-certificates)
# shellcheck source=scripts/chroot_lib.sh
. "$root/scripts/chroot_lib.sh"

enter_private_namespace "$self" "$arch" --suite "$suite" ${wheel:+--wheel "$wheel"} ${prepare_only:+--prepare} "$@"

start=$SECONDS
work="$(mktemp -d)"
inside=/tmp/orrery-emulated
log_dir="${ORRERY_LOG_DIR:-$work/logs}"
mkdir -p "$log_dir"
cleanup() {
  rm -rf --one-file-system "$chroot_dir$inside"
  unmount_below "$chroot_dir" "$staging"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() { say "$1 failed; last lines of $2:"; tail -n 30 "$2" | sed 's/^/    /' >&2; exit 1; }

prepare_chroot || die "could not prepare the chroot $chroot_dir (logs: $log_dir)"
prepared=$SECONDS
host_install "$triplet-g++" "g++-$triplet" || exit 1
if [ -n "$prepare_only" ]; then
  printf '%s: chroot %s in %ss\n' "$script_name" "$chroot_state" $((prepared - start))
  exit 0
fi
pip_config
install_pip_config || die "could not copy the pip configuration into $chroot_dir"
if [ -z "$wheel" ]; then
  build_log="$log_dir/build.log"
  bash "$root/scripts/build_wheels.sh" --out "$work/dist" "${triplet%%-*}:$version" >"$build_log" 2>&1 </dev/null ||
    fail "cross build" "$build_log"
  wheel="$(ls "$work"/dist/*.whl)"
fi
built=$SECONDS

# A venv with the wheel and the test requirements (mypy aside: the typing
# tests need no other processor), the checkout beside it. pip under emulation
# takes minutes, so the venv is made without pip and this machine's pip
# installs into its site-packages: the wheel, for its own platform tag, and
# the requirements, which are pure Python. pip picks their dependencies by
# the version it runs on, so this machine's interpreter of the same version
# runs it (pyenv's, when there is one).
host_python="$(bash "$root/scripts/check_versions.sh" --which "$version" 2>/dev/null)" || host_python=python3
test_requirements="$(python3 -c '
import sys, tomllib
extra = tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]["test"]
print(" ".join(r for r in extra if not r.startswith("mypy")))' "$root/pyproject.toml")" || exit 1
platform="$(basename "$wheel" .whl | awk -F- '{ n = split($NF, p, "."); print p[n] }')"
site="$inside/venv/lib/python$version/site-packages"
setup_log="$log_dir/venv.log"
# shellcheck disable=SC2086
copy_checkout "$chroot_dir$inside/src" >"$setup_log" 2>&1 &&
  in_chroot "python$version" -m venv --without-pip "$inside/venv" >>"$setup_log" 2>&1 &&
  "$host_python" -m venv "$work/pip" >>"$setup_log" 2>&1 &&
  "$work/pip/bin/python" -m pip install --disable-pip-version-check --no-input --progress-bar off \
    --target "$chroot_dir$site" --python-version "$version" --implementation cp --platform "$platform" \
    --only-binary=:all: "$wheel" $test_requirements >>"$setup_log" 2>&1 || fail "venv" "$setup_log"
installed=$SECONDS

# The interpreter by its full path: from 3.14 on a venv's prefix is taken
# from the path it was started by, unresolved.
in_chroot CI="${CI:-true}" /bin/bash -c 'cd "$1/src" && py="$1/venv/bin/python" && shift && "$py" -c "
import orrery, platform, sys
assert orrery.__file__.startswith(sys.prefix), orrery.__file__
print(platform.machine(), sys.byteorder, orrery.__file__)" && "$py" -m pytest -q -p no:cacheprovider "$@"' \
  _ "$inside" "${tests[@]}"
rc=$?
printf '%s: chroot %s in %ss, cross build %ss, venv %ss, tests %ss\n' "$script_name" "$chroot_state" \
  $((prepared - start)) $((built - prepared)) $((installed - built)) $((SECONDS - installed))
exit $rc
