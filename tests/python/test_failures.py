# Fatal errors (PanicException with the exact Korean messages and a report on
# stderr) and out-of-memory errors (MemoryError): after each, the objects
# involved are unchanged and usable.
import os
import re
import threading

import pytest

from vorn_python import Circuit, run


def amplitudes(circuit):
    return run(circuit, 0, 0).statevector().tolist()


class TestPanicException:
    def test_is_a_direct_base_exception_subclass_with_docs(self, panic_exception):
        assert panic_exception.__bases__ == (BaseException,)
        assert not issubclass(panic_exception, Exception)
        assert panic_exception.__name__ == "PanicException"
        assert "BaseException" in panic_exception.__doc__

    def test_the_same_class_is_raised_every_time(self, panic_exception):
        for call in (lambda: Circuit(1).x(3), lambda: run(Circuit(0))):
            with pytest.raises(BaseException) as info:
                call()
            assert type(info.value) is panic_exception

    def test_except_exception_does_not_catch_it(self, panic_exception):
        caught_by_exception = False
        with pytest.raises(panic_exception):
            try:
                Circuit(2).h(5)
            except Exception:  # noqa: BLE001 - this clause must not run
                caught_by_exception = True
        assert not caught_by_exception

    def test_carries_the_message_as_its_single_argument(self, panic_exception):
        with pytest.raises(panic_exception) as info:
            Circuit(2).h(5)
        assert info.value.args == ("큐비트 인덱스 5가 범위를 벗어남 (n_qubits=2)",)


class TestOutOfRangeQubits:
    @pytest.mark.parametrize(
        ("n", "record", "message"),
        [
            (2, lambda c: c.h(5), "큐비트 인덱스 5가 범위를 벗어남 (n_qubits=2)"),
            (3, lambda c: c.cx(0, 3), "큐비트 인덱스 3가 범위를 벗어남 (n_qubits=3)"),
            (3, lambda c: c.ccx(5, 0, 7), "큐비트 인덱스 5가 범위를 벗어남 (n_qubits=3)"),
            (3, lambda c: c.ccx(0, 7, 5), "큐비트 인덱스 7가 범위를 벗어남 (n_qubits=3)"),
            (3, lambda c: c.cswap(0, 1, 2**64 - 1), "큐비트 인덱스 18446744073709551615가 범위를 벗어남 (n_qubits=3)"),
            (1, lambda c: c.rz(0.5, 1), "큐비트 인덱스 1가 범위를 벗어남 (n_qubits=1)"),
            (1, lambda c: c.measure(1, 0), "큐비트 인덱스 1가 범위를 벗어남 (n_qubits=1)"),
            (0, lambda c: c.id(0), "큐비트 인덱스 0가 범위를 벗어남 (n_qubits=0)"),
        ],
    )
    def test_message_names_the_first_offending_operand(self, panic_exception, n, record, message):
        c = Circuit(n)
        with pytest.raises(panic_exception) as info:
            record(c)
        assert str(info.value) == message

    def test_circuit_is_unchanged_and_usable_afterwards(self, panic_exception):
        c = Circuit(3)
        c.x(0)
        with pytest.raises(panic_exception):
            c.cx(0, 5)
        with pytest.raises(panic_exception):
            c.ccx(0, 1, 3)
        assert amplitudes(c) == [0, 1, 0, 0, 0, 0, 0, 0]  # nothing of the failed calls recorded
        c.cx(0, 2)
        assert amplitudes(c) == [0, 0, 0, 0, 0, 1, 0, 0]

    def test_zero_qubit_circuit_accepts_only_measure_all(self, panic_exception):
        c = Circuit(0)
        c.measure_all()
        with pytest.raises(panic_exception, match=r"n_qubits=0"):
            c.measure(0, 0)

    def test_report_on_stderr_names_thread_location_and_message(self, panic_exception, capfd):
        capfd.readouterr()
        with pytest.raises(panic_exception):
            Circuit(2).h(5)
        err = capfd.readouterr().err
        assert re.search(
            r"thread 'main' panicked at \S+:\d+:\d+:\n큐비트 인덱스 5가 범위를 벗어남 \(n_qubits=2\)\n", err
        ), err

    def test_report_from_another_thread(self, panic_exception, capfd):
        capfd.readouterr()
        seen = []

        def worker():
            try:
                Circuit(1).x(2)
            except BaseException as exc:  # noqa: BLE001
                seen.append(type(exc))

        t = threading.Thread(target=worker)
        t.start()
        t.join()
        assert seen == [panic_exception]
        err = capfd.readouterr().err
        assert re.search(r"thread '[^']+' panicked at \S+:\d+:\d+:\n", err), err
        assert "thread 'main'" not in err


class TestRunFailures:
    def test_zero_qubits(self, panic_exception):
        c = Circuit(0)
        with pytest.raises(panic_exception) as info:
            run(c, shots=0, seed=1)
        assert str(info.value) == "qubit 수는 1 이상이어야 합니다"
        c.measure_all()  # the circuit was released
        with pytest.raises(panic_exception):
            run(c)

    @pytest.mark.parametrize("n", [59, 64, 2**64 - 1])
    def test_register_too_large_to_address(self, panic_exception, n):
        with pytest.raises(panic_exception, match=r"^capacity overflow$"):
            run(Circuit(n), 0, 0)

    def test_more_memory_than_available_is_a_memory_error(self):
        c = Circuit(40)  # 16 TiB of amplitudes
        c.h(39)
        with pytest.raises(MemoryError) as info:
            run(c, 10, 1)
        # 16 TiB of amplitudes and one 2^15-amplitude gather buffer per pool thread.
        threads = int(os.environ.get("RAYON_NUM_THREADS", "0") or 0) or os.cpu_count()
        needed = 16 * 2**40 + threads * 16 * 2**15
        assert re.search(rf"\b{needed} bytes needed\b", str(info.value)), str(info.value)
        c.measure_all()  # neither held nor changed by the failed run
        with pytest.raises(MemoryError):
            run(c, 10, 1)

    def test_memory_error_is_an_ordinary_exception(self):
        try:
            run(Circuit(45), 0, 0)
        except Exception as exc:  # noqa: BLE001 - must be caught here
            assert isinstance(exc, MemoryError)
        else:
            pytest.fail("no MemoryError")
