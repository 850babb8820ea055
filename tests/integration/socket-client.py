#!/usr/bin/env python3
"""A Gemini client on a plain TCP socket, as small scripts and test
harnesses write one, with a choice of what it does with its own side:

  socket-client.py MODE PORT URL

  open   keeps its sending side open until the answer has ended
  half   shuts its sending side down right after the request line
  stray  sends more bytes after the line, then keeps its side open

Writes what it received to standard output. A reset, or any other error,
ends it with a traceback and exit status 1."""
import socket
import sys

mode, port, url = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if mode not in ('open', 'half', 'stray'):
    sys.exit(__doc__)
out = sys.stdout.buffer
with socket.create_connection(('127.0.0.1', port), timeout=60) as s:
    line = url.encode() + b'\r\n'
    if mode == 'stray':
        # Some arrives with the line, some after it.
        s.sendall(line + b'stray bytes after the line\r\n')
        s.sendall(b'and more of them\r\n')
    else:
        s.sendall(line)
    if mode == 'half':
        s.shutdown(socket.SHUT_WR)
    while True:
        data = s.recv(65536)
        if not data:
            break
        out.write(data)
