#!/usr/bin/env bash
# Builds gapweave for 32-bit Arm (armhf, hard-float) and runs the whole test
# suite there under qemu user-mode emulation: the C++ engine tests and the
# Python tests, against Debian bookworm's own Python 3.11, NumPy 1.24 and
# pandas.
#
# The first run builds a Debian bookworm armhf root file system with
# debootstrap (about 6 minutes, emulated package installs included) and caches
# it under ${GAPWEAVE_CACHE:-~/.cache/gapweave}/armhf-rootfs; later runs reuse
# it. The module and the engine tests are cross-compiled on the host by
# Debian's arm-linux-gnueabihf-g++ (the same GCC 12 and the same armhf
# defaults as the root file system's own g++, without emulating the
# compiler), against the root file system's Python headers, into
# build/armhf; GoogleTest is cross-compiled once and cached beside the root
# file system. The checkout and the two built files are copied in, and both
# suites run there.
#
#   scripts/armhf-test.sh                 build and run everything
#   scripts/armhf-test.sh -k cross        extra arguments go to pytest
#   scripts/armhf-test.sh --build-only    the root file system and the build,
#                                         no tests (scripts/target-python.sh)
#
# GAPWEAVE_DEBIAN_MIRROR chooses the archive (default: the one apt uses).
set -euo pipefail
# The whole script is one block, which bash reads completely before running
# it, so that editing the file during a run cannot derail the run.
{
cd "$(dirname "$0")/.."
checkout=$(pwd)

suite=bookworm
arch=armhf
cache="${GAPWEAVE_CACHE:-$HOME/.cache/gapweave}"
rootfs="$cache/armhf-rootfs"
stamp="$rootfs/.gapweave-rootfs"
packages="python3 python3-dev python3-numpy python3-pandas python3-pytest python3-pytest-timeout python3-hypothesis"

started=$SECONDS
build_only=0
if [ "${1:-}" = "--build-only" ]; then
    build_only=1
    shift
fi
phase() { printf '== [%4ds] %s\n' "$((SECONDS - started))" "$*"; }

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive

# --- Host tools: debootstrap, the cross compiler, and the kernel handing Arm
# programs to qemu; CMake and ninja from the wheel tools' environment -------
if ! command -v debootstrap >/dev/null 2>&1 || ! command -v arm-linux-gnueabihf-g++ >/dev/null 2>&1; then
    phase "installing debootstrap and g++-arm-linux-gnueabihf on the host"
    $sudo_cmd apt-get update -qq
    $sudo_cmd apt-get install -y -qq --no-install-recommends debootstrap g++-arm-linux-gnueabihf >/dev/null
fi
scripts/qemu-arm.sh
source scripts/common.sh
source scripts/wheel-tools.sh
ensure_gtest
ensure_wheel_tools
binfmt=/proc/sys/fs/binfmt_misc
# With the F flag the kernel holds the emulator open, so it works inside the
# chroot as it is; without it the emulator must exist at the registered path
# inside the root file system as well.
interpreter=$(awk '/^interpreter/ {print $2}' "$binfmt/qemu-arm")
binfmt_flags=$(awk '/^flags:/ {print $2}' "$binfmt/qemu-arm")
place_emulator() {  # place_emulator ROOT
    case "$binfmt_flags" in *F*) return 0 ;; esac
    $sudo_cmd mkdir -p "$1$(dirname "$interpreter")"
    $sudo_cmd cp -L /usr/bin/qemu-arm-static "$1$interpreter"
}

