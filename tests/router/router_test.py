#!/usr/bin/env python3
"""The daemon on an emulated router with a real UART.

Boots Debian's Malta kernel under qemu-system-mipsel (no KVM, no network
device) with an initramfs holding busybox, the daemon and the server
simulator. The daemon's port is the guest's second 16550A, driven by the
kernel's 8250 driver; its far end is a unix socket served here. For every
case the simulator sends a data message with settings indices; the guest
reports what the tty driver then holds (stty -a) and this side checks it
against the message and checks that the payload came out of the UART
exactly once. It also types bytes into the UART and checks they reach the
server as one data message, checks the keep-alives on the guest's message
queue and that SIGTERM ends the daemon with status 0, in time and through
its own exit, while the device holds the port's output back with XOFF.
"""
import argparse
import os
import queue
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

import guest

HERE = os.path.dirname(os.path.abspath(__file__))

BAUD = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 9600)
DATA = (7, 8, 8)
STOP = (1, 2, 1)
PARITY = "NOEE"
DEFAULT = (7, 1, 0, 0)
# Bytes a cooked tty would act on (signals, flow control, line editing,
# CR/NL mapping): raw mode must pass them through unchanged both ways.
CONTROL = bytes([0x00, 0x03, 0x04, 0x0A, 0x0D, 0x11, 0x13, 0x15, 0x1A, 0x1C, 0x7F])
RAW_FLAGS = ("-icanon", "-echo", "-echoe", "-isig", "-opost", "-onlcr", "-ocrnl",
             "-inlcr", "-icrnl", "-ixon", "-ixoff", "-ixany", "cread", "clocal")
GBK_MAIN = b"\xa1\xbeMAIN\xa1\xbf"


class Case:
    def __init__(self, n, settings, uplink=False):
        self.id = n
        self.settings = settings
        b, d, s, p = settings
        # Unique per case and 7-bit: printable text that names the case.
        self.payload = f"<case {n:03d} {b}{d}{s}{p} ~!#$%&*+/=?@[]^_`|}}>".encode() + CONTROL
        self.uplink = f"[up {n:03d} from the device]".encode() + CONTROL if uplink else None


def full_matrix():
    return [(b, d, s, p) for b in range(9) for d in range(3) for s in range(3) for p in range(4)]


def subset():
    """36 cases in which every pair of values of any two indices occurs:
    each baud index with each parity index once, and the data and stop
    indices derived so that they cycle through every value and pair."""
    return [(b, (b + p) % 3, (b + 2 * p) % 3, p) for b in range(9) for p in range(4)]


def make_cases(settings_list):
    """Adds the default set twice after the first case (a reopen back to
    the defaults, then a message with unchanged settings, which is written
    at once) with a typed uplink there and after the last case. The first
    case must change the settings: a message with the current settings that
    arrives before the port's first open is dropped by design."""
    first, rest = settings_list[0], settings_list[1:]
    assert first != DEFAULT
    seq = [(first, False), (DEFAULT, False), (DEFAULT, True)] + [(s, False) for s in rest]
    seq[-1] = (seq[-1][0], True)
    return [Case(i + 1, s, u) for i, (s, u) in enumerate(seq)]


# What the server sends while the device has said XOFF: more than the
# driver's output buffer and the daemon's hold together, so that output is
# stuck in the driver when SIGTERM comes. 0xA5 never occurs in a payload.
STALL_BYTE = 0xA5


def stall_file(cases):
    b, d, s, p = cases[-1].settings      # unchanged: no reopen on the way
    data = bytes([STALL_BYTE]) * 1014
    msg = bytes([1, 0x40, b, d, s, p]) + len(data).to_bytes(4, "little") + data
    return f"raw {(msg * 12).hex()}\n"


def cases_file(cases):
    return "".join(f"{c.id} {' '.join(map(str, c.settings))} {c.payload.hex()} {int(bool(c.uplink))}\n"
                   for c in cases)


def parse_stty(text):
    """speed, min, time and the set of flags of a busybox `stty -a`."""
    out = {"flags": set()}
    m = re.search(r"speed (\d+) baud", text)
    out["speed"] = int(m.group(1)) if m else None
    for key in ("min", "time"):
        m = re.search(rf"\b{key} = (\d+)", text)
        out[key] = int(m.group(1)) if m else None
    for tok in re.split(r"[\s;]+", text):
        if re.fullmatch(r"-?[a-z][a-z0-9]*", tok):
            out["flags"].add(tok)
    return out


