#!/usr/bin/env bash
# Runs scripts/exercise.py (every entry on its success and failure paths)
# under valgrind's memcheck, against a build of the module with debug
# information, and fails if memcheck reports an error (invalid read, write or
# free, use of uninitialised values, uninitialised bytes passed to a system
# call, ...) with a frame of the module in any of its stacks. Errors that lie
# wholly inside the interpreter are listed as a count only.
#
#   scripts/valgrind.sh [ROUNDS] [SIZE]      (defaults 3 and 50; about a minute)
#
# Environment: PYTHON (default python3), VALGRIND_VENV (default
# /tmp/orrery-valgrind-venv), VALGRIND_LOG (default /tmp/orrery-valgrind.log).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
PYTHON=${PYTHON:-python3}
VENV=${VALGRIND_VENV:-/tmp/orrery-valgrind-venv}
LOG=${VALGRIND_LOG:-/tmp/orrery-valgrind.log}
ROUNDS=${1:-3}
SIZE=${2:-50}

command -v valgrind >/dev/null || { echo "valgrind: not installed (apt-get install valgrind)" >&2; exit 1; }

rm -rf "$VENV"
"$PYTHON" -m venv "$VENV"
"$VENV/bin/pip" install -q --no-cache-dir -C cmake.build-type=RelWithDebInfo "$ROOT"

cd "$ROOT"
status=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=no --track-origins=yes \
    --num-callers=50 --fullpath-after= --log-file="$LOG" \
    "$VENV/bin/python" scripts/exercise.py "$ROUNDS" "$SIZE" >/dev/null || status=$?

"$VENV/bin/python" - "$LOG" "$status" <<'EOF'
import re
import sys

# A frame belongs to the module when it names its shared object or one of its
# source files.
MODULE = re.compile(r"orrery[^/ ]*\.so|/src/(engine|module|boundary)/\w+\.[ch]pp:")

blocks, block = [], []
for line in open(sys.argv[1], errors="replace"):
    text = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
    if text.strip():
        block.append(text)
    elif block:
        blocks.append(block)
        block = []
blocks.append(block)

errors = [b for b in blocks if len(b) > 1 and b[1].lstrip().startswith("at 0x")]
ours = [b for b in errors if any(MODULE.search(line) for line in b)]
for b in ours:
    print("\n".join(b) + "\n", file=sys.stderr)
print("valgrind: %d error contexts in the module, %d elsewhere (log: %s)"
      % (len(ours), len(errors) - len(ours), sys.argv[1]))
if sys.argv[2] != "0":
    print("valgrind: the driver failed (exit %s)" % sys.argv[2], file=sys.stderr)
sys.exit(1 if ours or sys.argv[2] != "0" else 0)
EOF
