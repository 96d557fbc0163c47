#!/usr/bin/env bash
# Configures the project in scratch folders with one requirement taken away
# and checks that configuring stops with the message that says what to do:
#   1. a compiler whose standard library has no std::expected (the real
#      compiler behind a wrapper that forces -std=c++20);
#   2. no Eigen anywhere (every Eigen3 lookup disabled);
# and that, with the system's Eigen hidden, the copy under a cmeel.prefix
# folder on the interpreter's path is found instead (a fake site-packages
# whose cmeel.prefix holds the system's Eigen package files, so that no
# network is needed).
#
#   configure_checks.sh SOURCE_DIR CMAKE GENERATOR CXX EIGEN3_DIR EIGEN_INCLUDE_DIR
set -uo pipefail
src=$1 cmake=$2 generator=$3 cxx=$4 eigen_dir=$5 eigen_include=$6

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
python=$(command -v python3)
failures=0

# configure NAME [cmake options...]: configures into $scratch/NAME, output
# in $scratch/NAME.log; returns cmake's exit status.
configure() {
  local name=$1
  shift
  "$cmake" -S "$src" -B "$scratch/$name" -G "$generator" \
    -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_PYTHON=OFF -DTARNWICK_BUILD_BENCHMARKS=OFF \
    -DPython_EXECUTABLE="$python" "$@" >"$scratch/$name.log" 2>&1
}

fail() {
  echo "FAIL: $1"
  sed 's/^/    /' "$2"
  failures=$((failures + 1))
}

# expect_failure NAME TEXT...: the configure NAME failed and its output
# holds every TEXT (CMake wraps messages, so whitespace is joined first).
expect_failure() {
  local name=$1 text log=$scratch/$1.log
  shift
  if [[ ${status[$name]} -eq 0 ]]; then
    fail "$name: configuring succeeded" "$log"
    return
  fi
  local joined
  joined=$(tr -s ' \n' ' ' <"$log")
  for text in "$@"; do
    if [[ $joined != *"$text"* ]]; then
      fail "$name: the output lacks \"$text\"" "$log"
      return
    fi
  done
  echo "ok: $name"
}

declare -A status

# 1. No std::expected: the flag the wrapper adds last wins over CMake's.
printf '#!/bin/sh\nexec "%s" "$@" -std=c++20\n' "$cxx" >"$scratch/cxx20"
chmod +x "$scratch/cxx20"
configure no_expected -DCMAKE_CXX_COMPILER="$scratch/cxx20"
status[no_expected]=$?
expect_failure no_expected "lacks C++23 with <expected>" "g++ 12" "clang 16" \
  "CXX=g++-13 pip install ."

# 2. No Eigen: both the system lookup and the cmeel.prefix one are disabled.
configure no_eigen -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_DISABLE_FIND_PACKAGE_Eigen3=ON
status[no_eigen]=$?
expect_failure no_eigen "Eigen 3.4 was not found" "pip install cmeel-eigen" \
  "libeigen3-dev" "conda-forge eigen"

# 3. The system's Eigen hidden (its prefix ignored), a cmeel.prefix on the
#    interpreter's path: that one is used.
system_prefix=$(cd "$eigen_dir/../../.." && pwd)
cmeel=$scratch/site/cmeel.prefix
mkdir -p "$cmeel/share/eigen3/cmake" "$cmeel/include"
cp "$eigen_dir"/*.cmake "$cmeel/share/eigen3/cmake/"
ln -s "$eigen_include" "$cmeel/include/eigen3"
PYTHONPATH="$scratch/site" configure pypi_eigen -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_IGNORE_PREFIX_PATH="$system_prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
status[pypi_eigen]=$?
if [[ ${status[pypi_eigen]} -ne 0 ]]; then
  fail "pypi_eigen: configuring failed" "$scratch/pypi_eigen.log"
elif ! grep -q "Eigen [0-9.]*: $cmeel/share/eigen3/cmake" "$scratch/pypi_eigen.log"; then
  fail "pypi_eigen: Eigen was not taken from $cmeel" "$scratch/pypi_eigen.log"
else
  echo "ok: pypi_eigen"
fi

exit $((failures > 0))
