#!/usr/bin/env bash
# Test the module on another processor under emulation: cross-compile it here
# (scripts/build_wheels.sh, with Debian's cross compiler against the headers of
# the target's own CPython), then install the wheel and run tests inside a
# Debian chroot of that processor, whose programs run through qemu-user
# (binfmt_misc). Compiling under emulation would take half an hour; the tests
# alone take minutes.
#
# Usage: scripts/check_emulated.sh ARCH [--wheel FILE | --prepare] [TEST ...]
#   ARCH: arm64 or s390x; needs root. FILE: a wheel for that processor and
#   CPython 3.11 to test instead of building one. --prepare: only make or
#   refresh the chroot (whose headers scripts/build_wheels.sh uses) and install
#   the cross compiler.
#
# TESTs are pytest arguments, relative to the checkout; without them the
# default selection below runs. The chroot (Debian bookworm, CPython 3.11) is
# kept in /var/cache/orrery/bookworm-ARCH-chroot and refreshed like the one of
# scripts/check_sid.sh; ORRERY_EMU_CHROOT overrides the folder.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
etc=/etc
self="$root/scripts/$(basename "$0")"
arch="${1:?usage: $0 arm64|s390x [--wheel FILE] [TEST ...]}"
shift
wheel= prepare_only=
case "${1:-}" in
  --wheel) wheel="$(realpath "${2:?--wheel needs a file}")" || exit 2; shift 2 ;;
  --prepare) prepare_only=1; shift ;;
esac
case "$arch" in
  arm64) triplet=aarch64-linux-gnu ;;
  s390x) triplet=s390x-linux-gnu ;;
  *) echo "check_emulated: unknown ARCH $arch" >&2; exit 2 ;;
esac
tests=("$@")
# The model-based differential tests (generated object graphs against a
# Python model of the output) and the leaf writers whose code differs by
# processor: str scanning, int digits, float text (byte-order branches).
# Emulation is 10 to 20 times slower, so the exhaustive code point sweeps of
# test_str_scan.py stay on x86-64.
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_fuzz.py tests/test_render.py tests/test_float_repr.py
                               tests/test_fast_paths.py tests/test_escaped.py)
suite=bookworm version=3.11
script_name="check_emulated $arch"
chroot_dir="$(realpath -m "${ORRERY_EMU_CHROOT:-/var/cache/orrery/$suite-$arch-chroot}")"
staging="$chroot_dir.partial"
marker="$chroot_dir/.orrery-ready"
max_age_days="${ORRERY_SID_MAX_AGE_DAYS:-7}"
# No compiler inside: the module is built outside. No strace either, since
# qemu-user cannot trace.
packages=(ca-certificates "python$version-venv" "python$version-dev")
# debootstrap's own resolver misses some of the interpreter's dependencies;
# apt installs the packages into the finished base system instead.
bootstrap_packages=(ca-certificates)
# shellcheck source=scripts/chroot_lib.sh
. "$root/scripts/chroot_lib.sh"

enter_private_namespace "$self" "$arch" ${wheel:+--wheel "$wheel"} ${prepare_only:+--prepare} "$@"

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
  printf 'check_emulated %s: chroot %s in %ss\n' "$arch" "$chroot_state" $((prepared - start))
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
# tests need no other processor), the checkout beside it.
test_requirements="$(python3 -c '
import sys, tomllib
extra = tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]["test"]
print(" ".join(r for r in extra if not r.startswith("mypy")))' "$root/pyproject.toml")" || exit 1
setup_log="$log_dir/venv.log"
copy_checkout "$chroot_dir$inside/src" >"$setup_log" 2>&1 &&
  cp "$wheel" "$chroot_dir$inside/" &&
  in_chroot "${pip_env[@]}" /bin/bash -c '
    python'"$version"' -m venv "$1/venv" && "$1/venv/bin/pip" install --no-input --progress-bar off "$1/$2" $3' \
    _ "$inside" "$(basename "$wheel")" "$test_requirements" >>"$setup_log" 2>&1 || fail "venv" "$setup_log"
installed=$SECONDS

in_chroot CI="${CI:-true}" /bin/bash -c 'cd "$1/src" && shift && ../venv/bin/python -c "
import orrery, platform, sys
assert orrery.__file__.startswith(sys.prefix), orrery.__file__
print(platform.machine(), sys.byteorder, orrery.__file__)" && ../venv/bin/python -m pytest -q -p no:cacheprovider "$@"' \
  _ "$inside" "${tests[@]}"
rc=$?
printf 'check_emulated %s: chroot %s in %ss, cross build %ss, venv %ss, tests %ss\n' "$arch" "$chroot_state" \
  $((prepared - start)) $((built - prepared)) $((installed - built)) $((SECONDS - installed))
exit $rc
