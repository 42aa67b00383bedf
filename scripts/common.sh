# Helpers shared by the set-up scripts; sourced, not run.

# install_requirements VENV [EXTRA ...]: the build tools, the run-time
# dependencies and the named extras of pyproject.toml (default: test).
# Wheels only where a release lacks them for this interpreter (3.13t, say):
# an older release with a wheel beats building from source.
install_requirements() {
    local venv=$1
    shift
    local requirements
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    mapfile -t requirements < <("$venv/bin/python" scripts/requirements.py "$@")
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --prefer-binary \
        "${requirements[@]}"
}

# ensure_gtest: GoogleTest for the engine tests, from Debian's archive.
ensure_gtest() {
    dpkg -s libgtest-dev >/dev/null 2>&1 && return 0
    local sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
}

# ensure_trixie_sources: a source-only entry for Debian trixie (CPython 3.13,
# musl 1.2.5, zlib) that mirrors the machine's own Debian archive, and the
# package lists that know it.
ensure_trixie_sources() {
    local sudo_cmd="" uri src_list=/etc/apt/sources.list.d/gapweave-python-src.sources
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    if [ ! -f "$src_list" ]; then
        uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
        uri="${uri:-http://deb.debian.org/debian}"
        $sudo_cmd tee "$src_list" >/dev/null <<SRC
Types: deb-src
URIs: $uri
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    fi
    apt-cache showsrc python3.13 musl zlib >/dev/null 2>&1 || $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
}

# ensure_musl_build_packages [PACKAGE ...]: what scripts/build-musl-python.sh
# needs from Debian (dpkg-source, the autotools for libffi, and the named
# cross compilers) and the trixie source entry. Run on its own before that
# script goes into the background, so that it never waits for the package
# lock of another step.
ensure_musl_build_packages() {
    local sudo_cmd="" missing=0 package
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    for package in dpkg-dev autoconf automake libtool libltdl-dev "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing=1
    done
    if [ "$missing" -eq 1 ]; then
        $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
        $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            dpkg-dev autoconf automake libtool libltdl-dev "$@" >&2
    fi
    ensure_trixie_sources
}
