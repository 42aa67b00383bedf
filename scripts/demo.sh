#!/usr/bin/env bash
# Runs the demo: punches MNAR and MAR holes into a table it makes itself.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(scripts/setup-venv.sh "${PYTHON:-python3}" "${GAPWEAVE_VENV:-.venv}" | tail -n 1)
"$venv/bin/python" examples/demo.py
