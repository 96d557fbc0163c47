#!/usr/bin/env bash
# Builds the libraries, the C++ tests and the module with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-asan/ and runs ctest there with leak
# detection on: the C++ tests and the pytest suite against the sanitized
# module, in the stock interpreter with the sanitizer runtimes preloaded
# (tests/CMakeLists.txt; the tests marked heavy, slow repetitions of paths
# the others take, are left out). Then builds the C++ fit tests with
# ThreadSanitizer into build-tsan/ and runs those of the threaded likelihood
# pass, the gradient's points and the native models on worker threads
# there. Any sanitizer report fails the run.
# Exits non-zero on any failure.
#
#   scripts/run_sanitizers.sh              ctest and the pytest suite
#   scripts/run_sanitizers.sh -k cache     extra arguments go to pytest, e.g.
#                                          a -k selection
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/configure.sh
. scripts/configure.sh
# shellcheck source=scripts/python_env.sh
. scripts/python_env.sh

scripts/setup_machine.sh
dev_venv
export PYTEST_ADDOPTS="${*:-}"
jobs=$(nproc 2>/dev/null || echo 2)
status=0
summary=()
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# ctest in tree $1 with the environment and arguments that follow it (as
# VAR=value words, then ctest's); records its closing line and pytest's.
run_ctest() {
  local tree=$1
  shift
  local environment=()
  while [ $# -gt 0 ] && [[ $1 == *=* ]]; do environment+=("$1"); shift; done
  env "${environment[@]}" ctest --test-dir "$tree" --output-on-failure --parallel "$jobs" "$@" \
    2>&1 | tee "$log" || status=1
  summary+=("ctest in $tree: $(grep -E 'tests passed' "$log" || echo 'no summary')")
  if [ -f "$tree/tests/pytest-summary.txt" ]; then
    summary+=("$(cat "$tree/tests/pytest-summary.txt") (sanitized)")
    rm -f "$tree/tests/pytest-summary.txt"
  fi
}

# Debug: no compiler optimisation removes what the sanitizers should see.
# The interpreter is build/venv's, which has the test packages.
echo "== build-asan/: everything with AddressSanitizer and UndefinedBehaviorSanitizer"
configure build-asan Debug -DTARNWICK_SANITIZE=ON -DTARNWICK_BUILD_PYTHON=ON \
  -DTARNWICK_BUILD_BENCHMARKS=OFF -DPython_EXECUTABLE="$(pwd)/build/venv/bin/python"
cmake --build build-asan --parallel "$jobs"
# Every leak of the C++ tests is a failure, every UBSan finding halts the test.
run_ctest build-asan ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# ThreadSanitizer, which cannot share a build with ASan: the libraries and the
# fit tests only, Debug for the same reasons as above. The first report ends
# the test that made it, which then fails; a filter that matches no test
# fails too.
echo "== build-tsan/: the fit tests with ThreadSanitizer"
configure build-tsan Debug -DTARNWICK_TSAN=ON -DTARNWICK_BUILD_PYTHON=OFF \
  -DTARNWICK_BUILD_BENCHMARKS=OFF
cmake --build build-tsan --parallel "$jobs" --target fit_tests
run_ctest build-tsan TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  --no-tests=error --tests-regex '^(LikelihoodPass|WorkerThreads|NativeFactors)\.'

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$status"
