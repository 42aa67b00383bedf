#!/usr/bin/env bash
# The benchmark: gapweave against numpy.sort and the pass-by-pass reference.
# Prints a table and writes benchmarks/results.png. Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(realpath "$(scripts/setup-venv.sh "${PYTHON:-python3}" "${GAPWEAVE_VENV:-.venv}" | tail -n 1)")
"$venv/bin/python" -m pip install -q --disable-pip-version-check matplotlib
"$venv/bin/cmake" -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DGAPWEAVE_PYTHON=OFF -DGAPWEAVE_BENCH=ON >/dev/null
"$venv/bin/cmake" --build build/bench --target engine_bench >/dev/null
"$venv/bin/python" benchmarks/bench.py --engine-bench build/bench/engine_bench "$@"
