# Code written for Aer's simulator and primitives, run on vorn's: the
# primitives' options dict, from_backend, the backend's options under Aer's
# names, per-experiment metadata and a numeric num_qubits; Aer and Qiskit's
# reference primitives are the oracles.
import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
aer = pytest.importorskip("qiskit_aer")
from qiskit import QuantumCircuit, QuantumRegister, transpile  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.primitives import StatevectorEstimator  # noqa: E402
from qiskit.providers.fake_provider import GenericBackendV2  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector  # noqa: E402
from qiskit.transpiler import CouplingMap  # noqa: E402
from qiskit_aer import AerSimulator  # noqa: E402
from qiskit_aer.noise import NoiseModel, depolarizing_error  # noqa: E402
from qiskit_aer.primitives import EstimatorV2 as AerEstimatorV2  # noqa: E402

import vorn  # noqa: E402
from vorn.qiskit import Backend, EstimatorV2, SamplerV2, save_statevector  # noqa: E402

pytestmark = pytest.mark.qiskit

THETA = Parameter("θ")


def ansatz(measured=False):
    qc = QuantumCircuit(3)
    qc.h(0)
    qc.ry(THETA, 1)
    qc.cx(0, 2)
    qc.crz(0.7, 1, 2)
    if measured:
        qc.measure_all()
    return qc


OBSERVABLE = SparsePauliOp(["ZZI", "XIX", "IYY"], [1.0, -0.5, 0.3])
VALUES = np.array([[0.2], [1.4], [-2.0]])


def noise_model():
    model = NoiseModel()
    model.add_all_qubit_quantum_error(depolarizing_error(0.05, 1), ["h", "ry"])
    model.add_all_qubit_quantum_error(depolarizing_error(0.1, 2), ["cx"])
    return model


def test_the_sampler_takes_aers_options_dict():
    pub = (ansatz(measured=True), VALUES)
    plain = SamplerV2(seed=7, default_shots=300).run([pub]).result()[0].data.meas
    by_options = SamplerV2(options={"default_shots": 300, "run_options": {"seed_simulator": 7}})
    assert by_options.default_shots == 300 and by_options.seed == 7
    assert by_options.options.run_options == {"seed_simulator": 7}
    np.testing.assert_array_equal(by_options.run([pub]).result()[0].data.meas.array, plain.array)
    by_run_shots = SamplerV2(options={"run_options": {"shots": 300}, "backend_options": {"seed_simulator": 7}})
    np.testing.assert_array_equal(by_run_shots.run([pub]).result()[0].data.meas.array, plain.array)
    # The exact path gives the same bits on any thread count; "automatic" means statevector.
    limited = SamplerV2(seed=7, default_shots=300, options={"backend_options": {
        "max_parallel_threads": 1, "method": "automatic", "fusion_enable": False, "precision": "double"}})
    np.testing.assert_array_equal(limited.run([pub]).result()[0].data.meas.array, plain.array)
    noisy = SamplerV2(seed=7, options={"backend_options": {"noise_model": noise_model()}})
    assert noisy.noise_model is not None
    np.testing.assert_array_equal(noisy.run([pub]).result()[0].data.meas.array,
                                  SamplerV2(seed=7, noise_model=noise_model()).run([pub]).result()[0].data.meas.array)


def test_the_estimator_takes_aers_options_dict():
    pub = (ansatz(), OBSERVABLE, VALUES)
    reference = StatevectorEstimator().run([pub]).result()[0].data.evs
    plain = EstimatorV2(seed=3, default_precision=0.01).run([pub]).result()[0].data.evs
    by_options = EstimatorV2(options={"default_precision": 0.01, "run_options": {"seed_simulator": 3}})
    assert by_options.default_precision == 0.01 and by_options.options.default_precision == 0.01
    np.testing.assert_array_equal(by_options.run([pub]).result()[0].data.evs, plain)
    for backend_options, tolerance in (({"max_parallel_threads": 1}, 1e-12), ({"fusion_enable": True}, 1e-10),
                                       ({"precision": "single"}, 1e-5), ({"method": "statevector"}, 1e-12)):
        evs = EstimatorV2(options={"backend_options": backend_options}).run([pub]).result()[0].data.evs
        np.testing.assert_allclose(evs, reference, atol=tolerance, err_msg=str(backend_options))
    noisy = EstimatorV2(seed=1, options={"backend_options": {"noise_model": noise_model()},
                                         "run_options": {"shots": 500}})
    result = noisy.run([pub]).result()[0]
    assert result.metadata["trajectories"] == 500 and np.all(result.data.stds > 0)


def test_options_that_do_not_exist_or_disagree_are_refused_by_name():
    with pytest.raises(ValueError, match="unknown options 'run_option'; vorn takes default_shots, run_options, "
                                         "backend_options"):
        SamplerV2(options={"run_option": {}})
    with pytest.raises(ValueError, match="unknown backend_options 'device'.*noise_model, max_parallel_threads"):
        EstimatorV2(options={"backend_options": {"device": "GPU"}})
    with pytest.raises(ValueError, match="unknown run_options 'parameter_binds'"):
        EstimatorV2(options={"run_options": {"parameter_binds": []}})
    with pytest.raises(ValueError, match="'density_matrix' is not one of vorn's.*'statevector', 'automatic'"):
        SamplerV2(options={"backend_options": {"method": "density_matrix"}})
    with pytest.raises(ValueError, match="two different seeds"):
        SamplerV2(seed=1, options={"run_options": {"seed_simulator": 2}})
    with pytest.raises(ValueError, match="default shots"):
        SamplerV2(options={"default_shots": 10, "run_options": {"shots": 20}})
    with pytest.raises(ValueError, match="max_parallel_threads must be >= 0"):
        Backend(max_parallel_threads=-1)
    with pytest.raises(TypeError, match="options must be a dict"):
        EstimatorV2(options=[("default_precision", 0.1)])


