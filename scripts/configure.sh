# Sourced by the build scripts: one way to configure a build tree.
#
#   configure BUILD_DIR BUILD_TYPE [cmake options...]
#
# configures the project from the repository root into BUILD_DIR with Ninja,
# the given build type and the C++ tests, quietly; the options choose the
# rest (Python, benchmarks, sanitizers, the interpreter). The sources of a
# target compile in batches of 16 as one file each (a unity build: the
# headers and templates they share are compiled once per batch, a third of
# the compile time of file by file). With ccache on the machine every
# compile goes through it, paths taken relative to the checkout, so that a
# rebuilt tree or a second checkout compiles only what changed.
configure() {
  local build=$1 type=$2 launcher=()
  shift 2
  if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    CCACHE_BASEDIR=$(pwd)
    export CCACHE_BASEDIR
  fi
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DTARNWICK_BUILD_TESTS=ON \
    -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16 "${launcher[@]}" "$@" >/dev/null
}
