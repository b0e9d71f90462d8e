#!/usr/bin/env bash
# Runs the C++ and the Python tests against an AddressSanitizer + UBSan build
# (`make test-asan`); fails on any sanitizer report. Usage:
#   tools/run_asan.sh PYTHON [pytest arguments...]
# PYTHON must have numpy, pytest and hypothesis. JOBS sets build parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=$(realpath -s "$(command -v "${1:?usage: $0 PYTHON [pytest args...]}")")  # absolute, for CMake
shift
build=build/asan-cpp   # C++ tests and the module, one instrumented build
site=build/py-asan     # the module installed with its stubs, put on PYTHONPATH
logs=build/asan-logs   # one file per process that reported anything

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
  -DVORN_SANITIZE=ON -DVORN_BUILD_PYTHON=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
rm -rf "$site" "$logs"
cmake --install "$build" --prefix "$site" >/dev/null
mkdir -p "$logs"

# Reports go to files so that tests which read a child's stderr are not
# disturbed, and so that reports from child processes are not lost.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:allocator_may_return_null=1:log_path=$root/$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$root/$logs/ubsan"
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0"

fail() {
  echo "test-asan: $*" >&2
  for f in "$logs"/*; do [ -e "$f" ] && { echo "--- $f" >&2; head -n 60 "$f" >&2; }; done
  exit 1
}

echo "== C++ tests (ASan + UBSan)"
# Once, on the two-thread pool: `make test` runs the suite on one- and
# two-thread pools, and under the sanitizer the second size added half a
# minute of CI and no code the first run does not reach.
ctest --test-dir "$build" --output-on-failure -E cpp_tests_pool1 || fail "C++ tests failed"

# The interpreter is not instrumented: the ASan runtime must be loaded first,
# and libstdc++ with it so that ASan finds the real __cxa_throw at start-up.
# PYTHONMALLOC=malloc sends every Python object through ASan's allocator.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
run_py() { LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$root/$site" "$python" "$@"; }

# The leak check must be live: a deliberate native leak has to be reported.
if run_py -c 'import ctypes; ctypes.CDLL(None).malloc(4242)' 2>/dev/null \
   || ! grep -qs "4242 byte(s) in 1 object" "$logs"/asan.*; then
  fail "the leak canary was not reported: leak checking is not working"
fi
rm -f "$logs"/*

module=$(run_py -c 'import vorn_python; print(vorn_python.__file__)')
case "$module" in "$root/$site"/*) ;; *) fail "imported $module instead of the ASan build";; esac

echo "== Python tests (ASan + UBSan preloaded)"
run_py -m pytest -q -p no:cacheprovider "$@" || fail "Python tests failed"

if compgen -G "$logs/*" >/dev/null; then fail "sanitizer reports found"; fi
echo "test-asan: no sanitizer reports"
