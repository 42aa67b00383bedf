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
#   armhf-glibc   Debian bookworm's Python 3.11, NumPy and pandas for armhf, in
#                 the root file system of scripts/armhf-test.sh, under qemu-arm
#                 with that root file system as its prefix; gapweave is the
#                 module that script cross-compiles (build/armhf, not a wheel),
#                 gapweave_tools the checkout's
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wheel-tools.sh
source scripts/musl-env.sh

name="${1:-}"
case "$name" in
    x86_64-musl) wheels=musl ;;
    armv7l-musl) wheels=musl-armv7l ;;
    armhf-glibc)
        scripts/armhf-test.sh --build-only >&2
        cache="${GAPWEAVE_CACHE:-$HOME/.cache/gapweave}"
        wrapper="$cache/armhf-glibc-python"
        printf '#!/bin/sh\nPYTHONPATH=%q${PYTHONPATH:+:$PYTHONPATH} exec %q "$@"\n' \
            "$(pwd)/build/armhf:$(pwd)" "$cache/armhf-python" >"$wrapper"
        chmod +x "$wrapper"
        echo "$wrapper"
        exit 0 ;;
    *) echo "usage: $0 x86_64-musl|armv7l-musl|armhf-glibc" >&2; exit 2 ;;
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
