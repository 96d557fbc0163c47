#!/usr/bin/env bash
# Runs the quickstart example on a fresh machine: installs what is missing
# (scripts/setup_machine.sh), builds and installs the tarnwick package, then
# runs examples/quickstart.py. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup_machine.sh
python3 -m pip install --quiet --no-build-isolation .
python3 examples/quickstart.py
