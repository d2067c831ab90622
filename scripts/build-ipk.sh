#!/usr/bin/env bash
# Builds an installable OpenWrt package of adapterd from the musl cross build,
# without the OpenWrt SDK: the daemon as /usr/sbin/adapterd, its procd
# service as /etc/init.d/adapterd, the service's settings as the conffile
# /etc/config/adapterd, their upgrade script in /etc/uci-defaults, the rpcd
# plugin and ACL that answer `ubus call adapterd status` (from
# openwrt/adapterd/files/), with the install scripts the recipe in
# openwrt/adapterd/Makefile gives its package.
#
#   scripts/build-ipk.sh [--server-host HOST] [--server-port N] [--arch ARCH] [--out DIR]
#
#   --server-host  server host compiled in (default: the build's default,
#                  a placeholder that never resolves)
#   --server-port  server port compiled in (default: the build's, 60928)
#                  Each run builds exactly these, or the defaults, whatever
#                  an earlier run was given.
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

host="" port="" arch=mipsel_24kc out=build/ipk
while [ $# -gt 0 ]; do
  case $1 in
    --server-host) host=$2; shift 2 ;;
    --server-port) port=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
    *) echo "build-ipk.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

version=$(sed -n 's/^PKG_VERSION:=//p' openwrt/adapterd/Makefile)-$(sed -n 's/^PKG_RELEASE:=//p' openwrt/adapterd/Makefile)
bdir=build/ipk-musl
# The build folder's cache would keep a host or port of an earlier run:
# drop them, so that only this run's (or the defaults) are built.
opts=(-UADAPTER_SERVER_HOST -UADAPTER_SERVER_PORT)
[ -n "$host" ] && opts+=("-DADAPTER_SERVER_HOST=$host")
[ -n "$port" ] && opts+=("-DADAPTER_SERVER_PORT=$port")
cmake --preset mipsel-musl -B "$bdir" "${opts[@]}" >/dev/null
cached() { sed -n "s/^$1:[A-Z]*=//p" "$bdir/CMakeCache.txt"; }
server=$(cached ADAPTER_SERVER_HOST):$(cached ADAPTER_SERVER_PORT)
cmake --build "$bdir" -j2 --target adapterd adapterd-static

mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data/usr/sbin" "$work/data/etc/init.d" "$work/data/etc/config" \
  "$work/data/etc/uci-defaults" "$work/data/usr/libexec/rpcd" "$work/data/usr/share/rpcd/acl.d" "$work/control"
mipsel-linux-gnu-strip -o "$work/data/usr/sbin/adapterd" "$bdir/adapterd"
f=openwrt/adapterd/files
install -m 0755 $f/adapterd.init "$work/data/etc/init.d/adapterd"
install -m 0644 $f/adapterd.config "$work/data/etc/config/adapterd"
install -m 0644 $f/adapterd.defaults "$work/data/etc/uci-defaults/90-adapterd-log"
install -m 0755 $f/adapterd.rpcd "$work/data/usr/libexec/rpcd/adapterd"
install -m 0644 $f/adapterd.acl "$work/data/usr/share/rpcd/acl.d/adapterd.json"
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
# The recipe's own scripts, as its make variables hold them ($$ is $),
# under the names OpenWrt gives them: default_postinst above runs
# postinst-pkg; opkg runs postrm once the files are gone.
for s in preinst:preinst postinst:postinst-pkg postrm:postrm; do
  sed -n "/^define Package\/adapterd\/${s%%:*}\$/,/^endef\$/{//!p}" openwrt/adapterd/Makefile |
    sed 's/\$\$/$/g' >"$work/control/${s#*:}"
  [ -s "$work/control/${s#*:}" ] || { echo "build-ipk.sh: no ${s%%:*} in the recipe" >&2; exit 1; }
  chmod 0755 "$work/control/${s#*:}"
done
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
echo "$ipk ($(stat -c %s "$ipk") bytes), $out/adapterd.ipk, $out/adapterd-static: server $server"
