#!/usr/bin/env bash
# The adapter's main job, in a local sandbox: builds what it needs (quietly,
# unless the build fails), then walks adapterd-sandbox through login,
# heartbeats, serial data both ways with a settings change, an identity query
# from the serial side, a silent server and the reconnection, and a remote
# upgrade from a local FTP server. The server's side is the scenario
# scripts/demo.sim, run by adapter-sim; the device end of the serial port
# answers the server's data. Every line, the adapter's included, is shown
# with the time it was written, in one stream and in order; colour only on
# a terminal. Everything runs on 127.0.0.1 and in a temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build_log=$(mktemp /tmp/adapterd-demo-build.XXXXXX)
if ! { cmake --preset release && cmake --build --preset release --target adapterd-sandbox adapter-sim adapter-dev; } \
     >"$build_log" 2>&1; then
  cat "$build_log" >&2
  echo "demo: the build failed (output above)" >&2
  rm -f "$build_log"
  exit 1
fi
rm -f "$build_log"
bin=build/release
tools=build/release/tools
py=/usr/bin/python3

root=$(mktemp -d /tmp/adapterd-demo.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  exec 4>&- 5>&- 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

# One renderer for every source, so lines appear in the order they were
# written: each source prefixes its lines with its name and writes whole
# lines into one FIFO. Lines that bring no time stamp (the adapter's log has
# none of its own) get one on arrival, in the simulator's format. The
# adapter's GBK brackets are shown readably.
mkfifo "$root/lines"
$py -u -c '
import re, sys, time
tty = sys.stdout.isatty()
colour = {"adapter": "33", "server": "36", "device": "32"}
stamped = re.compile(r"\d\d:\d\d:\d\d\.\d\d\d ")
def paint(code, text):
    return "\033[%sm%s\033[0m" % (code, text) if tty else text
for raw in sys.stdin.buffer:
    source, _, rest = raw.partition(b" ")
    source = source.decode()
    text = rest.decode("gbk", "replace").rstrip("\r\n")
    if stamped.match(text):
        stamp, text = text[:12], text[13:]
    else:
        t = time.time()
        stamp = time.strftime("%H:%M:%S", time.localtime(t)) + ".%03d" % (int(t * 1000) % 1000)
    if text.startswith("== "):
        print("\n" + paint("1", text), flush=True)
    else:
        print("%s %s %s" % (stamp, paint(colour.get(source, "0"), "%-7s" % source), text), flush=True)
' < "$root/lines" &
renderer=$!
exec 4> "$root/lines"
label() { LC_ALL=C sed -u "s/^/$1 /" >&4; }
say() { printf 'demo == %s\n' "$*" >&4; }
free_port() { $py -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

mkdir -p "$root/dev" "$root/etc/config" "$root/usr/bin/zov" "$root/ftp" \
         "$root/sys/devices/gpio-leds.4/leds/mpr-a2:led_data" \
         "$root/sys/devices/gpio-leds.4/leds/mpr-a2:led_online"
printf 'config deviceInfo\r\n\toption serialNum DEMO0000001\r\n\toption pairCode 4242\r\n' \
  > "$root/etc/config/device_info"

# Two linked pseudo-terminals: the adapter's serial port and the device end.
# Only the labellers hold the renderer's FIFO (fd 4), so that it ends when
# they do: everything else is started with 4>&-.
socat pty,raw,echo=0,link="$root/dev/ttyS0" pty,raw,echo=0,link="$root/serial-device" 4>&- &
pids+=($!)

# A local FTP server with an upgrade package on it.
head -c 300000 /dev/urandom > "$root/ftp/zovClient.tar"
mkfifo "$root/ftp.in"
$py tests/support/ftpd.py "$root/ftp" anonymous demo 0 < "$root/ftp.in" > "$root/ftp.port" \
  2> "$root/ftp.err" 4>&- &
pids+=($!)
exec 5> "$root/ftp.in"
for _ in $(seq 50); do [ -s "$root/ftp.port" ] && [ -e "$root/serial-device" ] && break; sleep 0.1; done
ftp_port=$(head -n1 "$root/ftp.port")
sim_port=$(free_port)

say "start the server (127.0.0.1:$sim_port) and the adapter (identity DEMO0000001/4242, FTP port $ftp_port)"
# The server first, so that the adapter's first connection finds it.
"$tools/adapter-sim" -p "$sim_port" --script scripts/demo.sim --log "$root/server.log" \
  > >(label server) 2>&1 4>&- &
sim=$!
pids+=($sim)
for _ in $(seq 50); do grep -q listening "$root/server.log" 2>/dev/null && break; sleep 0.1; done

ADAPTER_ROOT="$root" ADAPTER_SERVER_HOST=127.0.0.1 ADAPTER_SERVER_PORT="$sim_port" \
ADAPTER_FTP_PORT="$ftp_port" ADAPTER_MSG_KEY=$((0x44450000 + $$ % 65536)) \
  "$bin/adapterd-sandbox" > >(label adapter) 2>&1 4>&- &
adapter=$!
pids+=($adapter)

# The device: waits for the server's greeting (sent at 38400 8E1), reads
# the adapter's identity with a local frame, then greets back.
{
  printf 'received "%s"\n' "$(head -c 12 "$root/serial-device")"
  "$tools/adapter-dev" -p "$root/serial-device" -b 38400 -y e info
  printf 'hello from the device' > "$root/serial-device"
  echo 'sent "hello from the device"'
} > >(label device) 2>&1 4>&- &
pids+=($!)

status=0
wait "$sim" || status=$?
for _ in $(seq 100); do kill -0 "$adapter" 2>/dev/null || break; sleep 0.1; done
if [ "$status" -ne 0 ]; then
  say "a step of the story did not happen in time (adapter-sim status $status)"
elif cmp -s "$root/ftp/zovClient.tar" "$root/usr/bin/zov/zovClient.tar"; then
  say "package in place, byte for byte ($(stat -c %s "$root/usr/bin/zov/zovClient.tar") bytes)"
else
  say "package missing or different"
  status=1
fi
# Stop what still runs; the renderer ends once the last labeller has.
for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
exec 4>&-
wait "$renderer" 2>/dev/null || true
exit "$status"
