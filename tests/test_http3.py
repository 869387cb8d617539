"""HTTP/3 over QUIC through tovrel, against Debian's nginx on 127.0.0.1."""

import pytest

import tovrel

from nginxserver import Nginx, nginx_lacks_quic
from servers import pattern_bytes

BODY = pattern_bytes(100 * 1024 + 7)


def http3_unavailable():
    """Why no HTTP/3 transfer can be made here, or None."""
    if not tovrel.version_info()[4] & tovrel.VERSION_HTTP3:
        return "this libcurl is built without HTTP/3"
    return nginx_lacks_quic()


@pytest.fixture(scope="module")
def nginx(tmp_path_factory, authority):
    reason = http3_unavailable()
    if reason:
        pytest.skip(reason)
    docroot = tmp_path_factory.mktemp("nginx-docroot")
    docroot.chmod(0o755)
    (docroot / "body.bin").write_bytes(BODY)
    cert, key = authority.issue("127.0.0.1")
    server = Nginx(str(docroot), cert, key)
    yield server
    server.close()


def fetch(nginx, authority, version):
    chunks = []
    with tovrel.Curl() as c:
        c.setopt(tovrel.URL, nginx.url("body.bin", "https"))
        c.setopt(tovrel.CAINFO_BLOB, authority.pem)
        c.setopt(tovrel.HTTP_VERSION, version)
        c.setopt(tovrel.WRITEFUNCTION, chunks.append)
        c.perform()
        return b"".join(chunks), c.getinfo(tovrel.RESPONSE_CODE), c.getinfo(tovrel.INFO_HTTP_VERSION)


@pytest.mark.timeout(60)
def test_http3_transfer(nginx, authority):
    body, status, version = fetch(nginx, authority, tovrel.CURL_HTTP_VERSION_3ONLY)
    assert (status, version) == (200, tovrel.CURL_HTTP_VERSION_3)
    assert body == BODY


@pytest.mark.timeout(60)
def test_same_server_over_http2(nginx, authority):
    # the QUIC listener shares the TLS port: TCP still gets HTTP/2
    body, status, version = fetch(nginx, authority, tovrel.CURL_HTTP_VERSION_2TLS)
    assert (status, version) == (200, tovrel.CURL_HTTP_VERSION_2)
    assert body == BODY