def check_stty(case, text):
    """Differences between what the tty holds and what the case asked for."""
    b, d, s, p = case.settings
    got = parse_stty(text)
    want = [f"cs{DATA[d]}", "cstopb" if STOP[s] == 2 else "-cstopb"]
    want += {"N": ["-parenb", "-inpck"], "O": ["parenb", "parodd", "inpck"],
             "E": ["parenb", "-parodd", "inpck"]}[PARITY[p]]
    want += RAW_FLAGS
    errors = [f"{f} expected" for f in want if f not in got["flags"]]
    if got["speed"] != BAUD[b]:
        errors.insert(0, f"speed {got['speed']}, expected {BAUD[b]}")
    if (got["min"], got["time"]) != (0, 1):
        errors.append(f"min {got['min']} time {got['time']}, expected min 0 time 1")
    return errors


def check_stream(cases, stream):
    """case id -> problems with the bytes that came out of the UART: every
    payload once, in order, and nothing else."""
    problems = {}
    pos = 0
    for i, c in enumerate(cases):
        at = stream.find(c.payload, pos)
        if at < 0:
            problems.setdefault(c.id, []).append(f"payload missing or changed: {c.payload!r}")
            continue
        if at > pos:
            owner = cases[i - 1].id if i else c.id
            problems.setdefault(owner, []).append(f"unexpected bytes before case {c.id}: {stream[pos:at]!r}")
        pos = at + len(c.payload)
    if pos < len(stream):
        problems.setdefault(cases[-1].id, []).append(f"unexpected bytes at the end: {stream[pos:]!r}")
    return problems


def check_uplink(case, line):
    """The simulator's line for the uplink message: one message, every byte."""
    m = re.search(r"data up,(?: settings [^,]*,)? (\d+) bytes: ([0-9a-f ]*) \|", line)
    if not m:
        return [f"no data message line: {line!r}"]
    got = bytes.fromhex(m.group(2))
    if got != case.uplink:
        return [f"server got {got!r} in one message, typed {case.uplink!r}"]
    return []


class Uart:
    """The host end of the guest's second UART: a unix socket QEMU connects
    to. Everything received is kept; bytes can be typed into it."""

    def __init__(self, path):
        self.path = path
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(1)
        self.conn = None
        self.data = bytearray()
        self.lock = threading.Lock()
        self.thread = None

    def accept(self, timeout):
        self.listener.settimeout(timeout)
        self.conn, _ = self.listener.accept()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            try:
                chunk = self.conn.recv(4096)
            except OSError:
                return
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def type(self, data):
        self.conn.sendall(data)

    def received(self, timeout):
        """Everything received once QEMU has closed its end."""
        if self.thread:
            self.thread.join(timeout)
        with self.lock:
            return bytes(self.data)


def read_console(stream, lines, log):
    for raw in iter(stream.readline, b""):
        log.write(raw)
        log.flush()
        lines.put(raw.rstrip(b"\r\n").lstrip(b"\r"))
    lines.put(None)


