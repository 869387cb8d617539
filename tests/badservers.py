"""A loopback server that misbehaves in the ways real ones sometimes do.

The request path names the misbehaviour: /close-mid-body, /bad-status,
/endless-header, /long-body, /stall, /reset, /garbage.  It runs in a child
process (``BadServer``); its stalled connections last until the client
hangs up, which would otherwise leave their threads in the tests' process.
"""

import os
import select
import socket
import struct
import threading
import time

import children


def _read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    return data.split(b" ")[1].decode()


class BadServer:
    """The misbehaving server, in a child process."""

    def __init__(self):
        self.process, self.port = children.start([os.path.abspath(__file__)])

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def close(self):
        children.stop(self.process)


class Misbehaviour:
    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:  # a connection that went before it was taken
                continue
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            path = _read_request(conn)
            if path is not None:
                getattr(self, "do_" + path.strip("/").replace("-", "_"))(conn)
        except OSError:
            pass
        finally:
            conn.close()

    def do_close_mid_body(self, conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + b"x" * 100)

    def do_bad_status(self, conn):
        conn.sendall(b"HTTP/1.1 two hundred\r\nContent-Length: 0\r\n\r\n")

    def do_garbage(self, conn):
        conn.sendall(b"\x00\x01\x02 not http at all\r\n\r\n")

    def do_endless_header(self, conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\n")
        line = b"X-Filler: " + b"y" * 1000 + b"\r\n"
        while True:  # until the client hangs up
            conn.sendall(line)

    def do_long_body(self, conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n" + b"0123456789" + b"EXTRA" * 100)

    def do_stall(self, conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + b"z" * 10)
        # silent until the client gives up and hangs up
        select.select([conn], [], [])

    def do_reset(self, conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"r" * 100)
        time.sleep(0.05)
        # An abortive close: the client sees a reset, not an orderly end.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


if __name__ == "__main__":
    server = Misbehaviour()
    print(server.port, flush=True)
    threading.Event().wait()  # until terminated
