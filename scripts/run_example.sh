#!/usr/bin/env bash
# Builds tarnwick into a virtual environment and runs the quickstart example,
# which prints the fit, its closure checks and the signal lifetime, and
# writes its two figures to examples/figures/. Needs no root, test tools or
# valgrind: only python3 (3.11 or newer, with venv) and a C++23 compiler
# (g++ 12 or newer); Eigen, CMake and Ninja come from PyPI when the system
# has none. The environment is .venv in the project (another path
# with TARNWICK_VENV); extra arguments go to the quickstart. Exits non-zero
# on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

# The build needs a C++ compiler; pip fetches the rest (scikit-build-core,
# NumPy, Eigen from cmeel-eigen, CMake and Ninja when the system has none).
if ! command -v "${CXX:-g++}" >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++
  else
    echo "The build needs a C++23 compiler (g++ 12 or clang 16 or newer). On Debian or Ubuntu:" >&2
    echo "  sudo apt-get install g++" >&2
    echo "(in conda: conda install -c conda-forge cxx-compiler)" >&2
    exit 1
  fi
fi

venv=${TARNWICK_VENV:-.venv}
if [ ! -x "$venv/bin/python" ]; then
  echo "== creating the virtual environment $venv"
  python3 -m venv "$venv"
fi
echo "== installing matplotlib, tqdm and SciPy (the example's figures, progress bars and Kendall's tau)"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check matplotlib tqdm scipy
echo "== building and installing tarnwick (pip install .; the compiler's progress follows)"
log="$venv/tarnwick-build.log"
set +e
"$venv/bin/python" -m pip install --disable-pip-version-check --verbose . 2>&1 | tee "$log" |
  grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\]|^ *-- (Configuring|Build files)|Successfully installed'
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log" >&2
  echo "the build failed; the whole log is in $log" >&2
  exit "$status"
fi
echo "== running examples/quickstart.py"
"$venv/bin/python" examples/quickstart.py "$@"
