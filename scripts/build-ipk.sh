#!/usr/bin/env bash
# Builds an installable OpenWrt package of adapterd from the musl cross build,
# without the OpenWrt SDK: the daemon as /usr/sbin/adapterd, its procd
# service as /etc/init.d/adapterd and the service's switch as the conffile
# /etc/config/adapterd (from openwrt/adapterd/files/), with the install
# scripts the recipe in openwrt/adapterd/Makefile gives its package.
#
#   scripts/build-ipk.sh [--server-host HOST] [--arch ARCH] [--out DIR]
#
#   --server-host  server host compiled in (default: the build's default,
#                  a placeholder that never resolves)
#   --arch         opkg architecture (default mipsel_24kc: mips32r2,
#                  soft-float, little-endian, as the build is)
#   --out          output folder (default build/ipk)
#
# Writes, in the output folder:
#   adapterd_<version>_<arch>.ipk   the package
#   adapterd.ipk                    the same package under a stable name
#   adapterd-static                 the same build linked statically and
#                                   stripped, for a machine without musl's
#                                   loader (an emulated router's initramfs)
set -euo pipefail
cd "$(dirname "$0")/.."

host="" arch=mipsel_24kc out=build/ipk
while [ $# -gt 0 ]; do
  case $1 in
    --server-host) host=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "build-ipk.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

version=$(sed -n 's/^PKG_VERSION:=//p' openwrt/adapterd/Makefile)-$(sed -n 's/^PKG_RELEASE:=//p' openwrt/adapterd/Makefile)
bdir=build/ipk-musl
opts=()
[ -n "$host" ] && opts+=("-DADAPTER_SERVER_HOST=$host")
cmake --preset mipsel-musl -B "$bdir" "${opts[@]}" >/dev/null
cmake --build "$bdir" -j2 --target adapterd adapterd-static

mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data/usr/sbin" "$work/data/etc/init.d" "$work/data/etc/config" "$work/control"
mipsel-linux-gnu-strip -o "$work/data/usr/sbin/adapterd" "$bdir/adapterd"
install -m 0755 openwrt/adapterd/files/adapterd.init "$work/data/etc/init.d/adapterd"
install -m 0644 openwrt/adapterd/files/adapterd.config "$work/data/etc/config/adapterd"
chmod 0755 "$work/data/usr/sbin/adapterd"
mipsel-linux-gnu-strip -o "$out/adapterd-static" "$bdir/adapterd-static"

size=$(find "$work/data" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
cat >"$work/control/control" <<EOF
Package: adapterd
Version: $version
Depends: libc
Source: openwrt/adapterd
SourceName: adapterd
License: ISC
LicenseFiles: LICENSE
Section: net
Architecture: $arch
Installed-Size: $size
Maintainer: adapterd developers
Description: Serial-to-server adapter daemon
 Bridges the router's serial port to one remote TCP server, keeps the
 link alive, reports to a watchdog and takes upgrades over FTP.
EOF
# What OpenWrt's packages run: enable and start the service on install,
# stop and disable it on removal (both skipped when building an image).
for s in postinst:default_postinst prerm:default_prerm; do
  cat >"$work/control/${s%%:*}" <<EOF
#!/bin/sh
[ "\${IPKG_NO_SCRIPT}" = "1" ] && exit 0
[ -s \${IPKG_INSTROOT}/lib/functions.sh ] || exit 0
. \${IPKG_INSTROOT}/lib/functions.sh
${s#*:} \$0 \$@
EOF
  chmod 0755 "$work/control/${s%%:*}"
done
echo /etc/config/adapterd >"$work/control/conffiles"
# The recipe's own preinst, as its make variable holds it ($$ is $).
sed -n '/^define Package\/adapterd\/preinst$/,/^endef$/{//!p}' openwrt/adapterd/Makefile |
  sed 's/\$\$/$/g' >"$work/control/preinst"
[ -s "$work/control/preinst" ] || { echo "build-ipk.sh: no preinst in the recipe" >&2; exit 1; }
chmod 0755 "$work/control/preinst"
echo 2.0 >"$work/debian-binary"

# Reproducible archives: ./-prefixed names, root ownership, sorted, the
# time of the last commit.
mtime=@$(git log -1 --format=%ct 2>/dev/null || echo 0)
pack() { # dir archive: gzip'd tar of dir's contents
  tar -C "$1" --format=gnu --sort=name --owner=0 --group=0 --numeric-owner \
      --mtime="$mtime" -cf - . | gzip -n9 >"$2"
}
pack "$work/control" "$work/control.tar.gz"
pack "$work/data" "$work/data.tar.gz"
ipk=$out/adapterd_${version}_$arch.ipk
tar -C "$work" --format=gnu --owner=0 --group=0 --numeric-owner --mtime="$mtime" \
    -cf - ./debian-binary ./control.tar.gz ./data.tar.gz | gzip -n9 >"$ipk"
cp "$ipk" "$out/adapterd.ipk"
echo "$ipk ($(stat -c %s "$ipk") bytes), $out/adapterd.ipk, $out/adapterd-static"
