#!/usr/bin/env bash
# Builds the sdist, then from it a wheel for every supported CPython the
# machine has (3.11 to 3.14; see find_python in scripts/python_env.sh),
# repairs each with auditwheel to manylinux_2_28 and puts the sdist and the
# repaired wheels in dist/.
#
# The wheels are compiled by zig's clang (the `ziglang` package from PyPI,
# pinned in scripts/python_env.sh) for glibc 2.28, whatever the host's glibc:
# zig links against stubs of that version's symbols and links its own libc++
# into the module, so the wheels need no libstdc++ or libgcc_s of the system
# and install on glibc 2.28 and newer. The tag is set, not chosen by
# auditwheel: the module would pass for an older one, but the vector
# logarithms are exact only against the log of glibc 2.28 and later. Four
# one-line wrappers (cc, c++, ar, ranlib) in build/wheels/zig/ hand the
# target to zig; zig's cache of compiled files is build/zig-cache.
#
# Every wheel is built in the same folders, the unpacked sdist in
# build/wheels/src and the CMake tree build/wheels/cmake, with the Eigen of
# build/venv: the files that do not see Python then compile the same for
# every interpreter, and are compiled once (and by zig's cache, once across
# runs too).
#
# With --test, each wheel is installed with the test extra into a fresh
# virtual environment build/wheels/venv-3.X, and the pytest suite of this
# checkout runs against that installed package (with the adapter harness of
# a CMake build with the system compiler for the same interpreter: build/
# when it has one, else one built in build-py3.X/). The summary line of
# every run is printed at the end. Exits non-zero on any failure.
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
rm -rf build/wheels/raw build/wheels/src build/wheels/cmake dist/tarnwick-"$version"*
echo "== the sdist"
python -m build --sdist --outdir dist . >build/wheels/sdist.log 2>&1 ||
  { tail -n 30 build/wheels/sdist.log >&2; exit 1; }
sdist=dist/tarnwick-$version.tar.gz
echo "$sdist: $(tar -tzf "$sdist" | wc -l) files"
mkdir -p build/wheels/src
tar -xzf "$sdist" -C build/wheels/src --strip-components=1

# The wrappers that make zig the compiler, archiver and indexer for glibc
# 2.28, run by build/venv's interpreter, which has the pinned ziglang. It
# runs isolated (-I): pip's build environment sets a PYTHONPATH that hides
# the site-packages of the interpreter building the wheel, which may be
# build/venv's own.
zig=$root/build/wheels/zig
mkdir -p "$zig"
for tool in cc c++ ar ranlib; do
  target=""
  case $tool in cc | c++) target=" -target x86_64-linux-gnu.2.28" ;; esac
  printf '#!/bin/sh\nexec "%s" -I -m ziglang %s%s "$@"\n' \
    "$root/build/venv/bin/python" "$tool" "$target" >"$zig/$tool"
  chmod +x "$zig/$tool"
done
export ZIG_GLOBAL_CACHE_DIR=$root/build/zig-cache ZIG_LOCAL_CACHE_DIR=$root/build/zig-cache
echo "zig $(python -m ziglang version) for x86_64-linux-gnu.2.28 (cache $ZIG_GLOBAL_CACHE_DIR)"
# The Eigen of build/venv (cmeel-eigen, a build requirement) for every wheel
# and harness: one include path for all of them.
eigen=$(python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/cmeel.prefix/share/eigen3/cmake

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

# Builds the wheel of interpreter $1 from build/wheels/src into folder $2
# with zig, the whole output in log $3; prints CMake's steps and the
# compiler's progress as they come.
build_wheel() {
  local python=$1 out=$2 log=$3 outcome
  CC=$zig/cc CXX=$zig/c++ "$python" -m pip wheel -v --no-deps --disable-pip-version-check \
    -w "$out" -C build-dir="$root/build/wheels/cmake" \
    -C cmake.define.CMAKE_AR="$zig/ar" -C cmake.define.CMAKE_RANLIB="$zig/ranlib" \
    -C cmake.define.Eigen3_DIR="$eigen" build/wheels/src 2>&1 |
    tee "$log" | grep --line-buffered -E '^ *(\[[0-9]+/[0-9]+\] |-- (Configuring|Generating) done)' |
    sed -u 's/^ */  /'
  outcome=("${PIPESTATUS[@]}")
  [ "${outcome[0]}" -eq 0 ]
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
  # The Eigen of build/venv, as for the wheels: the test venv has none.
  configure "$build" Debug -DTARNWICK_BUILD_PYTHON=ON -DTARNWICK_BUILD_BENCHMARKS=OFF \
    -DPython_EXECUTABLE="$root/$python" -DEigen3_DIR="$eigen" &&
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
  echo "== the wheel for Python $minor ($python), from the sdist, with zig"
  log=build/wheels/build-$minor.log
  start=$SECONDS
  if ! build_wheel "$python" build/wheels/raw/"$minor" "$log"; then
    tail -n 30 "$log" >&2
    status=1
    summary+=("Python $minor: the wheel did not build (log: $log)")
    $test_wheels && wait "$preparing" || true
    continue
  fi
  raw=$(ls build/wheels/raw/"$minor"/tarnwick-*.whl)
  auditwheel repair --only-plat --plat manylinux_2_28_x86_64 -w dist "$raw" 2>&1 |
    grep -v '^INFO' || true
  wheel=$(ls dist/tarnwick-"$version"-cp"${minor/./}"-*manylinux*.whl 2>/dev/null | head -n 1)
  if [ -z "$wheel" ]; then
    status=1
    summary+=("Python $minor: auditwheel did not repair $raw")
    $test_wheels && wait "$preparing" || true
    continue
  fi
  summary+=("Python $minor: $wheel (built in $((SECONDS - start)) s)")
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
