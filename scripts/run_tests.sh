#!/usr/bin/env bash
# The whole test suite, needing no root but for GoogleTest (and ccache) when
# the system lacks them (scripts/setup_machine.sh). Every source compiles
# once per set of flags: the trees of other Pythons link build/'s libraries.
#
# 1. The project's virtual environment build/venv with CMake, Ninja, Eigen
#    (cmeel-eigen, when the system has no Eigen 3.4), NumPy and the test
#    packages; in the background, a fresh virtual environment with the test
#    packages for every other supported Python the machine has (3.12 to
#    3.14) but the newest, and zig's C++ runtime for the newest one's wheel.
# 2. The libraries, the C++ tests and the module built with CMake in build/
#    for build/venv's Python, and ctest there: the C++ tests and, as one of
#    its entries, the pytest suite against that tree's module.
# 3. For every other Python but the newest, the module alone built in
#    build-py3.X/, linking the libraries of build/ (they do not see Python),
#    and the pytest suite against it in that Python's environment.
# 4. For the newest: scripts/build_wheels.sh --test --python 3.X, the sdist,
#    a manylinux wheel from it, installed into a fresh environment where the
#    suite runs against the installed package.
#
# The summary lines of ctest and of every pytest run are printed at the end.
# Extra arguments go to pytest. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/configure.sh
. scripts/configure.sh
# shellcheck source=scripts/python_env.sh
. scripts/python_env.sh
root=$(pwd)

scripts/setup_machine.sh
dev_venv
export PYTEST_ADDOPTS="${*:-}"
jobs=$(nproc 2>/dev/null || echo 2)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
status=0
summary=()

# The other Pythons, oldest first; the newest is tested through its wheel.
others=()
for minor in 3.12 3.13 3.14; do
  [ -n "$(find_python "$minor")" ] && others+=("$minor")
done
wheel_python=""
if [ ${#others[@]} -gt 0 ]; then
  wheel_python=${others[-1]}
  unset 'others[-1]'
fi

# What downloads or compiles while the main tree builds.
declare -A preparing
for minor in "${others[@]}"; do
  echo "== a fresh build/test-venvs/$minor with the test packages (in the background)"
  test_venv "$(find_python "$minor")" "build/test-venvs/$minor" >"$logs/venv-$minor.log" 2>&1 &
  preparing[$minor]=$!
done
if [ -n "$wheel_python" ]; then
  echo "== zig's C++ runtime for the wheel (in the background)"
  scripts/build_wheels.sh --prepare-compiler >"$logs/zig.log" 2>&1 &
  preparing[zig]=$!
fi

# Waits for background job $1 (log $2); prints the log's end if it failed.
wait_for() {
  wait "${preparing[$1]}" && return 0
  echo "preparing $1 failed:" >&2
  tail -n 30 "$2" >&2
  return 1
}

# ctest in tree $1 (extra ctest arguments follow); records the summaries.
run_ctest() {
  local tree=$1 outcome=0
  shift
  ctest --test-dir "$tree" --output-on-failure --parallel "$jobs" "$@" 2>&1 |
    tee "$logs/ctest.log" || outcome=1
  [ "$outcome" -eq 0 ] || status=1
  summary+=("ctest in $tree: $(grep -E 'tests passed' "$logs/ctest.log" || echo 'no summary')")
  if [ -f "$tree/tests/pytest-summary.txt" ]; then
    summary+=("$(cat "$tree/tests/pytest-summary.txt")")
    rm -f "$tree/tests/pytest-summary.txt"
  fi
}

echo "== build/: the libraries, the C++ tests and the module"
configure build Release -DTARNWICK_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$root/build/venv/bin/python"
cmake --build build --parallel "$jobs"
run_ctest build

for minor in "${others[@]}"; do
  echo "== build-py$minor/: the module for Python $minor, and the pytest suite"
  if wait_for "$minor" "$logs/venv-$minor.log" &&
     configure "build-py$minor" Release -DTARNWICK_BUILD_PYTHON=ON \
       -DTARNWICK_BUILD_BENCHMARKS=OFF \
       -DPython_EXECUTABLE="$root/build/test-venvs/$minor/bin/python" -DEigen3_DIR="$(venv_eigen)" \
       -DTARNWICK_LIBRARIES_FROM="$root/build" &&
     cmake --build "build-py$minor" --parallel "$jobs" --target tarnwick_python; then
    run_ctest "build-py$minor" --tests-regex '^Python\.Suite$'
  else
    status=1
    summary+=("pytest on Python $minor: not run, the environment or the build failed")
  fi
done

if [ -n "$wheel_python" ]; then
  if wait_for zig "$logs/zig.log"; then
    scripts/build_wheels.sh --test --python "$wheel_python" 2>&1 | tee "$logs/wheel.log" ||
      status=1
    mapfile -t lines < <(sed -n '/^== summary$/,$p' "$logs/wheel.log" | tail -n +2)
    summary+=("${lines[@]}")
  else
    status=1
    summary+=("Python $wheel_python: no wheel tested, zig failed")
  fi
fi

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$status"
