#!/usr/bin/env bash
# Runs the procd service script under busybox ash, with stand-ins for
# rc.common, procd.sh and uci and a ubus that records what it is sent: the
# instance start sends, a reload after a new identity (procd restarts an
# instance whose files' checksums changed), the switch and options in
# /etc/config/adapterd, their --check (build/release/adapterd's when it has
# one, else a stand-in's), no serialNum; then the rpcd plugin's answers.
#   tests/package/check-init.sh
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/package/checks.sh"
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
mkdir -p "$w/bin" "$w/config"

printf '#!/bin/sh\n[ "$1 $2 $3" = "call service set" ] && printf "%%s\\n" "$4" >"%s/sent"\n' "$w" >"$w/bin/ubus"
chmod +x "$w/bin/ubus"
real=$top/build/release/adapterd
"$real" --check >/dev/null 2>&1 || real=
cat >"$w/bin/adapterd" <<'EOF'
#!/bin/sh
echo "$*" >"$W/checked"
[ -z "$REAL" ] || exec "$REAL" "$@"
case " $* " in *" --port 70000 "*) echo "adapterd: --port: 70000 is above 65535" >&2; exit 2 ;; esac
EOF
printf '#!/bin/sh\n' >"$w/bin/logger"
chmod +x "$w/bin/adapterd" "$w/bin/logger"
# start, and reload (start again, for a script without reload_service): one
# "service set" with the instances and triggers, as procd.sh builds it.
cat >"$w/rc.common" <<'EOF'
. "$1"
PROG=$W/bin/adapterd  # the stand-in
type reload_service >/dev/null 2>&1 && { echo "the stand-in has no reload_service" >&2; exit 1; }
config() { S=$2; }
option() { eval "CONFIG_${S}_$1=\$2"; }
list() { eval "CONFIG_${S}_$1=\"\${CONFIG_${S}_$1:+\$CONFIG_${S}_$1 }\$2\""; }
config_load() { [ ! -f "$UCI_CONFIG_DIR/$1" ] || . "$UCI_CONFIG_DIR/$1"; }
config_get_bool() { eval "$1=\${CONFIG_$2_$3:-$4}"; }
config_get() { eval "$1=\${CONFIG_$2_$3:-$4}"; }
list() { eval "_n=\$((\${CONFIG_${S}_$1_LENGTH:-0} + 1))"; eval "CONFIG_${S}_$1_ITEM$_n=\$2; CONFIG_${S}_$1_LENGTH=$_n"; }
config_list_foreach() {
	eval "_n=\${CONFIG_$1_$2_LENGTH:-0}"; _c=1
	while [ $_c -le $_n ]; do eval "_v=\$CONFIG_$1_$2_ITEM$_c"; $3 "$_v"; _c=$((_c + 1)); done
}
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

run() { rm -f "$w/sent"; W=$w REAL=$real UCI_CONFIG_DIR=$w/config PATH=$w/bin:$PATH busybox ash "$w/rc.common" "$top/openwrt/adapterd/files/adapterd.init" 2>"$w/err"; }
sent() { jq -cS "$1" "$w/sent"; }
sums() { jq -r '.instances[].file[]?' "$w/sent" | xargs -r md5sum; }  # what procd compares
identity() { printf 'config deviceInfo\r\n\toption serialNum %s\r\n\toption pairCode 1\r\n' "$1" >"$w/config/device_info"; }

identity SN0000001
cp "$top/openwrt/adapterd/files/adapterd.config" "$w/config/adapterd"
run
check "start: the instance procd runs" same "$(sent .instances)" \
  "{\"instance1\":{\"command\":[\"$w/bin/adapterd\",\"--log\",\"changes\"],\"file\":[\"$w/config/device_info\"],\"respawn\":[\"3600\",\"5\",\"0\"],\"stderr\":true,\"stdout\":true,\"term_timeout\":10}}"
check "start: checks what it runs, says nothing of the identity" \
  bash -c "[ \"\$(cat '$w/checked')\" = '--check --log changes' ] && [ ! -s '$w/err' ]"
check "start: reloads on a change of either file" same "$(sent '[.triggers[][1][1][2]]')" '["device_info","adapterd"]'
before=$(sums)
identity SN0000002
run
check "reload, new identity: procd sees a change" bash -c "[ -n '$before' ] && [ '$(sums)' != '$before' ]"

printf "config adapterd 'main'\n\toption enabled '0'\n" >"$w/config/adapterd"
run
check "switched off: no instance" same "$(sent .instances)" '{}'
check "switched off: says so" grep -q "switched off in $w/config/adapterd" "$w/err"

