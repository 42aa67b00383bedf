#!/usr/bin/env bash
# The benchmark: gapweave against the NumPy threshold (argpartition, copy,
# put_along_axis) at alpha 0.1 ... 0.8, with the 1-worker speed-up and peak
# memory; writes benchmarks/results.png. Not part of the tests.
# Options go to bench.py: --rows N and --repeats N for quick runs; --scaling
# for the size-scaling table against numpy.sort and the pass-by-pass reference.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(realpath "$(scripts/setup-venv.sh "${PYTHON:-python3}" "${GAPWEAVE_VENV:-.venv}" | tail -n 1)")
"$venv/bin/python" -m pip install -q --disable-pip-version-check matplotlib
engine=()
if [[ " $* " == *" --scaling "* ]]; then
    "$venv/bin/cmake" --preset bench -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" >/dev/null
    "$venv/bin/cmake" --build --preset bench >/dev/null
    engine=(--engine-bench build/bench/engine_bench)
fi
"$venv/bin/python" benchmarks/bench.py "${engine[@]}" "$@"
