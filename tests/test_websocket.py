"""WebSocket frames: ws_send, ws_recv, ws_recv_into, ws_close and ws_meta,
on a detached CONNECT_ONLY connection and from inside a running transfer."""

import array
import errno
import sys
import threading
import time
import uuid

import pytest

import tovrel
from servers import pattern_bytes
from wsserver import (
    BINARY_FRAMES,
    CONVERSATION_GREETING,
    DROPPED_FRAME_SIZE,
    FRAGMENTED_BINARY,
    FRAGMENTED_TEXT,
    PING_PAYLOAD,
    PINGED,
)

# Waiting for the peer is not a timing assertion: these only bound a wait
# so that a fault shows as a failure instead of a hang.
PATIENCE = 10.0

RUNNING = "cannot invoke {}() - perform() is currently running"
OUTSIDE_WRITEFUNCTION = RUNNING + " outside WRITEFUNCTION callback"


@pytest.fixture
def tag(ws_server):
    """Names this test's connection, so the server's notes are its own."""
    name = uuid.uuid4().hex
    ws_server.listen(name)
    yield name
    ws_server.forget(name)


def configure(c, ws_server, url):
    c.setopt(tovrel.URL, url)
    for name, value in ws_server.client_options:
        c.setopt(getattr(tovrel, name), value)


@pytest.fixture
def ws_connect(ws_server):
    """connect(route, tag, ws_options=0, **query) -> a detached connection."""
    handles = []

    def connect(route, tag="-", ws_options=0, **query):
        c = tovrel.Curl()
        handles.append(c)
        configure(c, ws_server, ws_server.url(route, tag, **query))
        c.setopt(tovrel.CONNECT_ONLY, 2)
        if ws_options:
            c.setopt(tovrel.WS_OPTIONS, ws_options)
        c.perform()
        return c

    yield connect
    for c in handles:
        c.close()


@pytest.fixture
def echo(ws_connect, tag):
    return ws_connect("echo", tag)


def retry(call):
    """call() until it stops raising BlockingIOError."""
    deadline = time.monotonic() + PATIENCE
    while True:
        try:
            return call()
        except BlockingIOError:
            if time.monotonic() > deadline:
                raise AssertionError("the peer never answered")
            time.sleep(0.002)


def receive(c, size=65536):
    return retry(lambda: c.ws_recv(size))


def receive_frame(c, size=65536):
    """One whole frame, checking that each piece continues the last."""
    data, meta = receive(c, size)
    chunks, first = [data], meta
    while meta.bytesleft:
        data, meta = receive(c, size)
        assert meta.flags == first.flags
        assert meta.offset == sum(map(len, chunks))
        chunks.append(data)
    payload = b"".join(chunks)
    assert meta.offset + meta.len == len(payload)
    return payload, first.flags


def receive_message(c):
    """A whole message: its frames up to the one without WS_CONT."""
    frames = [receive_frame(c)]
    while frames[-1][1] & tovrel.WS_CONT:
        frames.append(receive_frame(c))
    return b"".join(data for data, _ in frames), [flags for _, flags in frames]


def send_all(c, data):
    """Send one binary frame, going on after partial acceptance or EAGAIN."""
    view, offset = memoryview(data), 0
    while offset < len(view):
        offset += retry(lambda: c.ws_send(view[offset:]))


def assert_echoes(c):
    """The connection still carries frames both ways."""
    assert c.ws_send(b"still there?") == 12
    assert receive_message(c) == (b"still there?", [tovrel.WS_BINARY])


# ---------------------------------------------------------------------------
# detached mode: CONNECT_ONLY 2

