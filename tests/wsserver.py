"""A real WebSocket server on 127.0.0.1 for the tests, on a thread of its own.

Each route is a small script the server plays on one connection.  What the
server observes (messages, the close frame it got, whether a pong came) is
put on a queue named by the ``tag`` query parameter, so a test reads only
what its own connection produced.
"""

import collections
import queue
import socket
import threading
import urllib.parse

import tovrel

from websockets.exceptions import ConnectionClosed
from websockets.sync.server import serve

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
        ws.socket.shutdown(socket.SHUT_RDWR)


class WebSocketServer:
    """A WebSocket server on 127.0.0.1; ``url(route, tag)`` gives a full URL.

    Given an ``ssl.SSLContext`` it speaks TLS and its URLs are ``wss://``;
    everything else stays the same.  ``client_options`` lists the
    ``(option name, value)`` pairs a client needs to talk to it (for TLS,
    the CA that signed its certificate).
    """

    def __init__(self, ssl_context=None, client_options=()):
        self.scheme = "wss" if ssl_context is not None else "ws"
        self.client_options = list(client_options)
        # The server hangs up without a TLS close_notify: over TLS libcurl
        # reports that as a receive error, over plain TCP as an empty read.
        self.hangup_code = tovrel.E_RECV_ERROR if ssl_context is not None else tovrel.E_GOT_NOTHING
        self._observed = collections.defaultdict(queue.Queue)
        self._lock = threading.Lock()
        self._routes = Routes(self._note)
        # libcurl keeps its end of the connection open after the closing
        # handshake; the server drops it once close_timeout has passed.  No
        # test depends on that wait, it only bounds each connection's end.
        self.server = serve(self._handle, "127.0.0.1", 0, ssl=ssl_context, compression=None,
                            ping_interval=None, max_size=None, close_timeout=0.1)
        self.port = self.server.socket.getsockname()[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, route, tag="-", **query):
        query = urllib.parse.urlencode({"tag": tag, **query})
        return f"{self.scheme}://127.0.0.1:{self.port}/{route}?{query}"

    def observed(self, tag, timeout=10):
        """The next thing the server noted for ``tag``."""
        return self._queue(tag).get(timeout=timeout)

    def _queue(self, tag):
        with self._lock:
            return self._observed[tag]

    def _note(self, tag, event):
        self._queue(tag).put(event)

    def _handle(self, ws):
        url = urllib.parse.urlsplit(ws.request.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        route = getattr(self._routes, "route_" + url.path.strip("/"), None)
        if route is None:
            ws.close(4404, "no such route")
            return
        route(ws, query, query.get("tag", "-"))

    def close(self):
        self.server.shutdown()
        self.thread.join()
