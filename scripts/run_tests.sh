#!/usr/bin/env bash
# Installs what is missing, builds the libraries and the C++ tests, runs
# ctest, installs the Python module and runs pytest. Exits non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup_machine.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build --parallel "$jobs"
ctest --test-dir build --output-on-failure --parallel "$jobs"

if [ -f src/python/module.cpp ]; then
  python3 -m pip install --quiet --no-build-isolation .
  python3 -m pytest -q -p no:cacheprovider
fi