@pytest.fixture(scope="module")
def device():
    return GenericBackendV2(4, coupling_map=CouplingMap.from_line(4), seed=9)


def test_primitives_from_a_backend_take_its_noise(device):
    qc = transpile(ansatz(), device, seed_transpiler=1, optimization_level=0)
    observable = OBSERVABLE.apply_layout(qc.layout)
    pub = (qc, observable, VALUES)
    exact = AerEstimatorV2.from_backend(device, options={"backend_options": {"method": "density_matrix"}})
    expected = exact.run([pub]).result()[0].data.evs
    ideal = StatevectorEstimator().run([pub]).result()[0].data.evs
    estimator = EstimatorV2.from_backend(device, seed=2, trajectories=4000)
    data = estimator.run([pub]).result()[0].data
    assert np.all(np.abs(data.evs - expected) < 5 * data.stds)
    assert np.any(np.abs(data.evs - ideal) > 5 * data.stds)  # the device's noise shows
    model = noise_model()
    for backend in (Backend(noise_model=model), AerSimulator(noise_model=model)):
        sampler = SamplerV2.from_backend(backend, seed=4)
        reference = SamplerV2(seed=4, noise_model=model)
        measured = ansatz(measured=True)
        np.testing.assert_array_equal(sampler.run([(measured, VALUES)]).result()[0].data.meas.array,
                                      reference.run([(measured, VALUES)]).result()[0].data.meas.array)
    assert EstimatorV2.from_backend(Backend()).noise_model is None
    assert EstimatorV2.from_backend(device, noise_model=None).noise_model is None


def test_the_backend_takes_aers_option_names():
    qc = save_statevector(ansatz().assign_parameters([0.9]))
    qc.measure_all()
    expected = Statevector(ansatz().assign_parameters([0.9])).data
    backend = Backend()
    assert backend.options.method == "statevector"
    baseline = backend.run(qc, shots=200, seed_simulator=3, memory=True).result()
    for options in ({"max_parallel_threads": 1}, {"max_parallel_threads": 1000}, {"method": "automatic"},
                    {"fusion_enable": False}, {"precision": "double"}):
        result = Backend(**options).run(qc, shots=200, seed_simulator=3, memory=True).result()
        assert result.get_memory() == baseline.get_memory(), options
    fused = Backend(fusion_enable=True).run(qc, shots=10).result().get_statevector()
    np.testing.assert_allclose(fused.data, expected, atol=1e-10)
    backend.set_options(precision="single")
    single = backend.run(qc, shots=10).result()
    assert single.results[0].metadata["precision"] == "single"
    np.testing.assert_allclose(single.get_statevector().data, expected, atol=1e-6)
    assert np.abs(single.get_statevector().data - expected).max() > 1e-12  # float rounding: it ran in single
    with pytest.raises(ValueError, match="'matrix_product_state' is not one of vorn's"):
        backend.set_options(method="matrix_product_state")
    for bad in (lambda: Backend(device="GPU"), lambda: backend.set_options(zero_threshold=1e-9),
                lambda: backend.run(qc, enable_truncation=False)):
        with pytest.raises(ValueError, match="unknown option.*it takes fusion_enable, max_parallel_threads, memory, "
                                             "method, noise_model, precision, seed_simulator, shots, timeout"):
            bad()


def test_each_experiment_reports_its_metadata_as_aer_does():
    wide = QuantumCircuit(QuantumRegister(40, "q"), *ansatz(measured=True).cregs)
    wide.compose(ansatz(measured=True).assign_parameters([0.3]), qubits=[33, 5, 17], inplace=True)
    narrow = ansatz(measured=True).assign_parameters([1.0])
    result = Backend(noise_model=noise_model()).run([wide, narrow], shots=123, seed_simulator=6).result()
    reference = AerSimulator().run([wide, narrow], shots=123).result()
    for i, experiment in enumerate(result.results):
        mine, theirs = experiment.metadata, reference.results[i].metadata
        assert mine["active_input_qubits"] == theirs["active_input_qubits"]
        assert mine["num_qubits"] == theirs["num_qubits"]
        assert mine["num_clbits"] == theirs["num_clbits"]
        assert mine["shots"] == experiment.shots == 123
        assert mine["seed_simulator"] == experiment.seed_simulator == vorn.binding_seed(6, i)
        assert mine["time_taken"] >= 0 and mine["method"] == "statevector" and mine["noise"] == "trajectories"
    assert result.results[0].metadata["active_input_qubits"] == [5, 17, 33]


def test_num_qubits_is_a_number_and_transpile_keeps_a_circuits_width():
    backend = Backend()
    assert isinstance(backend.num_qubits, int) and backend.num_qubits >= 20
    assert backend.num_qubits == AerSimulator().num_qubits  # both: the widest state the machine's memory holds
    assert transpile(ansatz(measured=True), backend).num_qubits == 3
