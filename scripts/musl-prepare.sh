#!/usr/bin/env bash
# Builds, once and cached, what a musl target's test runs need: its
# free-threaded interpreter (scripts/build-musl-python.sh) and the
# environment with NumPy, pandas and the test tools (scripts/musl-env.sh;
# for armv7l-musl, NumPy and pandas are built from source). Needs only the
# wheel tools and the Debian packages in place (CI prepares them first, then
# runs this in the background beside the host's own test runs).
#
#   scripts/musl-prepare.sh armv7l-musl
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wheel-tools.sh
source scripts/musl-env.sh

ensure_wheel_tools
ensure_musl_env "${1:?usage: $0 x86_64-musl|armv7l-musl}"
echo "$target_env/bin/python"
