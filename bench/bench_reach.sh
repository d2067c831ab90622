#!/bin/sh
# Time to online of adapterd-sandbox when the first address of its server's
# name, or its first server, is dead, everything on loopback.
usage() {
    cat <<'EOF'
usage: bench/bench_reach.sh [BUILD_DIR] [--runs N]

Starts the sandboxed adapter N times (default 3) per case and measures the
time from its start to "[TCP]:online success" against a server that
accepts every login at once:
  live       one server, one address (the reference)
  v6         the server on ::1
  addr-ref   a name whose first address (127.0.0.1) refuses, the second
             (127.0.0.2) answers
  addr-hole  the same with the first address black-holed: a listener on
             127.0.0.1 whose accept queue is full, so its SYNs go unanswered
  srv-ref    two servers, the first refusing
  srv-hole   two servers, the first black-holed
The name cases need root and unshare -m (a private /etc/hosts in a mount
namespace; the machine's own file is never touched) and are skipped
otherwise. The first online request follows the connect after the first
receive wait of 1 s, and a second server is tried after the 10 s
connection interval, so those are in every figure.
BUILD_DIR defaults to build-link-bench (Release, adapterd-sandbox only).
EOF
}
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
build="$src/build-link-bench"
for a in "$@"; do
    case "$a" in -h|--help) usage; exit 0 ;; esac
done
case "${1:-}" in
    ""|-*) ;;
    *) build=$1; shift ;;
esac
. "$here/build.sh"
bench_build bench_reach "$src" "$build" adapterd-sandbox
exec python3 - "$build/adapterd-sandbox" "$@" <<'PYEOF'
import os, shutil, socket, subprocess, sys, tempfile, threading, time

daemon = sys.argv[1]
args = sys.argv[2:]
runs = int(args[args.index("--runs") + 1]) if "--runs" in args else 3

def listener(addr, port=0, backlog=4):
    fam = socket.AF_INET6 if ":" in addr else socket.AF_INET
    s = socket.socket(fam, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((addr, port))
    s.listen(backlog)
    return s

def serve(s):
    """Accepts one adapter and answers its online request."""
    def run():
        try:
            c, _ = s.accept()
            c.settimeout(10)
            if c.recv(64)[:2] == b"\x01\x00":
                c.sendall(b"\x01\x80\x00")
            time.sleep(3)
            c.close()
        except OSError:
            pass
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t

def black_hole(addr, port):
    """A listener whose accept queue is full: further SYNs go unanswered."""
    s = listener(addr, port, 0)
    filler = socket.create_connection((addr, port))
    return s, filler

def refused_port(addr):
    s = socket.socket(); s.bind((addr, 0)); p = s.getsockname()[1]; s.close(); return p

def sandbox():
    root = tempfile.mkdtemp(prefix="bench-reach-")
    for d in ("dev", "etc/config", "usr/bin/zov", "sys/devices/gpio-leds.4/leds/mpr-a2:led_data",
              "sys/devices/gpio-leds.4/leds/mpr-a2:led_online"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(os.path.join(root, "etc/config/device_info"), "w") as f:
        f.write("config deviceInfo\r\n\toption serialNum BENCH01\r\n\toption pairCode 42\r\n")
    return root

def time_online(argv, hosts=None):
    root = sandbox()
    env = dict(os.environ, ADAPTER_ROOT=root, ADAPTER_MSG_KEY=str(20000 + os.getpid() % 10000),
               ADAPTER_CHECK_TREE="0", ADAPTER_FTP_PORT=str(refused_port("127.0.0.1")))
    cmd = [daemon] + argv
    if hosts is not None:
        path = os.path.join(root, "hosts")
        with open(path, "w") as f:
            f.write(hosts)
        cmd = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"', path] + cmd
    t0 = time.monotonic()
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    took = None
    deadline = t0 + 30
    buf = b""
    os.set_blocking(p.stdout.fileno(), False)
    while time.monotonic() < deadline and took is None:
        try:
            chunk = p.stdout.read() or b""
        except BlockingIOError:
            chunk = b""
        buf += chunk
        if b"[TCP]:online success" in buf:
            took = time.monotonic() - t0
        time.sleep(0.005)
    p.terminate()
    p.wait()
    subprocess.call(["ipcrm", "-Q", env["ADAPTER_MSG_KEY"]], stderr=subprocess.DEVNULL)
    shutil.rmtree(root, ignore_errors=True)
    return took

def case(name, setup):
    times = []
    for _ in range(runs):
        argv, hosts, keep = setup()
        times.append(time_online(argv, hosts))
        for k in keep:
            k.close()
    shown = ", ".join("%.2f s" % t if t is not None else "none" for t in times)
    print("%-10s time to online: %s" % (name, shown), flush=True)

def live():
    s = listener("127.0.0.1"); serve(s)
    return ["--server", "127.0.0.1:%d" % s.getsockname()[1]], None, [s]

def v6():
    s = listener("::1"); serve(s)
    return ["--server", "[::1]:%d" % s.getsockname()[1]], None, [s]

HOSTS = "127.0.0.1 two.test\n127.0.0.2 two.test\n"

def addr_ref():
    s = listener("127.0.0.2"); serve(s)
    return ["--server", "two.test:%d" % s.getsockname()[1]], HOSTS, [s]

def addr_hole():
    s = listener("127.0.0.2"); serve(s)
    port = s.getsockname()[1]
    h, f = black_hole("127.0.0.1", port)
    return ["--server", "two.test:%d" % port], HOSTS, [s, h, f]

def srv_ref():
    s = listener("127.0.0.1"); serve(s)
    return ["--server", "127.0.0.1:%d" % refused_port("127.0.0.1"), "--server",
            "127.0.0.1:%d" % s.getsockname()[1]], None, [s]

def srv_hole():
    s = listener("127.0.0.1"); serve(s)
    hp = refused_port("127.0.0.1")
    h, f = black_hole("127.0.0.1", hp)
    return ["--server", "127.0.0.1:%d" % hp, "--server", "127.0.0.1:%d" % s.getsockname()[1]], None, [s, h, f]

names = os.geteuid() == 0 and subprocess.call(["unshare", "-m", "true"], stderr=subprocess.DEVNULL) == 0
case("live", live)
case("v6", v6)
if names:
    case("addr-ref", addr_ref)
    case("addr-hole", addr_hole)
else:
    print("addr-ref, addr-hole: skipped (need root and unshare -m)")
case("srv-ref", srv_ref)
case("srv-hole", srv_hole)
PYEOF