@pytest.mark.parametrize("data, flags, wire, server_sees, frame_flags", [
    ("héllo ✓", None, "héllo ✓".encode(), "héllo ✓", tovrel.WS_TEXT),
    ("plain", tovrel.WS_TEXT, b"plain", "plain", tovrel.WS_TEXT),
    ("", None, b"", "", tovrel.WS_TEXT),
    (b"\x00bin\x00ary\xff", None, b"\x00bin\x00ary\xff", b"\x00bin\x00ary\xff", tovrel.WS_BINARY),
    (bytearray(b"\x00\x01\x02"), None, b"\x00\x01\x02", b"\x00\x01\x02", tovrel.WS_BINARY),
    (memoryview(b"view\x00"), tovrel.WS_BINARY, b"view\x00", b"view\x00", tovrel.WS_BINARY),
    (array.array("B", [0, 255, 0]), None, b"\x00\xff\x00", b"\x00\xff\x00", tovrel.WS_BINARY),
    (b"", None, b"", b"", tovrel.WS_BINARY),
    (b"bytes as text", tovrel.WS_TEXT, b"bytes as text", "bytes as text", tovrel.WS_TEXT),
], ids=["str", "str-explicit-text", "empty-str", "bytes-with-nuls", "bytearray", "memoryview", "array",
        "empty-bytes", "bytes-as-text"])
def test_echo_is_byte_exact(ws_server, echo, tag, data, flags, wire, server_sees, frame_flags):
    assert echo.ws_send(data, flags) == len(wire)
    assert ws_server.observed(tag) == ("message", server_sees)
    assert receive_message(echo) == (wire, [frame_flags])


@pytest.mark.parametrize("encoding, wire", [
    ("latin-1", "grüße".encode("latin-1")),
    ("utf-16-le", "grüße".encode("utf-16-le")),
    ("utf-8", "grüße".encode()),
])
def test_encoding_chooses_the_bytes(echo, encoding, wire):
    # A ping carries any bytes, and its pong gives them back unchanged.
    assert echo.ws_send("grüße", tovrel.WS_PING, encoding=encoding) == len(wire)
    assert receive_frame(echo) == (wire, tovrel.WS_PONG)


def test_frame_metadata(echo):
    echo.ws_send(b"abc")
    data, meta = receive(echo)
    assert data == b"abc"
    assert isinstance(meta, tovrel.WsFrame)
    assert meta._fields == ("age", "flags", "offset", "bytesleft", "len")
    assert meta == tovrel.WsFrame(age=0, flags=tovrel.WS_BINARY, offset=0, bytesleft=0, len=3)


def test_binary_frames_with_nuls(ws_connect):
    c = ws_connect("binary")
    for frame in BINARY_FRAMES:
        assert receive_message(c) == (frame, [tovrel.WS_BINARY])


def test_large_frame_arrives_in_pieces(ws_connect):
    size = 200_000
    c = ws_connect("large", size=size)
    received = bytearray()
    while len(received) < size:
        data, meta = receive(c, 16384)
        assert meta.flags == tovrel.WS_BINARY
        assert meta.offset == len(received)
        assert meta.len == len(data) <= 16384
        assert meta.bytesleft == size - len(received) - len(data)
        received += data
    assert received == pattern_bytes(size)


def test_large_frame_round_trip(echo):
    data = pattern_bytes(300_000, 7)
    send_all(echo, data)
    assert receive_message(echo) == (data, [tovrel.WS_BINARY])


def test_fragmented_messages_are_reassembled(ws_connect):
    c = ws_connect("fragments")
    text, text_flags = receive_message(c)
    assert text.decode() == "".join(FRAGMENTED_TEXT)
    assert all(flags & tovrel.WS_TEXT for flags in text_flags)
    assert len(text_flags) >= len(FRAGMENTED_TEXT)
    binary, binary_flags = receive_message(c)
    assert binary == b"".join(FRAGMENTED_BINARY)
    assert all(flags & tovrel.WS_BINARY for flags in binary_flags)
    assert len(binary_flags) >= len(FRAGMENTED_BINARY)


@pytest.mark.parametrize("pieces, server_sees", [
    ([("ab", tovrel.WS_TEXT | tovrel.WS_CONT, 0), ("cd", tovrel.WS_TEXT, 0)], "abcd"),
    ([(b"\x00b", tovrel.WS_BINARY | tovrel.WS_CONT, 0), (b"\x00", tovrel.WS_BINARY | tovrel.WS_CONT, 0),
      (b"d", tovrel.WS_BINARY, 0)], b"\x00b\x00d"),
    # one frame in three calls: the first announces the whole size
    ([(b"abc", tovrel.WS_BINARY | tovrel.WS_OFFSET, 7), (b"de", tovrel.WS_BINARY | tovrel.WS_OFFSET, 0),
      (b"fg", tovrel.WS_BINARY | tovrel.WS_OFFSET, 0)], b"abcdefg"),
], ids=["text-fragments", "binary-fragments", "offset-pieces"])
def test_sending_a_message_in_pieces(ws_server, echo, tag, pieces, server_sees):
    for data, flags, fragsize in pieces:
        assert echo.ws_send(data, flags, fragsize) == len(data)
    assert ws_server.observed(tag) == ("message", server_sees)


