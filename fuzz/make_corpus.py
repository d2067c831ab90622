#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target from the protocol's golden
messages: make_corpus.py OUTDIR creates OUTDIR/<target>/seed-NNN files."""
import os
import struct
import sys


def crc16(data):
    """CRC-16/CCITT-FALSE, as the local frames use it."""
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def field(text, width):
    raw = text.encode()[:width]
    return raw + bytes(width - len(raw))


# ---- server messages (one receive each)
def data_msg(settings, payload):
    return bytes([1, 0x40]) + bytes(settings) + struct.pack("<I", len(payload)) + payload


def upgrade_req(url, user, pw, path, terminate=True):
    m = bytes([1, 0x41]) + field(url, 32) + field(user, 12) + field(pw, 12) + path.encode()
    return m + (b"\0" if terminate else b"")


def devinfo_req(sn, pc):
    return bytes([1, 0x42]) + field(sn, 12) + field(pc, 8)


def dispatch_seeds():
    return [
        bytes([1, 0x80, 0]), bytes([1, 0x00, 0]), bytes([1, 0x80, 5]), bytes([1, 0x80]),
        bytes([1, 0x81, 0]), bytes([1, 0x01, 2]), bytes([1, 0x01]),
        data_msg([7, 1, 0, 0], b"ABC"), data_msg([3, 1, 0, 0], b"hello"),
        data_msg([9, 9, 9, 9], b"x"), data_msg([7, 1, 0, 0], b"Z" * 1014),
        bytes([1, 0x40, 7, 1, 0, 0]) + struct.pack("<I", 5000) + b"short",
        upgrade_req("127.0.0.1", "user", "secret", "/pub/zovClient.tar"),
        upgrade_req("a" * 31, "u" * 11, "p" * 11, "/" + "d" * 900, terminate=False),
        bytes([1, 0x41]), bytes([1, 0xC1, 6]),
        devinfo_req("ABC", "12"), devinfo_req("SN123456789", "PC12345"),
        bytes([1, 0x42]) + b"X" * 30, bytes([1, 0x42, 0]) + b"Q" * 10,
        bytes([2, 0x40, 0]), bytes([1, 0x7F, 0]),
    ]


# ---- serial bursts: records [ctl][len lo][len hi][bytes]
def record(burst, ctl=0):
    return bytes([ctl]) + struct.pack("<H", len(burst)) + burst


def upgrade_frame(total, offset, data):
    body = struct.pack("<iii", total, offset, len(data)) + data
    return b"\xAA\xBB" + struct.pack("<H", crc16(body)) + body


def devinfo_frame(sn, pc):
    body = field(sn, 12) + field(pc, 8)
    return b"\xCC\xDD" + struct.pack("<H", crc16(body)) + body


def package_records(size, chunk, ctl=0):
    pkg = bytes((i * 7 + 3) & 0xFF for i in range(size))
    out = b""
    for off in range(0, size, chunk):
        out += record(upgrade_frame(size, off, pkg[off:off + chunk]), ctl)
    return out


def frames_seeds():
    query = devinfo_frame("", "")
    assert query[:4] == bytes([0xCC, 0xDD, 0xB8, 0xF6])
    return [
        package_records(10000, 512),
        package_records(3000, 998, ctl=2),
        package_records(5000, 700) + record(upgrade_frame(5000, 700, b"dup" * 10)),
        record(upgrade_frame(4096, 0, b"a" * 512)) + record(upgrade_frame(9, 0, b"b" * 9)),
        record(upgrade_frame(0, 0, b"")),
        record(upgrade_frame(100, 512, b"c" * 10)),
        record(upgrade_frame(100, 0, b"d" * 10)) + record(upgrade_frame(100, 10, b"e" * 90), ctl=1),
        record(query), record(devinfo_frame("NEWSN", "NEWPC")) + record(query),
        record(devinfo_frame("", "PCONLY")), record(devinfo_frame("S" * 12, "P" * 8)),
        record(b"\xAA\xBB\x00\x00" + b"\0" * 12, ctl=1),
        record(b"plain serial bytes"), record(b"\xAA\xBB\x12\x34"),
    ]


# ---- identity files: [size/tag byte][file bytes]
def identity_seeds():
    good = b"config deviceInfo\r\n\toption serialNum SN42\r\n\toption pairCode PC7\r\n"
    files = [
        good,
        b"config deviceInfo\n\toption serialNum 'SN42'\n\toption pairCode 'PC7'\n",
        b"serialNum=ABC\npairCode = 12\n",
        b"\toption serialNum xpairCodey\r\n\toption pairCode 99\r\n",
        b"\toption serialNum\r\n\toption pairCode\r\n",
        b"#" * 190 + b"serialNum 123456789012345",
        b"serialNum A B\tC=D\0pairCode hidden\n",
        b"", b"SN12345678901PC1234567",
    ]
    return [bytes([sel]) + f for f in files for sel in (0x0B, 0x17, 0x20, 0x3F)]


def ftp_seeds():
    return [s.encode() for s in [
        "220 Service ready\r\n", "331 Password required\r\n", "230 Logged in\r\n",
        "227 Entering Passive Mode (127,0,0,1,19,137)\r\n",
        "227 Entering Passive Mode (10,0,0,5,19,137).\r\n", "(1,2,3,4,5,6)",
        "227 =( 127, 0, 0, 1, 4, 1)", "227 (256,0,0,1,1,1)", "227 (1,2,3,4,5",
        "150 Opening BINARY mode data connection\r\n", "226 Transfer complete\r\n",
        "550 No such file\r\n", "  \t 350 pending\r\n", "99999999999 overflow", "abc", "",
        "220-multi\r\n220 line\r\n",
    ]]


# ---- FTP sessions: [op] then records user, password, path, payload, replies
def session(op, path, payload, replies, user="tester", pw="secret"):
    out = bytes([op])
    for r in [user.encode(), pw.encode(), path.encode(), payload] + [x.encode() for x in replies]:
        out += struct.pack("<H", len(r)) + r
    return out


def ftpsession_seeds():
    login = ["220 ready\r\n", "331 password\r\n", "230 logged in\r\n"]
    pkg = bytes(range(256)) * 9
    return [
        session(0, "/pub/pkg.tar", pkg, login + ["200 binary\r\n", "150 opening\r\n", "226 done\r\n", "221 bye\r\n"]),
        session(0, "/pub/pkg.tar", b"", login + ["200 binary\r\n", "150 opening\r\n226 done\r\n", "221 bye\r\n"]),
        session(0, "/missing", b"x", login + ["200 binary\r\n", "550 no such file\r\n", "221 bye\r\n"]),
        session(0, "/pub/pkg.tar", pkg, login + ["200 binary\r\n", "", "226 done\r\n"]),
        session(1, "/pub", b"-rw-r--r-- 1 ftp ftp 10 file\r\n" * 80, login + ["150 list\r\n", "226 ok\r\n", "221 bye\r\n"]),
        session(2, "/up/file", pkg, login + ["200 binary\r\n", "150 ok\r\n", "226 stored\r\n", "221 bye\r\n"]),
        session(2, "/up/file", pkg, login + ["200 binary\r\n", "553 denied\r\n", "221 bye\r\n"]),
        session(3, "/dir", b"", login + ["250 cwd\r\n", "257 made\r\n", "250 up\r\n", "221 bye\r\n"]),
        session(4, "old", b"", login + ["350 ready\r\n", "250 renamed\r\n", "221 bye\r\n"]),
        session(5, "f", b"", login + ["250 deleted\r\n", "550 not a dir\r\n", "221 bye\r\n"]),
        session(0, "/p", b"", ["421 busy\r\n"]),
        session(0, "/p", b"", ["220 ready\r\n", "230 no password needed\r\n", "200 x\r\n", "150 x\r\n", "226 x\r\n"]),
        session(0, "/p", b"", ["220 ready\r\n", "530 denied\r\n"]),
        session(0, "/a\r\nDELE /b", b"", login + ["200 binary\r\n"], user="u\r\nPASS x"),
    ]


def main():
    out = sys.argv[1]
    sets = {"dispatch": dispatch_seeds(), "frames": frames_seeds(),
            "identity": identity_seeds(), "ftpreply": ftp_seeds(),
            "ftpsession": ftpsession_seeds()}
    for name, seeds in sets.items():
        d = os.path.join(out, name)
        os.makedirs(d, exist_ok=True)
        for i, s in enumerate(seeds):
            with open(os.path.join(d, "seed-%03d" % i), "wb") as f:
                f.write(s)


if __name__ == "__main__":
    main()
