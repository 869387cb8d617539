"""Multipart bodies: CurlMime and CurlMimePart, MIMEPOST, and the keyword builder.

Every body is posted to a real server that parses it with the standard
library; the tests compare what arrived field by field.
"""

import base64
import gc
import io
import json
import sys
import warnings

import pytest

import tovrel
from servers import pattern_bytes


def refused(method, reason):
    return f"^cannot invoke {method}\\(\\) - {reason}$"


@pytest.fixture
def mime(curl):
    m = tovrel.CurlMime(curl)
    yield m
    m.close()


@pytest.fixture
def text_file(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_bytes(b"line one\nline two\n")
    return path


@pytest.fixture
def stale_error_buffer(curl):
    """Leave an unrelated transfer's message in the handle's error buffer."""
    curl.setopt(tovrel.URL, "http://127.0.0.1:1/")
    with pytest.raises(tovrel.error) as info:
        curl.perform()
    message = info.value.args[1]
    assert message != tovrel.easy_strerror(info.value.args[0])
    return message


def summary(part):
    return part["name"], part["filename"], part["content_type"], part["data"]


def header(part, name):
    return [value for key, value in part["headers"] if key.lower() == name.lower()]


class TestPosting:
    def test_memory_file_and_nested_parts(self, curl, mime, post_mime, text_file):
        p = mime.addpart()
        p.name("memo")
        p.data(b"in memory")
        p.type("text/x-memo")
        f = mime.addpart()
        f.name("upload")
        f.filedata(str(text_file))
        renamed = mime.addpart()
        renamed.name(b"renamed")
        renamed.filedata(str(text_file).encode())
        renamed.filename("remote.txt")
        renamed.type("application/x-notes")
        child = tovrel.CurlMime(curl)
        first = child.addpart()
        first.data("alternative one")
        first.type("text/plain")
        second = child.addpart()
        second.data("<p>two</p>")
        second.type("text/html")
        holder = mime.addpart()
        holder.name("nested")
        holder.subparts(child)
        holder.type("multipart/alternative")

        parts = post_mime(curl, mime)
        assert [summary(p) for p in parts[:3]] == [
            ("memo", None, "text/x-memo", b"in memory"),
            ("upload", "notes.txt", "text/plain", b"line one\nline two\n"),
            ("renamed", "remote.txt", "application/x-notes", b"line one\nline two\n"),
        ]
        nested = parts[3]
        assert (nested["name"], nested["content_type"]) == ("nested", "multipart/alternative")
        assert [(p["content_type"], p["data"]) for p in nested["parts"]] == [
            ("text/plain", b"alternative one"), ("text/html", b"<p>two</p>")]

    @pytest.mark.parametrize("value, expected", [
        pytest.param(bytes(range(256)) * 3 + b"\0\0", bytes(range(256)) * 3 + b"\0\0", id="bytes-with-nuls"),
        pytest.param(bytearray(b"\0array\0"), b"\0array\0", id="bytearray"),
        pytest.param(memoryview(b"--view--")[2:-2], b"view", id="memoryview-slice"),
        pytest.param("ascii text", b"ascii text", id="str"),
        pytest.param(b"", b"", id="empty"),
        pytest.param(pattern_bytes(300000), pattern_bytes(300000), id="large"),
    ])
    def test_data_arrives_exactly(self, curl, mime, post_mime, value, expected):
        p = mime.addpart()
        p.name("blob")
        p.data(value)
        p.type("application/octet-stream")
        [part] = post_mime(curl, mime)
        assert part["data"] == expected

    def test_data_is_copied(self, curl, mime, post_mime):
        buffer = bytearray(b"original")
        mime.addpart().data(buffer)
        buffer[:] = b"changed!"
        del buffer
        gc.collect()
        assert post_mime(curl, mime)[0]["data"] == b"original"

    def test_custom_headers(self, curl, mime, post_mime):
        p = mime.addpart()
        p.name("h")
        p.data(b"x")
        p.headers(["X-One: 1", b"X-Two: second value"])
        q = mime.addpart()
        q.name("t")
        q.data(b"y")
        q.headers(("X-Tuple: yes",))
        first, second = post_mime(curl, mime)
        assert header(first, "X-One") == ["1"] and header(first, "X-Two") == ["second value"]
        assert header(second, "X-Tuple") == ["yes"]

    @pytest.mark.parametrize("clearing", [None, [], ()])
    def test_headers_can_be_cleared(self, curl, mime, post_mime, clearing):
        p = mime.addpart()
        p.data(b"x")
        p.headers(["X-Gone: 1"])
        p.headers(clearing)
        assert header(post_mime(curl, mime)[0], "X-Gone") == []

    @pytest.mark.parametrize("encoder, data", [
        ("base64", bytes(range(256))),
        ("quoted-printable", "café = crème\r\nline two ".encode() + b"x" * 100),
        ("binary", b"raw\0bytes"),
        ("8bit", "plain ünïcode".encode()),
        ("7bit", b"seven bit text"),
    ])
    def test_encoders(self, curl, mime, post_mime, encoder, data):
        p = mime.addpart()
        p.name("enc")
        p.data(data)
        p.encoder(encoder)
        [part] = post_mime(curl, mime)
        assert part["encoding"] == encoder
        assert part["data"] == data

    @pytest.mark.parametrize("encoder, data, encoded", [
        ("base64", b"\x00\xffbinary", base64.b64encode(b"\x00\xffbinary")),
        ("quoted-printable", "café".encode(), b"caf=C3=A9"),
    ])
    def test_encoded_text_is_on_the_wire(self, curl, mime, http_server, encoder, data, encoded):
        p = mime.addpart()
        p.data(data)
        p.encoder(encoder)
        body = io.BytesIO()
        curl.setopt(tovrel.URL, http_server.url("/echo"))
        curl.setopt(tovrel.WRITEDATA, body)
        curl.setopt(tovrel.MIMEPOST, mime)
        curl.perform()
        raw = base64.b64decode(json.loads(body.getvalue())["body"])
        assert encoded in raw and data not in raw

    def test_a_part_may_be_reconfigured(self, curl, mime, post_mime, text_file):
        p = mime.addpart()
        p.name("first")
        p.name("second")
        p.filedata(str(text_file))
        p.data(b"memory wins")
        [part] = post_mime(curl, mime)
        assert (part["name"], part["data"]) == ("second", b"memory wins")

    def test_missing_file_is_refused(self, curl, mime, tmp_path, stale_error_buffer):
        with pytest.raises(tovrel.error) as info:
            mime.addpart().filedata(str(tmp_path / "missing"))
        assert info.value.args == (tovrel.E_READ_ERROR, tovrel.easy_strerror(tovrel.E_READ_ERROR))

    def test_same_mime_posted_twice(self, curl, mime, post_mime):
        mime.add_field("k", "v")
        assert post_mime(curl, mime) == post_mime(curl, mime)


TEXT_SETTERS = ["name", "filename", "type", "encoder", "filedata"]


class TestSetterErrors:
    @pytest.mark.parametrize("method", TEXT_SETTERS)
    @pytest.mark.parametrize("value, error, message", [
        (5, TypeError, "{} must be a byte string or ascii-unicode string"),
        (None, TypeError, "{} must be a byte string or ascii-unicode string"),
        (["x"], TypeError, "{} must be a byte string or ascii-unicode string"),
        ("n\u00e4me", UnicodeEncodeError, None),
        (b"a\0b", ValueError, None),
    ])
    def test_text_setters_refuse_bad_values(self, curl, mime, post_mime, method, value, error, message):
        p = mime.addpart()
        p.data(b"kept")
        with pytest.raises(error) as info:
            getattr(p, method)(value)
        if message:
            assert str(info.value) == message.format(method)
        # the part stays usable
        p.name("ok")
        assert summary(post_mime(curl, mime)[0])[::3] == ("ok", b"kept")

    @pytest.mark.parametrize("value, error, message", [
        (5, TypeError, "data() argument must be a byte string, ASCII-only Unicode string, or a buffer object"),
        (None, TypeError, "data() argument must be a byte string, ASCII-only Unicode string, or a buffer object"),
        (["x"], TypeError, "data() argument must be a byte string, ASCII-only Unicode string, or a buffer object"),
        ("d\u00e4ta", UnicodeEncodeError, None),
    ])
    def test_data_refuses_bad_values(self, curl, mime, post_mime, value, error, message):
        p = mime.addpart()
        p.data(b"kept")
        with pytest.raises(error) as info:
            p.data(value)
        if message:
            assert str(info.value) == message
        assert post_mime(curl, mime)[0]["data"] == b"kept"

    @pytest.mark.parametrize("value, error, message", [
        ("X-Single: 1", TypeError, "headers must be a list or tuple of strings"),
        (5, TypeError, "headers must be a list or tuple of strings"),
        (["X-Ok: 1", 5], TypeError, "headers must contain only byte or ascii-unicode strings"),
        ([None], TypeError, "headers must contain only byte or ascii-unicode strings"),
        (["X-N\u00e4me: 1"], UnicodeEncodeError, None),
        ([b"X-Nul: a\0b"], ValueError, None),
    ])
    def test_headers_refuse_bad_values(self, curl, mime, post_mime, value, error, message):
        p = mime.addpart()
        p.data(b"x")
        p.headers(["X-Kept: yes"])
        with pytest.raises(error) as info:
            p.headers(value)
        if message:
            assert str(info.value) == message
        assert header(post_mime(curl, mime)[0], "X-Kept") == ["yes"]

    def test_unknown_encoder_is_libcurls_error(self, curl, mime, stale_error_buffer):
        with pytest.raises(tovrel.error) as info:
            mime.addpart().encoder("bogus")
        assert info.value.args == (tovrel.E_BAD_FUNCTION_ARGUMENT,
                                   tovrel.easy_strerror(tovrel.E_BAD_FUNCTION_ARGUMENT))

    def test_parts_come_only_from_a_mime(self):
        with pytest.raises(TypeError):
            tovrel.CurlMimePart()

    @pytest.mark.parametrize("args, kwargs", [((), {}), ((5,), {}), ((None,), {}), ((), {"other": 1})])
    def test_constructor_wants_a_curl(self, args, kwargs):
        with pytest.raises(TypeError):
            tovrel.CurlMime(*args, **kwargs)

    def test_constructor_accepts_keyword_and_subclass(self):
        class MyCurl(tovrel.Curl):
            pass

        with MyCurl() as c:
            tovrel.CurlMime(curl=c).close()

    def test_constructor_refuses_a_closed_curl(self):
        c = tovrel.Curl()
        c.close()
        with pytest.raises(tovrel.error, match=refused("CurlMime", "no curl handle")):
            tovrel.CurlMime(c)


# Every method of a part, with arguments that would be valid on a live part.
PART_CALLS = [
    ("name", ("x",)), ("data", (b"x",)), ("data_cb", (1, lambda ud, n: b"")), ("filedata", ("/etc/hostname",)),
    ("filename", ("x",)), ("type", ("text/plain",)), ("encoder", ("base64",)), ("headers", ([],)),
    ("subparts", None),
]


def call_part(part, curl, method, args):
    if args is None:
        args = (tovrel.CurlMime(curl),)
    return getattr(part, method)(*args)


class TestInvalidation:
    @pytest.mark.parametrize("method, args", PART_CALLS)
    def test_parts_of_a_closed_mime_refuse(self, curl, method, args):
        m = tovrel.CurlMime(curl)
        p = m.addpart()
        m.close()
        with pytest.raises(tovrel.error, match=refused(method, "no mime handle")):
            call_part(p, curl, method, args)

    def test_closed_mime(self, curl):
        m = tovrel.CurlMime(curl)
        assert m.closed is False
        assert m.close() is None
        assert m.closed is True
        assert m.close() is None
        for call, name in [(m.addpart, "addpart"), (m.__enter__, "__enter__"), (lambda: m.add(name="x"), "addpart"),
                           (lambda: m.add_field("a", "b"), "addpart")]:
            with pytest.raises(tovrel.error, match=refused(name, "no mime handle")):
                call()
        # the nested object's constructor sees no Curl to build on
        with pytest.raises(TypeError):
            m.add_multipart()

    def test_nested_wrappers_die_with_the_top(self, curl):
        top = tovrel.CurlMime(curl)
        made = top.add_multipart("made")
        grandchild = made.add_multipart("deeper")
        attached = tovrel.CurlMime(curl)
        top.addpart().subparts(attached)
        parts = [made.addpart(), grandchild.addpart(), attached.addpart()]
        top.close()
        assert [m.closed for m in (made, grandchild, attached)] == [True, True, True]
        for p in parts:
            for method, args in PART_CALLS:
                with pytest.raises(tovrel.error, match=refused(method, "no mime handle")):
                    call_part(p, curl, method, args)
        for m in (made, grandchild, attached):
            with pytest.raises(tovrel.error, match=refused("addpart", "no mime handle")):
                m.addpart()
            assert m.close() is None

    def test_closing_an_attached_mime_keeps_its_content(self, curl, mime, post_mime):
        child = mime.add_multipart("nested")
        inner = child.addpart()
        inner.name("inner")
        inner.data(b"kept")
        child.close()
        assert child.closed
        with pytest.raises(tovrel.error, match=refused("name", "no mime handle")):
            inner.name("y")
        [nested] = post_mime(curl, mime)
        assert [(p["name"], p["data"]) for p in nested["parts"]] == [("inner", b"kept")]

    @pytest.mark.parametrize("replace", [
        lambda p, path, curl: p.data(b"replaced"),
        lambda p, path, curl: p.filedata(path),
        lambda p, path, curl: p.data_cb(8, lambda ud, n: b""),
        lambda p, path, curl: p.subparts(tovrel.CurlMime(curl)),
    ], ids=["data", "filedata", "data_cb", "subparts"])
    def test_new_content_frees_a_nested_structure(self, curl, mime, text_file, replace):
        child = tovrel.CurlMime(curl)
        grandchild = child.add_multipart()
        inner = child.addpart()
        holder = mime.addpart()
        holder.subparts(child)
        replace(holder, str(text_file), curl)
        # libcurl freed the child's structure: its wrappers must not reach it
        assert child.closed and grandchild.closed
        with pytest.raises(tovrel.error, match=refused("data", "no mime handle")):
            inner.data(b"x")
        with pytest.raises(tovrel.error, match=refused("addpart", "no mime handle")):
            child.addpart()

    def test_closed_curl(self, curl):
        m = tovrel.CurlMime(curl)
        p = m.addpart()
        curl.close()
        assert not m.closed
        with pytest.raises(tovrel.error, match=refused("name", "no curl handle")):
            p.name("x")
        with pytest.raises(tovrel.error, match=refused("addpart", "no curl handle")):
            m.addpart()
        assert m.close() is None and m.closed

    def test_calls_during_a_transfer_are_refused(self, curl, mime, http_server):
        p = mime.addpart()
        p.data(b"x")
        outcomes = []

        def write(data):
            for call in (mime.addpart, lambda: p.name("x"), mime.close, lambda: tovrel.CurlMime(curl),
                         lambda: mime.add_field("a", "b")):
                try:
                    call()
                    outcomes.append("allowed")
                except tovrel.error as exc:
                    outcomes.append(exc.args[0])

        curl.setopt(tovrel.URL, http_server.url("/form"))
        curl.setopt(tovrel.WRITEFUNCTION, write)
        curl.setopt(tovrel.MIMEPOST, mime)
        curl.perform()
        running = "cannot invoke {}() - perform() is currently running"
        assert outcomes[:5] == [running.format(name) for name in
                                ("addpart", "name", "close", "CurlMime", "addpart")]
        assert not mime.closed

    def test_context_manager(self, curl):
        with tovrel.CurlMime(curl) as m:
            assert not m.closed
            m.addpart()
        assert m.closed
        with pytest.raises(ZeroDivisionError):
            with tovrel.CurlMime(curl) as m:
                1 / 0
        assert m.closed
        with pytest.raises(TypeError):
            tovrel.CurlMime(curl).__exit__(None, None)


class TestSubparts:
    def test_refusals(self, curl):
        other_curl = tovrel.Curl()
        parent = tovrel.CurlMime(curl)
        p = parent.addpart()
        attached = tovrel.CurlMime(curl)
        parent.addpart().subparts(attached)
        posted = tovrel.CurlMime(curl)
        curl.setopt(tovrel.MIMEPOST, posted)
        closed = tovrel.CurlMime(curl)
        closed.close()
        foreign = tovrel.CurlMime(other_curl)
        cases = [
            (5, TypeError, "subparts() expects a CurlMime object"),
            (p, TypeError, "subparts() expects a CurlMime object"),
            (closed, ValueError, "subparts() received a closed mime object"),
            (foreign, ValueError, "subparts() requires both mime objects to use the same Curl handle"),
            (parent, ValueError, "subparts() does not accept the parent mime object"),
            (attached, ValueError, "subparts() received a mime object already attached as subparts"),
            (posted, ValueError, "subparts() received a mime object currently set as MIMEPOST"),
        ]
        for child, error, message in cases:
            with pytest.raises(error) as info:
                p.subparts(child)
            assert str(info.value) == message
        # nothing changed: every refused child is still usable where it was
        assert not posted.closed and not foreign.closed and not attached.closed
        foreign.close()
        other_curl.close()
        parent.close()
        posted.close()

    def test_grandparent_is_refused_by_libcurl(self, curl, post_mime):
        top = tovrel.CurlMime(curl)
        middle = top.add_multipart("middle")
        p = middle.addpart()
        with pytest.raises(tovrel.error) as info:
            p.subparts(top)
        assert info.value.args == (tovrel.E_BAD_FUNCTION_ARGUMENT,
                                   tovrel.easy_strerror(tovrel.E_BAD_FUNCTION_ARGUMENT))
        # top is still a top-level structure of its own
        assert not top.closed
        p.data(b"leaf")
        [nested] = post_mime(curl, top)
        assert nested["parts"][0]["data"] == b"leaf"
        top.close()
        assert middle.closed

    def test_a_posted_and_unset_mime_can_be_nested(self, curl, post_mime):
        child = tovrel.CurlMime(curl)
        child.add_field("inner", "value")
        post_mime(curl, child)
        curl.unsetopt(tovrel.MIMEPOST)
        parent = tovrel.CurlMime(curl)
        parent.addpart().subparts(child)
        [nested] = post_mime(curl, parent)
        assert nested["parts"][0]["data"] == b"value"
        parent.close()


class TestMimepost:
    def test_refusals(self, curl):
        other = tovrel.Curl()
        foreign = tovrel.CurlMime(other)
        closed = tovrel.CurlMime(curl)
        closed.close()
        parent = tovrel.CurlMime(curl)
        attached = parent.add_multipart()
        cases = [
            (object(), TypeError, "setopt(option=MIMEPOST) expects a CurlMime object"),
            (closed, ValueError, "setopt(option=MIMEPOST) received a closed mime object"),
            (attached, ValueError, "setopt(option=MIMEPOST) received a mime object already attached as subparts"),
            (foreign, ValueError, "setopt(option=MIMEPOST) requires a CurlMime created with this Curl handle"),
        ]
        for value, error, message in cases:
            with pytest.raises(error) as info:
                curl.setopt(tovrel.MIMEPOST, value)
            assert str(info.value) == message
        other.close()
        foreign.close()
        parent.close()

    def test_subclass_instance(self, curl, post_mime):
        class Form(tovrel.CurlMime):
            def field(self, name, value):
                return self.add_field(name, value)

        form = Form(curl)
        form.field("k", "v")
        child = form.add_multipart("n")
        assert type(child) is tovrel.CurlMime
        assert [p["name"] for p in post_mime(curl, form)] == ["k", "n"]
        form.close()

    def test_mimepost_releases_httppost(self, curl, mime, post_mime):
        data = b"form buffer " * 10
        before = sys.getrefcount(data)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            curl.setopt(tovrel.HTTPPOST, [("f", (tovrel.FORM_BUFFER, "f.bin", tovrel.FORM_BUFFERPTR, data))])
        assert sys.getrefcount(data) == before + 1
        mime.add_field("m", "from mime")
        assert [p["name"] for p in post_mime(curl, mime)] == ["m"]
        assert sys.getrefcount(data) == before

    def test_httppost_releases_mimepost(self, curl, mime, post_mime):
        before = sys.getrefcount(mime)
        curl.setopt(tovrel.MIMEPOST, mime)
        assert sys.getrefcount(mime) == before + 1
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            curl.setopt(tovrel.HTTPPOST, [("legacy", "yes")])
        assert sys.getrefcount(mime) == before
        assert [p["name"] for p in post_mime(curl, None)] == ["legacy"]

    @pytest.mark.parametrize("let_go", [
        lambda c: c.unsetopt(tovrel.MIMEPOST),
        lambda c: c.setopt(tovrel.MIMEPOST, None),
        lambda c: c.reset(),
    ], ids=["unsetopt", "setopt-none", "reset"])
    def test_letting_go_of_the_mime(self, curl, http_server, let_go):
        m = tovrel.CurlMime(curl)
        m.add_field("k", "v")
        before = sys.getrefcount(m)
        curl.setopt(tovrel.MIMEPOST, m)
        let_go(curl)
        assert sys.getrefcount(m) == before
        # closing the mime now cannot touch the handle, which still works
        m.close()
        body = io.BytesIO()
        curl.setopt(tovrel.URL, http_server.url("/echo"))
        curl.setopt(tovrel.WRITEDATA, body)
        curl.setopt(tovrel.HTTPGET, 1)
        curl.perform()
        assert json.loads(body.getvalue())["length"] == 0

    def test_closing_the_posted_mime_unsets_it(self, curl, http_server):
        m = tovrel.CurlMime(curl)
        m.add_field("k", "v")
        curl.setopt(tovrel.MIMEPOST, m)
        m.close()
        body = io.BytesIO()
        curl.setopt(tovrel.URL, http_server.url("/echo"))
        curl.setopt(tovrel.WRITEDATA, body)
        curl.perform()
        assert json.loads(body.getvalue())["length"] == 0
        # a new mime can be posted afterwards
        m2 = tovrel.CurlMime(curl)
        m2.add_field("again", "yes")
        curl.setopt(tovrel.MIMEPOST, m2)
        m2.close()

    def test_another_mime_replaces_the_first(self, curl, post_mime):
        first = tovrel.CurlMime(curl)
        first.add_field("first", "1")
        second = tovrel.CurlMime(curl)
        second.add_field("second", "2")
        before = sys.getrefcount(first)
        curl.setopt(tovrel.MIMEPOST, first)
        assert [p["name"] for p in post_mime(curl, second)] == ["second"]
        assert sys.getrefcount(first) == before
        first.close()
        assert [p["name"] for p in post_mime(curl, second)] == ["second"]
        second.close()

    def test_closing_the_curl_leaves_the_mime_to_close(self, curl):
        m = tovrel.CurlMime(curl)
        p = m.addpart()
        curl.setopt(tovrel.MIMEPOST, m)
        curl.close()
        assert not m.closed
        with pytest.raises(tovrel.error, match=refused("data", "no curl handle")):
            p.data(b"x")
        m.close()
        assert m.closed


class TestBuilder:
    @pytest.mark.parametrize("build, expected", [
        (lambda m, path: m.add(), (None, None, "text/plain", b"", None)),
        (lambda m, path: m.add(name="a", data=b"x\0y", content_type="text/x-a", encoder="base64"),
         ("a", None, "text/x-a", b"x\0y", "base64")),
        (lambda m, path: m.add("pos", "itional"), ("pos", None, "text/plain", b"itional", None)),
        (lambda m, path: m.add(name="n", data=None, file=None, encoder=None), ("n", None, "text/plain", b"", None)),
        (lambda m, path: m.add(name="f", file=path, filename="given.txt"),
         ("f", "given.txt", "text/plain", b"line one\nline two\n", None)),
        (lambda m, path: m.add_field("field", b"bytes value"), ("field", None, "text/plain", b"bytes value", None)),
        (lambda m, path: m.add_field("field", "text", "text/csv", "quoted-printable"),
         ("field", None, "text/csv", b"text", "quoted-printable")),
        (lambda m, path: m.add_file("file", path), ("file", "notes.txt", "text/plain", b"line one\nline two\n", None)),
        (lambda m, path: m.add_file("file", path.encode(), "remote.bin", "application/x-b", None, "base64"),
         ("file", "remote.bin", "application/x-b", b"line one\nline two\n", "base64")),
    ])
    def test_valid_calls(self, curl, mime, post_mime, text_file, build, expected):
        part = build(mime, str(text_file))
        assert isinstance(part, tovrel.CurlMimePart)
        [got] = post_mime(curl, mime)
        assert summary(got) + (got["encoding"],) == expected

    def test_headers_from_the_builder(self, curl, mime, post_mime, text_file):
        mime.add_field("a", "1", headers=["X-A: 1"])
        mime.add_file("b", str(text_file), headers=("X-B: 2",))
        mime.add(name="c", data=b"3", headers=[b"X-C: 3"])
        got = post_mime(curl, mime)
        assert [header(p, "X-" + p["name"].upper()) for p in got] == [["1"], ["2"], ["3"]]

    @pytest.mark.parametrize("call, error, message", [
        (lambda m, path: m.add(data=b"x", file=path), ValueError, "add() accepts at most one of data or file"),
        (lambda m, path: m.add(name=5), TypeError, "name must be a byte string or ascii-unicode string"),
        (lambda m, path: m.add(data=5), TypeError,
         "data() argument must be a byte string, ASCII-only Unicode string, or a buffer object"),
        (lambda m, path: m.add(file=5), TypeError, "file must be a byte string or ascii-unicode string"),
        (lambda m, path: m.add_file("n", 5), TypeError, "file must be a byte string or ascii-unicode string"),
        (lambda m, path: m.add(filename=5), TypeError, "filename must be a byte string or ascii-unicode string"),
        (lambda m, path: m.add(content_type=5), TypeError,
         "content_type must be a byte string or ascii-unicode string"),
        (lambda m, path: m.add(encoder=5), TypeError, "encoder must be a byte string or ascii-unicode string"),
        (lambda m, path: m.add(headers="X: 1"), TypeError, "headers must be a list or tuple of strings"),
        (lambda m, path: m.add_field("n", "v", headers=[5]), TypeError,
         "headers must contain only byte or ascii-unicode strings"),
        (lambda m, path: m.add(name="n\u00e4me"), UnicodeEncodeError, None),
        (lambda m, path: m.add(name=b"a\0b"), ValueError, None),
        (lambda m, path: m.add(data="d\u00e4ta"), UnicodeEncodeError, None),
        # the last value is checked before anything is made
        (lambda m, path: m.add(name="ok", data=b"ok", encoder=5), TypeError,
         "encoder must be a byte string or ascii-unicode string"),
        (lambda m, path: m.add_multipart(name=5), TypeError, "name must be a byte string or ascii-unicode string"),
        (lambda m, path: m.add_multipart(subtype=5), TypeError,
         "subtype must be a byte string or ascii-unicode string"),
        (lambda m, path: m.add(1, 2, 3, 4, 5, 6, 7, 8), TypeError, "add() takes at most 7 arguments (8 given)"),
        (lambda m, path: m.add_field("only name"), TypeError, None),
        (lambda m, path: m.add_file(path="p"), TypeError, None),
        (lambda m, path: m.add(bogus=1), TypeError, None),
    ])
    def test_invalid_calls_add_no_part(self, curl, mime, post_mime, text_file, call, error, message):
        mime.add_field("before", "1")
        with pytest.raises(error) as info:
            call(mime, str(text_file))
        if message:
            assert str(info.value) == message
        assert [p["name"] for p in post_mime(curl, mime)] == ["before"]

    def test_unreadable_file_adds_no_part(self, curl, mime, post_mime, tmp_path, stale_error_buffer):
        mime.add_field("before", "1")
        for call in (lambda: mime.add_file("f", str(tmp_path / "missing")),
                     lambda: mime.add(name="f", file=str(tmp_path / "missing" / "deeper"))):
            with pytest.raises(tovrel.error) as info:
                call()
            assert info.value.args == (tovrel.E_READ_ERROR, tovrel.easy_strerror(tovrel.E_READ_ERROR))
        assert [p["name"] for p in post_mime(curl, mime)] == ["before"]

    def test_failing_setter_leaves_the_values_before_it(self, curl, mime, post_mime):
        with pytest.raises(tovrel.error) as info:
            mime.add(name="n", data=b"d", content_type="text/x-kept", encoder="no-such-encoding")
        assert info.value.args[0] == tovrel.E_BAD_FUNCTION_ARGUMENT
        [part] = post_mime(curl, mime)
        assert summary(part) + (part["encoding"],) == ("n", None, "text/x-kept", b"d", None)

    @pytest.mark.parametrize("kwargs, content_type", [
        ({"name": "nested"}, "multipart/mixed"),
        ({"name": b"nested", "subtype": "alternative"}, "multipart/alternative"),
        ({"name": "nested", "subtype": b"related"}, "multipart/related"),
        # no type of its own: libcurl's default for nested parts
        ({"name": "nested", "subtype": None}, "multipart/mixed"),
    ])
    def test_add_multipart(self, curl, mime, post_mime, kwargs, content_type):
        child = mime.add_multipart(**kwargs)
        assert type(child) is tovrel.CurlMime and not child.closed
        child.add_field("inner", "v")
        [nested] = post_mime(curl, mime)
        assert (nested["name"], nested["content_type"]) == ("nested", content_type)
        assert [(p["name"], p["data"]) for p in nested["parts"]] == [("inner", b"v")]

    def test_add_multipart_without_a_name(self, curl, mime, post_mime):
        mime.add_multipart().add_field("x", "y")
        [nested] = post_mime(curl, mime)
        assert nested["name"] is None and nested["parts"][0]["name"] == "x"

    def test_builder_on_a_closed_mime_validates_first(self, curl):
        m = tovrel.CurlMime(curl)
        m.close()
        with pytest.raises(TypeError, match="name must be"):
            m.add(name=5)
        with pytest.raises(tovrel.error, match=refused("addpart", "no mime handle")):
            m.add(name="x")
