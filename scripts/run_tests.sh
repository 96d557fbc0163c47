#!/usr/bin/env bash
# Installs what is missing, builds the libraries, the C++ tests, the module
# and the adapter test harness once with CMake, runs ctest, then runs pytest
# against the module of that build tree (build/python holds the package
# tarnwick as an install would lay it out), ahead of any installed copy.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup_machine.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNWICK_BUILD_TESTS=ON -DTARNWICK_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build --parallel "$jobs"
ctest --test-dir build --output-on-failure --parallel "$jobs"

PYTHONPATH="$root/build/python${PYTHONPATH:+:$PYTHONPATH}" \
TARNWICK_ADAPTER_HARNESS_DIR="$root/build/tests/python" \
  python3 -m pytest -q -p no:cacheprovider
