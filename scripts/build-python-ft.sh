#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (no interpreter lock) from Debian's
# source package and caches it outside the repository. Prints the path of
# the interpreter on its last line. A second run reuses the cached build.
set -euo pipefail

cache="${GAPWEAVE_CACHE:-$HOME/.cache/gapweave}"
prefix="$cache/python3.13t"
python="$prefix/bin/python3.13t"

if [ -x "$python" ] && "$python" -c 'import sys, ssl; sys.exit(sys._is_gil_enabled())' 2>/dev/null; then
    echo "$python"
    exit 0
fi

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

# Debian's python3.13 source lives in trixie; add a source-only entry that
# mirrors the machine's own Debian archive.
src_list=/etc/apt/sources.list.d/gapweave-python-src.sources
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
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -qq >&2
$sudo_cmd apt-get install -y -qq dpkg-dev build-essential pkg-config libssl-dev zlib1g-dev \
    libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev libgdbm-dev uuid-dev >&2

work="$cache/build"
rm -rf "$work"
mkdir -p "$work"
(
    cd "$work"
    apt-get source -qq --download-only python3.13 >&2
    dpkg-source -x --skip-patches ./python3.13_*.dsc src >&2
    cd src
    ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install >&2
    make -j"$(nproc)" >&2
    make install >&2
)
rm -rf "$work"
"$python" -c 'import sys; assert not sys._is_gil_enabled()'
echo "$python"
