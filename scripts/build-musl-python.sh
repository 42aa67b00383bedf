#!/usr/bin/env bash
# Builds, once and cached, a free-threaded CPython 3.13 for a musl target with
# zig's clang, and prints the path of its interpreter on the last line.
#
#   scripts/build-musl-python.sh x86_64-musl     x86_64-linux-musl (runs natively)
#   scripts/build-musl-python.sh armv7l-musl     arm-linux-musleabihf, ARMv7-A with
#                                                VFPv3-D16 (runs under qemu-arm)
#
# Everything comes from Debian's source packages and PyPI: musl 1.2.5 and
# zlib from Debian trixie's sources, CPython 3.13 from the same source
# package as scripts/build-python.sh, zig from the ziglang package. zig
# compiles against its own musl 1.2.5 headers; the musl built here (by gcc)
# from Debian's source of that same version is the run-time loader and C
# library, installed in the cache (not in /lib) and written into every
# program as its interpreter. For Arm, the kernel hands the target's programs
# to qemu-arm (scripts/qemu-arm.sh registers it), so the build runs them as
# it would run its own. Cached under
# ${GAPWEAVE_CACHE:-~/.cache/gapweave}/musl/TARGET.
#
# Built without OpenSSL (no ssl module): packages are fetched by the host's
# pip and installed from files (scripts/musl-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
source scripts/wheel-tools.sh

name="${1:-x86_64-musl}"
# musl_tools: the compiler that builds musl itself, with its ar and ranlib
# (gcc for the machine's own architecture, Debian's cross gcc for Arm, whose
# default is the ARMv7-A with VFPv3-D16 of Debian's armhf).
case "$name" in
    x86_64-musl)
        zig_target=x86_64-linux-musl; host_triple=x86_64-pc-linux-musl; loader_name=ld-musl-x86_64.so.1
        musl_tools=""; musl_packages="" ;;
    armv7l-musl)
        zig_target=arm-linux-musleabihf; host_triple=arm-linux-musleabihf; loader_name=ld-musl-armhf.so.1
        musl_tools=arm-linux-gnueabihf-; musl_packages=gcc-arm-linux-gnueabihf ;;
    *) echo "usage: $0 x86_64-musl|armv7l-musl" >&2; exit 2 ;;
esac

root="$cache/musl/$name"
libc_dir="$root/libc"       # musl's loader and C library (run time)
deps="$root/deps"           # zlib, static, position independent
prefix="$root/python3.13t"
python="$prefix/bin/python3.13t"
loader="$libc_dir/lib/$loader_name"

if [ -x "$python" ] && "$python" -c 'import sys, sysconfig, zlib, ctypes
sys.exit(sys._is_gil_enabled() or "-linux-musl" not in sysconfig.get_config_var("EXT_SUFFIX"))' 2>/dev/null; then
    echo "$python"
    exit 0
fi

started=$SECONDS
phase() { printf '== [%4ds] %s\n' "$((SECONDS - started))" "$*" >&2; }

ensure_wheel_tools
[ "$name" = x86_64-musl ] || scripts/qemu-arm.sh >&2
build_python=$(scripts/build-python.sh ft | tail -n 1)
cc=$(zig_wrapper "$zig_target" cc)
cxx=$(zig_wrapper "$zig_target" c++)

# shellcheck disable=SC2086
ensure_musl_build_packages $musl_packages

