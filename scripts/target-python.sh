#!/usr/bin/env bash
# Prints the path of an executable that runs a target's Python with
# gapweave (from its wheel), NumPy and pandas installed, building what is
# missing first (cached), so that any script can be run there:
#
#   "$(scripts/target-python.sh x86_64-musl)" some_script.py
#
# Targets, each a free-threaded CPython 3.13 built by scripts/build-musl-python.sh:
#   x86_64-musl   x86_64-linux-musl, runs natively
#   armv7l-musl   arm-linux-musleabihf (ARMv7-A), runs under qemu-arm, which
#                 the kernel starts for it (scripts/qemu-arm.sh)
# armhf-glibc is not provided yet: scripts/armhf-test.sh runs the suite there.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wheel-tools.sh
source scripts/musl-env.sh

name="${1:-}"
case "$name" in
    x86_64-musl) wheels=musl ;;
    armv7l-musl) wheels=musl-armv7l ;;
    armhf-glibc)
        echo "target-python: $name is not provided yet (scripts/armhf-test.sh runs the suite there)" >&2
        exit 2 ;;
    *) echo "usage: $0 x86_64-musl|armv7l-musl" >&2; exit 2 ;;
esac

{
    ensure_wheel_tools
    [ "$name" = x86_64-musl ] || scripts/qemu-arm.sh
    ensure_musl_env "$name"
    wheel=$(ls dist/gapweave-*-cp313-cp313t-"$platform_tag".whl 2>/dev/null || true)
    if [ -z "$wheel" ]; then
        GAPWEAVE_WHEELS=$wheels scripts/build-wheels.sh --no-test
        wheel=$(ls dist/gapweave-*-cp313-cp313t-"$platform_tag".whl)
    fi
    "$target_env/bin/python" -m pip install -q --disable-pip-version-check --no-index \
        --find-links "$wheelhouse" --force-reinstall --no-deps "$wheel"
} >&2
echo "$target_env/bin/python"
