# The wheel checks must catch what they are there for: a wheel without a
# manylinux tag, an absolute RPATH, a build path in any file; and the system
# oneTBB must really be out of sight under tools/without_system_tbb.sh.
# `make test-wheel` runs this with VORN_WHEEL set to the repaired wheel and
# auditwheel and patchelf on PATH.
import ctypes.util
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CHECK = ROOT / "tools" / "check_wheel.sh"
HIDE = ROOT / "tools" / "without_system_tbb.sh"


@pytest.fixture(scope="module")
def wheel():
    path = os.environ.get("VORN_WHEEL")
    if not path:
        pytest.skip("VORN_WHEEL not set (make test-wheel sets it)")
    return Path(path)


def check(path):
    return subprocess.run([CHECK, path, sys.executable], capture_output=True, text=True, timeout=300)


def rewrite(wheel, out, change):
    """Copies wheel to out, passing each member's (name, bytes) through change."""
    with zipfile.ZipFile(wheel) as src, zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as dst:
        for info in src.infolist():
            name, data = change(info.filename, src.read(info))
            dst.writestr(name, data)
        return out


def test_the_repaired_wheel_passes(wheel):
    done = check(wheel)
    assert done.returncode == 0, done.stderr
    assert "symbol versions within manylinux_" in done.stdout


def test_a_wheel_not_repaired_is_refused(wheel, tmp_path):
    plain = tmp_path / wheel.name.replace(wheel.name.split("-")[-1], "linux_x86_64.whl")
    shutil.copy(wheel, plain)
    done = check(plain)
    assert done.returncode != 0
    assert "no manylinux tag" in done.stderr


def test_an_absolute_rpath_is_refused(wheel, tmp_path):
    def absolute_rpath(name, data):
        if name.startswith("vorn_python.") and name.endswith(".so"):
            module = tmp_path / "module.so"
            module.write_bytes(data)
            subprocess.run(["patchelf", "--set-rpath", "$ORIGIN/../..:/opt/onetbb/lib", module], check=True)
            data = module.read_bytes()
        return name, data

    done = check(rewrite(wheel, tmp_path / wheel.name, absolute_rpath))
    assert done.returncode != 0
    assert "RPATH entry /opt/onetbb/lib is not $ORIGIN-relative" in done.stderr


def test_a_build_path_in_any_file_is_refused(wheel, tmp_path):
    def leak(name, data):
        if name.endswith("/METADATA"):
            data += f"\nbuilt in {ROOT}/build/py\n".encode()
        return name, data

    done = check(rewrite(wheel, tmp_path / wheel.name, leak))
    assert done.returncode != 0
    assert "build paths in" in done.stderr and "METADATA" in done.stderr


def hidden(code):
    return subprocess.run([HIDE, sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


system_tbb = pytest.mark.skipif(
    not ctypes.util.find_library("tbb") or subprocess.run(["unshare", "--mount", "true"]).returncode != 0,
    reason="needs the system oneTBB and a mount namespace (root)")


@system_tbb
def test_system_onetbb_cannot_be_loaded_or_compiled_against_when_hidden():
    done = hidden(
        "import ctypes, os\n"
        "print(sorted(os.listdir('/usr/include/oneapi')))\n"
        "ctypes.CDLL('libtbb.so.12')\n"
    )
    assert done.stdout.strip() == "[]", done.stderr
    assert done.returncode != 0
    assert "libtbb.so.12: file too short" in done.stderr
    # Outside the namespace nothing changed.
    ctypes.CDLL("libtbb.so.12")
    assert os.listdir("/usr/include/oneapi")


@system_tbb
def test_the_command_status_comes_back():
    assert hidden("raise SystemExit(3)").returncode == 3
