#!/usr/bin/env bash
# Lets the kernel run 32-bit Arm programs: installs qemu-user-static (and
# binfmt-support) from Debian's archive if missing, mounts binfmt_misc if
# needed and registers and enables the qemu-arm handler. Idempotent; needs
# root (or sudo) the first time.
#
#   scripts/qemu-arm.sh
set -euo pipefail
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive

need=()
[ -x /usr/bin/qemu-arm-static ] || need+=(qemu-user-static)
command -v update-binfmts >/dev/null 2>&1 || need+=(binfmt-support)
if [ "${#need[@]}" -gt 0 ]; then
    echo "qemu-arm: installing ${need[*]}" >&2
    $sudo_cmd apt-get update -qq
    $sudo_cmd apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    $sudo_cmd mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-arm" ]; then
    $sudo_cmd update-binfmts --enable qemu-arm >/dev/null 2>&1 || true
fi
if [ ! -e "$binfmt/qemu-arm" ] && [ -f /usr/lib/binfmt.d/qemu-arm.conf ]; then
    # No binfmt-support database entry: register the systemd-binfmt line directly.
    grep -v '^#' /usr/lib/binfmt.d/qemu-arm.conf | $sudo_cmd tee "$binfmt/register" >/dev/null
fi
if [ ! -e "$binfmt/qemu-arm" ]; then
    echo "qemu-arm: could not register the qemu-arm binfmt handler" >&2
    exit 1
fi
if [ "$(head -n 1 "$binfmt/qemu-arm")" != "enabled" ]; then
    echo 1 | $sudo_cmd tee "$binfmt/qemu-arm" >/dev/null
fi
