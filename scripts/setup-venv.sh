#!/usr/bin/env bash
# Creates (or refreshes) a virtual environment with gapweave installed from
# this checkout. Usage: scripts/setup-venv.sh [python] [venv-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
python="${1:-${PYTHON:-python3}}"
venv="${2:-${GAPWEAVE_VENV:-.venv}}"

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
# Wheels only where a release lacks them for this interpreter (3.13t, say):
# an older release with a wheel beats building from source.
"$venv/bin/python" -m pip install -q --disable-pip-version-check --prefer-binary \
    numpy pandas pytest hypothesis scikit-build-core cmake ninja
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps .
echo "$venv"