work="$root/build"
rm -rf "$work"
mkdir -p "$work"
# source_package NAME: Debian's source of NAME (trixie), unpacked in
# $work/NAME: the newest version the archive still serves (an update's files
# are sometimes only on its own suite).
source_package() {
    local version
    for version in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -r -V); do
        rm -rf "$work/$1-src" && mkdir -p "$work/$1-src"
        if (cd "$work/$1-src" && apt-get source -qq --download-only "$1=$version" >/dev/null 2>&1); then
            (cd "$work/$1-src" && dpkg-source -x --skip-patches ./*.dsc "$work/$1" >/dev/null 2>&1)
            return 0
        fi
    done
    echo "no source of $1 could be fetched" >&2
    return 1
}

if [ ! -e "$loader" ]; then
    phase "musl (Debian's source) for $zig_target"
    source_package musl
    (
        cd "$work/musl"
        # Not zig: linking libc.so, zig adds its compiler-rt, whose maths
        # functions (ceil, cos, log, ...) then take the place of musl's and
        # are not exported. gcc builds musl: the machine's own for x86-64,
        # Debian's cross compiler for Arm.
        ./configure --target="$zig_target" CC="${musl_tools}gcc" AR="${musl_tools}ar" RANLIB="${musl_tools}ranlib" \
            --prefix="$libc_dir" --syslibdir="$libc_dir/lib" >/dev/null
        make -j"$(nproc)" >/dev/null 2>&1
        make install >/dev/null
    )
fi
# Run with no program, the loader prints its version (and exits with 1).
musl_version=$("$loader" 2>&1 | sed -n 's/^Version //p' || true)
[ "$musl_version" = 1.2.5 ] || { echo "musl loader is '$musl_version', not 1.2.5 (zig's headers are)" >&2; exit 1; }
nm -D --defined-only "$libc_dir/lib/libc.so" | awk '$3 == "cos" {found = 1} END {exit !found}' ||
    { echo "musl's libc.so exports no maths functions" >&2; exit 1; }

if [ ! -f "$deps/lib/libz.a" ]; then
    phase "zlib (Debian's source), static and position independent"
    source_package zlib
    (
        cd "$work/zlib"
        CC="$cc" AR="$zig ar" RANLIB="$zig ranlib" CFLAGS="-O2 -fPIC" ./configure --static --prefix="$deps" >/dev/null
        make -j"$(nproc)" libz.a >/dev/null
        make install >/dev/null
    )
fi

if [ ! -f "$deps/lib/libffi.a" ]; then
    phase "libffi (Debian's source), static and position independent, for ctypes (pandas imports it)"
    source_package libffi
    (
        cd "$work/libffi"
        # Debian's source carries no generated configure.
        autoreconf -fi >/dev/null 2>&1
        ./configure --host="$host_triple" --build=x86_64-pc-linux-gnu CC="$cc" AR="$zig ar" RANLIB="$zig ranlib" \
            CFLAGS="-O2 -fPIC" --disable-shared --enable-static --disable-docs --prefix="$deps" >/dev/null
        make -j"$(nproc)" >/dev/null 2>&1
        make install >/dev/null
    )
fi

phase "CPython 3.13 free-threaded for $zig_target (Debian's source, cross-built)"
source_package python3.13
(
    cd "$work/python3.13"
    # The host's libraries are not the target's: pkg-config sees only the
    # zlib and libffi built above, and the modules whose libraries are missing here
    # (lzma, bz2, ssl, sqlite3, readline, curses, dbm, uuid, tk) are
    # left out. configure finds the platform triplet (x86_64-linux-musl) by
    # preprocessing Misc/platform_triplet.c, which knows musl by a macro of
    # musl's stdarg.h; clang brings its own stdarg.h, so the preprocessor is
    # given that macro (without a triplet, extension modules built for musl,
    # NumPy's .cpython-313t-x86_64-linux-musl.so, would not be found). clang under zig makes __DATE__ and __TIME__ errors
    # (-Werror=date-time);
    # -dynamic: programs load extension modules, so they are linked
    # dynamically, with the loader built above as their interpreter.
    # -fPIC and -pie: no copy relocations, which zig's linker places over
    # other variables (environ landed on a static of faulthandler, and
    # mimalloc's first read of the environment crashed).
    ./configure --host="$host_triple" --build=x86_64-pc-linux-gnu \
        --with-build-python="$build_python" --disable-gil --prefix="$prefix" \
        --with-ensurepip=no --disable-test-modules \
        CC="$cc" CXX="$cxx" AR="$zig ar" RANLIB="$zig ranlib" \
        CFLAGS="-Wno-date-time -fPIC" CPPFLAGS="-I$deps/include" \
        LDFLAGS="-L$deps/lib -dynamic -Wl,--dynamic-linker=$loader" \
        ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no \
        CPP="$cc -E -D__DEFINED_va_list" \
        PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH= \
        py_cv_module__lzma=n/a py_cv_module__bz2=n/a py_cv_module__ssl=n/a py_cv_module__hashlib=n/a \
        py_cv_module__sqlite3=n/a py_cv_module_readline=n/a \
        py_cv_module__curses=n/a py_cv_module__curses_panel=n/a py_cv_module__dbm=n/a \
        py_cv_module__gdbm=n/a py_cv_module__uuid=n/a py_cv_module__tkinter=n/a \
        >"$work/configure.log" 2>&1 ||
        { tail -n 30 "$work/configure.log" >&2; exit 1; }
    # The programs alone are linked as position-independent executables.
    sed -i 's/^LINKFORSHARED=\(.*\)$/LINKFORSHARED=\1 -pie/' Makefile
    make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
    make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
)
phase "pip (ensurepip, from the wheel CPython carries)"
"$python" -m ensurepip >/dev/null
rm -rf "$work"
"$python" -c 'import sys, sysconfig, zlib, ctypes; assert not sys._is_gil_enabled()
assert "-linux-musl" in sysconfig.get_config_var("EXT_SUFFIX"), sysconfig.get_config_var("EXT_SUFFIX")'
echo "$python"
