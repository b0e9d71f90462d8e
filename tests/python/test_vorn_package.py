# The vorn package as installed: public names, PEP 561 typing files that
# describe the compiled module, and a module that exports only its init function.
import ast
import pathlib
import shutil
import subprocess

import pytest

import vorn
from vorn import _ext

PACKAGE = pathlib.Path(vorn.__file__).parent


def test_public_names():
    assert {"Circuit", "ClassicalRegister", "Instruction", "PauliSum", "Result", "expval", "required_memory",
            "run", "statevector"} <= set(vorn.__all__)
    for name in vorn.__all__:
        assert getattr(vorn, name).__module__.startswith("vorn")


def test_typing_files_are_shipped_and_cover_the_compiled_module():
    assert (PACKAGE / "py.typed").is_file()
    stub = ast.parse((PACKAGE / "_ext.pyi").read_text(encoding="utf-8"))
    declared = set()
    for node in stub.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
    public = {name for name in dir(_ext) if not name.startswith("_")}
    assert declared == public


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils nm not installed")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", _ext.__file__], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__ext"]


def test_programs_are_made_only_by_compile_program():
    with pytest.raises(TypeError):
        _ext.Program()


def test_qasm2_comes_with_the_package():
    # `import vorn` alone is enough for vorn.qasm2 (no second import).
    assert vorn.qasm2.loads('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[1];\nx q[0];\n').num_qubits == 1
