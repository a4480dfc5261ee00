#!/usr/bin/env bash
# Check both distribution forms of the module.
#
# Usage: scripts/check_dist.sh [WHEEL_VERSION [SDIST_VERSION]]  (default: 3.9 3.13)
#
# 1. Build a wheel (`pip wheel`) with the WHEEL_VERSION interpreter and an sdist
#    (`python -m build --sdist`), warnings as errors.
# 2. Check their contents: the wheel holds the extension as one top-level
#    orrery.cpython-*.so (no package folder), the stub-only package
#    orrery-stubs/ and orrery.pyi; the sdist holds what a build and the tests
#    need and no build or cache leftovers.
# 3. Build and install the sdist in a fresh SDIST_VERSION venv and run the
#    tests shipped inside the unpacked sdist. (Installed wheels are tested by
#    scripts/check_wheels.sh, each version's manylinux wheel with the suite.)
#
# Interpreters come from pyenv (newest patch of each minor). Prints one line
# per step and exits non-zero if any step failed.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
wheel_minor="${1:-3.9}"
sdist_minor="${2:-3.13}"
export CI="${CI:-true}"

wheel_python="$(bash "$root/scripts/check_versions.sh" --which "$wheel_minor")" || exit 1
sdist_python="$(bash "$root/scripts/check_versions.sh" --which "$sdist_minor")" || exit 1

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
dist="$work/dist"
log="$work/log"
failed=0

# step NAME COMMAND...: run one step with its output in the log, print its
# result and time; on failure print the tail of the log.
step() {
  local name="$1" t0=$SECONDS rc
  shift
  : >"$log"
  "$@" >"$log" 2>&1 </dev/null
  rc=$?
  if [ $rc = 0 ]; then
    printf '%-40s ok    %4ss  %s\n' "$name" $((SECONDS - t0)) "$(summary)"
  else
    failed=1
    printf '%-40s FAIL  %4ss  %s\n' "$name" $((SECONDS - t0)) "$(summary)"
    tail -n 40 "$log" | sed 's/^/    /' >&2
  fi
  return $rc
}

# The pytest closing line of the last step, or else its last line.
summary() {
  local line
  line="$(grep -E '^[=]* *[0-9]+ (passed|failed|error)|no tests ran' "$log" | tail -n 1)"
  [ -n "$line" ] || line="$(tail -n 1 "$log")"
  printf '%s' "$line" | tr -d '=' | sed 's/^ *//; s/ *$//'
}

pip_quiet=(--disable-pip-version-check --no-input --progress-bar off)

build_all() {
  "$wheel_python" -m venv "$work/tools" &&
    "$work/tools/bin/python" -m pip install "${pip_quiet[@]}" build &&
    ORRERY_WERROR=ON "$work/tools/bin/python" -m pip wheel "${pip_quiet[@]}" --no-deps -w "$dist" "$root" &&
    ORRERY_WERROR=ON "$work/tools/bin/python" -m build --sdist --outdir "$dist" "$root"
}

# Contents of the wheel and the sdist, checked by name.
check_contents() {
  "$work/tools/bin/python" - "$dist" <<'EOF'
import glob, re, sys, tarfile, zipfile

dist = sys.argv[1]
problems = []
wheels = glob.glob(f"{dist}/*.whl")
sdists = glob.glob(f"{dist}/*.tar.gz")
if len(wheels) != 1 or len(sdists) != 1:
    sys.exit(f"expected one wheel and one sdist, found {wheels} {sdists}")

names = [n for n in zipfile.ZipFile(wheels[0]).namelist() if ".dist-info/" not in n]
extensions = [n for n in names if re.fullmatch(r"orrery\.cpython-[^/]+\.so", n)]
if len(extensions) != 1:
    problems.append(f"wheel: want one top-level orrery.cpython-*.so, got {extensions}")
for want in ("orrery-stubs/__init__.pyi", "orrery.pyi"):
    if want not in names:
        problems.append(f"wheel: {want} missing")
extra = set(names) - set(extensions) - {"orrery-stubs/__init__.pyi", "orrery.pyi"}
if extra:
    problems.append(f"wheel: unexpected entries {sorted(extra)}")

with tarfile.open(sdists[0]) as tar:
    members = [m.name.split("/", 1)[1] for m in tar.getmembers() if "/" in m.name]
for want in ("pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO", "src/module/exports.map",
             "orrery-stubs/__init__.pyi", "examples/typed_usage.py", "tests/test_typing.py"):
    if want not in members:
        problems.append(f"sdist: {want} missing")
junk = [m for m in members if re.search(r"(^|/)(__pycache__|\.hypothesis|\.mypy_cache|build)(/|$)|\.so$", m)]
if junk:
    problems.append(f"sdist: leftovers {junk[:10]}")
if problems:
    sys.exit("\n".join(problems))
print("wheel:", " ".join(sorted(names)), "| sdist:", len(members), "entries")
EOF
}

# Fresh venv, install the given requirement, prove the module is the
# installed one, then run tests from the given folder: the differential,
# failure, module and typing tests (the whole suite runs on every wheel in
# scripts/check_wheels.sh; this proves the source build and that the sdist
# carries what its tests need).
install_and_test() {
  local python="$1" venv="$2" requirement="$3" tests_from="$4"
  "$python" -m venv "$venv" &&
    ORRERY_WERROR=ON "$venv/bin/python" -m pip install "${pip_quiet[@]}" "$requirement" &&
    (cd "$tests_from" && "$venv/bin/python" -c \
      'import orrery, sys; assert orrery.__file__.startswith(sys.prefix), orrery.__file__; print(orrery.__file__)') &&
    (cd "$tests_from" && "$venv/bin/python" -m pytest -q -p no:cacheprovider \
      tests/test_render.py tests/test_fuzz.py tests/test_failures.py tests/test_module.py tests/test_typing.py)
}

unpack_sdist() {
  mkdir -p "$work/unpacked" && tar -xzf "$dist"/*.tar.gz -C "$work/unpacked"
}

if step "build wheel ($wheel_minor) and sdist" build_all; then
  ls "$dist" | sed 's/^/    /'
  step "check wheel and sdist contents" check_contents
  if step "unpack sdist" unpack_sdist; then
    step "sdist -> fresh venv $("$sdist_python" -c 'import platform; print(platform.python_version())')" \
      install_and_test "$sdist_python" "$work/venv-sdist" "$(ls "$dist"/*.tar.gz)[test]" "$(ls -d "$work"/unpacked/*/)"
  fi
fi
exit "$failed"
