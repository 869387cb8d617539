"""Fixtures shared by the whole suite."""

import os
import subprocess
import sys
import textwrap

import pytest

from certs import Authority
from protocol_servers import FtpServer, SshServer
from servers import HttpServer, HttpsServer, UnixHttpServer
from wsserver import WebSocketServer

# --refleak=WARMUPS:RUNS under the debug interpreter
pytest_plugins = ["refleak"]


def run_python(code, *, env=None, timeout=60):
    """Run ``code`` in a fresh interpreter; return the CompletedProcess."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    """Run a snippet in a child interpreter, which must exit cleanly."""

    def run(code, **kwargs):
        proc = run_python(code, **kwargs)
        assert proc.returncode == 0, proc.stderr
        return proc

    return run


@pytest.fixture(scope="session")
def http_server():
    """A real HTTP/1.1 server on 127.0.0.1 (routes in servers.Handler)."""
    server = HttpServer()
    yield server
    server.close()


# One server per scheme: every WebSocket test runs over ws:// and wss://.
@pytest.fixture(scope="session", params=["ws", "wss"])
def ws_server(request, authority):
    """A real WebSocket server on 127.0.0.1 (routes in wsserver.Routes)."""
    if request.param == "wss":
        server = WebSocketServer(certificate=authority.issue("127.0.0.1"),
                                 client_options=[("CAINFO_BLOB", authority.pem)])
    else:
        server = WebSocketServer()
    yield server
    server.close()


@pytest.fixture
def curl():
    """A fresh Curl object, closed after the test."""
    import tovrel

    handle = tovrel.Curl()
    yield handle
    handle.close()


@pytest.fixture(scope="session")
def authority():
    """A throwaway CA (its PEM in ``authority.pem``)."""
    return Authority()


@pytest.fixture(scope="session")
def https_server(authority):
    """The HTTP server behind TLS, trusted only through ``authority``."""
    server = HttpsServer(authority)
    yield server
    server.close()


@pytest.fixture(scope="session")
def ftp_server(tmp_path_factory):
    """Anonymous FTP on 127.0.0.1 serving a folder with a few files."""
    root = tmp_path_factory.mktemp("ftp")
    for name, content in [("a.txt", b"alpha\n"), ("b.txt", b"bravo\n"), ("c.log", b"charlie\n")]:
        (root / name).write_bytes(content)
    server = FtpServer(root)
    yield server
    server.close()


@pytest.fixture(scope="session")
def ssh_server(tmp_path_factory):
    """sshd on 127.0.0.1; the tests that need it skip where it cannot run."""
    server = SshServer(str(tmp_path_factory.mktemp("sshd")))
    if not server.available:
        pytest.skip(server.reason)
    yield server
    server.close()


@pytest.fixture
def unix_http_server(tmp_path):
    """The HTTP server on a UNIX domain socket."""
    server = UnixHttpServer(str(tmp_path / "http.sock"))
    yield server
    server.close()
def decode_parts(parts):
    """The /form route's part list with each part's data as bytes."""
    import base64

    for part in parts:
        if "parts" in part:
            decode_parts(part["parts"])
        else:
            part["data"] = base64.b64decode(part["data"])
    return parts


@pytest.fixture
def post_mime(http_server):
    """Post a CurlMime with its Curl to /form; return the parts the server parsed."""
    import io
    import json

    import tovrel

    def post(curl, mime, path="/form", **options):
        body = io.BytesIO()
        curl.setopt(tovrel.URL, http_server.url(path))
        curl.setopt(tovrel.WRITEDATA, body)
        if mime is not None:
            curl.setopt(tovrel.MIMEPOST, mime)
        for name, value in options.items():
            curl.setopt(getattr(tovrel, name), value)
        curl.perform()
        reply = json.loads(body.getvalue())
        return decode_parts(reply["parts"])

    return post