def test_zero_size_receive_peeks(echo):
    echo.ws_send(b"peek")
    data, meta = retry(lambda: echo.ws_recv(0))
    assert data == b""
    assert (meta.flags, meta.len, meta.bytesleft) == (tovrel.WS_BINARY, 0, 4)
    assert retry(lambda: echo.ws_recv_into(bytearray())) == (0, meta)
    assert retry(lambda: echo.ws_recv(100)) == (b"peek", tovrel.WsFrame(0, tovrel.WS_BINARY, 0, 0, 4))


def test_recv_into_fills_a_buffer_in_pieces(ws_connect):
    size = 5000
    c = ws_connect("large", size=size)
    buffer = bytearray(size + 10)
    view, filled = memoryview(buffer), 0
    while filled < size:
        n, meta = retry(lambda: c.ws_recv_into(view[filled:], min(700, size - filled)))
        assert meta.offset == filled
        assert meta.len == n
        filled += n
        assert meta.bytesleft == size - filled
    assert buffer[:size] == pattern_bytes(size)
    assert buffer[size:] == bytes(10)


def test_recv_into_keywords_and_other_buffers(echo):
    echo.ws_send(b"\x01\x02\x03\x04")
    target = array.array("B", bytes(8))
    n, meta = retry(lambda: echo.ws_recv_into(buffer=target, nbytes=2))
    assert (n, meta.bytesleft) == (2, 2)
    n, meta = retry(lambda: echo.ws_recv_into(target))
    assert (n, meta.offset, meta.bytesleft) == (2, 2, 0)
    assert target.tobytes()[:2] == b"\x03\x04"


@pytest.mark.parametrize("call", [
    lambda c: c.ws_recv(1024),
    lambda c: c.ws_recv(0),
    lambda c: c.ws_recv_into(bytearray(16)),
    lambda c: c.ws_recv_into(bytearray()),
], ids=["ws_recv", "ws_recv-0", "ws_recv_into", "ws_recv_into-empty"])
def test_nothing_waiting_is_eagain(echo, call):
    with pytest.raises(BlockingIOError) as info:
        call(echo)
    assert info.value.errno == errno.EAGAIN
    assert_echoes(echo)


# ---------------------------------------------------------------------------
# pings

def frames_until_pinged(c):
    frames = []
    while True:
        data, meta = receive(c)
        if (data, meta.flags) == (PINGED.encode(), tovrel.WS_TEXT):
            return frames
        frames.append((data, meta.flags))


@pytest.mark.parametrize("ws_options, answer, server_hears", [
    (0, False, "pong:yes"),
    (tovrel.WS_NOAUTOPONG, False, "pong:no"),
    (tovrel.WS_NOAUTOPONG, True, "pong:yes"),
], ids=["automatic-pong", "no-autopong", "pong-by-hand"])
def test_server_ping(ws_connect, ws_options, answer, server_hears):
    c = ws_connect("ping", ws_options=ws_options)
    frames = frames_until_pinged(c)
    if ws_options & tovrel.WS_NOAUTOPONG:
        assert frames == [(PING_PAYLOAD, tovrel.WS_PING)]
    if answer:
        assert c.ws_send(PING_PAYLOAD, tovrel.WS_PONG) == len(PING_PAYLOAD)
    c.ws_send("done")
    assert receive_message(c) == (server_hears.encode(), [tovrel.WS_TEXT])


@pytest.mark.parametrize("payload", [b"", b"hi \x00 there"])
def test_client_ping_gets_a_pong(echo, payload):
    assert echo.ws_send(payload, tovrel.WS_PING) == len(payload)
    assert receive_frame(echo) == (payload, tovrel.WS_PONG)


