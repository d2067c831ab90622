#!/usr/bin/env bash
# Unpacks an adapterd .ipk and checks what opkg and the router will see:
# the archive layout and ownership, the control fields and install scripts,
# the daemon (a stripped mipsel soft-float ELF on musl's loader, needing
# libc.so alone, with the server host it was built for), the procd service
# script and its settings, a conffile, their upgrade script, the rpcd plugin
# and its ACL. tests/package/check-init.sh runs the service script and the
# plugin. --server-port asks the static build beside the package (under
# qemu-mipsel) for the server host and port it was built for.
#   tests/package/check-ipk.sh PACKAGE [--arch ARCH] [--server-host HOST] [--server-port N]
set -uo pipefail
ipk=${1:?usage: check-ipk.sh PACKAGE [--arch ARCH] [--server-host HOST] [--server-port N]}
shift
arch=mipsel_24kc host="" port=""
while [ $# -gt 0 ]; do
  case $1 in
    --arch) arch=$2; shift 2 ;;
    --server-host) host=$2; shift 2 ;;
    --server-port) port=$2; shift 2 ;;
    *) echo "check-ipk.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

. "$(dirname "$0")/checks.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
listing() { tar -tzvf "$1" | awk '{print $1, $2, $6}'; }  # mode owner name

check "package is a gzip'd tar" gzip -t "$ipk"
check "outer members" same "$(tar -tzf "$ipk")" $'./debian-binary\n./control.tar.gz\n./data.tar.gz'
tar -C "$work" -xzf "$ipk"
check "outer members owned by root" bash -c "! tar -tzvf '$ipk' | awk '{print \$2}' | grep -v '^0/0$'"
check "debian-binary is 2.0" same "$(cat "$work/debian-binary")" "2.0"

mkdir -p "$work/control" "$work/data"
tar -C "$work/control" -xzf "$work/control.tar.gz"
tar -C "$work/data" -xzf "$work/data.tar.gz"
check "control members" same "$(tar -tzf "$work/control.tar.gz" | sort)" \
  $'./\n./conffiles\n./control\n./postinst\n./postinst-pkg\n./postrm\n./preinst\n./prerm'
scripts="preinst postinst postinst-pkg prerm postrm"
check "install scripts executable" bash -c "for s in $scripts; do test -x '$work/control/'\$s || exit; done"
check "install scripts parse" bash -c "for s in $scripts; do sh -n '$work/control/'\$s || exit; done"
check "install and removal reload rpcd, not in an image" bash -c "for s in postinst-pkg postrm; do
  grep -q 'IPKG_INSTROOT.*-x /etc/init.d/rpcd.*/etc/init.d/rpcd reload' '$work/control/'\$s || exit; done"
check "the switch is a conffile" same "$(cat "$work/control/conffiles")" /etc/config/adapterd
field() { sed -n "s/^$1: //p" "$work/control/control"; }
check "Package" same "$(field Package)" adapterd
check "Version" bash -c "[[ '$(field Version)' =~ ^[0-9][0-9.]*-[0-9]+$ ]]"
check "Architecture" same "$(field Architecture)" "$arch"
check "Depends" same "$(field Depends)" libc
check "Maintainer" test -n "$(field Maintainer)"
check "License" same "$(field License)" ISC
check "Description" test -n "$(field Description)"
check "Installed-Size" same "$(field Installed-Size)" \
  "$(find "$work/data" -type f -printf '%s\n' | awk '{s += $1} END {print s}')"

check "data members, modes and owners" same "$(listing "$work/data.tar.gz" | grep -v '/$' | sort -k3)" \
  $'-rw-r--r-- 0/0 ./etc/config/adapterd\n-rwxr-xr-x 0/0 ./etc/init.d/adapterd\n-rw-r--r-- 0/0 ./etc/uci-defaults/90-adapterd-log
-rwxr-xr-x 0/0 ./usr/libexec/rpcd/adapterd\n-rwxr-xr-x 0/0 ./usr/sbin/adapterd\n-rw-r--r-- 0/0 ./usr/share/rpcd/acl.d/adapterd.json'
check "data directories owned by root" bash -c "! tar -tzvf '$work/data.tar.gz' | awk '{print \$2}' | grep -v '^0/0$'"

bin=$work/data/usr/sbin/adapterd
mipsel() {
  local h
  h=$(readelf -h "$1") && grep -q 'Class: *ELF32' <<<"$h" && grep -q 'little endian' <<<"$h" &&
    grep -q 'Machine: *MIPS' <<<"$h"
}
check "daemon is 32-bit little-endian MIPS" mipsel "$bin"
check "daemon loads through musl's soft-float loader" \
  same "$(readelf -lW "$bin" | sed -n 's/.*interpreter: \(.*\)]/\1/p')" /lib/ld-musl-mipsel-sf.so.1
check "daemon needs libc.so alone" \
  same "$(readelf -dW "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')" libc.so
check "daemon is soft-float" bash -c "readelf -A '$bin' | grep -q 'FP ABI: Soft float'"
check "daemon is stripped" bash -c "! readelf -SW '$bin' | grep -q '\.symtab'"
if [ -n "$host" ]; then
  check "server host compiled in" grep -qaF "$host" "$bin"
fi
if [ -n "$port" ]; then
  check "server host and port built in" bash -c "qemu-mipsel '$(dirname "$ipk")/adapterd-static' --help |
    grep -qE '^ *server +${host:-adapter-server.example.invalid}:$port\$'"
fi

init=$work/data/etc/init.d/adapterd
check "service script runs under rc.common" same "$(head -n1 "$init")" "#!/bin/sh /etc/rc.common"
check "service script parses" sh -n "$init"
check "service is a procd service started late" \
  bash -c "grep -qx 'USE_PROCD=1' '$init' && grep -qx 'START=99' '$init'"
check "service starts the packaged daemon, checking its options first" \
  bash -c "grep -q 'procd_set_param command \"\\\$PROG\" \"\\\$@\"' '$init' && grep -q '\"\\\$PROG\" --check \"\\\$@\"' '$init'"
check "service daemon path" grep -qx 'PROG=/usr/sbin/adapterd' "$init"
check "service respawns without a limit" grep -qE 'procd_set_param respawn [0-9]+ [0-9]+ 0$' "$init"
check "service restarts on a new identity" grep -q 'procd_set_param file "\$IDENTITY"' "$init"
check "service switched on, logging changes" bash -c "grep -qx \"config adapterd 'main'\" '$work/data/etc/config/adapterd' &&
  grep -qx \"	option enabled '1'\" '$work/data/etc/config/adapterd' && grep -qx \"	option log 'changes'\" '$work/data/etc/config/adapterd'"
check "upgrades get the log level" bash -c "sh -n '$work/data/etc/uci-defaults/90-adapterd-log' &&
  grep -q 'uci -q set adapterd.main.log=changes' '$work/data/etc/uci-defaults/90-adapterd-log'"
check "rpcd plugin lists status" same "$(sh "$work/data/usr/libexec/rpcd/adapterd" list)" '{"status":{}}'
check "rpcd ACL lets status be read" jq -e '.[].read.ubus.adapterd == ["status"]' "$work/data/usr/share/rpcd/acl.d/adapterd.json"
check "service logs to the system log" \
  bash -c "grep -q 'procd_set_param stdout 1' '$init' && grep -q 'procd_set_param stderr 1' '$init'"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