conf() { printf "config adapterd 'main'\n"; printf "\toption %s '%s'\n" "$@"; }
conf server 127.0.0.1 port 61000 ftp_port 2121 heartbeat 30 silence 70 log all >"$w/config/adapterd"
run
opts='--server 127.0.0.1 --port 61000 --ftp-port 2121 --heartbeat 30 --silence 70 --log all'
check "options: each one set passed" same "$(sent '.instances[].command[1:] | join(" ")')" "\"$opts\""
check "options: checked as passed" same "$(cat "$w/checked")" "--check $opts"
{ conf log all; printf "\tlist server '%s'\n" 127.0.0.1:61000 '[::1]' b.example; } >"$w/config/adapterd"
run
opts='--server 127.0.0.1:61000 --server [::1] --server b.example --log all'
check "servers: each entry of the list its own --server, in order" \
  same "$(sent '.instances[].command[1:] | join(" ")')" "\"$opts\""
{ conf log all; printf "\tlist server '%s'\n" '[::1' ; } >"$w/config/adapterd"
run
check "servers: a refused entry starts nothing" same "$(sent .instances)" '{}'
# Keys the real daemon's --check accepts (signify-openbsd makes usign's format).
for k in a b; do signify-openbsd -G -n -p "$w/$k.pub" -s "$w/$k.sec" >/dev/null 2>&1; done
{ conf local_upgrade off; printf "\tlist upgrade_key '%s'\n" "$w/a.pub" "$w/b.pub"; } >"$w/config/adapterd"
run
opts="--local-upgrade off --upgrade-key $w/a.pub --upgrade-key $w/b.pub"
check "options: local_upgrade, and each upgrade_key of the list" same "$(sent '.instances[].command[1:] | join(" ")')" "\"$opts\""
# TLS: its files and name passed only with it on, each checked by --check.
for k in c o; do
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$w/$k.key" \
    -out "$w/$k.crt" -subj /CN=s.example -days 30 >/dev/null 2>&1
done
tlsconf() { conf tls "$1" ca "$w/c.crt" tls_name s.example cert "$w/c.crt" key "$w/$2.key"; }
tlsconf 1 c >"$w/config/adapterd"
run
opts="--tls --ca $w/c.crt --tls-name s.example --cert $w/c.crt --key $w/c.key"
check "options: tls on passes its files and name" same "$(sent '.instances[].command[1:] | join(" ")')" "\"$opts\""
tlsconf 0 c >"$w/config/adapterd"
run
check "options: tls off passes none of them" same "$(sent '.instances[].command[1:]')" '[]'
if [ -n "$real" ] && "$real" --tls --ca "$w/c.crt" --check >/dev/null 2>&1; then
  tlsconf 1 o >"$w/config/adapterd"
  run
  check "refused tls key: no instance, names option key" \
    bash -c "[ '$(sent .instances)' = '{}' ] && grep -q 'fix option key in ' '$w/err'"
fi
conf port 70000 ftp_port 2121 >"$w/config/adapterd"
run
check "refused option: no instance" same "$(sent .instances)" '{}'
check "refused option: says which" grep -q "^adapterd: --port: .*not started: fix option port in $w/config/adapterd$" "$w/err"
printf 'config deviceInfo\r\n\toption pairCode 1\r\n\toption serialNum ""\r\n' >"$w/config/device_info"
conf log changes >"$w/config/adapterd"
run
check "no serial number: started, one line says so" \
  bash -c "[ '$(sent '.instances | length')' = 1 ] && [ \"\$(grep -c serialNum '$w/err')\" = 1 ]"

plug() { ADAPTER_ROOT=$w busybox ash "$top/openwrt/adapterd/files/adapterd.rpcd" "$@"; }
state() { mkdir -p "$w/var/run/adapterd"; echo "{\"state\":\"online\",\"pid\":$1}" >"$w/var/run/adapterd/status.json"; }
cp "$(command -v sleep)" "$w/adapterd"
"$w/adapterd" 30 & live=$!
state $live
check "plugin: list, and the file while its adapterd runs" same "$(plug list; plug call status)" $'{"status":{}}\n'"$(cat "$w/var/run/adapterd/status.json")"
kill $live; wait $live 2>/dev/null
check "plugin: stopped when its pid is gone" same "$(plug call status)" '{"state":"stopped"}'
state $$
check "plugin: stopped when its pid is no adapterd" same "$(plug call status)" '{"state":"stopped"}'
rm "$w/var/run/adapterd/status.json"
check "plugin: stopped without a file" same "$(plug list; plug call status)" $'{"status":{}}\n{"state":"stopped"}'

echo "service: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