# ---------------------------------------------------------------------------
# closing

@pytest.mark.parametrize("args, kwargs, sent, code, reason", [
    ((), {}, 0, 1005, ""),
    ((1000,), {}, 2, 1000, ""),
    ((1000, "bye"), {}, 5, 1000, "bye"),
    ((4000, "héllo"), {}, 8, 4000, "héllo"),
    ((), {"code": 3000, "reason": b""}, 2, 3000, ""),
    ((), {"code": 4999, "reason": bytearray(b"ok")}, 4, 4999, "ok"),
    ((1001, "x" * 123), {}, 125, 1001, "x" * 123),
    ((1011, "abc"), {"encoding": "ascii"}, 5, 1011, "abc"),
    ((1012, "éa" * 41), {}, 125, 1012, "éa" * 41),
], ids=["empty", "code", "code-reason", "utf8-reason", "empty-reason", "bytearray-reason", "max-payload",
        "encoding", "max-utf8-payload"])
def test_close_is_seen_by_the_server(ws_server, echo, tag, args, kwargs, sent, code, reason):
    assert echo.ws_close(*args, **kwargs) == sent
    assert ws_server.observed(tag) == ("close", code, reason)
    # the server answers with a close frame of its own, then hangs up
    data, flags = receive_frame(echo)
    assert flags == tovrel.WS_CLOSE
    with pytest.raises(tovrel.error) as info:
        receive(echo)
    assert info.value.args[0] == ws_server.hangup_code


def test_server_close_with_code_and_reason(ws_server, ws_connect):
    c = ws_connect("close", code=4001, reason="going away")
    assert receive_frame(c) == ((4001).to_bytes(2, "big") + b"going away", tovrel.WS_CLOSE)
    with pytest.raises(tovrel.error) as info:
        receive(c)
    assert info.value.args[0] == ws_server.hangup_code


def test_connection_dropped_mid_frame(ws_connect):
    c = ws_connect("drop")
    received = bytearray()
    with pytest.raises(tovrel.error) as info:
        while True:
            data, meta = receive(c, 64)
            received += data
            assert meta.bytesleft == DROPPED_FRAME_SIZE - len(received)
    code, message = info.value.args
    assert code != 0 and isinstance(message, str)
    assert received == b"x" * 100


# ---------------------------------------------------------------------------
# bad input

NEED_CODE = "ws_close: reason requires code (RFC 6455 §5.5.1)"
BAD_CODE = "ws_close: code must be a valid wire close status code"
TOO_LARGE = "ws_close: payload too large ({} bytes, max 125 including 2-byte status code)"

