# The call boundary's argument handling: every binder message form, the index
# and real conversions with their errors, and the order in which arguments
# are converted. A failed call must leave the circuit unchanged.
import re

import numpy as np
import pytest

from vorn_python import Circuit, run


class Outer:
    class Inner:
        pass


def statevector_of(circuit):
    return run(circuit, 0, 0).statevector()


class TestBinderMessages:
    def test_missing_one_required(self):
        with pytest.raises(TypeError, match=re.escape("Circuit.h() missing 1 required positional argument: 'qubit'")):
            Circuit(1).h()

    def test_missing_several_required_lists_them_in_parameter_order(self):
        with pytest.raises(TypeError) as info:
            Circuit(3).ccx(target=0)
        assert str(info.value) == "Circuit.ccx() missing 2 required positional arguments: 'ctrl1' and 'ctrl2'"
        with pytest.raises(TypeError) as info:
            Circuit(3).cswap()
        assert str(info.value) == (
            "Circuit.cswap() missing 3 required positional arguments: 'control', 'target1', and 'target2'"
        )

    def test_too_many_positional_all_required_keeps_plural_wording(self):
        with pytest.raises(TypeError) as info:
            Circuit(2).h(0, 1)
        assert str(info.value) == "Circuit.h() takes 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as info:
            Circuit(2).cx(0, 1, 1)
        assert str(info.value) == "Circuit.cx() takes 2 positional arguments but 3 were given"

    def test_too_many_positional_with_optional_parameters(self):
        with pytest.raises(TypeError) as info:
            run(Circuit(1), 1, 2, 3)
        assert str(info.value) == "run() takes from 1 to 3 positional arguments but 4 were given"

    def test_unexpected_keyword(self):
        with pytest.raises(TypeError) as info:
            Circuit(2).h(q=0)
        assert str(info.value) == "Circuit.h() got an unexpected keyword argument 'q'"
        with pytest.raises(TypeError) as info:
            run(Circuit(1), shot=3)
        assert str(info.value) == "run() got an unexpected keyword argument 'shot'"

    def test_multiple_values(self):
        with pytest.raises(TypeError) as info:
            Circuit(2).cx(0, control=1)
        assert str(info.value) == "Circuit.cx() got multiple values for argument 'control'"

    def test_run_without_circuit(self):
        with pytest.raises(TypeError) as info:
            run()
        assert str(info.value) == "run() missing 1 required positional argument: 'circuit'"

    def test_constructor_messages_name_dunder_new(self):
        with pytest.raises(TypeError) as info:
            Circuit()
        assert str(info.value) == "Circuit.__new__() missing 1 required positional argument: 'n_qubits'"
        with pytest.raises(TypeError) as info:
            Circuit(1, 2)
        assert str(info.value) == "Circuit.__new__() takes 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as info:
            Circuit(n=1)
        assert str(info.value) == "Circuit.__new__() got an unexpected keyword argument 'n'"

    def test_measure_takes_two(self):
        with pytest.raises(TypeError) as info:
            Circuit(1).measure(0, 0, 0)
        assert str(info.value) == "Circuit.measure() takes 2 positional arguments but 3 were given"

    def test_parameterless_methods_refuse_any_argument(self):
        c = Circuit(1)
        with pytest.raises(TypeError, match=r"^Circuit.num_qubits\(\) takes no arguments \(1 given\)$"):
            c.num_qubits(1)
        with pytest.raises(TypeError):
            c.measure_all(x=1)
        result = run(c, 0, 0)
        with pytest.raises(TypeError):
            result.counts(1)

    def test_everything_by_keyword(self):
        c = Circuit(n_qubits=3)
        c.cx(control=0, target=1)
        c.ccx(target=2, ctrl2=1, ctrl1=0)
        c.rx(qubit=0, theta=0.5)
        c.measure(cbit=4, qubit=2)
        result = run(circuit=c, seed=3, shots=5)
        assert sum(result.counts().values()) == 5

    def test_failed_binding_records_nothing(self):
        c = Circuit(1)
        for bad in (lambda: c.x(), lambda: c.x(0, 0), lambda: c.x(qubit=0, other=1)):
            with pytest.raises(TypeError):
                bad()
        assert statevector_of(c).tolist() == [1, 0]


