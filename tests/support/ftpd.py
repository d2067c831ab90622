#!/usr/bin/python3
"""Loopback FTP server for tests and benchmarks.

usage: ftpd.py ROOT USER PASSWORD [PORT [PASV_ADDRESS [LISTEN]]]

Serves ROOT (read/write) to one account on 127.0.0.1 only (or on LISTEN,
::1 for the IPv6 tests). PORT 0 (the
default) lets the system choose; the port in use is printed as the first
line on standard output. PASV_ADDRESS is announced in PASV replies instead
of 127.0.0.1 (as a server behind NAT does; empty: none); it is never
listened on. The server ends when its standard input reaches
end of file, so it never outlives the process that started it.
"""
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, user, password = sys.argv[1:4]
    port = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    announce = sys.argv[5] if len(sys.argv) > 5 else None
    listen = sys.argv[6] if len(sys.argv) > 6 else "127.0.0.1"
    logging.basicConfig(level=logging.ERROR)
    logging.getLogger("pyftpdlib").setLevel(logging.ERROR)

    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.banner = "test server ready."
    if announce:
        handler.masquerade_address = announce
    server = FTPServer((listen, port), handler)

    def watch_parent():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_parent, daemon=True).start()
    print(server.address[1], flush=True)
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
