#!/bin/sh
# Cost of a verified upgrade: time from the server's upgrade request to the
# adapter's answer for a package fetched from pyftpdlib on 127.0.0.1,
# without keys and with one (its PATH.sig fetched and checked by the
# verifier), RUNS times each; the difference is the signature's share.
#   bench/bench_upgrade.sh [SIZE_MB] [RUNS]        (defaults 5 and 5)
# Environment: BENCH_BUILD the daemon's build [build/release]; BENCH_WRAP a
# command to run it under (qemu-mipsel ...); BENCH_USIGN the verifier
# [/usr/bin/signify-openbsd]. The simulator always comes from build/release.
# Under qemu: BENCH_BUILD=build/mipsel, BENCH_WRAP="qemu-mipsel -L
# /usr/mipsel-linux-gnu -E LD_LIBRARY_PATH=/usr/mipsel-linux-gnu/lib", and
# BENCH_USIGN a script running a usign built for mipsel under qemu-mipsel.
set -eu
mb=${1:-5}
runs=${2:-5}
top=$(cd "$(dirname "$0")/.." && pwd)
daemon=$top/${BENCH_BUILD:-build/release}/adapterd-sandbox
sim=$top/build/release/tools/adapter-sim
usign=${BENCH_USIGN:-/usr/bin/signify-openbsd}
w=$(mktemp -d /tmp/bench-upgrade-XXXXXX)
trap 'exec 9>&-; kill $pty 2>/dev/null; wait 2>/dev/null; rm -rf "$w"' EXIT
R=$w/root
mkdir -p "$R/dev" "$R/etc/config" "$R/usr/bin/zov" "$w/ftp" \
  "$R/sys/devices/gpio-leds.4/leds/mpr-a2:led_data" "$R/sys/devices/gpio-leds.4/leds/mpr-a2:led_online"
printf 'config deviceInfo\r\n\toption serialNum BENCH01\r\n\toption pairCode 42\r\n' >"$R/etc/config/device_info"
head -c $((mb * 1048576)) /dev/urandom >"$w/ftp/pkg.tar"
signify-openbsd -G -n -p "$w/k.pub" -s "$w/k.sec" >/dev/null
signify-openbsd -S -s "$w/k.sec" -m "$w/ftp/pkg.tar" -x "$w/ftp/pkg.tar.sig"
socat pty,raw,echo=0,link="$R/dev/ttyS0" pty,raw,echo=0,link="$w/device" & pty=$!
mkfifo "$w/keep"
/usr/bin/python3 "$top/tests/support/ftpd.py" "$w/ftp" u pw <"$w/keep" >"$w/ftpport" &
exec 9>"$w/keep"
sleep 1
ftpport=$(head -1 "$w/ftpport")
printf 'wait online 60\nupgrade 127.0.0.1 u pw /pkg.tar\nwait upgrade ok 120\n' >"$w/run.sim"

# One upgrade: milliseconds from the request sent to the answer 00.
one() {
  rm -f "$R/usr/bin/zov/"*
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  "$sim" -p "$port" -j -s "$w/run.sim" >"$w/sim.json" & s=$!
  sleep 0.3
  ADAPTER_ROOT=$R ADAPTER_SERVER_PORT=$port ADAPTER_FTP_PORT=$ftpport ADAPTER_USIGN=$usign \
    ADAPTER_MSG_KEY=$((0x53440000 + $$ % 65536)) ${BENCH_WRAP:-} "$daemon" "$@" >"$w/adapter.log" 2>&1 || true
  wait $s
  python3 - "$w/sim.json" <<'EOF'
import json, sys
ev = [json.loads(l) for l in open(sys.argv[1], errors="replace") if l.startswith("{")]
sent = next(e["ts"] for e in ev if e.get("what") == "upgrade request")
done = next(e["ts"] for e in ev if e.get("event") == "upgrade-response" and e.get("code") == 0)
print(round((done - sent) * 1000))
EOF
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for i in $(seq "$runs"); do one; done >"$w/plain"
for i in $(seq "$runs"); do one --upgrade-key "$w/k.pub"; done >"$w/signed"
p=$(median <"$w/plain")
s=$(median <"$w/signed")
echo "upgrade of $mb MB, request to answer, median of $runs: unsigned $p ms ($(tr '\n' ' ' <"$w/plain")), signed $s ms ($(tr '\n' ' ' <"$w/signed")); the signature $((s - p)) ms"
