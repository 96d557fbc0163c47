#!/usr/bin/env bash
# Builds the sdist, then from it a wheel for every supported CPython the
# machine has (3.11 to 3.14; see find_python in scripts/python_env.sh),
# repairs each with auditwheel to the most widely installable manylinux tag
# it satisfies and puts the sdist and the repaired wheels in dist/.
#
# The module is linked with the C++ library in it (pyproject.toml sets
# TARNWICK_STATIC_CXX_RUNTIME), so the wheels need no libstdc++ from the
# system. Built on Debian 12 (glibc 2.36) they are manylinux_2_34: the worker
# threads' pthread functions carry glibc 2.34's symbol versions, which only
# an older build host (a manylinux image; see [tool.cibuildwheel] in
# pyproject.toml) avoids.
#
# With --test, each wheel is installed with the test extra into a fresh
# virtual environment build/wheels/venv-3.X, and the pytest suite of this
# checkout runs against that installed package (with the adapter harness of
# a CMake build for the same interpreter: build/ when it has one, else one
# built in build-py3.X/). The summary line of every run is printed at the
# end. Exits non-zero on any failure.
#
#   scripts/build_wheels.sh [--test] [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/configure.sh
. scripts/configure.sh
# shellcheck source=scripts/python_env.sh
. scripts/python_env.sh
root=$(pwd)

test_wheels=false
if [ "${1:-}" = "--test" ]; then
  test_wheels=true
  shift
fi

scripts/setup_machine.sh >/dev/null
dev_venv
jobs=$(nproc 2>/dev/null || echo 2)
version=$(python - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as handle:
    print(tomllib.load(handle)["project"]["version"])
PY
)

mkdir -p dist build/wheels
rm -rf build/wheels/raw dist/tarnwick-"$version"*
echo "== the sdist"
python -m build --sdist --outdir dist . >build/wheels/sdist.log 2>&1 ||
  { tail -n 30 build/wheels/sdist.log >&2; exit 1; }
sdist=dist/tarnwick-$version.tar.gz
echo "$sdist: $(tar -tzf "$sdist" | wc -l) files"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
summary=()
status=0

# Runs the pytest suite of this checkout with the interpreter of venv $1,
# the harness from folder $2; records pytest's closing line.
run_pytest() {
  local venv=$1 harness=$2 wheel=$3 python_version log outcome=0
  shift 3
  python_version=$("$venv/bin/python" -c 'import platform; print(platform.python_version())')
  log="$logs/pytest-$python_version.log"
  echo "== pytest on Python $python_version against the installed $(basename "$wheel")"
  # Run from the project root, where no tarnwick package lies, so that the
  # import finds the installed one.
  env -u PYTHONPATH "$venv/bin/python" -c \
    'import tarnwick; print("tarnwick", tarnwick.__version__, "from", tarnwick.__path__[0])'
  env -u PYTHONPATH TARNWICK_ADAPTER_HARNESS_DIR="$root/$harness" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" 2>&1 | tee "$log" || outcome=$?
  [ "$outcome" -eq 0 ] || status=1
  summary+=("pytest on Python $python_version: $(tail -n 1 "$log")$([ "$outcome" -eq 0 ] || echo " (exit $outcome)")")
}

# The folder of an adapter harness built for interpreter $1: build/'s when it
# is for the same ABI, else one built in build-py3.X/ ($2).
harness_for() {
  local python=$1 build=$2 suffix
  suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  if [ -f "build/tests/python/_adapter_harness$suffix" ]; then
    echo build/tests/python
    return
  fi
  # An absolute interpreter path: CMake would take a relative one from the
  # build folder, miss it and fall back to whichever Python it finds first.
  # Debug compiles in half the time, and the harness's tests are small.
  configure "$build" Debug -DTARNWICK_BUILD_PYTHON=ON \
    -DTARNWICK_BUILD_BENCHMARKS=OFF -DPython_EXECUTABLE="$root/$python" &&
  cmake --build "$build" --parallel "$jobs" --target tarnwick_adapter_harness >&2 || return 1
  # The harness's tests skip when it cannot be imported; here that is a failure.
  if [ ! -f "$build/tests/python/_adapter_harness$suffix" ]; then
    echo "no adapter harness $build/tests/python/_adapter_harness$suffix was built" >&2
    return 1
  fi
  echo "$build/tests/python"
}

for minor in 3.11 3.12 3.13 3.14; do
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    summary+=("Python $minor: no wheel, no such interpreter here")
    continue
  fi
  venv=build/wheels/venv-$minor
  if $test_wheels; then
    # The fresh venv and its test packages download while the wheel compiles.
    echo "== a fresh $venv with the test packages (in the background)"
    prepare_log=build/wheels/venv-$minor.log
    mapfile -t requirements < <(test_requirements "$python")
    ( "$python" -m venv --clear "$venv" &&
      "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        "${requirements[@]}" ) >"$prepare_log" 2>&1 &
    preparing=$!
  fi
  echo "== the wheel for Python $minor ($python), from the sdist"
  log=build/wheels/build-$minor.log
  if ! "$python" -m pip wheel --no-deps --disable-pip-version-check \
      -w build/wheels/raw/"$minor" "$sdist" >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    status=1
    summary+=("Python $minor: the wheel did not build (log: $log)")
    $test_wheels && wait "$preparing" || true
    continue
  fi
  raw=$(ls build/wheels/raw/"$minor"/tarnwick-*.whl)
  auditwheel repair --plat auto -w dist "$raw" 2>&1 | grep -v '^INFO' || true
  wheel=$(ls dist/tarnwick-"$version"-cp"${minor/./}"-*manylinux*.whl 2>/dev/null | head -n 1)
  if [ -z "$wheel" ]; then
    status=1
    summary+=("Python $minor: auditwheel did not repair $raw")
    $test_wheels && wait "$preparing" || true
    continue
  fi
  summary+=("Python $minor: $wheel")
  $test_wheels || continue

  echo "== $(basename "$wheel") into $venv"
  if ! wait "$preparing"; then
    tail -n 30 "$prepare_log" >&2
  fi
  if "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel[test]" &&
     harness=$(harness_for "$venv/bin/python" "build-py$minor"); then
    run_pytest "$venv" "$harness" "$wheel" "$@"
  else
    status=1
    summary+=("pytest on Python $minor: not run, the installation or the harness build failed")
  fi
done

echo
printf '%s\n' "${summary[@]}"
exit "$status"