def run(args, cases, work):
    kernel, busybox, versions = guest.fetch(args.cache)
    initrd, installed = guest.build(
        busybox, os.path.join(HERE, "init.sh"), args.sim, cases_file(cases), daemon=args.daemon,
        ipk=args.ipk, loader=args.loader, extra=args.add, hosts=args.server_host,
        stall_text=stall_file(cases))
    initrd_path = os.path.join(work, "initramfs.cpio")
    with open(initrd_path, "wb") as f:
        f.write(initrd)
    for v in versions:
        print(f"router: guest package {v}")
    for p in installed:
        print(f"router: from the package: {p}")

    sockdir = tempfile.mkdtemp(prefix="adapterd-router-")
    uart = Uart(os.path.join(sockdir, "uart"))
    cmd = [args.qemu, "-M", "malta", "-m", "128", "-nodefaults", "-nic", "none",
           "-display", "none", "-monitor", "none", "-no-reboot",
           "-kernel", kernel, "-initrd", initrd_path,
           "-append", "console=ttyS0 rdinit=/init panic=-1 quiet",
           "-chardev", "stdio,id=con,signal=off", "-serial", "chardev:con",
           "-chardev", f"socket,id=uart,path={uart.path}", "-serial", "chardev:uart"]
    console_log = open(os.path.join(work, "console.log"), "wb")
    started = time.monotonic()
    qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=open(os.path.join(work, "qemu.stderr"), "wb"))
    lines = queue.Queue()
    threading.Thread(target=read_console, args=(qemu.stdout, lines, console_log), daemon=True).start()
    res = {"cases": {}, "uplinks": {}, "log": [], "sim": [], "env": [], "fail": []}
    try:
        uart.accept(60)
        deadline = started + args.timeout
        by_id = {c.id: c for c in cases}
        while True:
            # A guest that goes quiet this long has hung; the deadline
            # bounds the whole run.
            wait = min(args.stall, deadline - time.monotonic())
            if wait <= 0:
                res["fail"].append(f"run exceeded {args.timeout} s")
                break
            try:
                line = lines.get(timeout=wait)
            except queue.Empty:
                res["fail"].append(f"guest silent for {wait:.0f} s; stopped")
                break
            if line is None:
                break
            if not line.startswith(b"@@"):
                continue
            key, _, rest = line[2:].partition(b" ")
            key = key.decode(errors="replace")
            if key == "log":
                res["log"].append(rest)
                continue
            text = rest.decode(errors="replace")
            if key == "sim":
                res["sim"].append(text)
            elif key == "env":
                res["env"].append(text)
            elif key == "ready":
                res["ready"] = time.monotonic() - started
                res["pid"], t_start, t_ready = text.split()
                res["login_s"] = (int(t_ready) - int(t_start)) / 100
            elif key == "case":
                n, _, stty = text.partition(" ")
                res["cases"][int(n)] = (stty, time.monotonic())
            elif key == "uplink-ready":
                uart.type(by_id[int(text)].uplink)
            elif key == "xoff":
                uart.type(b"\x13")
            elif key == "uplink":
                n, _, sim_line = text.partition(" ")
                res["uplinks"][int(n)] = sim_line
            elif key in ("msgq-head", "msgq", "status", "leds", "stalled", "exit", "lines-after-exit"):
                res[key] = text
            elif key == "fail":
                res["fail"].append(f"guest: {text}")
            elif key == "end":
                res["end"] = time.monotonic() - started
    finally:
        # A guest that finished powers itself off; any other ending kills it.
        try:
            qemu.wait(timeout=20 if "end" in res else 0)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
        res["stream"] = uart.received(10)
        console_log.close()
        try:
            os.unlink(uart.path)
            os.rmdir(sockdir)
        except OSError:
            pass
    res["elapsed"] = time.monotonic() - started
    return res


