"""A tour of tovrel against a server it starts itself: ``python -m tovrel.demo``.

Everything happens on 127.0.0.1; nothing needs setting up.
"""

import hashlib
import http.server
import io
import json
import socketserver
import sys
import threading
import time

import tovrel

DOWNLOAD_SIZE = 8 * 1024 * 1024


class DemoHandler(http.server.BaseHTTPRequestHandler):
    """The demo's routes: a greeting, an echo for posts, a large download."""

    protocol_version = "HTTP/1.1"
    server_version = "tovrel-demo"

    def log_message(self, format, *args):
        pass

    def send_body(self, body, content_type):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path == "/hello":
            self.send_body(b"Hello from the demo server!\n", "text/plain")
        elif self.path == "/download":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(DOWNLOAD_SIZE))
            self.end_headers()
            block = bytes(range(256)) * 256
            for _ in range(DOWNLOAD_SIZE // len(block)):
                self.wfile.write(block)
                time.sleep(0.01)  # slow enough to watch the progress bar
        else:
            self.send_error(404)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        reply = {"received": body.decode("utf-8", "replace"), "bytes": len(body),
                 "content_type": self.headers.get("Content-Type")}
        self.send_body(json.dumps(reply).encode(), "application/json")


class DemoServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def start_server():
    server = DemoServer(("127.0.0.1", 0), DemoHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}"


# ---------------------------------------------------------------------------


def feature_names(bits):
    """The VERSION_* feature flags set in ``bits``, in a stable order."""
    names = []
    seen = 0
    for name in sorted(vars(tovrel)):
        if not name.startswith("VERSION_"):
            continue
        value = getattr(tovrel, name)
        if value & bits and not value & seen:
            names.append(name[len("VERSION_"):].lower())
            seen |= value
    return names


def describe_build():
    (age, version, version_num, host, features, ssl_version, ssl_version_num,
     libz_version, protocols, ares, ares_num, libidn) = tovrel.version_info()
    rows = [
        ("tovrel", tovrel.version),
        ("libcurl", f"{version} (0x{version_num:06x}, built for {host})"),
        ("TLS library", ssl_version or "none"),
        ("zlib", libz_version or "none"),
        ("IDN", libidn or "none"),
        ("c-ares", ares or "none (threaded resolver)"),
        ("protocols", " ".join(protocols)),
        ("features", " ".join(feature_names(features))),
    ]
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label:>{width}}  {value}" for label, value in rows)


def section(title):
    print(f"\n== {title}")


def get_with_write_callback(base):
    section("GET, the body arriving through a write callable")
    chunks = []
    with tovrel.Curl() as c:
        c.setopt(tovrel.URL, base + "/hello")
        c.setopt(tovrel.WRITEFUNCTION, chunks.append)
        c.perform()
    print(f"{len(chunks)} chunk(s): {b''.join(chunks).decode().strip()!r}")


def post_form_fields(base):
    section("POST of url-encoded fields")
    body = io.BytesIO()
    with tovrel.Curl() as c:
        c.setopt(tovrel.URL, base + "/echo")
        c.setopt(tovrel.POSTFIELDS, "name=tovrel&speed=fast")
        c.setopt(tovrel.WRITEDATA, body)
        c.perform()
    reply = json.loads(body.getvalue())
    print(f"server received {reply['bytes']} bytes ({reply['content_type']}): {reply['received']}")


class ProgressBar:
    """A text progress bar driven by XFERINFOFUNCTION."""

    def __init__(self, stream, width=40):
        self.stream = stream
        self.width = width
        self.drawn = None

    def __call__(self, download_total, downloaded, upload_total, uploaded):
        if download_total <= 0:
            return 0
        filled = self.width * downloaded // download_total
        if filled != self.drawn:
            self.drawn = filled
            bar = "#" * filled + "." * (self.width - filled)
            percent = 100 * downloaded // download_total
            self.stream.write(f"\r[{bar}] {percent:3d}% of {download_total // 1024} KiB")
            self.stream.flush()
        return 0


def download_with_progress(base):
    section("Download with a progress bar (XFERINFOFUNCTION)")
    digest = hashlib.sha256()
    with tovrel.Curl() as c:
        c.setopt(tovrel.URL, base + "/download")
        c.setopt(tovrel.WRITEFUNCTION, digest.update)
        c.setopt(tovrel.NOPROGRESS, 0)
        c.setopt(tovrel.XFERINFOFUNCTION, ProgressBar(sys.stdout))
        started = time.monotonic()
        c.perform()
        elapsed = time.monotonic() - started
    print(f"\nreceived {DOWNLOAD_SIZE // 1024} KiB in {elapsed:.2f} s, sha256 {digest.hexdigest()[:16]}...")


def main():
    print(describe_build())
    server, base = start_server()
    try:
        get_with_write_callback(base)
        post_form_fields(base)
        download_with_progress(base)
    finally:
        server.shutdown()
        server.server_close()


if __name__ == "__main__":
    main()
