# Module surface: names, re-import, the classes' shape (not subclassable, no
# __dict__, constructors), docstrings and text signatures, exported symbols.
import importlib
import inspect
import shutil
import subprocess
import sys

import pytest

import vorn_python
from vorn_python import Circuit, SimulationResult, run


def test_all_lists_the_three_names_in_registration_order():
    assert vorn_python.__all__ == ["Circuit", "SimulationResult", "run"]
    assert vorn_python.__doc__ == ""
    assert vorn_python.__name__ == "vorn_python"


def test_nothing_else_is_registered():
    public = {name for name in dir(vorn_python) if not name.startswith("__")}
    assert public == {"Circuit", "SimulationResult", "run"}
    assert not hasattr(vorn_python, "PanicException")
    assert not hasattr(vorn_python, "PySliceContainer")


def test_reimport_after_removal_yields_the_same_module_and_classes():
    module, circuit_class = vorn_python, vorn_python.Circuit
    del sys.modules["vorn_python"]
    again = importlib.import_module("vorn_python")
    assert again is module
    assert again.Circuit is circuit_class
    assert again.__all__ == ["Circuit", "SimulationResult", "run"]  # not appended twice


def test_run_is_bound_to_the_module():
    assert run.__self__ is vorn_python
    assert run.__module__ == "vorn_python"
    assert run.__name__ == "run"


@pytest.mark.parametrize("cls", [Circuit, SimulationResult])
def test_classes_report_builtins_as_their_module(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", [Circuit, SimulationResult])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_have_no_dict_and_no_weakrefs():
    import weakref

    c = Circuit(1)
    with pytest.raises(AttributeError):
        c.label = "x"
    with pytest.raises(TypeError):
        weakref.ref(c)
    assert not hasattr(c, "__dict__")


def test_classes_without_constructor_refuse_instantiation():
    with pytest.raises(TypeError, match="^No constructor defined for SimulationResult$"):
        SimulationResult()
    container_type = type(run(Circuit(1), 0, 0).statevector().base)
    assert container_type.__name__ == "PySliceContainer"
    assert container_type.__module__ == "builtins"
    with pytest.raises(TypeError, match="^No constructor defined for PySliceContainer$"):
        container_type()


def test_constructor_by_position_and_keyword():
    assert Circuit(3).num_qubits() == 3
    assert Circuit(n_qubits=2).num_qubits() == 2
    assert Circuit(0).num_qubits() == 0


def test_class_docstrings_and_signatures():
    assert Circuit.__doc__ == "Python에서 사용 가능한 양자 회로 클래스."
    assert Circuit.__text_signature__ == "(n_qubits)"
    assert str(inspect.signature(Circuit)) == "(n_qubits)"
    assert SimulationResult.__doc__ == "Python에서 사용 가능한 시뮬레이션 결과 클래스."
    assert SimulationResult.__text_signature__ is None


CIRCUIT_METHODS = [
    ("num_qubits", "($self)"),
    ("h", "($self, qubit)"),
    ("x", "($self, qubit)"),
    ("y", "($self, qubit)"),
    ("z", "($self, qubit)"),
    ("s", "($self, qubit)"),
    ("t", "($self, qubit)"),
    ("rx", "($self, theta, qubit)"),
    ("ry", "($self, theta, qubit)"),
    ("rz", "($self, theta, qubit)"),
    ("id", "($self, qubit)"),
    ("cx", "($self, control, target)"),
    ("cz", "($self, qubit0, qubit1)"),
    ("swap", "($self, qubit0, qubit1)"),
    ("ccx", "($self, ctrl1, ctrl2, target)"),
    ("cswap", "($self, control, target1, target2)"),
    ("measure", "($self, qubit, cbit)"),
    ("measure_all", "($self)"),
]


def test_circuit_methods_in_table_order():
    own = [name for name in Circuit.__dict__ if not name.startswith("__")]
    assert own == [name for name, _ in CIRCUIT_METHODS]


@pytest.mark.parametrize(("name", "signature"), CIRCUIT_METHODS)
def test_circuit_method_signatures(name, signature):
    method = getattr(Circuit, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None
    params = list(inspect.signature(getattr(Circuit(1), name)).parameters)
    assert params == [p.strip() for p in signature[1:-1].split(",")][1:]


def test_result_methods_docstrings_and_order():
    own = [name for name in SimulationResult.__dict__ if not name.startswith("__")]
    assert own == ["counts", "statevector", "probabilities"]
    assert SimulationResult.counts.__doc__ == "측정 결과 counts를 dict로 반환한다."
    assert SimulationResult.statevector.__doc__ == "측정 전 상태 벡터를 numpy complex128 배열로 반환한다."
    assert SimulationResult.probabilities.__doc__ == "확률 벡터를 numpy float64 배열로 반환한다."
    for name in own:
        assert getattr(SimulationResult, name).__text_signature__ == "($self)"


def test_run_docstring_and_signature():
    assert run.__text_signature__ == "(circuit, shots=1024, seed=None)"
    assert run.__doc__ == (
        "회로 실행 함수.\n\n"
        "rayon 병렬 게이트 적용이 GIL 을 들고 있으면 Python 멀티스레드 환경에서\n"
        "다른 스레드가 막히므로, 시뮬레이션 동안 GIL 을 해제한다."
    )
    sig = inspect.signature(run)
    assert [(p.name, p.default) for p in sig.parameters.values()] == [
        ("circuit", inspect.Parameter.empty),
        ("shots", 1024),
        ("seed", None),
    ]


def test_sub_interpreter_import_is_refused(run_python):
    proc = run_python(
        """
        import vorn_python
        try:
            import _testcapi
        except ImportError:
            raise SystemExit(3)
        print(_testcapi.run_in_subinterp("import vorn_python"))
        """
    )
    if proc.returncode == 3:
        pytest.skip("_testcapi is not available in this interpreter")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "-1"
    assert "ImportError" in proc.stderr
    assert "sub-interpreters" in proc.stderr


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils nm not installed")
def test_only_the_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", vorn_python.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_vorn_python"]


def test_stub_package_is_installed_next_to_the_module():
    import pathlib

    stub = pathlib.Path(vorn_python.__file__).parent / "vorn_python-stubs" / "__init__.pyi"
    assert stub.is_file()
    text = stub.read_text(encoding="utf-8")
    for name, _ in CIRCUIT_METHODS:
        assert f"def {name}(" in text
    assert "def run(" in text
