"""The emulated router's parts: Debian's Malta kernel and static busybox
for mipsel (fetched with apt-get download, cached), and the initramfs that
holds them, the daemon, the simulator and the router's file layout. The
archive is written here in the kernel's newc format, so no cpio is needed.
"""
import gzip
import io
import os
import shutil
import struct
import subprocess
import tarfile

KERNEL_META = "linux-image-4kc-malta:mipsel"
BUSYBOX = "busybox-static:mipsel"

# The router's own paths, as the daemon has them compiled in.
DEVINFO = "etc/config/device_info"
LED_DIR = "sys/devices/gpio-leds.4/leds"
LEDS = ("mpr-a2:led_data", "mpr-a2:led_online")
DAEMON = "usr/sbin/adapterd"


def _run(cmd, cwd=None):
    return subprocess.run(cmd, cwd=cwd, check=True, capture_output=True, text=True).stdout


def _resolve(meta):
    """The versioned package behind a meta package (its first Depends)."""
    for line in _run(["apt-cache", "depends", meta]).splitlines():
        line = line.strip()
        if line.startswith("Depends:"):
            name = line.split()[1]
            return name if ":" in name else name + ":mipsel"
    raise RuntimeError(f"{meta}: no dependency to resolve (run scripts/install-deps.sh)")


def _candidates(pkgs):
    """name -> candidate version, from one apt-cache call."""
    versions, name = {}, None
    for line in _run(["apt-cache", "policy"] + list(pkgs)).splitlines():
        if not line.startswith(" "):
            name = line.rstrip(":")
        elif line.split()[:1] == ["Candidate:"]:
            versions[name] = line.split()[1]
    return versions


def _fetch(pkg, version, cache, keep):
    """Unpacks the directory keep of pkg (name:arch) under
    cache/<name>_<version>/root once; returns cache/<name>_<version>."""
    if version in (None, "(none)"):
        raise RuntimeError(f"{pkg} is unknown to apt (run scripts/install-deps.sh)")
    dest = os.path.join(cache, f"{pkg.split(':')[0]}_{version.replace(':', '%3a')}")
    if os.path.isdir(os.path.join(dest, "root")):
        return dest
    tmp = dest + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    # apt's sandbox user may not write here; root downloads directly.
    _run(["apt-get", "download", "-q", "-o", "APT::Sandbox::User=root", f"{pkg}={version}"], cwd=tmp)
    debs = [f for f in os.listdir(tmp) if f.endswith(".deb")]
    _run(["dpkg-deb", "-x", os.path.join(tmp, debs[0]), os.path.join(tmp, "root")])
    os.remove(os.path.join(tmp, debs[0]))
    for top in os.listdir(os.path.join(tmp, "root")):
        if top != keep:
            shutil.rmtree(os.path.join(tmp, "root", top))
    with open(os.path.join(tmp, "version"), "w") as f:
        f.write(f"{pkg} {version}\n")
    os.rename(tmp, dest)
    return dest


# Built in, since the guest loads no modules: the UARTs and their console,
# System V IPC for the keep-alive queue, loopback TCP, the initramfs.
KERNEL_NEEDS = ("SERIAL_8250", "SERIAL_8250_CONSOLE", "SYSVIPC", "UNIX", "INET",
                "BLK_DEV_INITRD", "PROC_FS")


def _check_config(path):
    with open(path) as f:
        have = {line.split("=")[0][7:] for line in f if line.startswith("CONFIG_") and line.strip().endswith("=y")}
    missing = [c for c in KERNEL_NEEDS if c not in have]
    if missing:
        raise RuntimeError(f"{path}: not built in: " + ", ".join("CONFIG_" + c for c in missing))


def fetch(cache):
    """(kernel image path, busybox path, description) of the guest's parts."""
    os.makedirs(cache, exist_ok=True)
    kpkg = _resolve(KERNEL_META)
    versions = _candidates([kpkg, BUSYBOX])
    kdir = _fetch(kpkg, versions.get(kpkg), cache, "boot")
    bdir = _fetch(BUSYBOX, versions.get(BUSYBOX), cache, "bin")
    boot = os.path.join(kdir, "root", "boot")
    kernel = [f for f in os.listdir(boot) if f.startswith("vmlinuz-")][0]
    _check_config(os.path.join(boot, kernel.replace("vmlinuz-", "config-")))
    desc = []
    for d in (kdir, bdir):
        with open(os.path.join(d, "version")) as f:
            desc.append(f.read().strip())
    return os.path.join(boot, kernel), os.path.join(bdir, "root", "bin", "busybox"), desc


