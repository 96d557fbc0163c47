#!/usr/bin/env bash
# Builds the libraries, the C++ tests and the module with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-asan/, runs ctest there with leak
# detection on, then runs the pytest suite against the sanitized module of
# that build tree in the stock interpreter with the sanitizer runtimes
# preloaded. Last, builds the C++ fit tests with ThreadSanitizer into
# build-tsan/ and runs those of the threaded likelihood pass and its worker
# threads there. Any sanitizer report fails the run. Exits non-zero on any
# failure.
#
#   scripts/run_sanitizers.sh              ctest and the whole pytest suite
#   scripts/run_sanitizers.sh -k cache     extra arguments go to pytest, e.g.
#                                          test files or a -k selection
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/configure.sh
. scripts/configure.sh
# shellcheck source=scripts/python_env.sh
. scripts/python_env.sh
root=$(pwd)

scripts/setup_machine.sh
dev_venv

# Debug: no compiler optimisation removes what the sanitizers should see, and
# the sanitized build compiles about three times faster than RelWithDebInfo.
build=build-asan
jobs=$(nproc 2>/dev/null || echo 2)
configure "$build" Debug -DTARNWICK_SANITIZE=ON -DTARNWICK_BUILD_PYTHON=ON \
  -DTARNWICK_BUILD_BENCHMARKS=OFF -DPython_EXECUTABLE="$(command -v python3)"
cmake --build "$build" --parallel "$jobs"

# The C++ tests: every leak is a failure, every UBSan finding halts the test.
ASAN_OPTIONS=detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$build" --output-on-failure --parallel "$jobs"

# The pytest suite. The interpreter is not built with ASan, so the runtime is
# preloaded ahead of it; the interpreter's own allocations at exit are not
# ours to judge, hence no leak detection here. PYTHONMALLOC=malloc routes
# Python objects through the sanitized malloc so that misuse of them is seen
# too. The package and the adapter harness come from the build tree, the
# package ahead of any installed copy.
libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
for library in "$libasan" "$libubsan"; do
  [ -f "$library" ] || { echo "missing sanitizer runtime: $library" >&2; exit 1; }
done
package_dir="$root/$build/python"
harness_dir="$root/$build/tests/python"
sanitized_python() {
  LD_PRELOAD="$libasan:$libubsan" \
  ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONMALLOC=malloc \
  PYTHONPATH="$package_dir${PYTHONPATH:+:$PYTHONPATH}" \
  TARNWICK_ADAPTER_HARNESS_DIR="$harness_dir" \
  TARNWICK_UNDER_SANITIZER=1 \
    python3 "$@"
}

# A run against an installed, unsanitized copy would pass for the wrong reason.
sanitized_python - "$package_dir/tarnwick" "$harness_dir" <<'PY'
import os
import sys

sys.path.insert(0, sys.argv[2])
import _adapter_harness
import tarnwick

for module, folder in ((tarnwick, sys.argv[1]), (_adapter_harness, sys.argv[2])):
    if os.path.dirname(module.__file__) != folder:
        sys.exit(f"imported {module.__file__}, not the sanitized build in {folder}")
PY

# The sanitizers write their reports to file descriptor 2 and then end the
# process, before pytest could show what it captured there, so nothing is
# captured. The tests that start interpreters of their own check their exit
# status.
sanitized_python -m pytest -q -p no:cacheprovider --capture=no "$@"

# ThreadSanitizer, which cannot share a build with ASan: the libraries and the
# fit tests only, Debug for the same reasons as above. The first report ends
# the test that made it, which then fails; a filter that matches no test
# fails too.
tsan_build=build-tsan
configure "$tsan_build" Debug -DTARNWICK_TSAN=ON -DTARNWICK_BUILD_PYTHON=OFF \
  -DTARNWICK_BUILD_BENCHMARKS=OFF
cmake --build "$tsan_build" --parallel "$jobs" --target fit_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$tsan_build" --output-on-failure --parallel "$jobs" --no-tests=error \
    --tests-regex '^(LikelihoodPass|WorkerThreads)\.'
