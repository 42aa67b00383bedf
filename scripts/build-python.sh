#!/usr/bin/env bash
# Builds CPython 3.13 from Debian's source package and caches it outside the
# repository; prints the path of the interpreter on its last line. A second
# run reuses the cached build.
#   scripts/build-python.sh ft    free-threaded (no interpreter lock): python3.13t
#   scripts/build-python.sh gil   the ordinary build: python3.13
set -euo pipefail

variant="${1:-ft}"
cache="${GAPWEAVE_CACHE:-$HOME/.cache/gapweave}"
case "$variant" in
    ft) name=python3.13t; configure_flags=(--disable-gil); gil_check='sys.exit(sys._is_gil_enabled())' ;;
    gil) name=python3.13; configure_flags=(); gil_check='sys.exit(not sys._is_gil_enabled())' ;;
    *) echo "usage: $0 [ft|gil]" >&2; exit 2 ;;
esac
prefix="$cache/$name"
python="$prefix/bin/$name"

if [ -x "$python" ] && "$python" -c "import sys, ssl; $gil_check" 2>/dev/null; then
    echo "$python"
    exit 0
fi

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

# Debian's python3.13 source lives in trixie.
source "$(dirname "$0")/common.sh"
ensure_trixie_sources
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -qq >&2
$sudo_cmd apt-get install -y -qq dpkg-dev build-essential pkg-config libssl-dev zlib1g-dev \
    libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev libgdbm-dev uuid-dev >&2

# One build directory per variant, so that two builds never share one.
work="$cache/build-$name"
rm -rf "$work"
mkdir -p "$work"
(
    cd "$work"
    apt-get source -qq --download-only python3.13 >&2
    dpkg-source -x --skip-patches ./python3.13_*.dsc src >&2
    cd src
    ./configure "${configure_flags[@]}" --prefix="$prefix" --with-ensurepip=install >&2
    make -j"$(nproc)" >&2
    make install >&2
)
rm -rf "$work"
"$python" -c "import sys; $gil_check"
echo "$python"
