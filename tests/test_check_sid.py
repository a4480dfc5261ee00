"""What scripts/check_sid.sh takes from the machine: the Debian mirror apt uses
and the local folders that pip's configuration names."""
import os
import pathlib
import shutil
import subprocess

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[1] / "scripts" / "check_sid.sh"
pytestmark = pytest.mark.skipif(not SCRIPT.exists() or not shutil.which("bash"),
                                reason="needs the repository's scripts and bash")


def run(option, etc, files, **env):
    for name, text in files.items():
        path = etc / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    env = {"PATH": os.environ["PATH"], "HOME": str(etc / "home"), "ORRERY_SID_ETC": str(etc), **env}
    proc = subprocess.run(["bash", str(SCRIPT), option], env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=30)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


BOOKWORM = {"os-release": "ID=debian\nVERSION_CODENAME=bookworm\n"}


@pytest.mark.parametrize("files, mirror", [
    pytest.param({"apt/sources.list.d/debian.sources":
                  "Types: deb\nURIs: http://sec.example/debian-security\nSuites: bookworm-security\n\n"
                  "Types: deb\nURIs: http://off.example/debian\nSuites: bookworm\nEnabled: no\n\n"
                  "# the archive\nTypes: deb-src deb\nURIs: http://m.example/debian\n"
                  "Suites: bookworm bookworm-updates\nComponents: main\n"},
                 "http://m.example/debian", id="deb822"),
    pytest.param({"apt/sources.list": "# deb http://old.example/debian bookworm main\n"
                                      "deb [arch=amd64] https://vendor.example/apt vendor-bookworm main\n"
                                      "deb [signed-by=/k.gpg] http://ftp.example/debian/ bookworm-updates main\n"},
                 "http://ftp.example/debian/", id="one-line"),
    pytest.param({"apt/sources.list.d/sid.list": "deb http://m.example/debian sid main\n",
                  "apt/sources.list.d/off.list.disabled": "deb http://off.example/debian bookworm main\n"},
                 "http://m.example/debian", id="unstable-host"),
    pytest.param({"apt/sources.list": "deb https://vendor.example/apt stable-vendor main\n"},
                 "http://deb.debian.org/debian", id="no-debian-source"),
])
def test_mirror_is_the_one_apt_uses(tmp_path, files, mirror):
    assert run("--print-mirror", tmp_path, {**BOOKWORM, **files}) == [mirror]


def test_local_pip_sources_are_found(tmp_path):
    for folder in ("wheels", "pypi/simple", "pypi/files", "more/simple", "commented"):
        (tmp_path / folder).mkdir(parents=True)
    (tmp_path / "constraints.txt").write_text("")
    paths = run("--print-bind-paths", tmp_path, {
        "pip.conf": f"[global]\nfind-links = {tmp_path}/wheels/\n"
                    f"extra-index-url = file://{tmp_path}/pypi/simple https://remote.example/simple\n"
                    f"    file://{tmp_path}/more/simple/\n",
        "home/.config/pip/pip.conf": f"[install]\n; {tmp_path}/commented\nconstraint = {tmp_path}/constraints.txt\n",
    }, PIP_FIND_LINKS=f"{tmp_path}/wheels {tmp_path}/missing", PIP_TIMEOUT="60")
    # A local index's pages link to files beside it, so its parent folder goes in.
    assert paths == sorted(f"{tmp_path}/{p}" for p in ("constraints.txt", "more", "pypi", "wheels"))
