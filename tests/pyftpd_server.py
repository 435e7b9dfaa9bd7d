#!/usr/bin/python3
"""A real FTP server for the tests: pyftpdlib on 127.0.0.1 at a free port.

  pyftpd_server.py --user U --password P --root DIR [--keep-crlf]

Prints "port N" on standard output once it listens, then serves until it is
terminated. One user, U/P, with every permission in DIR. With --keep-crlf a
file stored in ASCII type keeps the bytes that came over the data connection;
without it pyftpdlib turns each CR LF into the local line end (LF), as it does
by default on this system. Exits with status 2 and a message on standard error
when pyftpdlib is not installed.
"""

import argparse
import logging
import os
import signal
import sys

try:
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import DTPHandler, FTPHandler
    from pyftpdlib.servers import FTPServer
except ImportError as error:
    sys.stderr.write("pyftpd_server.py: pyftpdlib is not installed "
                     "(Debian package python3-pyftpdlib): %s\n" % error)
    sys.exit(2)


class KeepBytesDTPHandler(DTPHandler):
    """Stores what arrives in ASCII type without turning CR LF into LF."""

    def enable_receiving(self, type, cmd):
        DTPHandler.enable_receiving(self, type, cmd)
        self._data_wrapper = None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--keep-crlf", action="store_true")
    args = parser.parse_args()

    # VARNOLET_FTPD_DEBUG=1 shows the server's side of a session on stderr.
    debug = os.environ.get("VARNOLET_FTPD_DEBUG") == "1"
    logging.basicConfig(level=logging.DEBUG if debug else logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    handler = type("Handler", (FTPHandler,), {})
    handler.authorizer = authorizer
    # Answer a wrong password at once (pyftpdlib waits 3 s by default), so a
    # test of a refused login costs no time.
    handler.auth_failed_timeout = 0
    if args.keep_crlf:
        handler.dtp_handler = KeepBytesDTPHandler
    server = FTPServer(("127.0.0.1", 0), handler)

    def stop(signum, frame):
        server.close_all()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("port %d" % server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
