#!/usr/bin/env bash
# Installs what the build and the tests need beyond a C++23 compiler and
# python3: from Debian, GoogleTest for the C++ tests, ccache (when root or
# sudo is at hand) and valgrind (with --valgrind), as root or through sudo
# and only when missing; everything else (CMake, Ninja, Eigen, NumPy, the
# test packages) from PyPI into the project's virtual environment build/venv,
# without root. Safe to run again.
#
#   scripts/setup_machine.sh [--valgrind]
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/python_env.sh
. scripts/python_env.sh

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
# ccache, where it can be installed: builds of the same sources with the
# same flags in several trees then compile once (scripts/configure.sh).
if ! command -v ccache >/dev/null 2>&1 && { [ "$(id -u)" -eq 0 ] || command -v sudo >/dev/null 2>&1; }; then
  need_apt+=(ccache)
fi
if [ "${1:-}" = "--valgrind" ]; then
  command -v valgrind >/dev/null 2>&1 || need_apt+=(valgrind)
fi
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
  elif command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
  else
    echo "the C++ tests need ${need_apt[*]} from the system's packages, which needs root:" >&2
    echo "  apt-get install ${need_apt[*]}" >&2
    exit 1
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

dev_venv
