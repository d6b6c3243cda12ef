# Fixtures of the binding tests: a register folder with its own copy of the built library and a GBK
# Config.ini (also the current directory), and the simulated terminal on a new pseudo-terminal named by
# KORVESSA_COM7. KORVESSA_BUILD names the build tree (default build/linux).
import os
import re
import select
import shutil
import subprocess
import time

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.abspath(os.environ.get("KORVESSA_BUILD", os.path.join(ROOT, "build", "linux")))
LIBRARY = os.path.join(BUILD, "libKorvessaDLL.so")

# Fixed answer fields, and one in GBK (response bytes 43..54) to show that each binding decodes it.
ISSUER = "测试发卡行"
TERMINAL_ARGS = [b"--field", b"date=20261208", b"--field", b"time=143015",
                 b"--field", b"issuer=" + ISSUER.encode("gbk")]
# The receipt that Config.ini's two template lines give (written after an approved purchase).
RECEIPT = "示例签购单 SAMPLE RECEIPT\r\n商户存根 MERCHANT COPY\r\n".encode("gbk")


def write_config(folder, **changes):
    """Writes tests/bindings/Config.ini into folder as GBK with CR LF; changes replace key=value lines."""
    with open(os.path.join(os.path.dirname(__file__), "Config.ini"), encoding="utf-8") as f:
        text = f.read()
    for key, value in changes.items():
        text, n = re.subn(rf"(?m)^{key}=.*$", f"{key}={value}", text)
        assert n == 1, key
    with open(os.path.join(folder, "Config.ini"), "wb") as f:
        f.write(text.replace("\n", "\r\n").encode("gbk"))


@pytest.fixture
def register(tmp_path, monkeypatch):
    shutil.copy(LIBRARY, tmp_path)
    write_config(tmp_path)
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def terminal(monkeypatch):
    """terminal(*args) starts posterm with the fixed fields and args, and points COM7 at its line."""
    procs = []

    def start(*args):
        p = subprocess.Popen([os.path.join(BUILD, "posterm")] + TERMINAL_ARGS + [a.encode() for a in args],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        procs.append(p)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if select.select([p.stdout], [], [], 0.5)[0]:
                line = p.stdout.readline().decode(errors="replace")
                if line.startswith("READY "):
                    monkeypatch.setenv("KORVESSA_COM7", line.split()[1])
                    return p
                if not line:
                    break
        pytest.fail("posterm did not start")

    yield start
    for p in procs:
        p.terminate()
        p.wait(10)
        p.stdout.close()