ARGUMENT_ERRORS = [
    # ws_send: sizes and flags
    (lambda c: c.ws_send(b"x", fragsize=-1), ValueError, "negative fragsize in ws_send"),
    (lambda c: c.ws_send(b"x", -1), ValueError, "flags must be non-negative"),
    (lambda c: c.ws_send(b"x", -(2 ** 40)), ValueError, "flags must be non-negative"),
    (lambda c: c.ws_send(b"x", 2 ** 32), OverflowError, "flags out of range for curl_ws_send"),
    (lambda c: c.ws_send(b"x", 2 ** 64), OverflowError, None),
    (lambda c: c.ws_send(b"x", 1.0), TypeError, None),
    (lambda c: c.ws_send(b"x", tovrel.WS_TEXT | tovrel.WS_BINARY), ValueError,
     "ws_send: cannot set both WS_TEXT and WS_BINARY"),
    (lambda c: c.ws_send(b"x", tovrel.WS_PING | tovrel.WS_CONT), ValueError,
     "ws_send: control frames cannot be fragmented (WS_CONT forbidden with WS_PING/WS_PONG/WS_CLOSE)"),
    (lambda c: c.ws_send(b"x", tovrel.WS_CLOSE | tovrel.WS_CONT | tovrel.WS_TEXT), ValueError,
     "ws_send: control frames cannot be fragmented (WS_CONT forbidden with WS_PING/WS_PONG/WS_CLOSE)"),
    (lambda c: c.ws_send(b"x", tovrel.WS_PING | tovrel.WS_PONG), ValueError,
     "ws_send: only one of WS_PING / WS_PONG / WS_CLOSE may be set"),
    (lambda c: c.ws_send(b"x", tovrel.WS_CLOSE | tovrel.WS_PING | tovrel.WS_PONG), ValueError,
     "ws_send: only one of WS_PING / WS_PONG / WS_CLOSE may be set"),
    # ws_send: data
    (lambda c: c.ws_send(None), TypeError,
     'ws_send: data must be str or bytes-like, not NoneType (use b"" for an empty payload)'),
    (lambda c: c.ws_send("hi", tovrel.WS_BINARY), TypeError,
     "ws_send: str data is incompatible with WS_BINARY; pass bytes-like data for binary frames"),
    (lambda c: c.ws_send("hi", tovrel.WS_CLOSE), TypeError,
     "ws_send: str data is incompatible with WS_CLOSE; use ws_close() or pass a bytes-like payload"),
    (lambda c: c.ws_send("é", encoding="ascii"), UnicodeEncodeError, None),
    (lambda c: c.ws_send("x", encoding="no-such-codec"), LookupError, None),
    (lambda c: c.ws_send(12345), TypeError, None),
    (lambda c: c.ws_send(), TypeError, None),
    (lambda c: c.ws_send(b"x", bogus=1), TypeError, None),
    # ws_close
    (lambda c: c.ws_close(reason="x"), ValueError, NEED_CODE),
    (lambda c: c.ws_close(reason=b""), ValueError, NEED_CODE),
    *[(lambda c, code=code: c.ws_close(code), ValueError, BAD_CODE)
      for code in (-1, 0, 999, 1004, 1005, 1006, 1015, 2999, 5000, True)],
    (lambda c: c.ws_close(2 ** 64), OverflowError, None),
    (lambda c: c.ws_close("1000"), TypeError, None),
    (lambda c: c.ws_close(1000, b"x" * 124), ValueError, TOO_LARGE.format(126)),
    (lambda c: c.ws_close(1000, "é" * 62), ValueError, TOO_LARGE.format(126)),
    (lambda c: c.ws_close(1000, b"\xff"), UnicodeDecodeError, None),
    (lambda c: c.ws_close(1000, "é", encoding="latin-1"), UnicodeDecodeError, None),
    (lambda c: c.ws_close(1000, "x", encoding="no-such-codec"), LookupError, None),
    (lambda c: c.ws_close(1000, 5), TypeError, None),
    # receiving
    (lambda c: c.ws_recv(-1), ValueError, "negative buffersize in ws_recv"),
    (lambda c: c.ws_recv("10"), TypeError, None),
    (lambda c: c.ws_recv(2 ** 63), OverflowError, None),
    (lambda c: c.ws_recv(sys.maxsize), OverflowError, None),
    (lambda c: c.ws_recv(), TypeError, None),
    (lambda c: c.ws_recv_into(bytearray(4), -1), ValueError, "negative buffersize in ws_recv_into"),
    (lambda c: c.ws_recv_into(bytearray(4), 5), ValueError, "buffer too small for requested bytes"),
    (lambda c: c.ws_recv_into(bytes(4)), TypeError, None),
    (lambda c: c.ws_recv_into(memoryview(b"read-only")), TypeError, None),
    (lambda c: c.ws_recv_into("text"), TypeError, None),
    (lambda c: c.ws_recv_into(bytearray(4), nbytes="2"), TypeError, None),
    (lambda c: c.ws_meta(1), TypeError, None),
]


@pytest.mark.parametrize("call, error, message", ARGUMENT_ERRORS)
def test_argument_errors(echo, call, error, message):
    with pytest.raises(error) as info:
        call(echo)
    assert type(info.value) is error
    if message is not None:
        assert info.value.args == (message,)
    assert_echoes(echo)


def test_libcurl_failure_carries_its_code(echo):
    # A frame without a type is libcurl's to refuse.
    with pytest.raises(tovrel.error) as info:
        echo.ws_send(b"x", 0)
    assert info.value.args[0] == tovrel.E_BAD_FUNCTION_ARGUMENT
    assert_echoes(echo)


