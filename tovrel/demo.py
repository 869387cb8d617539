"""A tour of tovrel against a server it starts itself: ``python -m tovrel.demo``.

Everything happens on 127.0.0.1; nothing needs setting up.
``python -m tovrel.demo --serve`` only runs the demo server, for the programs
in examples/ to talk to.
"""

import argparse
import base64
import datetime
import email.parser
import email.policy
import hashlib
import http.server
import io
import json
import os
import signal
import socketserver
import struct
import ssl
import sys
import tempfile
import threading
import time

import tovrel

DOWNLOAD_SIZE = 8 * 1024 * 1024
WEBSOCKET_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


def read_ws_frame(stream):
    """One WebSocket frame from a client: (fin, opcode, payload), or None
    when the connection ends."""
    head = stream.read(2)
    if len(head) < 2:
        return None
    fin, opcode = head[0] >> 7, head[0] & 0x0F
    length = head[1] & 0x7F
    if length == 126:
        (length,) = struct.unpack("!H", stream.read(2))
    elif length == 127:
        (length,) = struct.unpack("!Q", stream.read(8))
    mask = stream.read(4) if head[1] & 0x80 else b"\0\0\0\0"
    payload = stream.read(length)
    if len(payload) < length:
        return None
    return fin, opcode, bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def ws_frame(fin, opcode, payload):
    """A server-to-client WebSocket frame (never masked)."""
    first = bytes([fin << 7 | opcode])
    if len(payload) < 126:
        return first + bytes([len(payload)]) + payload
    if len(payload) < 1 << 16:
        return first + struct.pack("!BH", 126, len(payload)) + payload
    return first + struct.pack("!BQ", 127, len(payload)) + payload


class DemoHandler(http.server.BaseHTTPRequestHandler):
    """The demo's routes: a greeting, an echo for posts, a form reader, a
    large download and a WebSocket echo."""

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
        path = self.path.partition("?")[0]
        if path == "/hello":
            self.send_body(b"Hello from the demo server!\n", "text/plain")
        elif path == "/download":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(DOWNLOAD_SIZE))
            self.end_headers()
            block = bytes(range(256)) * 256
            for _ in range(DOWNLOAD_SIZE // len(block)):
                self.wfile.write(block)
                time.sleep(0.01)  # slow enough to watch the progress bar
        elif path == "/ws":
            self.websocket_echo()
        else:
            self.send_error(404)

    def websocket_echo(self):
        """Upgrade to WebSocket and send every data frame back as it came."""
        key = self.headers.get("Sec-WebSocket-Key")
        if self.headers.get("Upgrade", "").lower() != "websocket" or not key:
            self.send_error(400, "WebSocket upgrade expected")
            return
        accept = base64.b64encode(hashlib.sha1((key + WEBSOCKET_GUID).encode()).digest()).decode()
        self.send_response(101)
        self.send_header("Upgrade", "websocket")
        self.send_header("Connection", "Upgrade")
        self.send_header("Sec-WebSocket-Accept", accept)
        self.end_headers()
        self.wfile.flush()
        self.close_connection = True
        while (frame := read_ws_frame(self.rfile)) is not None:
            fin, opcode, payload = frame
            if opcode == 0x8:  # close: answer with the same status code
                self.wfile.write(ws_frame(1, 0x8, payload[:2]))
                return
            reply = (fin, 0xA, payload) if opcode == 0x9 else (fin, opcode, payload)  # ping gets pong
            self.wfile.write(ws_frame(*reply))
            self.wfile.flush()

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if self.path == "/form":
            self.send_body(json.dumps(self.describe_form(body)).encode(), "application/json")
            return
        reply = {"received": body.decode("utf-8", "replace"), "bytes": len(body),
                 "content_type": self.headers.get("Content-Type")}
        self.send_body(json.dumps(reply).encode(), "application/json")

    def describe_form(self, body):
        """The parts of a multipart/form-data body: name, file name, type, size."""
        content_type = self.headers.get("Content-Type", "")
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
            b"Content-Type: " + content_type.encode() + b"\r\n\r\n" + body)
        return {"parts": [{"name": part.get_param("name", header="content-disposition"),
                           "filename": part.get_filename(),
                           "content_type": part.get_content_type(),
                           "size": len(part.get_payload(decode=True) or b"")}
                          for part in message.iter_parts()]}


class DemoServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    request_queue_size = 256


def start_server(port=0):
    server = DemoServer(("127.0.0.1", port), DemoHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}"


