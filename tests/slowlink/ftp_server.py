#!/usr/bin/python3
"""A plain FTP server for uploads over a slow link: pyftpdlib on 127.0.0.1, one user with every right in
one folder.

    ftp_server.py ROOT PORTFILE USER PASSWORD

Listens on a port of its own choosing, writes it to PORTFILE once it accepts connections, and serves
until it is killed.
"""

import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, port_file, user, password = sys.argv[1:5]
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm='elradfmwMT')
    handler = type('Handler', (FTPHandler,), {})
    handler.authorizer = authorizer
    # A refused login costs no time.
    handler.auth_failed_timeout = 0
    server = FTPServer(('127.0.0.1', 0), handler)
    port = server.socket.getsockname()[1]
    with open(port_file + '.part', 'w') as f:
        f.write('%d\n' % port)
    os.rename(port_file + '.part', port_file)
    server.serve_forever(handle_exit=True)


if __name__ == '__main__':
    main()