@pytest.mark.parametrize("call, name", [
    (lambda c: c.ws_send(b"x"), "ws_send"),
    (lambda c: c.ws_send("x", tovrel.WS_TEXT, 0, "ascii"), "ws_send"),
    (lambda c: c.ws_close(), "ws_close"),
    (lambda c: c.ws_close(1000, "bye"), "ws_close"),
    (lambda c: c.ws_recv(10), "ws_recv"),
    (lambda c: c.ws_recv(0), "ws_recv"),
    (lambda c: c.ws_recv_into(bytearray(4)), "ws_recv_into"),
    (lambda c: c.ws_meta(), "ws_meta"),
])
def test_closed_handle(call, name):
    c = tovrel.Curl()
    c.close()
    with pytest.raises(tovrel.error) as info:
        call(c)
    assert info.value.args == (f"cannot invoke {name}() - no curl handle",)


@pytest.mark.parametrize("call, error", [
    (lambda c: c.ws_send(b"x", -1), ValueError),
    (lambda c: c.ws_send(None), TypeError),
    (lambda c: c.ws_close(reason="x"), ValueError),
    (lambda c: c.ws_close(1005), ValueError),
    (lambda c: c.ws_recv(-1), ValueError),
    (lambda c: c.ws_recv_into(bytearray(4), 5), ValueError),
])
def test_argument_errors_come_before_the_handle_check(call, error):
    c = tovrel.Curl()
    c.close()
    with pytest.raises(error):
        call(c)


@pytest.mark.parametrize("call", [
    lambda c: c.ws_send(b"x"),
    lambda c: c.ws_close(1000),
    lambda c: c.ws_recv(10),
    lambda c: c.ws_recv_into(bytearray(10)),
], ids=["ws_send", "ws_close", "ws_recv", "ws_recv_into"])
def test_without_a_connection(curl, call):
    with pytest.raises(tovrel.error) as info:
        call(curl)
    code, message = info.value.args
    assert code != 0 and message
    assert curl.ws_meta() is None


@pytest.mark.parametrize("call", [
    lambda c, b: c.ws_send(b),
    lambda c, b: c.ws_send(b, tovrel.WS_PING),
    lambda c, b: c.ws_close(1000, b),
    lambda c, b: c.ws_recv_into(b),
    lambda c, b: c.ws_recv_into(b, 2),
    lambda c, b: c.ws_recv_into(b, 5),
    lambda c, b: c.ws_close(1000, b + b"\xff"),
    lambda c, b: c.ws_close(1000, b * 42),
], ids=["ws_send", "ws_send-ping", "ws_close", "ws_recv_into", "ws_recv_into-part", "too-small",
        "close-not-utf8", "close-too-large"])
@pytest.mark.parametrize("connected", [True, False], ids=["connected", "closed"])
def test_buffers_are_let_go_on_every_path(ws_connect, tag, call, connected):
    c = ws_connect("echo", tag)
    if not connected:
        c.close()
    buffer = bytearray(b"abc")
    try:
        call(c, buffer)
    except (BlockingIOError, ValueError, UnicodeDecodeError, tovrel.error):
        pass
    buffer.extend(b"def")  # a buffer still exported cannot be resized
    assert buffer == b"abcdef"


def test_meta_outside_a_callback_is_none(echo):
    assert echo.ws_meta() is None
    echo.ws_send(b"x")
    receive(echo)
    assert echo.ws_meta() is None


# ---------------------------------------------------------------------------
# callback mode: a running transfer's WRITEFUNCTION

