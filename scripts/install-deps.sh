#!/usr/bin/env bash
# Installs what building, testing, cross-compiling and the demo need
# (Debian 12). Safe to run again.
set -euo pipefail
pkgs=(build-essential cmake g++ libgtest-dev libgmock-dev faketime python3 python3-pyftpdlib
      socat curl strace g++-mipsel-linux-gnu qemu-user procps clang libclang-rt-14-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "install-deps: missing ${missing[*]}; run this as root (there is no sudo here)" >&2
      exit 1
    fi
    SUDO=sudo
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# The emulated router (scripts/router-test.sh): QEMU's MIPS system emulator
# on the host, and apt lists for mipsel, from which the test downloads (but
# does not install) the guest's kernel and busybox.
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  $SUDO dpkg --add-architecture mipsel
fi
if ! apt-cache show linux-image-4kc-malta:mipsel >/dev/null 2>&1; then
  $SUDO apt-get update -qq
fi
if ! dpkg-query -W -f='${Status}' qemu-system-mips 2>/dev/null | grep -q "install ok installed"; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-system-mips
fi
