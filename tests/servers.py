"""Real servers on 127.0.0.1 for the tests, each run on a thread of its own."""

import base64
import email.parser
import email.policy
import hashlib
import http.server
import json
import os
import socketserver
import ssl
import tempfile
import threading
import time
import urllib.parse

class Gates:
    """Named gates that requests to /gate/NAME wait at until a test opens them."""

    def __init__(self):
        self._lock = threading.Lock()
        self._events = {}

    def _event(self, name):
        with self._lock:
            return self._events.setdefault(name, threading.Event())

    def wait(self, name, timeout):
        event = self._event(name)
        try:
            return event.wait(timeout)
        finally:
            # A gate serves one request: once passed (or given up on) it goes.
            with self._lock:
                if self._events.get(name) is event:
                    del self._events[name]

    def open(self, name):
        self._event(name).set()


GATES = Gates()

PATTERN = bytes(range(256)) * 4096  # 1 MiB, no two neighbouring chunks alike


def pattern_bytes(n, offset=0):
    """``n`` bytes of a fixed pattern, the same for server and tests."""
    out = bytearray()
    while len(out) < n:
        start = (offset + len(out)) % len(PATTERN)
        out += PATTERN[start:start + n - len(out)]
    return bytes(out)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "tovrel-test"

    def log_message(self, format, *args):
        pass

    # -- helpers ---------------------------------------------------------
    def read_body(self):
        self.trailers = []
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = bytearray()
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if size == 0:
                    # trailers end with an empty line
                    while (line := self.rfile.readline()) not in (b"\r\n", b"\n", b""):
                        self.trailers.append(line.decode("latin-1").rstrip("\r\n"))
                    return bytes(body)
                body += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def reply(self, body, status=200, content_type="application/octet-stream", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def reply_json(self, value, status=200, headers=()):
        self.reply(json.dumps(value).encode(), status, "application/json", headers)

    # -- routes ----------------------------------------------------------
    def route(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        parts = url.path.strip("/").split("/")
        handler = getattr(self, "route_" + parts[0].replace("-", "_"), None)
        if handler is None:
            self.reply(b"no such route", 404, "text/plain")
            return
        handler(parts[1:], query)

    do_GET = do_POST = do_PUT = do_HEAD = do_DELETE = do_PATCH = route

    def route_bytes(self, args, query):
        """GET /bytes/N: N pattern bytes."""
        self.reply(pattern_bytes(int(args[0])))

    def route_text(self, args, query):
        """GET /text?value=...: the value, UTF-8 encoded."""
        self.reply(query.get("value", "").encode(), content_type="text/plain; charset=utf-8")

    def route_chunked(self, args, query):
        """GET /chunked/N?size=K: N pattern bytes in chunks of K."""
        total, size = int(args[0]), int(query.get("size", 1000))
        self.send_response(200)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        body = pattern_bytes(total)
        for start in range(0, total, size):
            piece = body[start:start + size]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        self.wfile.write(b"0\r\n\r\n")

    def route_slow(self, args, query):
        """GET /slow?chunks=N&size=K&delay=S: N pieces of K bytes, S seconds apart."""
        chunks, size = int(query.get("chunks", 5)), int(query.get("size", 100))
        delay = float(query.get("delay", 0.1))
        self.send_response(200)
        self.send_header("Content-Length", str(chunks * size))
        self.end_headers()
        for i in range(chunks):
            self.wfile.write(pattern_bytes(size, i * size))
            self.wfile.flush()
            if i + 1 < chunks:
                time.sleep(delay)

    def route_gate(self, args, query):
        """GET /gate/NAME: answers once a test calls GATES.open(NAME) (504 after 60 s)."""
        opened = GATES.wait(args[0], 60)
        self.reply(b"opened" if opened else b"gate stayed shut", 200 if opened else 504, "text/plain")

    def route_echo(self, args, query):
        """Any method /echo: what the request looked like, as JSON."""
        body = self.read_body()
        self.reply_json({
            "method": self.command,
            "path": self.path,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": base64.b64encode(body).decode(),
            "length": len(body),
            "sha256": hashlib.sha256(body).hexdigest(),
            "trailers": self.trailers,
        })

    def route_form(self, args, query):
        """POST /form: the multipart body, parsed, as JSON."""
        body = self.read_body()
        content_type = self.headers.get("Content-Type", "")
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
            b"Content-Type: " + content_type.encode() + b"\r\n\r\n" + body)
        self.reply_json({"content_type": content_type, "parts": describe_parts(message)})

    def route_status(self, args, query):
        """GET /status/CODE: that status with a short body."""
        code = int(args[0])
        self.reply(b"status %d" % code, code, "text/plain")

    def route_redirect(self, args, query):
        """Any method /redirect?to=PATH&code=C: a redirect (the body is read first)."""
        self.read_body()
        self.send_response(int(query.get("code", 302)))
        self.send_header("Location", query.get("to", "/bytes/10"))
        self.send_header("Content-Length", "0")
        self.end_headers()

    def route_hsts(self, args, query):
        """GET /hsts?max_age=S: a Strict-Transport-Security answer."""
        policy = f"max-age={query.get('max_age', '31536000')}; includeSubDomains"
        self.reply(b"hsts", headers=[("Strict-Transport-Security", policy)])

    def route_cookies(self, args, query):
        """GET /cookies?name=value...: sets those cookies."""
        self.reply(b"cookies", headers=[("Set-Cookie", f"{k}={v}; Path=/") for k, v in query.items()])

    def route_headers(self, args, query):
        """GET /headers?Name=value...: a response carrying those headers."""
        self.reply(b"ok", headers=list(query.items()))


def describe_parts(message):
    """The parts of a multipart message as plain data, nested ones included."""
    parts = []
    for part in message.iter_parts():
        entry = {
            "name": part.get_param("name", header="content-disposition"),
            "filename": part.get_filename(),
            "content_type": part.get_content_type(),
            "headers": [[k, str(v)] for k, v in part.items()],
        }
        if part.is_multipart():
            entry["parts"] = describe_parts(part)
        else:
            data = part.get_payload(decode=True) or b""
            entry["data"] = base64.b64encode(data).decode()
            entry["encoding"] = part.get("Content-Transfer-Encoding")
        parts.append(entry)
    return parts


class ThreadingServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def handle_error(self, request, client_address):
        # Clients that abort mid-request are what many tests do on purpose;
        # a traceback on stderr would only garble the output tests inspect.
        pass


class TlsThreadingServer(ThreadingServer):
    """The same server speaking TLS; handshakes run on the request threads."""

    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def get_request(self):
        sock, address = self.socket.accept()
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address


class HttpServer:
    """An HTTP/1.1 server on 127.0.0.1; ``url(path)`` gives a full URL."""

    scheme = "http"

    def __init__(self):
        self.server = self.make_server()
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def make_server(self):
        return ThreadingServer(("127.0.0.1", 0), Handler)

    def url(self, path="/", host="127.0.0.1"):
        return f"{self.scheme}://{host}:{self.port}{path}"

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class HttpsServer(HttpServer):
    """The HTTP server behind TLS, with a certificate for localhost and
    127.0.0.1 issued by ``authority``."""

    scheme = "https"

    def __init__(self, authority):
        self.authority = authority
        super().__init__()

    def make_server(self):
        return TlsThreadingServer(("127.0.0.1", 0), Handler, server_context(self.authority))


def server_context(authority, host="localhost"):
    """A server-side TLS context with a certificate for ``host`` and
    127.0.0.1 issued by ``authority``."""
    cert, key = authority.issue(host)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    # the ssl module loads certificates from files only
    with tempfile.TemporaryDirectory() as folder:
        cert_path, key_path = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        with open(cert_path, "wb") as f:
            f.write(cert)
        with open(key_path, "wb") as f:
            f.write(key)
        context.load_cert_chain(cert_path, key_path)
    return context


class UnixHttpServer(HttpServer):
    """The HTTP server on a UNIX domain socket at ``path``."""

    def __init__(self, path):
        self.path = path
        super().__init__()

    def make_server(self):
        class UnixServer(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass

        class UnixHandler(Handler):
            def address_string(self):
                return "unix"

        server = UnixServer(self.path, UnixHandler)
        server.server_address = (self.path, 0)
        return server
