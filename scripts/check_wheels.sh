#!/usr/bin/env bash
# Build the wheels (scripts/build_wheels.sh) and test each one installed into
# a fresh virtual environment of its own interpreter: x86-64 wheels with
# pyenv's CPython of that version or else (3.14, 3.15) in the Debian unstable
# chroot (scripts/check_sid.sh), the 3.9 one also in a Debian bullseye chroot
# (glibc 2.31), the aarch64 CPython 3.11 wheel in the arm64 chroot under
# emulation (the last two with scripts/check_emulated.sh and its selection of
# tests). Needs root for the chroots.
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

bash "$root/scripts/check_emulated.sh" arm64 --prepare </dev/null || exit 1
bash "$root/scripts/check_emulated.sh" amd64 --suite bullseye --prepare </dev/null || exit 1
bash "$root/scripts/build_wheels.sh" --out "$dist" </dev/null || exit 1
shopt -s nullglob
failed=0 sid_versions=()
# report NAME T0 RC: one line for a tested wheel from the log of its run.
report() {
  local name="$1" t0="$2" rc="$3" summary status
  summary="$(grep -E '^[=]* *[0-9]+ (passed|failed|error)|no tests ran' "$log" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')"
  if [ "$rc" = 0 ]; then status=ok; else status=FAIL; failed=1; fi
  printf '%-72s %-4s %4ss  %s\n' "$name" "$status" $((SECONDS - t0)) "${summary:-exit $rc}"
  [ "$rc" = 0 ] || tail -n 30 "$log" | sed 's/^/    /' >&2
}

for wheel in "$dist"/*.whl; do
  name="$(basename "$wheel")"
  version="$(echo "$name" | sed -n 's/.*-cp3\([0-9]*\)-cp3.*/3.\1/p')"
  t0=$SECONDS
  case "$name" in
    *_x86_64.whl)
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
      ;;
    *_aarch64.whl)
      [ "$version" = 3.11 ] || { printf '%-72s not tested: no arm64 chroot with CPython %s\n' "$name" "$version"; continue; }
      bash "$root/scripts/check_emulated.sh" arm64 --wheel "$wheel" >"$log" 2>&1 </dev/null
      report "$name (bookworm, emulated)" "$t0" $?
      ;;
  esac
done
if [ ${#sid_versions[@]} -gt 0 ]; then
  ORRERY_SID_TESTS="${tests[*]}" bash "$root/scripts/check_sid.sh" --wheels "$dist" "${sid_versions[@]}" </dev/null ||
    failed=1
fi
exit "$failed"
