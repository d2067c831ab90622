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
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
