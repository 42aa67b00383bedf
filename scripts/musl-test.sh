#!/usr/bin/env bash
# Builds the C++ engine tests for a musl target with zig's clang (GoogleTest
# from Debian's libgtest-dev sources, built the same way and cached) and
# runs them: natively for x86_64-musl, under qemu-arm for armv7l-musl. The
# Python suite runs on the target against the installed musllinux wheel in
# scripts/build-wheels.sh.
#
#   scripts/musl-test.sh x86_64-musl
#   scripts/musl-test.sh armv7l-musl
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
source scripts/wheel-tools.sh
source scripts/musl-env.sh

name="${1:-x86_64-musl}"
musl_target "$name"
ensure_wheel_tools
ensure_gtest
[ "$name" = x86_64-musl ] || scripts/qemu-arm.sh
cxx=$(zig_wrapper "$zig_target" c++)
cc=$(zig_wrapper "$zig_target" cc)
gtest="$cache/musl/$name/gtest"
build="build/engine-tests-$name"
cmake_args=(-G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc"
    -DCMAKE_AR="$(zig_wrapper "$zig_target" ar)" -DCMAKE_RANLIB="$(zig_wrapper "$zig_target" ranlib)"
    -DCMAKE_SYSTEM_NAME=Linux)

build_gtest "$gtest" "${cmake_args[@]}"

# The engine-tests preset (CMakePresets.json), with zig's clang for the target.
"$tools/bin/cmake" --preset engine-tests -B "$build" "${cmake_args[@]}" -DCMAKE_PREFIX_PATH="$gtest" >/dev/null
"$tools/bin/cmake" --build "$build"
readelf -h "$build/engine_tests" | grep -E "Class|Machine"
"$build/engine_tests" --gtest_brief=1
