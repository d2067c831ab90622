#!/usr/bin/env bash
# The adapter's main job, in a local sandbox: builds everything, then walks
# adapterd-sandbox through login, heartbeats, serial data both ways with a
# settings change, an identity query from the serial side, a silent server
# and the reconnection, and a remote upgrade from a local FTP server.
# Everything runs on 127.0.0.1 and in a temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target adapterd-sandbox adapter-sim adapter-dev
bin=build/release
tools=build/release/tools

root=$(mktemp -d /tmp/adapterd-demo.XXXXXX)
pids=()
cleanup() {
  exec 3>&- 5>&- 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.3
  rm -rf "$root"
}
trap cleanup EXIT

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# Log lines carry GBK brackets; show them readably, one prefixed line each.
tag() { /usr/bin/python3 -u -c '
import sys
p = sys.argv[1]
for l in sys.stdin.buffer:
    print(p + l.decode("gbk", "replace").rstrip("\r\n"), flush=True)' "$1"; }
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

mkdir -p "$root/dev" "$root/etc/config" "$root/usr/bin/zov" "$root/ftp" \
         "$root/sys/devices/gpio-leds.4/leds/mpr-a2:led_data" \
         "$root/sys/devices/gpio-leds.4/leds/mpr-a2:led_online"
printf 'config deviceInfo\r\n\toption serialNum DEMO0000001\r\n\toption pairCode 4242\r\n' \
  > "$root/etc/config/device_info"

# Two linked pseudo-terminals: the adapter's serial port and the device end.
socat pty,raw,echo=0,link="$root/dev/ttyS0" pty,raw,echo=0,link="$root/serial-device" &
pids+=($!)

# A local FTP server with an upgrade package on it.
head -c 300000 /dev/urandom > "$root/ftp/zovClient.tar"
mkfifo "$root/ftp.in"
/usr/bin/python3 tests/support/ftpd.py "$root/ftp" demo demo 0 < "$root/ftp.in" > "$root/ftp.port" &
pids+=($!)
exec 5> "$root/ftp.in"

sim_port=$(free_port)
mkfifo "$root/sim.in"
"$tools/adapter-sim" --port "$sim_port" < "$root/sim.in" > >(tag "[server]  ") 2>&1 &
pids+=($!)
exec 3> "$root/sim.in"
for _ in $(seq 50); do [ -s "$root/ftp.port" ] && [ -e "$root/dev/ttyS0" ] && break; sleep 0.1; done
ftp_port=$(head -n1 "$root/ftp.port")

say "start the adapter (identity DEMO0000001/4242, server 127.0.0.1:$sim_port)"
ADAPTER_ROOT="$root" ADAPTER_SERVER_HOST=127.0.0.1 ADAPTER_SERVER_PORT="$sim_port" \
ADAPTER_FTP_PORT="$ftp_port" ADAPTER_MSG_KEY=$((0x44454d00 + $$ % 256)) \
  "$bin/adapterd-sandbox" > >(tag "[adapter] ") 2>&1 &
adapter=$!
pids+=($adapter)
sleep 5

say "the device types on the serial port"
printf 'hello from the device' > "$root/serial-device"
sleep 1.5

say "the server sends data with other settings (38400 baud, 8 bits, 1 stop, even parity)"
echo "data 5 1 0 2 hello device" >&3
got=$(timeout 3 head -c 12 "$root/serial-device" || true)
echo "[device]  received: '$got'"
sleep 1

say "the device reads the identity with a local frame"
"$tools/adapter-dev" --port "$root/serial-device" --baud 38400 info 2>&1 | tag "[device]  "
sleep 1

say "the server goes silent: heartbeats at 3, 6, 9 s, the link drops at 10 s"
echo "silent on" >&3
sleep 12
echo "silent off" >&3
say "the server answers again: the adapter reconnects and logs in"
sleep 10

say "the server asks for a remote upgrade from the local FTP server"
echo "upgrade 127.0.0.1 demo demo /zovClient.tar" >&3
for _ in $(seq 300); do kill -0 "$adapter" 2>/dev/null || break; sleep 0.1; done
sleep 0.5
if cmp -s "$root/ftp/zovClient.tar" "$root/usr/bin/zov/zovClient.tar"; then
  say "package in place, byte for byte ($(stat -c %s "$root/usr/bin/zov/zovClient.tar") bytes); the adapter has ended"
else
  say "package missing or different"
  exit 1
fi
