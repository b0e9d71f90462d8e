#!/usr/bin/env bash
# Installs a wheel into a fresh venv, as a user would, and runs the smoke
# suite there (tests/wheel/test_wheel_smoke.py). `make test-wheel` runs this
# under tools/without_system_tbb.sh, so only the tbb package's oneTBB exists.
# Usage: tests/wheel/run_smoke.sh WHEEL PYTHON3.13
set -euo pipefail
wheel=$(realpath "${1:?usage: $0 WHEEL PYTHON}")
python=${2:?usage: $0 WHEEL PYTHON}
cd "$(dirname "$0")/../.."
venv=build/wheel/venv

rm -rf "$venv"
"$python" -m venv "$venv"
# The [qiskit] extra: the suite checks that Qiskit and vorn share the process
# with one oneTBB. No --no-index: the dependencies come from PyPI (or the cache).
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[qiskit]" pytest
# -p no:cacheprovider: nothing written into the tree; -rP: print the
# oneTBB that /proc/self/maps showed. The source tree's python/ is not on
# sys.path, so the modules can only come from the venv.
"$venv/bin/python" -m pytest -q -p no:cacheprovider -rP tests/wheel/test_wheel_smoke.py
