#!/usr/bin/env bash
# The likelihood pass and whole fits under the conditions fits run in: an
# idle machine, pinned to one CPU (taskset -c 0, as in a one-CPU batch slot),
# and sharing the CPUs with two other CPU-bound processes. For each condition
# it prints the pass's best ns per event and objective evaluation at 10⁵
# events (above the thread threshold) and at 6·10⁴ (below it: one thread),
# then the mean wall and CPU time of 10 fits of the standard problem
# (benchmarks/standard_problem.py) at 10⁵ events, the CPU time split into
# user and system.
#
#   benchmarks/under_load.sh [build-dir]     # default: build
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
bench=$build/benchmarks/likelihood_benchmark
repetitions=300

per_event() {  # the gradient's ns per event, divided by its 4 evaluations
  "$@" | awk '/^gradient/ { gsub(/[()]/, ""); printf "%.2f", $4 / 4 }'
}

fits() {
  PYTHONPATH="${1:-build}/python:benchmarks" python3 - <<'PY'
import os, time
import numpy as np
import standard_problem as sp
import tarnwick

data = sp.generate(100_000, seed=1)
mass = np.ascontiguousarray(data[:, 0])
pdfs = [lambda d, s: sp.signal_density(mass, s["mu"], s["sigma"]),
        lambda d, s: sp.background_density(mass, s["slope"])]
start, cpu = time.perf_counter(), os.times()
for _ in range(10):
    tarnwick.splot(data, pdfs, shape_parameters=sp.shape_parameters(tarnwick))
wall, end = (time.perf_counter() - start) / 10, os.times()
print(f"{wall:.3f} s per fit, user {(end.user - cpu.user) / 10:.3f} s, "
      f"system {(end.system - cpu.system) / 10:.3f} s")
PY
}

run() {
  local label=$1
  shift
  printf '%-24s pass 1e5: %s ns, 6e4: %s ns; fits at 1e5: %s\n' "$label" \
    "$(per_event "$@" "$bench" 100000 "$repetitions")" \
    "$(per_event "$@" "$bench" 60000 "$repetitions")" \
    "$("$@" bash -c "$(declare -f fits); fits '$build'")"
}

run "idle" env
run "pinned (taskset -c 0)" taskset -c 0
busy=()
for _ in 1 2; do
  timeout 300 sh -c 'while :; do :; done' &
  busy+=($!)
done
trap 'kill "${busy[@]}" 2>/dev/null || true' EXIT
run "two busy processes" env
kill "${busy[@]}" 2>/dev/null || true
