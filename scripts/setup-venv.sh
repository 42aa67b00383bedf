#!/usr/bin/env bash
# Creates (or refreshes) a virtual environment with gapweave installed from
# this checkout. Usage: scripts/setup-venv.sh [python] [venv-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
python="${1:-${PYTHON:-python3}}"
venv="${2:-${GAPWEAVE_VENV:-.venv}}"

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
# GAPWEAVE_EXTRAS names the extras of pyproject.toml to install besides the
# build tools and NumPy (default: test docs, all the suite can use).
# shellcheck disable=SC2086
install_requirements "$venv" ${GAPWEAVE_EXTRAS:-test docs}
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps .
echo "$venv"
