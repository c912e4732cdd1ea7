"""Wisp's demo FTP site: builds a demo folder and serves it to anonymous users on 127.0.0.1.

Usage: demo_server.py STATE_DIR [WATCH_PID]

Builds STATE_DIR/site (a few folders, a text file with mixed line ends, a binary file, a symbolic link, a
folder of 10,000 files and an empty incoming/ folder for uploads) and serves it with full read and write
rights to anonymous users on the first free port from 2121 upward, so the site's URL stays the same from one
run to the next. Writes that port to STATE_DIR/port once the server listens. Ends on SIGTERM; when WATCH_PID
is given it also ends, and removes STATE_DIR, once that process is gone, so a start script that is killed
outright never leaves a server behind.

Data connections are held to WISP_DEMO_RATE bytes a second each way (10 MB/s when unset, 0 for no limit),
so that a transfer of big.bin lasts long enough to be watched and stopped. Scripts that check what a client
sends may set WISP_DEMO_LOG=PATH to have every command and reply written there, and WISP_DEMO_ACCOUNT=
USER:PASSWORD to add a named account beside the anonymous one, with the same folder and rights.
"""

import logging
import os
import shutil
import signal
import socket
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

FIRST_PORT = 2121
LAST_PORT = 2221
MANY_FILES = 10000
PERMISSIONS = "elradfmwMT"
DEFAULT_RATE = 10 * 1000 * 1000

WELCOME = """Welcome to Wisp's demo site.

This server runs on your own machine (127.0.0.1) for as long as Wisp is open and serves a temporary
folder that is removed when Wisp closes, so try anything: download, upload into incoming/ by dropping
files on the Remote page, delete, and press Escape during a transfer of big.bin.
"""


def build_site(site):
    os.makedirs(site)
    with open(os.path.join(site, "README.txt"), "w", encoding="ascii", newline="\n") as f:
        f.write(WELCOME)

    docs = os.path.join(site, "docs")
    os.makedirs(os.path.join(docs, "archive", "1996"))
    with open(os.path.join(docs, "mixed-line-ends.txt"), "wb") as f:
        f.write(b"This line ends in CR LF, as on DOS and in FTP's ASCII type.\r\n"
                b"This one ends in LF alone, as on Unix.\n"
                b"This one ends in CR alone, as on old Macintoshes.\r"
                b"Download me as ASCII and as binary and compare the sizes.\r\n")
    with open(os.path.join(docs, "archive", "1996", "notes.txt"), "w", encoding="ascii") as f:
        f.write("Two folders deep.\n")

    binary = os.path.join(site, "binary")
    os.makedirs(binary)
    # Every byte value, CR and LF included, so an ASCII-type download visibly damages it.
    with open(os.path.join(binary, "all-bytes.bin"), "wb") as f:
        f.write(bytes(range(256)) * 64)
    # Large enough that a transfer takes a moment and can be stopped with Escape.
    with open(os.path.join(binary, "big.bin"), "wb") as f:
        block = bytes((i * 7) % 256 for i in range(65536))
        for _ in range(512):
            f.write(block)

    os.symlink(os.path.join("docs", "mixed-line-ends.txt"), os.path.join(site, "latest.txt"))

    many = os.path.join(site, "many-files")
    os.makedirs(many)
    for i in range(1, MANY_FILES + 1):
        with open(os.path.join(many, "file-%05d.txt" % i), "w", encoding="ascii") as f:
            f.write("file %d\n" % i)

    os.makedirs(os.path.join(site, "incoming"))


def bind_first_free(handler):
    for port in range(FIRST_PORT, LAST_PORT + 1):
        try:
            return FTPServer(("127.0.0.1", port), handler), port
        except OSError:
            continue
    raise SystemExit("no free port from %d to %d on 127.0.0.1" % (FIRST_PORT, LAST_PORT))


def main():
    state_dir = sys.argv[1]
    watch_pid = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    site = os.path.join(state_dir, "site")
    build_site(site)
    rate = int(os.environ.get("WISP_DEMO_RATE", DEFAULT_RATE))
    command_log = os.environ.get("WISP_DEMO_LOG")
    account = os.environ.get("WISP_DEMO_ACCOUNT")

    server_log = logging.FileHandler(os.path.join(state_dir, "server.log"))
    server_log.setLevel(logging.INFO)
    handlers = [server_log]
    if command_log:
        # pyftpdlib writes each command and reply only at DEBUG level.
        handlers.append(logging.FileHandler(command_log))
    logging.basicConfig(handlers=handlers, level=logging.DEBUG if command_log else logging.INFO)

    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(site, perm=PERMISSIONS)
    if account:
        user, _, password = account.partition(":")
        authorizer.add_user(user, password, site, perm=PERMISSIONS)

    class SortedFS(AbstractedFS):
        # Folders listed in name order whichever command lists them (pyftpdlib sorts LIST's lines but
        # not MLSD's), so the site looks the same to every client.
        def listdir(self, path):
            return sorted(super().listdir(path))

    class Handler(FTPHandler):
        banner = "Wisp demo site ready."
        abstracted_fs = SortedFS

    class LimitedData(ThrottledDTPHandler):
        # pyftpdlib's own counter lets a second's worth through at once and then averages near twice the
        # limit; this one holds the average, from the first byte on, to the limit.
        read_limit = rate
        write_limit = rate

        def __init__(self, sock, cmd_channel):
            super().__init__(sock, cmd_channel)
            self.first_byte_time = None
            self.byte_count = 0

        def _throttle_bandwidth(self, len_chunk, max_speed):
            now = time.monotonic()
            if self.first_byte_time is None:
                self.first_byte_time = now
            self.byte_count += len_chunk
            ahead = self.byte_count / max_speed - (now - self.first_byte_time)
            if ahead <= 0.01:
                return
            event = self.ioloop.READ if self.receive else self.ioloop.WRITE
            self.del_channel()
            self._cancel_throttler()
            self._throttler = self.ioloop.call_later(ahead, lambda: self.add_channel(events=event),
                                                     _errback=self.handle_error)

    Handler.authorizer = authorizer
    if rate > 0:
        Handler.dtp_handler = LimitedData
    server, port = bind_first_free(Handler)
    with open(os.path.join(state_dir, "port.tmp"), "w", encoding="ascii") as f:
        f.write("%d\n" % port)
    os.rename(os.path.join(state_dir, "port.tmp"), os.path.join(state_dir, "port"))

    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))

    if watch_pid:
        def watch():
            while True:
                try:
                    os.kill(watch_pid, 0)
                except ProcessLookupError:
                    shutil.rmtree(state_dir, ignore_errors=True)
                    os._exit(0)
                except PermissionError:
                    pass
                time.sleep(1)

        threading.Thread(target=watch, daemon=True).start()

    server.serve_forever()


if __name__ == "__main__":
    main()
