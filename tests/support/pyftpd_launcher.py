"""Runs a pyftpdlib server on a loopback address for the tests.

Usage: pyftpd_launcher.py ROOT LOGFILE ADDRESS [CERTFILE KEYFILE]

ADDRESS is 127.0.0.1 or ::1.

Serves ROOT to anonymous users, to the account wisp/secret and to the account a@b.example/p@ss:w/rd (a login
that a URL's own syntax could not carry), all with full read/write rights, on a port
the system chooses; prints that port on stdout as one line once the server listens. Exits when stdin reaches
end of file, so a test process that dies never leaves a server behind.

With CERTFILE and KEYFILE, the server speaks explicit TLS and requires it: AUTH TLS before the login, PROT P
before any data connection. Every command received is logged (pyftpdlib's debug level) so that a test can
tell what reached the server.
"""

import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

PERMISSIONS = "elradfmwMT"


def main():
    root, log_file, address = sys.argv[1], sys.argv[2], sys.argv[3]
    tls_files = sys.argv[4:6]
    logging.basicConfig(filename=log_file, level=logging.INFO)
    logging.getLogger("pyftpdlib").setLevel(logging.DEBUG)

    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(root, perm=PERMISSIONS)
    authorizer.add_user("wisp", "secret", root, perm=PERMISSIONS)
    authorizer.add_user("a@b.example", "p@ss:w/rd", root, perm=PERMISSIONS)

    if tls_files:
        # Imported only here: it needs python3-openssl, which plain FTP does not.
        from pyftpdlib.handlers import TLS_FTPHandler

        class Handler(TLS_FTPHandler):
            certfile, keyfile = tls_files
            tls_control_required = True
            tls_data_required = True
    else:
        class Handler(FTPHandler):
            pass

    Handler.authorizer = authorizer
    # Refused logins answer at once; the default pause only slows the tests down.
    Handler.auth_failed_timeout = 0.1
    server = FTPServer((address, 0), Handler)
    print(server.socket.getsockname()[1], flush=True)

    def watch_parent():
        sys.stdin.buffer.read()
        os._exit(0)

    threading.Thread(target=watch_parent, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