class TestIndexConversion:
    def test_bool_and_numpy_integers_are_indices(self):
        by_bool, by_numpy, by_int = Circuit(2), Circuit(2), Circuit(2)
        by_bool.x(True)
        by_numpy.x(np.int64(1))
        by_int.x(1)
        expected = statevector_of(by_int)
        assert statevector_of(by_bool).tolist() == expected.tolist()
        assert statevector_of(by_numpy).tolist() == expected.tolist()
        assert expected.tolist() == [0, 0, 1, 0]

    def test_objects_with_index_are_accepted(self):
        class Two:
            def __index__(self):
                return 2

        c = Circuit(Two())
        assert c.num_qubits() == 2
        c.x(qubit=Two().__index__() - 1)
        assert run(c, shots=Two(), seed=Two()).counts() == {}

    @pytest.mark.parametrize("bad", [1.0, "0", None, 1j, np.float64(0.0)])
    def test_non_integers_are_refused_with_the_parameter_named(self, bad):
        c = Circuit(2)
        with pytest.raises(TypeError, match=r"^argument 'qubit': ") as info:
            c.h(bad)
        assert "cannot be interpreted as an integer" in str(info.value)
        assert statevector_of(c).tolist() == [1, 0, 0, 0]

    def test_second_parameter_named_when_it_is_the_bad_one(self):
        with pytest.raises(TypeError, match=r"^argument 'target': "):
            Circuit(2).cx(0, 1.5)
        with pytest.raises(TypeError, match=r"^argument 'cbit': "):
            Circuit(2).measure(0, "c")
        with pytest.raises(TypeError, match=r"^argument 'n_qubits': "):
            Circuit(1.0)

    @pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
    def test_out_of_range_integers_raise_the_interpreters_overflow_error(self, value):
        c = Circuit(2)
        with pytest.raises(OverflowError) as info:
            c.h(value)
        assert "argument" not in str(info.value)
        with pytest.raises(OverflowError):
            c.measure(0, value)
        with pytest.raises(OverflowError):
            Circuit(value)
        assert statevector_of(c).tolist() == [1, 0, 0, 0]

    def test_largest_unsigned_value_is_accepted(self):
        assert Circuit(2**64 - 1).num_qubits() == 2**64 - 1
        assert Circuit(2**63).num_qubits() == 2**63
        c = Circuit(1)
        c.measure(0, 2**64 - 1)

    def test_error_raised_inside_index_keeps_its_cause_when_rewrapped(self):
        root = ValueError("root cause")

        class Broken:
            def __index__(self):
                raise TypeError("bad index") from root

        with pytest.raises(TypeError) as info:
            Circuit(1).h(Broken())
        assert str(info.value) == "argument 'qubit': bad index"
        assert info.value.__cause__ is root

    def test_other_exceptions_from_index_pass_through(self):
        class Exploding:
            def __index__(self):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            Circuit(1).h(Exploding())


class TestRealConversion:
    def test_theta_from_int_bool_and_float_like_objects(self):
        class Half:
            def __float__(self):
                return 0.5

        reference = Circuit(1)
        reference.rx(1.0, 0)
        from_int = Circuit(1)
        from_int.rx(1, 0)
        from_bool = Circuit(1)
        from_bool.rx(True, 0)
        assert statevector_of(from_int).tolist() == statevector_of(reference).tolist()
        assert statevector_of(from_bool).tolist() == statevector_of(reference).tolist()
        half, half_ref = Circuit(1), Circuit(1)
        half.ry(Half(), 0)
        half_ref.ry(0.5, 0)
        assert statevector_of(half).tolist() == statevector_of(half_ref).tolist()

    def test_minus_one_is_a_valid_angle(self):
        class MinusOne:
            def __float__(self):
                return -1.0

        a, b = Circuit(1), Circuit(1)
        a.rz(MinusOne(), 0)
        b.rz(-1.0, 0)
        assert statevector_of(a).tolist() == statevector_of(b).tolist()

    def test_non_numbers_are_refused_naming_theta(self):
        c = Circuit(1)
        with pytest.raises(TypeError, match=r"^argument 'theta': "):
            c.rx("a", 0)
        with pytest.raises(TypeError, match=r"^argument 'theta': "):
            c.rz(None, 0)

    def test_theta_is_converted_before_the_qubit(self):
        c = Circuit(3)
        with pytest.raises(TypeError, match=r"^argument 'theta': "):
            c.rx("a", 5)  # the out-of-range qubit is never looked at
        with pytest.raises(TypeError, match=r"^argument 'theta': "):
            c.ry(qubit=1.5, theta="a")

    def test_nan_and_infinite_angles_are_recorded(self):
        c = Circuit(1)
        c.rx(float("nan"), 0)
        c.ry(float("inf"), 0)
        assert np.isnan(statevector_of(c)).all()


class TestCircuitArgumentOfRun:
    def test_wrong_class_names_the_parameter(self):
        with pytest.raises(TypeError) as info:
            run(5)
        assert str(info.value) == "argument 'circuit': 'int' object cannot be converted to 'Circuit'"

    def test_wrong_class_reports_the_qualified_type_name(self):
        with pytest.raises(TypeError, match=r"^argument 'circuit': 'Outer.Inner' object cannot be converted to 'Circuit'"):
            run(Outer.Inner())

    def test_unbound_method_on_wrong_receiver_is_refused(self):
        with pytest.raises(TypeError):
            Circuit.h(object(), 0)

    def test_shots_and_seed_conversions(self):
        c = Circuit(1)
        c.measure_all()
        with pytest.raises(TypeError, match=r"^argument 'shots': "):
            run(c, shots=None)
        with pytest.raises(TypeError, match=r"^argument 'shots': "):
            run(c, shots=10.0)
        with pytest.raises(TypeError, match=r"^argument 'seed': "):
            run(c, seed="7")
        for kwargs in ({"shots": -1}, {"seed": -1}, {"seed": 2**64}):
            with pytest.raises(OverflowError):
                run(c, **kwargs)
        assert run(c, 3, 2**64 - 1).counts() == {"0": 3}
