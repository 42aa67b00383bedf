#!/usr/bin/env bash
# Runs the whole test suite: the C++ engine tests and the Python tests.
#   scripts/test.sh                 everything, in .venv with python3
#   scripts/test.sh --python-only   only the Python tests
# PYTHON and GAPWEAVE_VENV choose the interpreter and the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

python_only=0
[ "${1:-}" = "--python-only" ] && python_only=1

venv=$(realpath "$(scripts/setup-venv.sh "${PYTHON:-python3}" "${GAPWEAVE_VENV:-.venv}" | tail -n 1)")

if [ "$python_only" -eq 0 ]; then
    ensure_gtest
    # The engine-tests preset (CMakePresets.json), in a build directory of
    # its own for each GAPWEAVE_SANITIZE.
    build="build/engine-tests${GAPWEAVE_SANITIZE:+-$GAPWEAVE_SANITIZE}"
    "$venv/bin/cmake" --preset engine-tests -B "$build" -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
        -DGAPWEAVE_SANITIZE="${GAPWEAVE_SANITIZE:-}" >/dev/null
    "$venv/bin/cmake" --build "$build"
    "$build/engine_tests" --gtest_brief=1
fi

"$venv/bin/python" -m pytest -q tests/python
