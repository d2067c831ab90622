#!/bin/sh
# Server link benchmark for adapterd-sandbox, everything on 127.0.0.1.
usage() {
    cat <<'EOF'
usage: bench/bench_link.sh [BUILD_DIR] [--window S] [--samples N] [--tls]

Measures the idle daemon and its server-message latency:
 (a) wake-ups and CPU of the idle daemon over a window (default 60 s), with a
     quiet serial port (a pseudo-terminal) and the sandbox on tmpfs (its LED
     files stand in for sysfs), once online with a quiet server
     (adapter-sim answering heartbeats) and once with the server unreachable
     (nothing listening). Wake-ups are context switches (voluntary plus
     involuntary) from /proc/PID/task/*/status, per thread and for the whole
     process. Then 15 s more traced with `strace -f -e trace=process` on
     every thread to count forks and execs while the link drops and
     reconnects (LED changes) or keeps failing to connect. The tracer is
     attached only after the window because its stops would count;
 (b) latency from a server message being sent to the adapter's handler
     running: its dispatch log line ("tcp recv data") and, with the serial
     port on a pseudo-terminal, the data byte arriving on the serial side.

--tls adds an idle online run over TLS: the daemon with --tls reaches the
simulator through socat with OpenSSL (openssl-listen) and a CA and server
certificate made here; its wake-ups are judged like the plain run's.

Every verdict line names the statistic its target judges.
BUILD_DIR defaults to build-link-bench, configured as Release and built here
(adapterd-sandbox and adapter-sim only). Needs strace and python3. Takes about
3 minutes with the default window.
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
command -v strace >/dev/null || { echo "bench_link: strace is needed" >&2; exit 1; }
command -v python3 >/dev/null || { echo "bench_link: python3 is needed" >&2; exit 1; }
. "$here/build.sh"
bench_build bench_link "$src" "$build" adapterd-sandbox adapter-sim
exec python3 - "$build/adapterd-sandbox" "$build/tools/adapter-sim" "$@" <<'PYEOF'
import os, re, select, shutil, signal, socket, statistics, subprocess, sys, tempfile, time, tty

daemon, sim = sys.argv[1], sys.argv[2]
args = sys.argv[3:]
window, samples, trace_window = 60.0, 50, 15.0
with_tls = False
i = 0
while i < len(args):
    if args[i] == "--tls":
        with_tls = True; i += 1; continue
    if args[i] == "--window" and i + 1 < len(args):
        window = float(args[i + 1]); i += 2
    elif args[i] == "--samples" and i + 1 < len(args):
        samples = int(args[i + 1]); i += 2
    else:
        sys.exit("bench_link: unknown option %s (try --help)" % args[i])
TICK = os.sysconf("SC_CLK_TCK")
# Worker threads are created in the order LED, link, serial, after main.
NAMES = ["main", "led", "link", "serial"]

def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p

# The LED brightness files stand in for sysfs, which has no writeback: on a
# disk file system each truncating LED write would also cost a switch.
SHM = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None

def sandbox():
    root = tempfile.mkdtemp(prefix="bench-link-", dir=SHM)
    for d in ("dev", "etc/config", "usr/bin/zov", "sys/devices/gpio-leds.4/leds/mpr-a2:led_data",
              "sys/devices/gpio-leds.4/leds/mpr-a2:led_online"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(os.path.join(root, "etc/config/device_info"), "w") as f:
        f.write("config deviceInfo\r\n\toption serialNum BENCH01\r\n\toption pairCode 42\r\n")
    return root

def env_for(root, port, key):
    e = dict(os.environ)
    e.update(ADAPTER_ROOT=root, ADAPTER_SERVER_HOST="127.0.0.1", ADAPTER_SERVER_PORT=str(port),
             ADAPTER_MSG_KEY=str(key), ADAPTER_FTP_PORT=str(free_port()))
    return e

def remove_queue(key):
    # The daemon never removes its keep-alive queue; the bench does.
    subprocess.call(["ipcrm", "-Q", str(key)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, all threads

def threads(pid):
    """{tid: (context switches, cpu ticks)} for every thread of pid."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        base = "/proc/%d/task/%s/" % (pid, tid)
        try:
            n = 0
            with open(base + "status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        n += int(line.split()[1])
            with open(base + "stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            out[int(tid)] = (n, int(fields[11]) + int(fields[12]))
        except OSError:
            pass
    return out

def child_of(pid, timeout=5.0):
    end = time.time() + timeout
    while time.time() < end:
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                kids = f.read().split()
            if kids:
                return int(kids[0])
        except OSError:
            pass
        time.sleep(0.05)
    sys.exit("bench_link: the daemon did not start under strace")

def count_process_calls(trace):
    execs = forks = threads_ = others = 0
    with open(trace) as f:
        for line in f:
            if re.search(r"\b(socket|openat)\(", line):
                others += 1  # shows the tracer sees the worker threads
            elif re.search(r"\bexecve\(", line) and "resumed" not in line:
                execs += 1
            elif re.search(r"\b(v?fork)\(", line):
                forks += 1
            elif re.search(r"\bclone3?\(", line):
                if "CLONE_THREAD" in line:
                    threads_ += 1
                else:
                    forks += 1
    return execs, forks, threads_, others

def tls_front(root, backend):
    """socat terminating TLS in front of backend; (its port, the CA file, the process)."""
    sh = ("set -e; cd '%s'; "
          "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj /CN=BenchCA; "
          "openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj /CN=localhost; "
          "printf 'subjectAltName=IP:127.0.0.1\\n' > srv.ext; "
          "openssl x509 -req -in srv.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out srv.crt -days 2 "
          "-extfile srv.ext") % root
    subprocess.check_call(["sh", "-c", sh], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    port = free_port()
    p = subprocess.Popen(["socat", "OPENSSL-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork,cert=%s/srv.crt,key=%s/srv.key,"
                          "verify=0" % (port, root, root), "TCP:127.0.0.1:%d" % backend],
                         stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    return port, os.path.join(root, "ca.crt"), p

def idle_run(name, online, tls=False):
    root = sandbox()
    # The serial port is there, as on the router, but quiet.
    master, slave = os.openpty()
    tty.setraw(master)
    os.symlink(os.ttyname(slave), os.path.join(root, "dev/ttyS0"))
    port = free_port()
    simp = None
    if online:
        simp = subprocess.Popen([sim, "--port", str(port)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        simp.stdout.readline()  # "listening on ..."
    logpath = os.path.join(root, "daemon.log")
    log = open(logpath, "wb")
    key = 0x42450000 + os.getpid() % 0xffff
    cmd, front = [daemon], None
    if tls:
        port, ca, front = tls_front(root, port)
        cmd += ["--tls", "--ca", ca]
    d = subprocess.Popen(cmd, env=env_for(root, port, key), stdout=log, stderr=subprocess.STDOUT)
    pid = d.pid
    time.sleep(3.0)  # connect and log in first
    # No tracer during the window: ptrace stops would count as switches.
    c0, p0, t0 = cpu_ticks(pid), threads(pid), time.time()
    time.sleep(window)
    c1, p1, t1 = cpu_ticks(pid), threads(pid), time.time()
    # Then trace every thread for process calls while the link also drops
    # and comes back (LED changes) or keeps failing to connect.
    trace = os.path.join(root, "strace.txt")
    tr = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=process,socket,openat", "-o", trace, "-p", str(pid)])
    time.sleep(1.0)
    if simp:
        simp.stdin.write(b"close\n")
        simp.stdin.flush()
    time.sleep(trace_window)
    tr.send_signal(signal.SIGINT)
    tr.wait(timeout=10)
    d.send_signal(signal.SIGTERM)
    d.wait(timeout=15)
    log.close()
    execs, forks, nthreads, others = count_process_calls(trace)
    text = open(logpath, "rb").read().decode("latin-1")
    span = t1 - t0
    cpu_ms = (c1 - c0) * 1000.0 / TICK
    pct = cpu_ms / (span * 10.0)
    per = []
    total = 0
    for k, tid in enumerate(sorted(p1)):
        sw = p1[tid][0] - p0.get(tid, (0, 0))[0]
        ms = (p1[tid][1] - p0.get(tid, (0, 0))[1]) * 1000.0 / TICK
        total += sw
        per.append("%s %.2f/s (%.0f ms)" % (NAMES[k] if k < len(NAMES) else str(tid), sw / span, ms))
    rate = total / span
    print("(a) idle, %s, %.0f s: %.2f wake-ups/s, CPU %.0f ms = %.3f %% of one core (clock tick %d ms)"
          % (name, span, rate, cpu_ms, pct, 1000 // TICK))
    print("    wake-ups by thread (CPU): " + ", ".join(per))
    print("    traced %.0f s more (%s): %d exec, %d fork/clone of a process, %d thread clones; log: "
          "%d connect success, %d connect fail, %d lost server, %d recv socket error, %d heartbeats; "
          "%d socket/openat calls traced"
          % (trace_window, "server closes the link" if online else "connect attempts", execs, forks, nthreads,
             text.count("connect success"), text.count("connect fail"), text.count("lost server"),
             text.count("recv socket error"), text.count("send heartbeat"), others))
    if simp:
        simp.stdin.close()
        simp.kill()
        simp.wait()
    if front:
        front.kill()
        front.wait()
    os.close(master); os.close(slave)
    remove_queue(key)
    shutil.rmtree(root, ignore_errors=True)
    return rate, pct, execs + forks

def latency_run():
    root = sandbox()
    master, slave = os.openpty()
    tty.setraw(master)
    os.symlink(os.ttyname(slave), os.path.join(root, "dev/ttyS0"))
    ls = socket.socket(); ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind(("127.0.0.1", 0)); ls.listen(1)
    port = ls.getsockname()[1]
    key = 0x42460000 + os.getpid() % 0xffff
    d = subprocess.Popen([daemon], env=env_for(root, port, key),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    ls.settimeout(5)
    c, _ = ls.accept()
    c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    c.settimeout(5)
    if c.recv(64)[:2] != b"\x01\x00":
        sys.exit("bench_link: no online request")
    c.sendall(b"\x01\x80\x00")
    out = d.stdout.fileno()
    os.set_blocking(out, False)
    buf = b""
    def drain():
        nonlocal buf
        try:
            while True:
                chunk = os.read(out, 65536)
                if not chunk:
                    break
                buf += chunk
        except BlockingIOError:
            pass
    time.sleep(1.5)
    drain(); buf = b""
    os.set_blocking(master, False)
    try:
        os.read(master, 4096)
    except OSError:
        pass
    to_log, to_serial = [], []
    for n in range(samples):
        time.sleep(0.15 + (n % 7) * 0.013)  # keep off any fixed phase of the loop
        drain(); buf = b""
        msg = b"\x01\x40\x07\x01\x00\x00\x01\x00\x00\x00" + bytes([0x41 + n % 26])
        t0 = time.perf_counter()
        c.sendall(msg)
        got_log = got_ser = None
        while time.perf_counter() - t0 < 1.0 and (got_log is None or got_ser is None):
            r, _, _ = select.select([out, master], [], [], 0.05)
            now = time.perf_counter()
            if out in r:
                drain()
                if got_log is None and b"tcp recv data" in buf:
                    got_log = now
            if master in r:
                try:
                    if os.read(master, 64) and got_ser is None:
                        got_ser = now
                except OSError:
                    pass
        if got_log is not None:
            to_log.append((got_log - t0) * 1000)
        if got_ser is not None:
            to_serial.append((got_ser - t0) * 1000)
        # Answer heartbeats so the link stays quiet and up.
        try:
            c.setblocking(False)
            data = c.recv(4096)
            if data.startswith(b"\x01\x01"):
                c.sendall(b"\x01\x81\x00")
        except (BlockingIOError, OSError):
            pass
        c.setblocking(True)
    d.send_signal(signal.SIGTERM)
    try:
        d.wait(timeout=10)
    except subprocess.TimeoutExpired:
        d.kill()
    c.close(); ls.close(); os.close(master); os.close(slave)
    remove_queue(key)
    shutil.rmtree(root, ignore_errors=True)
    def summary(v):
        if not v:
            return "n/a"
        v = sorted(v)
        return "median %.3f ms, p95 %.3f ms, max %.3f ms (%d samples)" % (
            statistics.median(v), v[min(len(v) - 1, int(len(v) * 0.95))], v[-1], len(v))
    print("(b) server message sent -> dispatch log line read: %s" % summary(to_log))
    print("    server data message sent -> byte on the serial pty: %s" % summary(to_serial))
    return statistics.median(to_log) if to_log else None

def verdict(what, value, fmt, op, limit):
    ok = value is not None and (value <= limit if op == "<=" else value < limit if op == "<" else value == limit)
    shown = "n/a" if value is None else fmt % value
    print("%s: %s %s %s: %s" % (what, shown, op, fmt % limit, "met" if ok else "NOT met"))
    return ok

print("bench_link: %s, window %.0f s, sandbox in %s" % (daemon, window, SHM or tempfile.gettempdir()))
w_on, pct_on, pc_on = idle_run("online, quiet server", True)
w_off, pct_off, pc_off = idle_run("server unreachable", False)
if with_tls:
    w_tls, pct_tls, pc_tls = idle_run("online over TLS, quiet server", True, tls=True)
med = latency_run()
win = "whole process, mean over %.0f s" % window
ok = all([
    verdict("idle wake-ups/s online-quiet (%s)" % win, w_on, "%.2f", "<=", 2.0),
    verdict("idle wake-ups/s unreachable (%s)" % win, w_off, "%.2f", "<=", 1.0),
    verdict("idle CPU online-quiet (%s, %% of one core)" % win, pct_on, "%.3f", "<", 0.1),
    verdict("idle CPU unreachable (%s, %% of one core)" % win, pct_off, "%.3f", "<", 0.1),
    verdict("process creations (fork/exec, %.0f s traced in each state)" % trace_window, pc_on + pc_off, "%d", "==", 0),
    verdict("server message -> handler (median of %d, ms)" % samples, med, "%.3f", "<", 1.0),
] + ([verdict("idle wake-ups/s online over TLS (%s)" % win, w_tls, "%.2f", "<=", 2.0)] if with_tls else []))
print("targets: %s" % ("all met" if ok else "NOT all met"))
PYEOF
