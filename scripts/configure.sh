# Sourced by the build scripts: one way to configure a build tree.
#
#   configure BUILD_DIR BUILD_TYPE [cmake options...]
#
# configures the project from the repository root into BUILD_DIR with Ninja,
# the given build type and the C++ tests, quietly; the options choose the
# rest (Python, benchmarks, sanitizers, the interpreter).
configure() {
  local build=$1 type=$2
  shift 2
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DTARNWICK_BUILD_TESTS=ON "$@" \
    >/dev/null
}
