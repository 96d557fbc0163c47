#!/usr/bin/env bash
# The whole test suite, needing no root but for GoogleTest when the system
# lacks it (scripts/setup_machine.sh):
#
# 1. the project's virtual environment build/venv with CMake, Ninja, Eigen
#    (cmeel-eigen, when the system has no Eigen 3.4), NumPy and the test
#    packages;
# 2. the libraries, the C++ tests, the module and the adapter harness built
#    once with CMake in build/, and ctest;
# 3. scripts/build_wheels.sh --test: the sdist, a repaired wheel from it for
#    every supported Python the machine has (3.11 to 3.14), each installed
#    into a fresh virtual environment where the pytest suite runs against
#    the installed package.
#
# The summary lines of ctest and of every pytest run are printed at the end.
# Extra arguments go to pytest. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/configure.sh
. scripts/configure.sh
# shellcheck source=scripts/python_env.sh
. scripts/python_env.sh

scripts/setup_machine.sh
dev_venv

jobs=$(nproc 2>/dev/null || echo 2)
status=0
configure build RelWithDebInfo -DTARNWICK_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$(pwd)/build/venv/bin/python"
cmake --build build --parallel "$jobs"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
ctest --test-dir build --output-on-failure --parallel "$jobs" 2>&1 | tee "$log" || status=1

scripts/build_wheels.sh --test "$@" || status=1

echo
echo "ctest: $(grep -E 'tests passed' "$log" || echo 'no summary')"
exit "$status"
