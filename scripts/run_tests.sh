#!/usr/bin/env bash
# Installs what is missing, builds the libraries, the C++ tests, the module
# and the adapter test harness once with CMake, runs ctest, then runs pytest
# against the module of that build tree (build/python holds the package
# tarnwick as an install would lay it out), ahead of any installed copy.
#
# Then the pytest suite again on every other supported Python (3.11 to 3.14)
# that the machine has: python3.X on PATH, or else the newest of pyenv's
# 3.X.* installs. Each gets the packages the suite needs and the module and
# the harness built for it alone in build-py3.X/ (the C++ tests do not depend
# on the interpreter and ran above). The pytest summary of every interpreter
# is repeated at the end. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/configure.sh
. scripts/configure.sh
root=$(pwd)

scripts/setup_machine.sh

jobs=$(nproc 2>/dev/null || echo 2)
configure build RelWithDebInfo -DTARNWICK_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$(command -v python3)"
cmake --build build --parallel "$jobs"
ctest --test-dir build --output-on-failure --parallel "$jobs"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
summary=()
status=0

# Runs the pytest suite with interpreter $1 against build tree $2; records
# the closing line of pytest under the interpreter's version.
run_pytest() {
  local python=$1 build=$2 version log outcome=0
  version=$("$python" -c 'import platform; print(platform.python_version())')
  log="$logs/pytest-$version.log"
  echo "== pytest on Python $version ($python)"
  PYTHONPATH="$root/$build/python${PYTHONPATH:+:$PYTHONPATH}" \
  TARNWICK_ADAPTER_HARNESS_DIR="$root/$build/tests/python" \
    "$python" -m pytest -q -p no:cacheprovider 2>&1 | tee "$log" || outcome=$?
  [ "$outcome" -eq 0 ] || status=1
  summary+=("pytest on Python $version: $(tail -n 1 "$log")$([ "$outcome" -eq 0 ] || echo " (exit $outcome)")")
}

# The interpreter of Python $1 (3.X), or nothing when the machine has none. A
# pyenv shim of a version that is not selected fails to run and is passed
# over; so is a free-threaded build, a different interpreter.
find_python() {
  local minor=$1 candidate
  local pyenv_versions="${PYENV_ROOT:-$HOME/.pyenv}/versions"
  for candidate in "$(command -v "python$minor" || true)" \
      $(ls -d "$pyenv_versions/$minor".*/bin/"python$minor" 2>/dev/null | sort -rV); do
    if [ -n "$candidate" ] && "$candidate" -c "
import sys, sysconfig
wanted = tuple(int(part) for part in '$minor'.split('.'))
sys.exit(sys.version_info[:2] != wanted or bool(sysconfig.get_config_var('Py_GIL_DISABLED')))
" >/dev/null 2>&1; then
      echo "$candidate"
      return
    fi
  done
}

run_pytest python3 build

default_minor=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
for minor in 3.11 3.12 3.13 3.14; do
  [ "$minor" != "$default_minor" ] || continue
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    summary+=("pytest on Python $minor: not run, no such interpreter here")
    continue
  fi
  build="build-py$minor"
  echo "== Python $minor: the module and the adapter harness in $build/"
  if scripts/setup_machine.sh "$python" &&
     configure "$build" RelWithDebInfo -DTARNWICK_BUILD_PYTHON=ON \
       -DTARNWICK_BUILD_BENCHMARKS=OFF -DPython_EXECUTABLE="$python" &&
     cmake --build "$build" --parallel "$jobs" --target tarnwick_python tarnwick_adapter_harness
  then
    run_pytest "$python" "$build"
  else
    status=1
    summary+=("pytest on Python $minor: not run, the setup or the build failed")
  fi
done

echo
printf '%s\n' "${summary[@]}"
exit "$status"