def keepalive_errors(res):
    head, line = res.get("msgq-head", "").split(), res.get("msgq", "").split()
    if not line:
        return ["no message queue with key 1234 in the guest"]
    q = dict(zip(head, line))
    running = int(line[line.index("running") + 1]) / 100
    qnum, cbytes = int(q["qnum"]), int(q["cbytes"])
    errors = []
    # One keep-alive at start, then one per pass of a little over 2 s.
    expected = int(running // 2.5)
    if qnum < max(2, expected):
        errors.append(f"{qnum} keep-alives in {running:.1f} s, expected at least {expected}")
    if qnum > running / 2 + 2:
        errors.append(f"{qnum} keep-alives in {running:.1f} s: more than one per 2 s")
    if cbytes != 9 * qnum:
        errors.append(f"{cbytes} bytes for {qnum} keep-alives, expected 9 each")
    if q["lspid"] != res.get("pid"):
        errors.append(f"last sender {q['lspid']}, the daemon is {res.get('pid')}")
    return errors


def exit_errors(res):
    if "exit" not in res:
        return ["the daemon's end was not reported"]
    status, cs = res["exit"].split()
    errors = []
    if status != "0":
        errors.append(f"exit status {status} after SIGTERM")
    secs = int(cs) / 100
    if not 2.9 <= secs <= 7:
        errors.append(f"ended {secs:.2f} s after SIGTERM, expected 3 to 5")
    lines = res.get("lines-after-exit", "")
    if not ("RTS" in lines and "DTR" in lines):
        errors.append(f"RTS and DTR dropped when the daemon closed its port: {lines!r}")
    if "stalled" not in res:
        errors.append("the port's output was not held back before SIGTERM")
    log = b"\n".join(res["log"])
    # The serial thread ends by itself: closing the port did not wait out
    # the driver's 30 s for output the device would not take.
    for text in (GBK_MAIN + b":Sigroutine **********", GBK_MAIN + b":exit -------------- ",
                 b"[UART]:uartExit-----------"):
        if log.count(text) != 1:
            errors.append(f"log has {log.count(text)} lines {text!r}, expected 1")
    return errors


def log_errors(res):
    """A clean run on a real UART has no internal failure in the log."""
    bad = [line for line in res["log"] if line.startswith((b"fail in", b"error("))]
    if not bad:
        return []
    return [f"{len(bad)} failure lines, the first {bad[0].decode(errors='replace')!r}"]


def report(args, cases, res):
    failures = list(res["fail"])
    for e in res["env"]:
        print(f"router: {e}")
    if res["env"] and not any("uart:16550A" in e for e in res["env"]):
        failures.append("the guest's ttyS1 is not a 16550A")
    if "ready" in res:
        print(f"router: boot to logged-in daemon {res['ready']:.1f} s "
              f"(login {res['login_s']:.1f} s after the daemon started)")
    stream_problems = check_stream(cases, res["stream"].rstrip(bytes([STALL_BYTE]))) if "end" in res else {}
    passed = failed = 0
    times = sorted(t for _, t in res["cases"].values())
    unrun = [c.id for c in cases if c.id not in res["cases"]]
    for c in cases:
        if c.id in unrun:
            failed += 1
            continue
        errs = check_stty(c, res["cases"][c.id][0]) + stream_problems.get(c.id, [])
        if c.uplink:
            errs += check_uplink(c, res["uplinks"][c.id]) if c.id in res["uplinks"] \
                else ["uplink not reported"]
        if errs:
            failed += 1
            b, d, s, p = c.settings
            print(f"FAIL case {c.id} settings {b} {d} {s} {p} "
                  f"({BAUD[b]} {DATA[d]}{PARITY[p]}{STOP[s]}): " + "; ".join(errs))
        else:
            passed += 1
    if unrun:
        failures.append(f"{len(unrun)} cases without a result, from case {unrun[0]} on")
    if len(times) > 1:
        print(f"router: {len(times)} cases in {times[-1] - times[0]:.1f} s, "
              f"{(times[-1] - times[0]) / (len(times) - 1):.2f} s per case")
    if "end" in res:
        failures += [f"keep-alive: {e}" for e in keepalive_errors(res)]
        failures += [f"shutdown: {e}" for e in exit_errors(res)]
        failures += [f"daemon log: {e}" for e in log_errors(res)]
    if "status" in res:
        print(f"router: daemon in the guest: {res['status']}")
    if "msgq" in res:
        print(f"router: keep-alive queue: {res['msgq']}")
    if "stalled" in res:
        print(f"router: output held back by XOFF, {res['stalled']}")
    if "exit" in res:
        st, cs = res["exit"].split()
        print(f"router: SIGTERM -> exit status {st} after {int(cs) / 100:.2f} s")
    for f in failures:
        print(f"FAIL {f}")
    print(f"router: whole run {res['elapsed']:.1f} s; console in {args.work}/console.log")
    if failures:
        failed += 1
    print(f"router: {passed} passed, {failed} failed")
    return 1 if failed else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--full", action="store_true", help="all 324 settings combinations (default: 36 covering every pair)")
    ap.add_argument("--daemon", help="mipsel adapterd to install as /usr/sbin/adapterd (overrides the package's)")
    ap.add_argument("--ipk", help="install the files of this package (its data.tar.gz)")
    ap.add_argument("--loader", help="file to install at the daemon's program interpreter path (dynamic builds)")
    ap.add_argument("--add", action="append", default=[], metavar="SRC:DEST", help="also install host file SRC at DEST")
    ap.add_argument("--sim", required=True, help="static mipsel adapter-sim")
    ap.add_argument("--server-host", action="append", default=[], metavar="NAME",
                    help="server host name compiled into the daemon (resolved to the guest's loopback)")
    ap.add_argument("--cache", default=os.path.expanduser("~/.cache/adapterd-router"), help="kernel and busybox cache")
    ap.add_argument("--work", required=True, help="directory for the initramfs and the logs")
    ap.add_argument("--qemu", default="qemu-system-mipsel")
    ap.add_argument("--stall", type=float, default=90, help="seconds of guest silence that count as a hang")
    ap.add_argument("--timeout", type=float, help="seconds for the whole run (default from the case count)")
    args = ap.parse_args()
    args.add = [tuple(a.split(":", 1)) for a in args.add]
    if any(len(a) != 2 for a in args.add):
        ap.error("--add takes SRC:DEST")
    cases = make_cases(full_matrix() if args.full else subset())
    args.timeout = args.timeout or 180 + 15 * len(cases)
    os.makedirs(args.work, exist_ok=True)
    print(f"router: {len(cases)} cases, daemon {args.daemon or '(from the package)'}")
    res = run(args, cases, args.work)
    with open(os.path.join(args.work, "uart.bin"), "wb") as f:
        f.write(res["stream"])
    return report(args, cases, res)


if __name__ == "__main__":
    sys.exit(main())
