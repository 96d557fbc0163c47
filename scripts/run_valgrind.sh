#!/usr/bin/env bash
# Runs the C++ test executables under valgrind's memcheck: any invalid read
# or write, use of uninitialised memory in a branch, bad free or definitely
# lost block fails the run. Builds them in RelWithDebInfo into
# build-valgrind/. Exits non-zero on any failure.
#
#   scripts/run_valgrind.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/configure.sh
. scripts/configure.sh
# shellcheck source=scripts/python_env.sh
. scripts/python_env.sh

scripts/setup_machine.sh --valgrind
dev_venv

build=build-valgrind
jobs=$(nproc 2>/dev/null || echo 2)
configure "$build" RelWithDebInfo -DTARNWICK_BUILD_PYTHON=OFF -DTARNWICK_BUILD_BENCHMARKS=OFF
cmake --build "$build" --parallel "$jobs" --target numerics_tests optimizer_tests fit_tests

# The death tests of the linear algebra fork; their children abort on
# purpose and are checked by memcheck like the parent.
memcheck=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full
          --errors-for-leak-kinds=definite --show-leak-kinds=definite)
status=0
for executable in tests/numerics/numerics_tests tests/optimizer/optimizer_tests tests/fit/fit_tests; do
  log="$build/$(basename "$executable").memcheck.log"
  start=$SECONDS
  if "${memcheck[@]}" --log-file="$log" "$build/$executable" --gtest_brief=1; then
    verdict=clean
  else
    verdict="FAILED (see $log)"
    status=1
  fi
  echo "memcheck $(basename "$executable"): $verdict," \
       "$(grep -h 'ERROR SUMMARY' "$log" | tail -n 1 | sed 's/^==[0-9]*== //')," \
       "$((SECONDS - start)) s"
done
exit "$status"