class Conversation:
    """A transfer on the "converse" route, its frames seen by WRITEFUNCTION.

    ``on_greeting(c)`` runs inside the write callback when the server's
    greeting arrives; by default it answers "answer".
    """

    def __init__(self, ws_server, route="converse", tag="-", ws_options=0):
        self.ws_server = ws_server
        self.c = tovrel.Curl()
        configure(self.c, ws_server, ws_server.url(route, tag))
        if ws_options:
            self.c.setopt(tovrel.WS_OPTIONS, ws_options)
        self.frames = []
        self.on_frame = self.answer_greeting
        self.write_result = lambda: None
        self.c.setopt(tovrel.WRITEFUNCTION, self.write)

    def write(self, data):
        meta = self.c.ws_meta()
        self.frames.append((data, meta))
        self.on_frame(data, meta)
        return self.write_result()

    def answer_greeting(self, data, meta):
        if data == CONVERSATION_GREETING.encode():
            self.sent = self.c.ws_send("answer")

    def run(self):
        try:
            self.c.perform()
        except tovrel.error as exc:
            # the end of a wss conversation: the server's hang-up
            if self.ws_server.scheme != "wss" or exc.args[0] != self.ws_server.hangup_code:
                raise
        finally:
            self.c.close()


@pytest.fixture
def conversation(ws_server, tag):
    return Conversation(ws_server, tag=tag)


def test_meta_describes_each_frame_in_the_write_callback(ws_server, tag, conversation):
    conversation.run()
    assert conversation.sent == len("answer")
    assert ws_server.observed(tag) == ("message", "answer")
    close_payload = (1000).to_bytes(2, "big") + b"done"
    assert conversation.frames == [
        (b"hello", tovrel.WsFrame(0, tovrel.WS_TEXT, 0, 0, 5)),
        (b"got:answer", tovrel.WsFrame(0, tovrel.WS_TEXT, 0, 0, 10)),
        (close_payload, tovrel.WsFrame(0, tovrel.WS_CLOSE, 0, 0, len(close_payload))),
    ]


def test_close_from_the_write_callback(ws_server, tag, conversation):
    def close_on_greeting(data, meta):
        if data == CONVERSATION_GREETING.encode():
            conversation.sent = conversation.c.ws_close(4002, "not now")
    conversation.on_frame = close_on_greeting
    conversation.run()
    assert conversation.sent == 9
    assert ws_server.observed(tag) == ("close", 4002, "not now")


def test_pong_from_the_write_callback(ws_server, tag):
    talk = Conversation(ws_server, "ping_then_close", tag, ws_options=tovrel.WS_NOAUTOPONG)
    answers = []

    def pong_then_done(data, meta):
        if meta.flags & tovrel.WS_PING:
            answers.append(talk.c.ws_send(data, tovrel.WS_PONG))
        elif data == PINGED.encode():
            answers.append(talk.c.ws_send("done"))
    talk.on_frame = pong_then_done
    talk.run()
    assert answers == [len(PING_PAYLOAD), len("done")]
    assert ws_server.observed(tag) == ("pong", True)


def from_another_thread(call):
    """call() on a new thread, its outcome as (result, exception)."""
    outcome = []

    def run():
        try:
            outcome.append((call(), None))
        except Exception as exc:
            outcome.append((None, exc))
    thread = threading.Thread(target=run)
    thread.start()
    thread.join(PATIENCE)
    assert outcome, "the other thread did not finish"
    return outcome[0]


def raised(call):
    try:
        call()
    except Exception as exc:
        return exc
    raise AssertionError("no exception")


REFUSALS = [
    # where the call is made, the call, the refusal
    ("other thread", lambda c: c.ws_send(b"x"), OUTSIDE_WRITEFUNCTION.format("ws_send")),
    ("other thread", lambda c: c.ws_close(1000), OUTSIDE_WRITEFUNCTION.format("ws_close")),
    ("other thread", lambda c: c.ws_meta(), RUNNING.format("ws_meta")),
    ("other thread", lambda c: c.ws_recv(10), RUNNING.format("ws_recv")),
    ("other thread", lambda c: c.ws_recv_into(bytearray(10)), RUNNING.format("ws_recv_into")),
    ("write callback", lambda c: c.ws_recv(10), RUNNING.format("ws_recv")),
    ("write callback", lambda c: c.ws_recv_into(bytearray(10)), RUNNING.format("ws_recv_into")),
    ("header callback", lambda c: c.ws_send(b"x"), OUTSIDE_WRITEFUNCTION.format("ws_send")),
    ("header callback", lambda c: c.ws_close(), OUTSIDE_WRITEFUNCTION.format("ws_close")),
    ("header callback", lambda c: c.ws_recv(10), RUNNING.format("ws_recv")),
]


