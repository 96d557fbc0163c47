# Sourced by the build scripts: one way to configure a build tree.
#
#   configure BUILD_DIR BUILD_TYPE [cmake options...]
#
# configures the project from the repository root into BUILD_DIR with Ninja,
# the given build type and the C++ tests, quietly; the options choose the
# rest (Python, benchmarks, sanitizers, the interpreter). With ccache on
# the machine every compile goes through it, paths taken relative to the
# checkout, so a source compiled with the same flags in another tree (the
# harness trees of two Pythons, a second checkout) is compiled once.
configure() {
  local build=$1 type=$2 launcher=()
  shift 2
  if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    CCACHE_BASEDIR=$(pwd)
    export CCACHE_BASEDIR
  fi
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DTARNWICK_BUILD_TESTS=ON \
    "${launcher[@]}" "$@" >/dev/null
}
