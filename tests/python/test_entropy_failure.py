# Entropy failure test (pytest): a seccomp filter in a child makes getrandom(2) fail with
# EIO; unseeded runs raise PanicException with the OS error, seeded runs still work.
import platform
import subprocess
import sys
import textwrap

import pytest

from vorn_python import Circuit, run

pytestmark = pytest.mark.skipif(
    sys.platform != "linux" or platform.machine() != "x86_64",
    reason="the filter below is written for Linux on x86_64",
)

CHILD = textwrap.dedent(
    """
    import ctypes, errno, os, struct, sys
    import vorn_python as vp

    PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
    SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO = 0x7FFF0000, 0x00050000
    AUDIT_ARCH_X86_64, NR_GETRANDOM = 0xC000003E, 318
    LD_W_ABS, JEQ_K, RET_K = 0x20, 0x15, 0x06  # BPF_LD|W|ABS, BPF_JMP|JEQ|K, BPF_RET|K

    def insn(code, jt, jf, k):
        return struct.pack("HBBI", code, jt, jf, k)

    program = b"".join([
        insn(LD_W_ABS, 0, 0, 4),                  # seccomp_data.arch
        insn(JEQ_K, 0, 3, AUDIT_ARCH_X86_64),     # another ABI: allow
        insn(LD_W_ABS, 0, 0, 0),                  # seccomp_data.nr
        insn(JEQ_K, 0, 1, NR_GETRANDOM),
        insn(RET_K, 0, 0, SECCOMP_RET_ERRNO | errno.EIO),
        insn(RET_K, 0, 0, SECCOMP_RET_ALLOW),
    ])
    filters = ctypes.create_string_buffer(program, len(program))

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    prog = SockFprog(len(program) // 8, ctypes.addressof(filters))
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong]
    if (libc.prctl(PR_SET_NO_NEW_PRIVS, 1, None, 0, 0) != 0
            or libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.byref(prog), 0, 0) != 0):
        print("unavailable", os.strerror(ctypes.get_errno()))
        sys.exit(0)
    try:
        os.getrandom(1)
        print("filter did not apply")
        sys.exit(0)
    except OSError as exc:
        print("getrandom", exc.errno)

    c = vp.Circuit(3)
    c.h(0)
    c.measure_all()
    for _ in range(2):  # the failure leaves the circuit free and the module usable
        try:
            vp.run(c, 10)
            print("no error")
        except BaseException as exc:
            print(type(exc).__name__, isinstance(exc, Exception), exc.args)
        print(sorted(vp.run(c, 10, 7).counts().items()))
    """
)


def test_unseeded_run_reports_the_os_error_when_getrandom_fails():
    proc = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    if lines[0].startswith("unavailable"):
        pytest.skip(f"seccomp filters are not available here: {lines[0]}")
    assert lines[0] == "getrandom 5", proc.stdout
    c = Circuit(3)
    c.h(0)
    c.measure_all()
    seeded = str(sorted(run(c, 10, 7).counts().items()))  # as without the filter
    failure = "PanicException False ('from_entropy failed: OS Error: 5',)"
    assert lines[1:] == [failure, seeded, failure, seeded], proc.stdout
    # The fatal-error report went to standard error, once per failed run.
    assert proc.stderr.count("from_entropy failed: OS Error: 5") == 2, proc.stderr
