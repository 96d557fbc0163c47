#!/usr/bin/env bash
# Installs what the build and the test and memory checks need, skipping what
# is already there: Debian's Eigen, GoogleTest, Ninja and valgrind, then the
# Python build and test packages (with matplotlib, tqdm and dask, so that the
# tests of tarnwick.diagnostics run rather than skip, and iminuit for the
# comparisons of fit quality). Used by the test,
# sanitizer and valgrind scripts; the example does not need it. Safe to run
# again.
#
#   scripts/setup_machine.sh                  the above, for python3
#   scripts/setup_machine.sh PYTHON...        only what building the module and
#                                             running the pytest suite need,
#                                             for each interpreter PYTHON
set -euo pipefail

# Interpreters named: NumPy (also for its C headers), pytest and hypothesis;
# the other packages stay out, and the tests that need them skip.
if [ $# -gt 0 ]; then
  for python in "$@"; do
    missing=$("$python" - <<'PY'
import importlib.util
wanted = {"numpy": "numpy>=2.0", "pytest": "pytest>=7", "hypothesis": "hypothesis>=6"}
print(" ".join(spec for name, spec in wanted.items() if importlib.util.find_spec(name) is None))
PY
)
    if [ -n "$missing" ]; then
      # shellcheck disable=SC2086
      PIP_ROOT_USER_ACTION=ignore "$python" -m pip install --quiet $missing
    fi
  done
  exit 0
fi

need_apt=()
[ -f /usr/include/eigen3/Eigen/Core ] || need_apt+=(libeigen3-dev)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v ninja >/dev/null 2>&1 || need_apt+=(ninja-build)
command -v valgrind >/dev/null 2>&1 || need_apt+=(valgrind)
if [ ${#need_apt[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

missing=$(python3 - <<'PY'
import importlib.util
wanted = {"scikit_build_core": "scikit-build-core>=0.10", "numpy": "numpy>=2.0",
          "cmake": "cmake>=3.25", "pytest": "pytest>=7", "hypothesis": "hypothesis>=6",
          "scipy": "scipy>=1.10", "mypy": "mypy>=1.5", "matplotlib": "matplotlib>=3.7",
          "tqdm": "tqdm", "dask": "dask[array]", "iminuit": "iminuit>=2.20"}
print(" ".join(spec for name, spec in wanted.items() if importlib.util.find_spec(name) is None))
PY
)
if [ -n "$missing" ]; then
  # shellcheck disable=SC2086
  python3 -m pip install --quiet $missing
fi
