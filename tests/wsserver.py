"""A real WebSocket server on 127.0.0.1 for the tests, in a child process.

Each route is a small script the server plays on one connection.  What the
server observes (messages, the close frame it got, whether a pong came) is
put on a queue named by the ``tag`` query parameter, so a test reads only
what its own connection produced.

The server runs in a process of its own and reports what it observes on
its standard output: its connections and threads stay out of the test
process, whose reference counts the reference-leak runs watch.
"""

import ast
import os
import queue
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import urllib.parse

import children
import tovrel
from websockets.exceptions import ConnectionClosed

from servers import pattern_bytes

# What the routes send, shared with the tests.
FRAGMENTED_TEXT = ["alpha-", "beta-", "gamma ✓"]
FRAGMENTED_BINARY = [b"\x00\x01", b"\x00", b"\xff\x00\xfe"]
BINARY_FRAMES = [bytes(range(256)), b"\x00" * 64, b"\x00abc\x00"]
PING_PAYLOAD = b"are you there?"
PINGED = "pinged"
CONVERSATION_GREETING = "hello"
DROPPED_FRAME_SIZE = 1000  # announced in the header; far fewer bytes follow


class Routes:
    """One method per path; each gets the connection and the query."""

    def __init__(self, note):
        self.note = note

    def echo_messages(self, ws, tag):
        """Echo every message back as it came, then note the close frame."""
        try:
            for message in ws:
                self.note(tag, ("message", message))
                ws.send(message)
        except ConnectionClosed:
            pass
        self.note(tag, ("close", ws.close_code, ws.close_reason))

    def route_echo(self, ws, query, tag):
        self.echo_messages(ws, tag)

    def route_fragments(self, ws, query, tag):
        ws.send(FRAGMENTED_TEXT)
        ws.send(FRAGMENTED_BINARY)
        self.echo_messages(ws, tag)

    def route_binary(self, ws, query, tag):
        for frame in BINARY_FRAMES:
            ws.send(frame)
        self.echo_messages(ws, tag)

    def route_large(self, ws, query, tag):
        ws.send(pattern_bytes(int(query["size"])))
        self.echo_messages(ws, tag)

    def route_ping(self, ws, query, tag):
        """Ping, say "pinged", then wait for the client's "done".  TCP keeps
        order both ways: the client has read the ping once it sees "pinged",
        and a pong it sent before "done" has been processed here by then."""
        pong = ws.ping(PING_PAYLOAD)
        ws.send(PINGED)
        ws.recv()
        answer = "pong:yes" if pong.is_set() else "pong:no"
        self.note(tag, ("pong", pong.is_set()))
        ws.send(answer)
        self.echo_messages(ws, tag)

    def route_close(self, ws, query, tag):
        ws.close(int(query["code"]), query.get("reason", ""))

    def route_converse(self, ws, query, tag):
        """Greet, note the answer (or the close that came instead), confirm
        the answer and close: a conversation for callback mode."""
        ws.send(CONVERSATION_GREETING)
        try:
            answer = ws.recv()
        except ConnectionClosed:
            self.note(tag, ("close", ws.close_code, ws.close_reason))
            return
        self.note(tag, ("message", answer))
        ws.send("got:" + answer)
        ws.close(1000, "done")

    def route_ping_then_close(self, ws, query, tag):
        """Ping, wait for the client's answer, report the pong, close."""
        pong = ws.ping(PING_PAYLOAD)
        ws.send(PINGED)
        ws.recv()
        self.note(tag, ("pong", pong.is_set()))
        ws.close(1000, "done")

    def route_drop(self, ws, query, tag):
        """Announce a binary frame, send part of it, drop the connection."""
        header = b"\x82\x7e" + DROPPED_FRAME_SIZE.to_bytes(2, "big")
        ws.socket.sendall(header + b"x" * 100)
        # Past the TLS layer: SSLSocket.shutdown also drops the TLS state, so
        # the server's reader thread would go on with the connection as
        # plain bytes and break the client's TLS stream.
        socket.socket.shutdown(ws.socket, socket.SHUT_RDWR)


