"""Raw connection I/O: CONNECT_ONLY with send, recv and recv_into."""

import errno
import time

import pytest

import tovrel
from servers import pattern_bytes

REQUEST = b"GET /bytes/%d HTTP/1.1\r\nHost: test\r\nConnection: close\r\n\r\n"


@pytest.fixture
def connected(http_server):
    c = tovrel.Curl()
    c.setopt(tovrel.URL, http_server.url("/"))
    c.setopt(tovrel.CONNECT_ONLY, 1)
    c.perform()
    yield c
    c.close()


def receive_all(receive, limit=10.0):
    """Call receive() until the peer closes; BlockingIOError means wait."""
    chunks, deadline = [], time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            chunk = receive()
        except BlockingIOError:
            time.sleep(0.005)
            continue
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)
    raise AssertionError("peer did not close the connection")


def split_response(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    return head, body


def test_nothing_waiting_is_eagain(connected):
    with pytest.raises(BlockingIOError) as info:
        connected.recv(100)
    assert info.value.errno == errno.EAGAIN


def test_send_and_recv(connected):
    request = REQUEST % 5000
    assert connected.send(request) == len(request)
    head, body = split_response(receive_all(lambda: connected.recv(1024)))
    assert head.startswith(b"HTTP/1.1 200")
    assert body == pattern_bytes(5000)


def test_send_takes_any_buffer(connected):
    request = bytearray(REQUEST % 10)
    assert connected.send(memoryview(request)) == len(request)
    assert split_response(receive_all(lambda: connected.recv(100)))[1] == pattern_bytes(10)


def test_recv_into_fills_a_buffer_in_pieces(connected):
    connected.send(REQUEST % 3000)
    buffer = bytearray(700)
    pieces = []

    def receive():
        n = connected.recv_into(buffer, 500)
        assert 0 <= n <= 500
        return bytes(buffer[:n])

    assert split_response(receive_all(receive))[1] == pattern_bytes(3000)


def test_recv_into_whole_buffer_by_keyword(connected):
    connected.send(REQUEST % 10)
    buffer = bytearray(4)

    def receive():
        n = connected.recv_into(buffer=buffer)
        return bytes(buffer[:n])

    assert split_response(receive_all(receive))[1] == pattern_bytes(10)


@pytest.mark.parametrize("call, error, message", [
    (lambda c: c.recv(-1), ValueError, "negative buffersize in recv"),
    (lambda c: c.recv_into(bytearray(4), -1), ValueError, "negative buffersize in recv_into"),
    (lambda c: c.recv_into(bytearray(4), 8), ValueError, "buffer too small for requested bytes"),
    (lambda c: c.recv_into(b"read-only"), TypeError, None),
    (lambda c: c.recv_into("text"), TypeError, None),
    (lambda c: c.send("text"), TypeError, None),
    (lambda c: c.send(), TypeError, None),
    (lambda c: c.recv("10"), TypeError, None),
])
def test_argument_errors(connected, call, error, message):
    with pytest.raises(error) as info:
        call(connected)
    if message:
        assert info.value.args == (message,)
    # still connected and usable
    with pytest.raises(BlockingIOError):
        connected.recv(1)


def test_empty_requests_do_not_touch_the_connection(connected):
    assert connected.recv(0) == b""
    assert connected.recv_into(bytearray()) == 0


@pytest.mark.parametrize("call, name", [
    (lambda c: c.recv(0), "recv"),
    (lambda c: c.recv_into(bytearray()), "recv_into"),
    (lambda c: c.send(b"x"), "send"),
])
def test_closed_handle(call, name):
    c = tovrel.Curl()
    c.close()
    with pytest.raises(tovrel.error) as info:
        call(c)
    assert info.value.args == (f"cannot invoke {name}() - no curl handle",)


def test_negative_size_checked_before_state():
    c = tovrel.Curl()
    c.close()
    with pytest.raises(ValueError):
        c.recv(-1)


def test_without_connection(curl):
    with pytest.raises(tovrel.error) as info:
        curl.recv(10)
    assert info.value.args[0] == tovrel.E_UNSUPPORTED_PROTOCOL