class Tree:
    """The guest's root file system: path -> entry, written out as newc."""

    def __init__(self):
        self.entries = {}

    def _parents(self, path):
        parts = path.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            self.entries.setdefault("/".join(parts[:i]), ("dir", 0o755))

    def dir(self, path, mode=0o755):
        self._parents(path)
        self.entries[path] = ("dir", mode)

    def file(self, path, data, mode=0o644):
        self._parents(path)
        self.entries[path] = ("file", mode, data)

    def host_file(self, path, src, mode=None):
        with open(src, "rb") as f:
            data = f.read()
        self.file(path, data, mode if mode is not None else os.stat(src).st_mode & 0o7777)

    def symlink(self, path, target):
        self._parents(path)
        self.entries[path] = ("link", 0o777, target.encode())

    def chardev(self, path, major, minor, mode=0o600):
        self._parents(path)
        self.entries[path] = ("chr", mode, major, minor)

    def has(self, path):
        return path in self.entries

    def newc(self):
        out = io.BytesIO()

        def entry(ino, name, mode, data=b"", rdev=(0, 0)):
            name_b = name.encode() + b"\0"
            fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name_b), 0)
            out.write(b"070701" + "".join("%08X" % v for v in fields).encode() + name_b)
            out.write(b"\0" * (-out.tell() % 4))
            out.write(data)
            out.write(b"\0" * (-out.tell() % 4))

        # Sorted by components, so every directory precedes what it holds.
        for ino, path in enumerate(sorted(self.entries, key=lambda p: p.split("/")), start=1):
            e = self.entries[path]
            if e[0] == "dir":
                entry(ino, path, 0o040000 | e[1])
            elif e[0] == "file":
                entry(ino, path, 0o100000 | e[1], e[2])
            elif e[0] == "link":
                entry(ino, path, 0o120000 | e[1], e[2])
            else:
                entry(ino, path, 0o020000 | e[1], rdev=(e[2], e[3]))
        entry(len(self.entries) + 1, "TRAILER!!!", 0)
        return out.getvalue()


def _ipk_members(data):
    """name -> bytes of the outer archive of an .ipk: a gzip'd tar, or ar."""
    members = {}
    if data.startswith(b"!<arch>\n"):
        pos = 8
        while pos + 60 <= len(data):
            hdr = data[pos:pos + 60]
            name = hdr[:16].decode().strip().rstrip("/")
            size = int(hdr[48:58].decode().strip())
            members[name] = data[pos + 60:pos + 60 + size]
            pos += 60 + size + (size & 1)
        return members
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as t:
        for m in t.getmembers():
            if m.isfile():
                members[os.path.normpath(m.name)] = t.extractfile(m).read()
    return members


def add_ipk(tree, path):
    """Installs the files of an .ipk's data.tar.gz into tree; returns their paths."""
    with open(path, "rb") as f:
        members = _ipk_members(f.read())
    if "data.tar.gz" not in members:
        raise RuntimeError(f"{path}: no data.tar.gz in the package")
    installed = []
    with tarfile.open(fileobj=io.BytesIO(gzip.decompress(members["data.tar.gz"]))) as t:
        for m in t.getmembers():
            name = os.path.normpath(m.name).lstrip("/")
            if name in (".", "") or name.startswith(".."):
                continue
            if m.isdir():
                tree.dir(name, m.mode & 0o7777)
            elif m.isfile():
                tree.file(name, t.extractfile(m).read(), m.mode & 0o7777)
                installed.append("/" + name)
            elif m.issym():
                tree.symlink(name, m.linkname)
                installed.append("/" + name)
    return installed


def interpreter(data):
    """The program interpreter an ELF32 little-endian executable asks for, or None."""
    if data[:6] != b"\x7fELF\x01\x01":
        raise RuntimeError("not a 32-bit little-endian ELF file")
    phoff, = struct.unpack_from("<I", data, 28)
    phentsize, phnum = struct.unpack_from("<HH", data, 42)
    for i in range(phnum):
        ptype, offset, _, _, filesz = struct.unpack_from("<IIIII", data, phoff + i * phentsize)
        if ptype == 3:  # PT_INTERP
            return data[offset:offset + filesz].rstrip(b"\0").decode()
    return None


def build(busybox, init_script, sim, cases_text, daemon=None, ipk=None, loader=None,
          extra=(), hosts=(), stall_text=""):
    """The initramfs (newc bytes) and the list of package files installed."""
    t = Tree()
    for d in ("proc", "tmp", "root", "usr/bin/zov", "etc/config"):
        t.dir(d)
    t.chardev("dev/console", 5, 1)
    t.chardev("dev/null", 1, 3, 0o666)
    # The daemon opens its compiled-in "/dev/ttyS0": here that name is the
    # second UART (minor 65), so the console keeps the first.
    t.chardev("dev/ttyS0", 4, 65, 0o660)
    t.host_file("bin/busybox", busybox, 0o755)
    t.symlink("bin/sh", "busybox")
    installed = add_ipk(t, ipk) if ipk else []
    if daemon:
        t.host_file(DAEMON, daemon, 0o755)
    if not t.has(DAEMON):
        raise RuntimeError(f"no /{DAEMON}: give --daemon FILE or a package that installs it")
    t.host_file("router/adapter-sim", sim, 0o755)
    for prog in (DAEMON, "router/adapter-sim"):
        interp = interpreter(t.entries[prog][2])
        if interp and not t.has(interp.lstrip("/")):
            if not loader:
                raise RuntimeError(f"/{prog} needs the loader {interp}: give --loader FILE")
            t.host_file(interp.lstrip("/"), loader, 0o755)
    for src, dest in extra:
        t.host_file(dest.lstrip("/"), src)
    t.file(DEVINFO, b"config deviceInfo\r\n\toption serialNum SN0000001\r\n\toption pairCode 123456\r\n")
    for led in LEDS:
        t.file(f"{LED_DIR}/{led}/brightness", b"0\n")
    # The server host compiled into the daemon (--server-host) is the
    # guest's loopback, where the simulator listens.
    t.file("etc/hosts", f"127.0.0.1 {' '.join(('localhost',) + tuple(hosts))}\n".encode())
    # musl reads /etc/hosts anyway; glibc needs to be told there is no DNS.
    t.file("etc/nsswitch.conf", b"hosts: files\n")
    with open(init_script, "rb") as f:
        t.file("init", f.read(), 0o755)
    t.file("router/cases", cases_text.encode())
    t.file("router/stall.sim", stall_text.encode())
    return t.newc(), installed
