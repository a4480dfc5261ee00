"""Run a snippet of Python in a fresh interpreter and collect what it wrote."""

import subprocess
import sys
import textwrap


def run(code, stdout=subprocess.PIPE, timeout=60):
    """Run `sys.executable -c code` with the given stdout target.

    `stdout` is anything subprocess accepts (PIPE, DEVNULL, a file object or
    a file descriptor). Returns (returncode, stdout bytes, stderr bytes); the
    stdout bytes are empty unless stdout was PIPE.
    """
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdin=subprocess.DEVNULL,
        stdout=stdout,
        stderr=subprocess.PIPE,
        timeout=timeout,
    )
    return proc.returncode, proc.stdout or b"", proc.stderr
