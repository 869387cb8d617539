"""Streamed MIME part data: data_cb's read, seek and free callables.

The free callable's promise is the centre of this file: it runs exactly once,
after the last libcurl structure that carries the part (the CurlMime's own,
and every copy duphandle() made) has let go.
"""

import base64
import gc
import hashlib
import io
import itertools
import json
import re
import sys
import threading
import warnings

import pytest

import tovrel
from servers import pattern_bytes


class Stream:
    """read and seek callables over fixed bytes, recording their calls."""

    def __init__(self, data):
        self.data = data
        self.pos = 0
        self.reads = []
        self.seeks = []

    def read(self, userdata, size):
        self.reads.append((userdata, size))
        chunk = self.data[self.pos:self.pos + size]
        self.pos += len(chunk)
        return chunk

    def seek(self, userdata, offset, origin):
        self.seeks.append((userdata, offset, origin))
        self.pos = offset
        return 0


def chunks(*pieces):
    remaining = list(pieces)
    return lambda userdata, size: remaining.pop(0) if remaining else b""


@pytest.fixture
def mime(curl):
    m = tovrel.CurlMime(curl)
    yield m
    m.close()


@pytest.fixture
def unraisable(monkeypatch):
    """What reaches sys.unraisablehook during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook",
                        lambda u: seen.append((u.exc_type, str(u.exc_value), u.object)))
    return seen


def streamed(mime, read, *, name="s", datasize=-1, **kwargs):
    p = mime.addpart()
    p.name(name)
    p.data_cb(datasize, read, **kwargs)
    return p


def post(curl, mime, url, **options):
    body = io.BytesIO()
    curl.setopt(tovrel.URL, url)
    curl.setopt(tovrel.WRITEDATA, body)
    if mime is not None:
        curl.setopt(tovrel.MIMEPOST, mime)
    for name, value in options.items():
        curl.setopt(getattr(tovrel, name), value)
    curl.perform()
    return json.loads(body.getvalue())


class TestStreaming:
    @pytest.mark.parametrize("datasize, framing", [(9, "Content-Length"), (None, "Transfer-Encoding"),
                                                   (-1, "Transfer-Encoding")])
    def test_chunks_are_uploaded(self, curl, mime, post_mime, http_server, datasize, framing):
        streamed(mime, chunks(b"abc", b"def", b"ghi"), datasize=datasize)
        [part] = post_mime(curl, mime)
        assert (part["name"], part["data"]) == ("s", b"abcdefghi")
        # with a size libcurl can announce the length; without one it must chunk
        streamed_again = tovrel.CurlMime(curl)
        streamed(streamed_again, chunks(b"abc", b"def", b"ghi"), datasize=datasize)
        seen = post(curl, streamed_again, http_server.url("/echo"))
        assert framing in [name for name, value in seen["headers"]]
        streamed_again.close()

    @pytest.mark.parametrize("datasize", ["known", None])
    def test_large_part(self, curl, mime, post_mime, datasize):
        data = pattern_bytes(4 * 1024 * 1024 + 13)
        stream = Stream(data)
        streamed(mime, stream.read, datasize=len(data) if datasize else None)
        mime.add_field("after", "tail")
        big, after = post_mime(curl, mime)
        assert len(big["data"]) == len(data)
        assert hashlib.sha256(big["data"]).digest() == hashlib.sha256(data).digest()
        assert after["data"] == b"tail"
        assert all(0 < size <= 2 ** 31 - 1 for _, size in stream.reads)

    @pytest.mark.parametrize("pieces", [
        [b"bytes", bytearray(b"array"), memoryview(b"-view-")[1:-1], "str"],
        [b"with\0nul", b"\0"],
    ], ids=["kinds", "nul"])
    def test_result_kinds(self, curl, mime, post_mime, pieces):
        streamed(mime, chunks(*pieces))
        expected = b"".join(p.encode() if isinstance(p, str) else bytes(p) for p in pieces)
        assert post_mime(curl, mime)[0]["data"] == expected

    def test_callables_receive_userdata(self, curl, mime, post_mime):
        stream = Stream(b"data")
        freed = []
        streamed(mime, stream.read, free=freed.append)
        marker = object()
        streamed(mime, Stream(b"more").read, name="t", userdata=marker, free=freed.append)
        post_mime(curl, mime)
        assert {ud for ud, _ in stream.reads} == {None}
        mime.close()
        assert freed == [None, marker]

    def test_seek_on_a_redirect_resends_the_body(self, curl, mime, post_mime):
        data = pattern_bytes(50000)
        stream = Stream(data)
        streamed(mime, stream.read, datasize=len(data), seek=stream.seek, userdata="U")
        parts = post_mime(curl, mime, path="/redirect?to=/form&code=307", FOLLOWLOCATION=1)
        assert stream.seeks == [("U", 0, 0)]
        assert parts[0]["data"] == data

    def test_without_seek_the_body_cannot_be_resent(self, curl, mime, post_mime):
        stream = Stream(pattern_bytes(5000))
        streamed(mime, stream.read, datasize=5000)
        with pytest.raises(tovrel.error) as info:
            post_mime(curl, mime, path="/redirect?to=/form&code=307", FOLLOWLOCATION=1)
        assert info.value.args[0] == tovrel.E_SEND_FAIL_REWIND

    def test_pause_then_resume(self, curl, mime, post_mime):
        data = pattern_bytes(20000)
        stream = Stream(data)
        state = {"paused": 0, "resumed": 0}

        def read(userdata, size):
            if not state["paused"]:
                state["paused"] += 1
                return tovrel.READFUNC_PAUSE
            return stream.read(userdata, size)

        def progress(*args):
            if state["paused"] and not state["resumed"]:
                state["resumed"] += 1
                curl.unpause()
            return 0

        streamed(mime, read, datasize=len(data))
        parts = post_mime(curl, mime, NOPROGRESS=0, XFERINFOFUNCTION=progress)
        assert state == {"paused": 1, "resumed": 1}
        assert parts[0]["data"] == data

    def test_transfers_on_other_threads(self, http_server):
        results = {}
        freed = []

        def run(index):
            with tovrel.Curl() as c:
                m = tovrel.CurlMime(c)
                data = pattern_bytes(200000, index)
                stream = Stream(data)
                streamed(m, stream.read, datasize=len(data), free=freed.append, userdata=index)
                reply = post(c, m, http_server.url("/form"))
                received = base64.b64decode(reply["parts"][0]["data"])
                results[index] = hashlib.sha256(received).digest() == hashlib.sha256(data).digest()
                m.close()

        threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert results == {i: True for i in range(4)}
        assert sorted(freed) == [0, 1, 2, 3]


class TestReadErrors:
    @pytest.mark.parametrize("make_result, message", [
        pytest.param(lambda n: tovrel.READFUNC_ABORT, None, id="abort"),
        pytest.param(lambda n: b"x" * (n + 1),
                     "invalid return value for mime read callback ({} bytes returned when at most {} bytes were "
                     "wanted)", id="long-bytes"),
        pytest.param(lambda n: "x" * (n + 1),
                     "invalid return value for mime read callback ({} bytes returned after ASCII encoding when at "
                     "most {} bytes were wanted)", id="long-str"),
        pytest.param(lambda n: 5,
                     "mime read callback must return a buffer object, an ASCII-only Unicode string, "
                     "READFUNC_ABORT, or READFUNC_PAUSE", id="int"),
        pytest.param(lambda n: True,
                     "mime read callback must return a buffer object, an ASCII-only Unicode string, "
                     "READFUNC_ABORT, or READFUNC_PAUSE", id="bool"),
        pytest.param(lambda n: 2 ** 80,
                     "mime read callback must return a buffer object, an ASCII-only Unicode string, "
                     "READFUNC_ABORT, or READFUNC_PAUSE", id="huge-int"),
        pytest.param(lambda n: 1.5,
                     "mime read callback must return an object supporting the buffer protocol, an ASCII-only "
                     "Unicode string, READFUNC_ABORT, or READFUNC_PAUSE", id="float"),
        pytest.param(lambda n: None,
                     "mime read callback must return an object supporting the buffer protocol, an ASCII-only "
                     "Unicode string, READFUNC_ABORT, or READFUNC_PAUSE", id="none"),
        pytest.param(lambda n: "\u00e4", "UnicodeEncodeError", id="non-ascii"),
        pytest.param(lambda n: 1 / 0, "ZeroDivisionError: division by zero", id="raises"),
    ])
    def test_bad_results_abort_the_transfer(self, curl, mime, post_mime, capfd, make_result, message):
        wanted = []

        def read(userdata, size):
            wanted.append(size)
            return make_result(size)

        streamed(mime, read, datasize=10)
        capfd.readouterr()
        with pytest.raises(tovrel.error) as info:
            post_mime(curl, mime)
        assert info.value.args[0] == tovrel.E_ABORTED_BY_CALLBACK
        err = capfd.readouterr().err
        if message is None:
            assert err == ""
        else:
            n = wanted[-1]
            assert message.format(n + 1, n) in err
        # the handle is fine for the next transfer
        fresh = tovrel.CurlMime(curl)
        fresh.add_field("next", "ok")
        assert post_mime(curl, fresh)[0]["data"] == b"ok"
        fresh.close()

    @pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
    def test_non_regular_exceptions_reach_perform(self, curl, mime, post_mime, exc):
        def read(userdata, size):
            raise exc("stop")

        streamed(mime, read, datasize=10)
        with pytest.raises(exc):
            post_mime(curl, mime)


class TestSeekErrors:
    @pytest.mark.parametrize("seek, message", [
        pytest.param(lambda ud, off, origin: 7, "invalid return value for mime seek callback 7 not in (0, 1, 2)",
                     id="seven"),
        pytest.param(lambda ud, off, origin: -1, "invalid return value for mime seek callback -1 not in (0, 1, 2)",
                     id="minus-one"),
        pytest.param(lambda ud, off, origin: "x",
                     "mime seek callback must return 0 (SEEKFUNC_OK), 1 (SEEKFUNC_FAIL), 2 (SEEKFUNC_CANTSEEK) "
                     "or None", id="str"),
        pytest.param(lambda ud, off, origin: 2 ** 80, "OverflowError", id="huge"),
        pytest.param(lambda ud, off, origin: {}["missing"], "KeyError: 'missing'", id="raises"),
        pytest.param(lambda ud, off, origin: 1, None, id="fail"),
    ])
    def test_failing_seek_fails_the_resend(self, curl, mime, post_mime, capfd, seek, message):
        stream = Stream(pattern_bytes(3000))
        streamed(mime, stream.read, datasize=3000, seek=seek)
        capfd.readouterr()
        with pytest.raises(tovrel.error) as info:
            post_mime(curl, mime, path="/redirect?to=/form&code=307", FOLLOWLOCATION=1)
        assert info.value.args[0] == tovrel.E_SEND_FAIL_REWIND
        err = capfd.readouterr().err
        if message:
            assert message in err
        else:
            assert err == ""

    def test_seek_none_means_ok(self, curl, mime, post_mime):
        data = pattern_bytes(3000)
        stream = Stream(data)

        def seek(userdata, offset, origin):
            stream.seek(userdata, offset, origin)

        streamed(mime, stream.read, datasize=3000, seek=seek)
        parts = post_mime(curl, mime, path="/redirect?to=/form&code=307", FOLLOWLOCATION=1)
        assert parts[0]["data"] == data


NOT_CALLABLE = 5


class TestArguments:
    @pytest.mark.parametrize("args, kwargs, error, message", [
        (("x", print), {}, TypeError, "datasize must be an integer >= -1 or None"),
        ((1.5, print), {}, TypeError, "datasize must be an integer >= -1 or None"),
        ((-2, print), {}, ValueError, "datasize must be >= -1"),
        ((2 ** 70, print), {}, OverflowError, None),
        ((1, NOT_CALLABLE), {}, TypeError, "read must be callable"),
        ((1, None), {}, TypeError, "read must be callable"),
        ((1, print), {"seek": NOT_CALLABLE}, TypeError, "seek must be callable or None"),
        ((1, print), {"free": NOT_CALLABLE}, TypeError, "free must be callable or None"),
        ((1,), {}, TypeError, None),
        ((), {"read": print}, TypeError, None),
        ((1, print, None, None, None, None), {}, TypeError, None),
        ((1, print), {"other": 1}, TypeError, None),
    ])
    def test_bad_arguments(self, curl, mime, post_mime, args, kwargs, error, message):
        p = mime.addpart()
        p.data(b"kept")
        with pytest.raises(error) as info:
            p.data_cb(*args, **kwargs)
        if message:
            assert str(info.value) == message
        elif error is TypeError:
            assert "data_cb" in str(info.value)
        assert post_mime(curl, mime)[0]["data"] == b"kept"

    def test_keywords(self, curl, mime, post_mime):
        freed = []
        mime.addpart().data_cb(datasize=3, read=chunks(b"kw!"), seek=None, free=freed.append, userdata=7)
        assert post_mime(curl, mime)[0]["data"] == b"kw!"
        mime.close()
        assert freed == [7]

    def test_closed_mime(self, curl):
        m = tovrel.CurlMime(curl)
        p = m.addpart()
        m.close()
        with pytest.raises(tovrel.error, match=r"^cannot invoke data_cb\(\) - no mime handle$"):
            p.data_cb(1, print)


class TestFreeCallable:
    @pytest.mark.parametrize("replace, frees", [
        (lambda p, curl, path: p.data_cb(3, chunks(b"new")), True),
        (lambda p, curl, path: p.data(b"new"), True),
        (lambda p, curl, path: p.filedata(path), True),
        (lambda p, curl, path: p.subparts(tovrel.CurlMime(curl)), True),
        (lambda p, curl, path: p.name("renamed"), False),
        (lambda p, curl, path: p.type("text/x"), False),
        (lambda p, curl, path: p.headers(["X: 1"]), False),
        (lambda p, curl, path: p.encoder("base64"), False),
        (lambda p, curl, path: p.filename("f.txt"), False),
    ], ids=["data_cb", "data", "filedata", "subparts", "name", "type", "headers", "encoder", "filename"])
    def test_new_content_releases_the_old(self, curl, tmp_path, replace, frees):
        path = tmp_path / "file.bin"
        path.write_bytes(b"file")
        freed = []
        m = tovrel.CurlMime(curl)
        p = m.addpart()
        p.data_cb(3, chunks(b"old"), free=freed.append, userdata="old")
        replace(p, curl, str(path))
        assert freed == (["old"] if frees else [])
        m.close()
        assert freed == ["old"]

    def test_content_libcurl_dropped_despite_refusing(self, curl, tmp_path):
        freed = []
        m = tovrel.CurlMime(curl)
        p = m.addpart()
        p.data_cb(3, chunks(b"old"), free=freed.append, userdata=1)
        with pytest.raises(tovrel.error) as info:
            p.filedata(str(tmp_path / "missing"))
        assert info.value.args[0] == tovrel.E_READ_ERROR
        assert freed == [1]
        inner = m.add_multipart()
        q = inner.addpart()
        q.data_cb(3, chunks(b"old"), free=freed.append, userdata=2)
        with pytest.raises(tovrel.error) as info:
            q.subparts(m)
        assert info.value.args[0] == tovrel.E_BAD_FUNCTION_ARGUMENT
        assert freed == [1, 2]
        # nothing left to count: the copy of a duplicate carries neither
        curl.setopt(tovrel.MIMEPOST, m)
        dup = curl.duphandle()
        m.close()
        dup.close()
        assert freed == [1, 2]

    def test_close_runs_every_outstanding_free(self, curl):
        freed = []
        m = tovrel.CurlMime(curl)
        for i in range(3):
            m.addpart().data_cb(1, chunks(b"x"), free=freed.append, userdata=i)
        nested = m.add_multipart()
        nested.addpart().data_cb(1, chunks(b"x"), free=freed.append, userdata="nested")
        m.addpart().data_cb(1, chunks(b"x"))  # no free callable
        assert freed == []
        m.close()
        assert sorted(map(str, freed)) == ["0", "1", "2", "nested"]
        m.close()
        assert len(freed) == 4

    def test_raising_free_is_reported_as_unraisable(self, curl, unraisable):
        freed = []

        def bad_free(userdata):
            raise ValueError("free failed")

        m = tovrel.CurlMime(curl)
        m.addpart().data_cb(1, chunks(b"x"), free=bad_free)
        m.addpart().data_cb(1, chunks(b"x"), free=freed.append, userdata="second")
        assert m.close() is None
        assert [(t, msg, obj) for t, msg, obj in unraisable] == [(ValueError, "free failed", bad_free)]
        assert freed == ["second"]

    @pytest.mark.parametrize("order", list(itertools.permutations(["curl", "dup", "mime"])), ids="-".join)
    def test_once_after_duphandle_whatever_the_closing_order(self, curl, order, unraisable):
        freed = []
        m = tovrel.CurlMime(curl)
        streamed(m, chunks(b"abc"), datasize=3, free=freed.append, userdata="U")
        curl.setopt(tovrel.MIMEPOST, m)
        dup = curl.duphandle()
        # the structures carrying the part: the CurlMime's own and the copy
        carrying = {"mime", "dup"}
        closers = {"curl": curl.close, "dup": dup.close, "mime": m.close}
        for name in order:
            closers[name]()
            carrying.discard(name)
            assert freed == ([] if carrying else ["U"]), name
        assert freed == ["U"] and unraisable == []

    @pytest.mark.parametrize("order", list(itertools.permutations(["curl", "dup", "mime"])), ids="-".join)
    def test_once_after_duphandle_whatever_the_deletion_order(self, order, unraisable):
        freed = []
        objects = {"curl": tovrel.Curl()}
        objects["mime"] = tovrel.CurlMime(objects["curl"])
        streamed(objects["mime"], chunks(b"abc"), datasize=3, free=freed.append, userdata="U")
        objects["curl"].setopt(tovrel.MIMEPOST, objects["mime"])
        objects["dup"] = objects["curl"].duphandle()
        for i, name in enumerate(order):
            del objects[name]
            gc.collect()
            # both handles hold the CurlMime, so its structure stays while any lives
            assert freed == ([] if objects else ["U"])
        assert freed == ["U"] and unraisable == []

    def test_duplicate_streams_after_the_original_is_gone(self, curl, http_server, unraisable):
        freed = []
        m = tovrel.CurlMime(curl)
        data = pattern_bytes(100000)
        stream = Stream(data)
        streamed(m, stream.read, datasize=len(data), seek=stream.seek, free=freed.append, userdata="U")
        curl.setopt(tovrel.MIMEPOST, m)
        dup = curl.duphandle()
        m.close()
        curl.close()
        assert freed == []
        again = dup.duphandle()
        reply = post(dup, None, http_server.url("/echo"))
        assert reply["length"] > len(data)
        dup.close()
        assert freed == []
        stream.pos = 0
        reply = post(again, None, http_server.url("/echo"))
        assert reply["length"] > len(data)
        again.close()
        assert freed == ["U"] and unraisable == []

    def test_duplicate_counts_only_what_its_copy_carries(self, curl, unraisable):
        freed = []
        m = tovrel.CurlMime(curl)
        p = m.addpart()
        p.data_cb(3, chunks(b"one"), free=freed.append, userdata="first")
        curl.setopt(tovrel.MIMEPOST, m)
        dup = curl.duphandle()
        # new content in the original: the copy still has the first
        p.data_cb(3, chunks(b"two"), free=freed.append, userdata="second")
        assert freed == []
        again = dup.duphandle()
        for handle in (dup, curl, m):
            handle.close()
        assert freed == ["second"]
        again.close()
        assert freed == ["second", "first"] and unraisable == []

    def test_closed_nested_mime_still_counts(self, curl, http_server, unraisable):
        freed = []
        m = tovrel.CurlMime(curl)
        child = m.add_multipart("nested")
        stream = Stream(b"nested streamed data")
        streamed(child, stream.read, datasize=len(stream.data), free=freed.append, userdata="child")
        child.close()
        curl.setopt(tovrel.MIMEPOST, m)
        dup = curl.duphandle()
        m.close()
        assert freed == []
        reply = post(dup, None, http_server.url("/form"))
        assert reply["parts"][0]["parts"][0]["data"] != ""
        dup.close()
        assert freed == ["child"] and unraisable == []

    @pytest.mark.parametrize("let_go", [
        lambda d: d.close(),
        lambda d: d.reset(),
        lambda d: d.unsetopt(tovrel.MIMEPOST),
        lambda d: d.setopt(tovrel.MIMEPOST, None),
        lambda d: d.setopt(tovrel.MIMEPOST, tovrel.CurlMime(d)),
        lambda d: d.setopt(tovrel.HTTPPOST, [("k", "v")]),
    ], ids=["close", "reset", "unsetopt", "setopt-none", "other-mime", "httppost"])
    def test_each_way_a_duplicate_lets_go(self, curl, let_go, unraisable):
        freed = []
        m = tovrel.CurlMime(curl)
        streamed(m, chunks(b"abc"), datasize=3, free=freed.append, userdata="U")
        curl.setopt(tovrel.MIMEPOST, m)
        dup = curl.duphandle()
        m.close()
        assert freed == []
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            let_go(dup)
        assert freed == ["U"]
        dup.close()
        assert freed == ["U"] and unraisable == []


def tovrel_objects():
    names = {"Curl", "CurlMime", "CurlMimePart", "_MimeDataCbOwner"}
    return [obj for obj in gc.get_objects() if type(obj).__module__ == "tovrel" and type(obj).__name__ in names]


def new_objects(before):
    known = {id(obj) for obj in before}
    return [type(obj).__name__ for obj in tovrel_objects() if id(obj) not in known]


class TestCollector:
    def test_cycles_through_the_callables_are_collected(self, unraisable):
        gc.collect()
        before = tovrel_objects()  # held: no address is reused
        freed = []

        def build():
            c = tovrel.Curl()
            m = tovrel.CurlMime(c)
            p = m.addpart()
            # read and free hold the whole graph
            p.data_cb(3, lambda ud, n: (c, m, p) and b"", free=lambda ud: freed.append("top"), userdata=(c, m))
            c.setopt(tovrel.MIMEPOST, m)
            d = c.duphandle()
            m.add_multipart().addpart().data_cb(1, lambda ud, n: d and b"", free=freed.append, userdata="nested")

        for _ in range(5):
            build()
        gc.collect()
        assert len(freed) == 10
        assert new_objects(before) == []
        assert unraisable == []

    def test_a_duplicate_in_a_cycle_of_its_own_is_collected(self, unraisable):
        gc.collect()
        before = tovrel_objects()  # held: no address is reused
        freed = []
        c = tovrel.Curl()
        m = tovrel.CurlMime(c)
        box = []
        m.addpart().data_cb(1, chunks(b"x"), free=lambda ud: freed.append(len(ud)), userdata=box)
        c.setopt(tovrel.MIMEPOST, m)
        box.append(c.duphandle())
        m.close()
        c.close()
        del c, m
        assert freed == []
        del box
        gc.collect()
        # the free callable ran before the collector cleared its userdata
        assert freed == [1]
        assert new_objects(before) == []
        assert unraisable == []


class TestReentry:
    """Callables libcurl runs inside a MIME call find the handle busy."""

    def test_free_callable_during_new_content(self, curl):
        outcomes = []
        m = tovrel.CurlMime(curl)
        p = m.addpart()
        other = m.addpart()

        def free(userdata):
            for name, call in [("close", m.close), ("data", lambda: p.data(b"x")),
                               ("name", lambda: other.name("x")), ("addpart", m.addpart),
                               ("setopt", lambda: curl.setopt(tovrel.URL, "x")), ("reset", curl.reset),
                               ("duphandle", curl.duphandle), ("close", curl.close),
                               ("CurlMime", lambda: tovrel.CurlMime(curl)),
                               ("ws_send", lambda: curl.ws_send(b"x")), ("ws_close", curl.ws_close),
                               ("ws_recv", lambda: curl.ws_recv(10)), ("ws_meta", curl.ws_meta)]:
                try:
                    call()
                    outcomes.append(name + " allowed")
                except tovrel.error as exc:
                    assert exc.args == (f"cannot invoke {name}() - perform() is currently running",)
                    outcomes.append(name)

        p.data_cb(1, chunks(b"x"), free=free)
        p.data(b"replacement")
        assert outcomes == ["close", "data", "name", "addpart", "setopt", "reset", "duphandle", "close",
                            "CurlMime", "ws_send", "ws_close", "ws_recv", "ws_meta"]
        assert not m.closed and not curl.closed
        other.name("fine now")
        m.close()

    def test_free_callable_while_a_duplicate_resets(self, curl, unraisable):
        m = tovrel.CurlMime(curl)
        dup_box = []
        m.addpart().data_cb(1, chunks(b"x"), free=lambda ud: dup_box[0].setopt(tovrel.URL, "x"))
        curl.setopt(tovrel.MIMEPOST, m)
        dup_box.append(curl.duphandle())
        m.close()
        dup_box[0].reset()
        assert [(t, msg) for t, msg, obj in unraisable] == [
            (tovrel.error, "cannot invoke setopt() - perform() is currently running")]
        dup_box[0].setopt(tovrel.URL, "http://127.0.0.1/")
        dup_box[0].close()

    def test_seek_callable_while_libcurl_rewinds_for_mimepost(self, curl, post_mime, capfd):
        data = b"rewound data"
        stream = Stream(data)
        m = tovrel.CurlMime(curl)
        attempt = []

        def seek(userdata, offset, origin):
            if not attempt:
                attempt.append(1)
                m.close()
            return stream.seek(userdata, offset, origin)

        streamed(m, stream.read, datasize=len(data), seek=seek)
        post_mime(curl, m)
        other = tovrel.CurlMime(curl)
        curl.setopt(tovrel.MIMEPOST, other)
        capfd.readouterr()
        # setting it again rewinds what the last transfer read
        with pytest.raises(tovrel.error) as info:
            curl.setopt(tovrel.MIMEPOST, m)
        assert info.value.args[0] == tovrel.E_SEND_FAIL_REWIND
        assert "cannot invoke close() - perform() is currently running" in capfd.readouterr().err
        assert not m.closed
        assert post_mime(curl, m)[0]["data"] == data
        other.close()
        m.close()
