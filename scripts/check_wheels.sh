#!/usr/bin/env bash
# Build the wheels (scripts/build_wheels.sh) and test each one installed into
# a fresh virtual environment of its own interpreter: x86-64 wheels with
# pyenv's CPython of that version or else (3.14, 3.15) in the Debian unstable
# chroot (scripts/check_sid.sh), the 3.9 one also in a Debian bullseye chroot
# (glibc 2.31), the aarch64 wheels in arm64 chroots under emulation: 3.9 in
# bullseye, 3.11 in bookworm, 3.13 to 3.15 in unstable (the last two kinds
# with scripts/check_emulated.sh and its selection of tests; Debian packages
# no arm64 CPython 3.10 or 3.12, whose wheels are built and checked but not
# run). Needs root for the chroots.
#
# Usage: scripts/check_wheels.sh [TEST ...]   (pytest arguments for the x86-64
#   wheels; default: the whole suite)
#
# Prints the build lines, then one line per tested wheel; exits non-zero if a
# wheel failed to build or its tests failed.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
tests=("$@")
export CI="${CI:-true}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
dist="$work/dist"
log="$work/log"

for suite in bookworm bullseye sid; do
  bash "$root/scripts/check_emulated.sh" arm64 --suite "$suite" --prepare </dev/null || exit 1
done
bash "$root/scripts/check_emulated.sh" amd64 --suite bullseye --prepare </dev/null || exit 1
bash "$root/scripts/build_wheels.sh" --out "$dist" </dev/null || exit 1
shopt -s nullglob
failed=0 sid_versions=()
# report NAME T0 RC [LOG]: one line for a tested wheel from the log of its
# run; a failure also sets `failed` and prints the log's last lines.
report() {
  local name="$1" t0="$2" rc="$3" from="${4:-$log}" summary status
  summary="$(grep -E '^[=]* *[0-9]+ (passed|failed|error)|no tests ran' "$from" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')"
  if [ "$rc" = 0 ]; then status=ok; else status=FAIL; failed=1; fi
  printf '%-72s %-4s %4ss  %s\n' "$name" "$status" $((SECONDS - t0)) "${summary:-exit $rc}"
  [ "$rc" = 0 ] || tail -n 30 "$from" | sed 's/^/    /' >&2
}

# The aarch64 wheels are tested one after another under emulation, in the
# background: an emulated run keeps one core busy, and the x86-64 runs below
# the other. Each writes its report line to its own file, printed at the end.
emulated() {
  local wheel name version suite t0
  for wheel in "$dist"/*_aarch64.whl; do
    name="$(basename "$wheel")"
    version="$(echo "$name" | sed -n 's/.*-cp3\([0-9]*\)-cp3.*/3.\1/p')"
    case "$version" in
      3.9) suite=bullseye ;;
      3.11) suite=bookworm ;;
      3.13|3.14|3.15) suite=sid ;;
      *) printf '%-72s not tested: no arm64 chroot with CPython %s\n' "$name" "$version" >"$work/emulated-$version"
         continue ;;
    esac
    t0=$SECONDS
    bash "$root/scripts/check_emulated.sh" arm64 --suite "$suite" --wheel "$wheel" >"$work/emulated-$version.log" 2>&1 </dev/null
    report "$name ($suite, emulated)" "$t0" $? "$work/emulated-$version.log" >"$work/emulated-$version" 2>&1
  done
}
emulated &
emulated_pid=$!

for wheel in "$dist"/*_x86_64.whl; do
  name="$(basename "$wheel")"
  version="$(echo "$name" | sed -n 's/.*-cp3\([0-9]*\)-cp3.*/3.\1/p')"
  t0=$SECONDS
  if ! python="$(bash "$root/scripts/check_versions.sh" --which "$version" 2>/dev/null)"; then
    sid_versions+=("$version")  # tested below, in the Debian unstable chroot
    continue
  fi
  venv="$work/venv-$version"
  { "$python" -m venv "$venv" &&
      "$venv/bin/python" -m pip install --disable-pip-version-check --no-input --progress-bar off "$wheel[test]" &&
      (cd "$root" && "$venv/bin/python" -c \
        'import orrery, sys; assert orrery.__file__.startswith(sys.prefix), orrery.__file__' &&
        "$venv/bin/python" -m pytest -q -p no:cacheprovider ${tests[@]+"${tests[@]}"}); } >"$log" 2>&1 </dev/null
  report "$name" "$t0" $?
  rm -rf "$venv"
  [ "$version" = 3.9 ] || continue
  # The oldest C library tested: Debian bullseye's (glibc 2.31, CPython 3.9).
  t0=$SECONDS
  bash "$root/scripts/check_emulated.sh" amd64 --suite bullseye --wheel "$wheel" >"$log" 2>&1 </dev/null
  report "$name (bullseye)" "$t0" $?
done
if [ ${#sid_versions[@]} -gt 0 ]; then
  ORRERY_SID_TESTS="${tests[*]}" bash "$root/scripts/check_sid.sh" --wheels "$dist" "${sid_versions[@]}" </dev/null ||
    failed=1
fi
wait "$emulated_pid"
for line in "$work"/emulated-*[0-9]; do
  cat "$line"
  ! grep -q ' FAIL ' "$line" || failed=1
done
exit "$failed"
