#!/usr/bin/env bash
# Builds the module twice, from copies of the checkout in two folders of
# different names and depths, each into a wheel of its own, and checks that
# the two shared objects are byte-identical (their build-ids included): a
# binary must not record where it was built.
#
#   scripts/check_reproducible.sh
#
# Environment: PYTHON (interpreter to build for, default python3), and the
# build options read by pyproject.toml (ORRERY_WERROR, ...). SOURCE_DATE_EPOCH
# defaults to the last commit's time.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
PYTHON=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 0)}
export SOURCE_DATE_EPOCH

"$PYTHON" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --upgrade pip

# The files of the checkout (tracked and new ones, not ignored ones).
copy_checkout() {
    mkdir -p "$1"
    if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
            xargs -0 cp --parents -t "$1")
    else
        (cd "$ROOT" && tar --exclude=.git -cf - .) | tar -xf - -C "$1"
    fi
}

sos=()
for dest in "$work/a/orrery" "$work/second-build/deeper/src"; do
    copy_checkout "$dest"
    "$work/venv/bin/python" -m pip wheel --quiet --no-deps -w "$dest.wheel" "$dest"
    "$work/venv/bin/python" -m zipfile -e "$dest.wheel"/*.whl "$dest.unpacked"
    so=$(find "$dest.unpacked" -name 'orrery*.so')
    [ -n "$so" ] || { echo "reproducible: no shared object in the wheel built in $dest" >&2; exit 1; }
    sos+=("$so")
done

build_id() { readelf -n "$1" 2>/dev/null | sed -n 's/.*Build ID: //p'; }
echo "build-ids: $(build_id "${sos[0]}") $(build_id "${sos[1]}")"
if ! cmp "${sos[0]}" "${sos[1]}"; then
    echo "reproducible: the shared objects built in two folders differ" >&2
    exit 1
fi
if grep -a -q -e "$work" -e "$ROOT" "${sos[0]}"; then
    echo "reproducible: the shared object records a build path" >&2
    exit 1
fi
echo "reproducible: identical ($(wc -c <"${sos[0]}") bytes)"
