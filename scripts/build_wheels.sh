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
# The sources of a target compile in batches, each as one file (CMake's
# unity build), as in the test trees: a third of the compile time.
#
# With --test, each wheel is installed with the test extra into a fresh
# virtual environment build/test-venvs/3.X, and the pytest suite of this
# checkout runs against that installed package. The summary line of every
# run is printed at the end, after a line "== summary". --python 3.X builds
# (and tests) the wheel of that Python alone. --prepare-compiler only
# writes zig's wrappers and compiles a small C++ program with them, which
# fills zig's cache with its C++ runtime for the target (a minute, once),
# and exits. Exits non-zero on any failure.
#
#   scripts/build_wheels.sh [--test] [--python 3.X] [pytest arguments...]
#   scripts/build_wheels.sh --prepare-compiler
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/python_env.sh
. scripts/python_env.sh
root=$(pwd)

test_wheels=false
prepare_only=false
minors=(3.11 3.12 3.13 3.14)
while [ $# -gt 0 ]; do
  case $1 in
    --test) test_wheels=true ;;
    --python) minors=("$2"); shift ;;
    --prepare-compiler) prepare_only=true ;;
    *) break ;;
  esac
  shift
done

scripts/setup_machine.sh >/dev/null
dev_venv
jobs=$(nproc 2>/dev/null || echo 2)
version=$(python - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as handle:
    print(tomllib.load(handle)["project"]["version"])
PY
)

mkdir -p build/wheels
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
if $prepare_only; then
  # Linking C++ that uses the standard library makes zig build its libc++
  # for the target into its cache: an executable without optimisation, as
  # CMake's compiler checks link, and a shared library as the module's
  # Release link does.
  printf '#include <string>\nint main() { return static_cast<int>(std::string("zig").size()) - 3; }\n' \
    >"$zig/prepare.cpp"
  "$zig/c++" "$zig/prepare.cpp" -o "$zig/prepare"
  "$zig/c++" -O3 -DNDEBUG -fPIC -shared "$zig/prepare.cpp" -o "$zig/libprepare.so"
  exit 0
fi

mkdir -p dist
rm -rf build/wheels/raw build/wheels/src build/wheels/cmake dist/tarnwick-"$version"*
echo "== the sdist"
python -m build --sdist --no-isolation --outdir dist . >build/wheels/sdist.log 2>&1 ||
  { tail -n 30 build/wheels/sdist.log >&2; exit 1; }
sdist=dist/tarnwick-$version.tar.gz
echo "$sdist: $(tar -tzf "$sdist" | wc -l) files"
mkdir -p build/wheels/src
tar -xzf "$sdist" -C build/wheels/src --strip-components=1

# The Eigen of build/venv (cmeel-eigen, a build requirement) for every
# wheel: one include path for all of them.
eigen=$(venv_eigen)

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
summary=()
status=0

# Runs the pytest suite of this checkout with the interpreter of venv $1,
# against the installed wheel $2; records pytest's closing line.
run_pytest() {
  local venv=$1 wheel=$2 python_version log outcome=0
  shift 2
  python_version=$("$venv/bin/python" -c 'import platform; print(platform.python_version())')
  log="$logs/pytest-$python_version.log"
  echo "== pytest on Python $python_version against the installed $(basename "$wheel")"
  # Run from the project root, where no tarnwick package lies, so that the
  # import finds the installed one.
  env -u PYTHONPATH "$venv/bin/python" -c \
    'import tarnwick; print("tarnwick", tarnwick.__version__, "from", tarnwick.__path__[0])'
  env -u PYTHONPATH \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider -n auto --maxprocesses=4 "$@" 2>&1 |
    tee "$log" || outcome=$?
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
    -C cmake.define.Eigen3_DIR="$eigen" -C cmake.define.CMAKE_UNITY_BUILD=ON \
    -C cmake.define.CMAKE_UNITY_BUILD_BATCH_SIZE=16 build/wheels/src 2>&1 |
    tee "$log" | grep --line-buffered -E '^ *(\[[0-9]+/[0-9]+\] |-- (Configuring|Generating) done)' |
    sed -u 's/^ */  /'
  outcome=("${PIPESTATUS[@]}")
  [ "${outcome[0]}" -eq 0 ]
}

for minor in "${minors[@]}"; do
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    summary+=("Python $minor: no wheel, no such interpreter here")
    continue
  fi
  venv=build/test-venvs/$minor
  if $test_wheels; then
    # The fresh venv and its test packages download while the wheel compiles.
    echo "== a fresh $venv with the test packages (in the background)"
    prepare_log=build/wheels/venv-$minor.log
    test_venv "$python" "$venv" >"$prepare_log" 2>&1 &
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
  if "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel[test]"; then
    run_pytest "$venv" "$wheel" "$@"
  else
    status=1
    summary+=("pytest on Python $minor: not run, the installation failed")
  fi
done

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$status"
