#!/usr/bin/env bash
# Runs the procd service script under busybox ash, with stand-ins for
# rc.common, procd.sh and uci and a ubus that records what it is sent: the
# instance start sends, a reload after a new identity (procd restarts an
# instance whose files' checksums changed), the switch in /etc/config/adapterd.
#   tests/package/check-init.sh
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/package/checks.sh"
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
mkdir -p "$w/bin" "$w/config"

printf '#!/bin/sh\n[ "$1 $2 $3" = "call service set" ] && printf "%%s\\n" "$4" >"%s/sent"\n' "$w" >"$w/bin/ubus"
chmod +x "$w/bin/ubus"
# start, and reload (start again, for a script without reload_service): one
# "service set" with the instances and triggers, as procd.sh builds it.
cat >"$w/rc.common" <<'EOF'
. "$1"
type reload_service >/dev/null 2>&1 && { echo "the stand-in has no reload_service" >&2; exit 1; }
config() { S=$2; }
option() { eval "CONFIG_${S}_$1=\$2"; }
config_load() { [ ! -f "$UCI_CONFIG_DIR/$1" ] || . "$UCI_CONFIG_DIR/$1"; }
config_get_bool() { eval "$1=\${CONFIG_$2_$3:-$4}"; }
procd_open_instance() { J="$J\"instance1\":{"; }
procd_set_param() {
	k=$1 v=; shift
	case $k in
	command|file|respawn) for a; do v="$v${v:+,}\"$a\""; done; v="[$v]" ;;
	stdout|stderr) [ "$1" = 1 ] && v=true || v=false ;;
	*) v=$1 ;;
	esac
	J="$J\"$k\":$v,"
}
procd_close_instance() { J="${J%,}},"; }
procd_add_reload_trigger() {
	for c; do T="$T[\"config.change\",[\"if\",[\"eq\",\"package\",\"$c\"],[\"run_script\",\"/etc/init.d/adapterd\",\"reload\"]],1000],"; done
}
start_service
service_triggers
ubus call service set "{\"name\":\"adapterd\",\"instances\":{${J%,}},\"triggers\":[${T%,}]}"
EOF

run() { rm -f "$w/sent"; UCI_CONFIG_DIR=$w/config PATH=$w/bin:$PATH busybox ash "$w/rc.common" "$top/openwrt/adapterd/files/adapterd.init" 2>"$w/err"; }
sent() { jq -cS "$1" "$w/sent"; }
sums() { jq -r '.instances[].file[]?' "$w/sent" | xargs -r md5sum; }  # what procd compares
identity() { printf 'config deviceInfo\r\n\toption serialNum %s\r\n\toption pairCode 1\r\n' "$1" >"$w/config/device_info"; }

identity SN0000001
cp "$top/openwrt/adapterd/files/adapterd.config" "$w/config/adapterd"
run
check "start: the instance procd runs" same "$(sent .instances)" \
  "{\"instance1\":{\"command\":[\"/usr/sbin/adapterd\"],\"file\":[\"$w/config/device_info\"],\"respawn\":[\"3600\",\"5\",\"0\"],\"stderr\":true,\"stdout\":true,\"term_timeout\":10}}"
check "start: reloads on a change of either file" same "$(sent '[.triggers[][1][1][2]]')" '["device_info","adapterd"]'
before=$(sums)
identity SN0000002
run
check "reload, new identity: procd sees a change" bash -c "[ -n '$before' ] && [ '$(sums)' != '$before' ]"

printf "config adapterd 'main'\n\toption enabled '0'\n" >"$w/config/adapterd"
run
check "switched off: no instance" same "$(sent .instances)" '{}'
check "switched off: says so" grep -q "switched off in $w/config/adapterd" "$w/err"

echo "service: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