# --- Mounts for the chroot, always undone on exit ---------------------------
mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        $sudo_cmd umount "${mounted[i]}" 2>/dev/null || $sudo_cmd umount -l "${mounted[i]}" 2>/dev/null || true
    done
    mounted=()
}
trap unmount_all EXIT
mount_into() {  # mount_into ROOT: /proc and /dev for programs run in ROOT
    local root=$1
    mkdir -p "$root/proc" "$root/dev"
    if ! mountpoint -q "$root/proc"; then
        $sudo_cmd mount -t proc proc "$root/proc"
        mounted+=("$root/proc")
    fi
    if ! mountpoint -q "$root/dev"; then
        $sudo_cmd mount --rbind /dev "$root/dev"
        $sudo_cmd mount --make-rslave "$root/dev"
        mounted+=("$root/dev")
    fi
}
in_root() {  # in_root ROOT COMMAND...: run in the chroot with a clean environment
    local root=$1
    shift
    $sudo_cmd chroot "$root" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

# --- The root file system, built once ---------------------------------------
if [ ! -f "$stamp" ]; then
    mirror="${GAPWEAVE_DEBIAN_MIRROR:-}"
    if [ -z "$mirror" ]; then
        mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    fi
    mirror="${mirror:-http://deb.debian.org/debian}"
    building="$rootfs.building"
    # A half-built tree from an interrupted run: make sure nothing is mounted
    # in it before it goes.
    for m in "$building/dev" "$building/proc" "$building/sys"; do
        while mountpoint -q "$m" 2>/dev/null; do $sudo_cmd umount -l "$m" || break; done
    done
    $sudo_cmd rm -rf --one-file-system "$building"
    mkdir -p "$cache"

    phase "debootstrap, first stage ($suite $arch from $mirror)"
    $sudo_cmd debootstrap --foreign --arch="$arch" --variant=minbase "$suite" "$building" "$mirror" >/dev/null
    place_emulator "$building"
    phase "debootstrap, second stage (emulated)"
    $sudo_cmd chroot "$building" /debootstrap/debootstrap --second-stage >/dev/null
    for m in "$building/dev" "$building/proc" "$building/sys"; do
        while mountpoint -q "$m" 2>/dev/null; do $sudo_cmd umount -l "$m" || break; done
    done

    $sudo_cmd cp /etc/resolv.conf "$building/etc/resolv.conf" 2>/dev/null || true
    printf 'deb %s %s main\n' "$mirror" "$suite" | $sudo_cmd tee "$building/etc/apt/sources.list" >/dev/null
    mount_into "$building"
    phase "installing $packages (emulated)"
    in_root "$building" apt-get update -qq
    # shellcheck disable=SC2086
    in_root "$building" apt-get install -y -qq --no-install-recommends $packages >/dev/null
    in_root "$building" apt-get clean
    unmount_all
    echo "$packages" | $sudo_cmd tee "$building/.gapweave-rootfs" >/dev/null
    $sudo_cmd mv "$building" "$rootfs"
    phase "root file system ready at $rootfs"
else
    phase "reusing the root file system at $rootfs"
    if [ "$(cat "$stamp")" != "$packages" ]; then
        mount_into "$rootfs"
        phase "installing $packages (emulated)"
        in_root "$rootfs" apt-get update -qq
        # shellcheck disable=SC2086
        in_root "$rootfs" apt-get install -y -qq --no-install-recommends $packages >/dev/null
        in_root "$rootfs" apt-get clean
        unmount_all
        echo "$packages" | $sudo_cmd tee "$stamp" >/dev/null
    fi
fi

place_emulator "$rootfs"

# --- The checkout, copied in (timestamps kept, so rebuilds are incremental) --
phase "copying the checkout in"
$sudo_cmd rm -rf --one-file-system "$rootfs/gapweave/src"
$sudo_cmd mkdir -p "$rootfs/gapweave/src" "$rootfs/gapweave/build" "$rootfs/gapweave/run"
if git -C "$checkout" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$checkout" ls-files -z --cached --others --exclude-standard |
        (cd "$checkout" && tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null) |
        $sudo_cmd tar -xf - -C "$rootfs/gapweave/src"
else
    tar -C "$checkout" --exclude=./build --exclude='./.venv*' --exclude=./.git -cf - . |
        $sudo_cmd tar -xf - -C "$rootfs/gapweave/src"
fi

mount_into "$rootfs"

phase "machine and pointer size"
in_root "$rootfs" uname -m
in_root "$rootfs" python3 -c "import struct; print(struct.calcsize('P'))"
in_root "$rootfs" python3 -c "import sys, numpy, pandas; print('Python', sys.version.split()[0], '| NumPy', numpy.__version__, '| pandas', pandas.__version__)"

# --- Cross-compiled on the host ---------------------------------------------
# The root file system's Python, run under qemu with the root file system as
# its prefix (the BLAS and LAPACK that Debian's alternatives point to are
# named directly, by their paths on the host: their links are absolute, and
# the guest's loader gives up on a folder that it cannot stat), answers
# CMake's questions
# about the target's interpreter; its headers come from the root file system,
# the multiarch pyconfig.h included through a folder of its own.
phase "cross-compiling gapweave and the engine tests (arm-linux-gnueabihf-g++)"
target_python="$cache/armhf-python"
cat >"$target_python" <<WRAPPER
#!/bin/sh
QEMU_LD_PREFIX=$rootfs LD_LIBRARY_PATH=$rootfs/usr/lib/arm-linux-gnueabihf/blas:$rootfs/usr/lib/arm-linux-gnueabihf/lapack \\
    exec $rootfs/usr/bin/python3 "\$@"
WRAPPER
chmod +x "$target_python"
py_version=$("$target_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
include="$checkout/build/armhf-include"
rm -rf "$include"
mkdir -p "$include/arm-linux-gnueabihf"
ln -s "$rootfs/usr/include/python$py_version" "$include/python$py_version"
ln -s "$rootfs/usr/include/arm-linux-gnueabihf/python$py_version" "$include/arm-linux-gnueabihf/python$py_version"
# CMake is not told that it cross-compiles: it then asks the target's Python
# for its extension suffix as it would a native one, and what it compiles
# for its own checks runs under qemu all the same. -Wno-psabi: GCC notes on
# every std::span argument that its passing changed in GCC 7.1 on Arm;
# nothing here crosses that boundary.
cross_args=(-G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_CXX_COMPILER=arm-linux-gnueabihf-g++ -DCMAKE_C_COMPILER=arm-linux-gnueabihf-gcc
    -DCMAKE_CXX_FLAGS=-Wno-psabi)
gtest="$cache/armhf-gtest"
build_gtest "$gtest" "${cross_args[@]}"
"$tools/bin/cmake" -S "$checkout" -B "$checkout/build/armhf" "${cross_args[@]}" \
    -DCMAKE_PREFIX_PATH="$gtest" -DGAPWEAVE_PYTHON=ON -DGAPWEAVE_CPP_TESTS=ON \
    -DCMAKE_CXX_FLAGS="-Wno-psabi -isystem $include" \
    -DPython_EXECUTABLE="$target_python" -DPython_INCLUDE_DIR="$include/python$py_version" \
    -DPython_SOABI="$("$target_python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')" >/dev/null
"$tools/bin/cmake" --build "$checkout/build/armhf"
$sudo_cmd rm -rf "$rootfs/gapweave/build"
$sudo_cmd mkdir -p "$rootfs/gapweave/build"
$sudo_cmd cp "$checkout"/build/armhf/gapweave*.so "$checkout/build/armhf/engine_tests" "$rootfs/gapweave/build/"

[ "$build_only" -eq 0 ] || exit 0

status=0
phase "engine tests (emulated)"
in_root "$rootfs" /gapweave/build/engine_tests --gtest_brief=1 || status=1

# GAPWEAVE_TEST_EMULATED tells the tests that they run under emulation
# (tests/python/helpers.py): hypothesis sets no deadline, and the test that
# measures resident memory after thousands of worker threads, which would
# measure the emulator, skips. The checkout comes last on the path:
# gapweave_tools, the pure-Python package beside the module, is imported
# from there.
phase "Python tests (emulated)"
in_root "$rootfs" /bin/sh -c 'cd /gapweave/run && exec env PYTHONPATH=/gapweave/build:/gapweave/src \
    PYTHONDONTWRITEBYTECODE=1 GAPWEAVE_TEST_EMULATED=1 python3 -m pytest -q -p no:cacheprovider \
    --rootdir=/gapweave/src \
    /gapweave/src/tests/python "$@"' pytest "$@" || status=1

if [ "$status" -eq 0 ]; then
    phase "done: all tests passed on armhf"
else
    phase "done: some tests FAILED on armhf"
fi
exit "$status"
}