@pytest.mark.parametrize("where, call, message", REFUSALS)
def test_refused_during_a_transfer(ws_server, tag, conversation, where, call, message):
    c = conversation.c
    refusals = []

    def probe_on_greeting(data, meta):
        if data == CONVERSATION_GREETING.encode():
            if where == "other thread":
                result, exc = from_another_thread(lambda: call(c))
                refusals.append(exc)
            elif where == "write callback":
                refusals.append(raised(lambda: call(c)))
            conversation.answer_greeting(data, meta)

    def header(line):
        if where == "header callback" and not refusals:
            refusals.append(raised(lambda: call(c)))

    conversation.on_frame = probe_on_greeting
    c.setopt(tovrel.HEADERFUNCTION, header)
    conversation.run()
    assert len(refusals) == 1
    assert type(refusals[0]) is tovrel.error
    assert refusals[0].args == (message,)
    # the refused call changed nothing: the conversation went on
    assert ws_server.observed(tag) == ("message", "answer")
    assert [data for data, _ in conversation.frames][:2] == [b"hello", b"got:answer"]


def raw_frame(payload):
    """A server-to-client binary frame: unmasked, as sent on the wire."""
    if len(payload) < 126:
        return bytes([0x82, len(payload)]) + payload
    return b"\x82\x7e" + len(payload).to_bytes(2, "big") + payload


def test_raw_mode_delivers_the_wire_bytes(ws_server):
    talk = Conversation(ws_server, "binary", ws_options=tovrel.WS_RAW_MODE)
    expected = b"".join(map(raw_frame, BINARY_FRAMES))
    raw = bytearray()

    def collect(data, meta):
        raw.extend(data)
    talk.on_frame = collect
    # the echo that follows would go on for ever: stop once all is there
    talk.write_result = lambda: 0 if len(raw) >= len(expected) else None
    with pytest.raises(tovrel.error) as info:
        talk.run()
    assert info.value.args[0] == tovrel.E_WRITE_ERROR
    assert raw == expected
    assert {meta for _, meta in talk.frames} == {None}


def test_meta_from_the_header_callback_is_none(conversation):
    metas = []
    conversation.c.setopt(tovrel.HEADERFUNCTION, lambda line: metas.append(conversation.c.ws_meta()))
    conversation.run()
    assert metas and set(metas) == {None}


def test_connection_dropped_during_a_transfer(ws_server):
    talk = Conversation(ws_server, "drop")
    with pytest.raises(tovrel.error) as info:
        talk.c.perform()
    talk.c.close()
    assert info.value.args[0] != 0
    received = b"".join(data for data, _ in talk.frames)
    assert received == b"x" * len(received) and len(received) <= 100
    assert all(meta.flags == tovrel.WS_BINARY for _, meta in talk.frames)


def test_error_inside_the_write_callback_is_the_callables_to_handle(ws_server, tag, conversation):
    errors = []

    def bad_then_good(data, meta):
        if data == CONVERSATION_GREETING.encode():
            errors.append(raised(lambda: conversation.c.ws_send("x", tovrel.WS_BINARY)))
            errors.append(raised(lambda: conversation.c.ws_close(1005)))
            conversation.answer_greeting(data, meta)
    conversation.on_frame = bad_then_good
    conversation.run()
    assert [type(exc) for exc in errors] == [TypeError, ValueError]
    assert ws_server.observed(tag) == ("message", "answer")


# ---------------------------------------------------------------------------
# the methods themselves

@pytest.mark.parametrize("name, first_line", [
    ("ws_send", "ws_send(data, flags=None, fragsize=0, encoding='utf-8') -> count"),
    ("ws_close", "ws_close(code=None, reason=None, encoding='utf-8') -> count"),
    ("ws_recv", "ws_recv(buffersize) -> (data, meta)"),
    ("ws_recv_into", "ws_recv_into(buffer[, nbytes]) -> (nbytes, meta)"),
    ("ws_meta", "ws_meta() -> WsFrame or None"),
])
def test_docstring_signatures(name, first_line):
    assert getattr(tovrel.Curl, name).__doc__.splitlines()[0] == first_line