def make_throwaway_ca():
    """A CA and a server certificate for 127.0.0.1, all in memory:
    (CA PEM, server certificate PEM, server key PEM)."""
    import ipaddress

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    def name(text):
        return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])

    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key, server_key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca = (x509.CertificateBuilder().subject_name(name("tovrel demo CA")).issuer_name(name("tovrel demo CA"))
          .public_key(ca_key.public_key()).serial_number(x509.random_serial_number())
          .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=1))
          .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
          .sign(ca_key, hashes.SHA256()))
    server = (x509.CertificateBuilder().subject_name(name("127.0.0.1")).issuer_name(ca.subject)
              .public_key(server_key.public_key()).serial_number(x509.random_serial_number())
              .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=1))
              .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
                             critical=False)
              .sign(ca_key, hashes.SHA256()))
    pem = serialization.Encoding.PEM
    key_pem = server_key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    return ca.public_bytes(pem), server.public_bytes(pem), key_pem


class TlsDemoServer(DemoServer):
    def __init__(self, context):
        super().__init__(("127.0.0.1", 0), DemoHandler)
        self.context = context

    def get_request(self):
        sock, address = self.socket.accept()
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address


def start_tls_server(cert_pem, key_pem):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    # Python's TLS server reads its certificate from files: they live only
    # until the context has loaded them.
    with tempfile.TemporaryDirectory() as folder:
        cert_path, key_path = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        for path, data in ((cert_path, cert_pem), (key_path, key_pem)):
            with open(path, "wb") as f:
                f.write(data)
        context.load_cert_chain(cert_path, key_path)
    server = TlsDemoServer(context)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"https://127.0.0.1:{server.server_address[1]}"


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


def many_at_once(base, count=200):
    section(f"{count} GETs at once through one CurlMulti")
    multi = tovrel.CurlMulti()
    bodies = {}
    for i in range(count):
        c = tovrel.Curl()
        c.setopt(tovrel.URL, base + "/hello")
        chunks = bodies[c] = []
        c.setopt(tovrel.WRITEFUNCTION, chunks.append)
        multi.add_handle(c)
    started = time.monotonic()
    done, failed, running = [], [], count
    while running:
        _, running = multi.perform()
        _, ok, bad = multi.info_read()
        done += ok
        failed += bad
        if running:
            multi.select(1.0)
    elapsed = time.monotonic() - started
    _, ok, bad = multi.info_read()
    done += ok
    failed += bad
    intact = sum(b"".join(bodies[c]) == b"Hello from the demo server!\n" for c in done)
    print(f"{len(done)} succeeded ({intact} bodies intact), {len(failed)} failed, "
          f"in {elapsed:.2f} s: {len(done) / elapsed:.0f} requests/s on one thread")
    multi.close()


def https_with_ca_from_memory():
    section("HTTPS against a server whose throwaway CA is handed over with set_ca_certs")
    try:
        ca_pem, cert_pem, key_pem = make_throwaway_ca()
    except ImportError:
        print("skipped: the cryptography package is needed to make a CA")
        return
    server, base = start_tls_server(cert_pem, key_pem)
    try:
        with tovrel.Curl() as c:
            c.setopt(tovrel.URL, base + "/hello")
            try:
                c.perform_rb()
            except tovrel.error as exc:
                print(f"without the CA: refused, {exc.args[1]}")
            c.set_ca_certs(ca_pem)
            body = c.perform_rs()
            print(f"with the CA: {body.strip()!r}, certificate verified "
                  f"(result {c.getinfo(tovrel.SSL_VERIFYRESULT)}), "
                  f"TLS set up in {c.getinfo(tovrel.APPCONNECT_TIME) * 1000:.1f} ms")
    finally:
        server.shutdown()
        server.server_close()


def serve(port):
    """Run only the demo server, until interrupted."""
    server, base = start_server(port)
    print(f"demo server on {base} (routes /hello, /download, POST /echo, POST /form, "
          f"WebSocket /ws); Ctrl-C stops it", flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        signal.pause()
    except KeyboardInterrupt:
        pass
    finally:
        server.shutdown()
        server.server_close()


def tour():
    print(describe_build())
    server, base = start_server()
    try:
        get_with_write_callback(base)
        post_form_fields(base)
        download_with_progress(base)
        many_at_once(base)
    finally:
        server.shutdown()
        server.server_close()
    https_with_ca_from_memory()


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m tovrel.demo", description="A tour of tovrel.")
    parser.add_argument("--serve", action="store_true", help="only run the demo server, for examples/")
    parser.add_argument("--port", type=int, default=0, help="the server's port with --serve (default: any)")
    args = parser.parse_args(argv)
    if args.serve:
        serve(args.port)
    else:
        tour()


if __name__ == "__main__":
    main()