class WebSocketServer:
    """A WebSocket server on 127.0.0.1; ``url(route, tag)`` gives a full URL.

    Given ``certificate`` (a (cert PEM, key PEM) pair) it speaks TLS and its
    URLs are ``wss://``; everything else stays the same.  ``client_options``
    lists the ``(option name, value)`` pairs a client needs to talk to it
    (for TLS, the CA that signed its certificate).
    """

    def __init__(self, certificate=None, client_options=()):
        self.scheme = "wss" if certificate is not None else "ws"
        self.client_options = list(client_options)
        # The server hangs up without a TLS close_notify: over TLS libcurl
        # reports that as a receive error, over plain TCP as an empty read.
        self.hangup_code = tovrel.E_RECV_ERROR if certificate is not None else tovrel.E_GOT_NOTHING
        self._observed = {}
        self._lock = threading.Lock()
        self._folder = tempfile.TemporaryDirectory()
        args = [os.path.abspath(__file__)]
        if certificate is not None:
            for name, pem in zip(("cert.pem", "key.pem"), certificate):
                path = os.path.join(self._folder.name, name)
                with open(path, "wb") as f:
                    f.write(pem)
                args.append(path)
        self._process, self.port = children.start(args, stdin=subprocess.PIPE)
        self._reader = threading.Thread(target=self._read_notes, daemon=True)
        self._reader.start()

    def url(self, route, tag="-", **query):
        query = urllib.parse.urlencode({"tag": tag, **query})
        return f"{self.scheme}://127.0.0.1:{self.port}/{route}?{query}"

    def listen(self, tag):
        """Keep the server's notes for ``tag`` from now on."""
        with self._lock:
            self._observed[tag] = queue.Queue()

    def observed(self, tag, timeout=10):
        """The next thing the server noted for ``tag`` (which is listened to)."""
        with self._lock:
            notes = self._observed[tag]
        return notes.get(timeout=timeout)

    def forget(self, tag):
        """Drop ``tag``'s notes, and any that are still to come: its test is over."""
        with self._lock:
            self._observed.pop(tag, None)

    def _read_notes(self):
        for line in self._process.stdout:
            try:
                tag, event = ast.literal_eval(line)
            except (SyntaxError, ValueError):
                print("wsserver: unreadable note", repr(line), file=sys.stderr)
                continue
            # A connection's last notes may come after its test has ended;
            # keeping them would grow this table with every test.
            with self._lock:
                notes = self._observed.get(tag)
            if notes is not None:
                notes.put(event)

    def close(self):
        self._process.stdin.close()  # the child ends when its stdin does
        children.wait_or_kill(self._process)
        self._reader.join(10)
        self._process.stdout.close()
        self._folder.cleanup()


def serve_in_this_process(cert_path=None, key_path=None):
    """The child's side: serve, report the port, then one note per line."""
    from websockets.sync.server import serve

    context = None
    if cert_path is not None:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert_path, key_path)
    lock = threading.Lock()

    def plain(value):
        # enum members (websockets' close codes) as the ints they are
        if isinstance(value, tuple):
            return tuple(plain(item) for item in value)
        if isinstance(value, int) and not isinstance(value, bool):
            return int(value)
        return value

    def note(tag, event):
        with lock:
            print(repr((tag, plain(event))), flush=True)

    routes = Routes(note)

    def handle(ws):
        url = urllib.parse.urlsplit(ws.request.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        route = getattr(routes, "route_" + url.path.strip("/"), None)
        if route is None:
            ws.close(4404, "no such route")
            return
        route(ws, query, query.get("tag", "-"))

    # libcurl keeps its end of the connection open after the closing
    # handshake; the server drops it once close_timeout has passed.  No
    # test depends on that wait, it only bounds each connection's end.
    server = serve(handle, "127.0.0.1", 0, ssl=context, compression=None, ping_interval=None, max_size=None,
                   close_timeout=0.1)
    print(server.socket.getsockname()[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdin.read()  # until the parent closes it
    server.shutdown()


if __name__ == "__main__":
    serve_in_this_process(*sys.argv[1:])
