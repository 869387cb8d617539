"""Transfers and the data-path callbacks: body, headers, uploads, progress, debug."""

import hashlib
import io
import json
import warnings

import pytest

import tovrel
from servers import pattern_bytes


def configure(curl, url, **options):
    curl.setopt(tovrel.URL, url)
    for name, value in options.items():
        curl.setopt(getattr(tovrel, name), value)


class TestDelivery:
    @pytest.mark.parametrize("path, size", [
        ("/bytes/0", 0), ("/bytes/1", 1), ("/bytes/70000", 70000),
        ("/chunked/100000?size=777", 100000), ("/bytes/5000000", 5000000),
    ])
    def test_body_arrives_exactly(self, curl, http_server, path, size):
        chunks = []
        configure(curl, http_server.url(path), WRITEFUNCTION=chunks.append)
        curl.perform()
        body = b"".join(chunks)
        assert len(body) == size
        assert hashlib.sha256(body).digest() == hashlib.sha256(pattern_bytes(size)).digest()
        assert all(type(chunk) is bytes for chunk in chunks)

    def test_headers_arrive_line_by_line(self, curl, http_server):
        lines = []
        configure(curl, http_server.url("/headers?X-Custom=hello%20there"), HEADERFUNCTION=lines.append,
                  WRITEFUNCTION=lambda data: None)
        curl.perform()
        assert lines[0] == b"HTTP/1.1 200 OK\r\n"
        assert b"X-Custom: hello there\r\n" in lines
        assert lines[-1] == b"\r\n"

    def test_file_objects(self, curl, http_server):
        body, headers = io.BytesIO(), io.BytesIO()
        configure(curl, http_server.url("/bytes/1234"), WRITEDATA=body, WRITEHEADER=headers)
        curl.perform()
        assert body.getvalue() == pattern_bytes(1234)
        assert headers.getvalue().startswith(b"HTTP/1.1 200 OK\r\n")

    @pytest.mark.parametrize("result", [None, "length", True])
    def test_write_results_that_consume_everything(self, curl, http_server, result):
        got = []

        def write(data):
            got.append(data)
            return len(data) if result == "length" else None

        configure(curl, http_server.url("/bytes/10000"), WRITEFUNCTION=write)
        curl.perform()
        assert b"".join(got) == pattern_bytes(10000)

    @pytest.mark.parametrize("result", [0, -1, lambda data: len(data) - 1, lambda data: 2 ** 40])
    def test_write_short_count_fails_the_transfer(self, curl, http_server, result):
        write = result if callable(result) else (lambda data: result)
        configure(curl, http_server.url("/bytes/10000"), WRITEFUNCTION=write)
        with pytest.raises(tovrel.error) as info:
            curl.perform()
        assert info.value.args[0] == tovrel.E_WRITE_ERROR

    def test_write_bad_result_type(self, curl, http_server, capfd):
        configure(curl, http_server.url("/bytes/10"), WRITEFUNCTION=lambda data: "nope")
        with pytest.raises(tovrel.error) as info:
            curl.perform()
        assert info.value.args[0] == tovrel.E_WRITE_ERROR
        assert "write callback must return int or None" in capfd.readouterr().err

    def test_memoryview_delivery(self, curl, http_server):
        views, copies = [], []

        def write(view):
            assert view.readonly
            views.append(view)
            copies.append(bytes(view))

        configure(curl, http_server.url("/bytes/300000"))
        curl.setopt(tovrel.WRITEFUNCTION, write, use_memoryview=True)
        curl.perform()
        assert b"".join(copies) == pattern_bytes(300000)
        with pytest.raises(ValueError):
            bytes(views[0])

    def test_memoryview_slices_kept_by_the_callable_stay_valid(self, curl, http_server):
        kept = []

        def write(view):
            kept.append((view[:100], bytes(view[:100])))
            kept.append((memoryview(view)[-10:], bytes(view[-10:])))

        configure(curl, http_server.url("/bytes/300000"))
        curl.setopt(tovrel.WRITEFUNCTION, write, use_memoryview=True)
        curl.perform()
        curl.close()
        # the kept views point at memory of their own, never at a buffer
        # libcurl reuses or frees
        for view, content in kept:
            assert bytes(view) == content

    def test_memoryview_headers(self, curl, http_server):
        lines = []
        configure(curl, http_server.url("/bytes/10"), WRITEFUNCTION=lambda d: None)
        curl.setopt(tovrel.HEADERFUNCTION, lambda v: lines.append(bytes(v)), use_memoryview=True)
        curl.perform()
        assert lines[0].startswith(b"HTTP/1.1 200")


class TestPause:
    def test_write_pause_then_unpause(self, curl, http_server):
        got, paused, resumed = [], [], []

        def write(data):
            if not paused:
                paused.append(True)
                return tovrel.WRITEFUNC_PAUSE
            got.append(data)

        configure(curl, http_server.url("/bytes/50000"), WRITEFUNCTION=write)
        # paused by the write callable, resumed by the progress callable

        def progress(*args):
            if paused and not resumed:
                resumed.append(True)
                curl.unpause()
            return 0

        curl.setopt(tovrel.NOPROGRESS, 0)
        curl.setopt(tovrel.XFERINFOFUNCTION, progress)
        curl.perform()
        assert resumed and b"".join(got) == pattern_bytes(50000)

    def test_pause_accepted_inside_a_callback_setopt_refused(self, curl, http_server):
        outcomes = []

        def write(data):
            try:
                curl.setopt(tovrel.VERBOSE, 1)
            except tovrel.error as exc:
                outcomes.append(exc.args)
            curl.pause(tovrel.PAUSE_CONT)
            outcomes.append("paused ok")

        configure(curl, http_server.url("/bytes/10"), WRITEFUNCTION=write)
        curl.perform()
        assert outcomes == [("cannot invoke setopt() - perform() is currently running",), "paused ok"]

    def test_pause_default_and_errors(self, curl):
        # libcurl refuses to pause a handle with no transfer
        for call in (curl.pause, curl.unpause, lambda: curl.pause(tovrel.PAUSE_RECV)):
            with pytest.raises(tovrel.error) as info:
                call()
            assert info.value.args == (tovrel.E_BAD_FUNCTION_ARGUMENT, "pause/unpause failed")
        with pytest.raises(TypeError):
            curl.pause("x")
        with pytest.raises(TypeError):
            curl.pause(bitmask=1)
        curl.close()
        for call, name in [(curl.pause, "pause"), (curl.unpause, "unpause")]:
            with pytest.raises(tovrel.error, match=f"cannot invoke {name}\\(\\) - no curl handle"):
                call()


class TestUpload:
    def upload(self, curl, http_server, read, size=None, method="PUT"):
        body = io.BytesIO()
        configure(curl, http_server.url("/echo"), READFUNCTION=read, WRITEDATA=body)
        if method == "PUT":
            curl.setopt(tovrel.UPLOAD, 1)
        else:
            curl.setopt(tovrel.POST, 1)
        if size is not None:
            curl.setopt(tovrel.INFILESIZE, size)
        curl.perform()
        return json.loads(body.getvalue())

    def test_read_callable_streams_a_large_body(self, curl, http_server):
        data = pattern_bytes(3 * 1024 * 1024 + 17)
        stream = io.BytesIO(data)
        seen = self.upload(curl, http_server, stream.read)
        assert seen["length"] == len(data)
        assert seen["sha256"] == hashlib.sha256(data).hexdigest()

    @pytest.mark.parametrize("chunks", [[b"abc", bytearray(b"def"), memoryview(b"ghi")], ["ascii", " text"]])
    def test_read_result_kinds(self, curl, http_server, chunks):
        pieces = list(chunks)
        seen = self.upload(curl, http_server, lambda n: pieces.pop(0) if pieces else b"")
        expected = b"".join(p.encode() if isinstance(p, str) else bytes(p) for p in chunks)
        assert seen["length"] == len(expected)

    def test_readdata_file_object(self, curl, http_server):
        body = io.BytesIO()
        configure(curl, http_server.url("/echo"), READDATA=io.BytesIO(b"hello"), WRITEDATA=body, UPLOAD=1,
                  INFILESIZE=5)
        curl.perform()
        assert json.loads(body.getvalue())["length"] == 5

    @pytest.mark.parametrize("result, message", [
        pytest.param(tovrel.READFUNC_ABORT, None, id="abort"),
        pytest.param(0, "read callback must return an object supporting the buffer protocol", id="zero"),
        pytest.param(1.5, "read callback must return an object supporting the buffer protocol", id="float"),
        pytest.param("\u00e4", "UnicodeEncodeError", id="non-ascii"),
        pytest.param("x" * 70000, "bytes returned after encoding to ascii when at most", id="long-str"),
        pytest.param(b"x" * 70000, "bytes returned when at most", id="long-bytes"),
    ])
    def test_read_aborts(self, curl, http_server, capfd, result, message):
        with pytest.raises(tovrel.error) as info:
            self.upload(curl, http_server, lambda n: result)
        assert info.value.args[0] == tovrel.E_ABORTED_BY_CALLBACK
        err = capfd.readouterr().err
        if message:
            assert message in err

    def test_exception_inside_read(self, curl, http_server, capfd):
        def read(n):
            raise ValueError("no data today")

        with pytest.raises(tovrel.error) as info:
            self.upload(curl, http_server, read)
        assert info.value.args[0] == tovrel.E_ABORTED_BY_CALLBACK
        err = capfd.readouterr().err
        assert "ValueError: no data today" in err and "Traceback" in err

    def test_read_pause(self, curl, http_server):
        state = {"paused": False, "sent": False}

        def read(n):
            if not state["paused"]:
                state["paused"] = True
                return tovrel.READFUNC_PAUSE
            if not state["sent"]:
                state["sent"] = True
                return b"resumed"
            return b""

        def progress(*args):
            if state["paused"] and not state["sent"]:
                curl.unpause()
            return 0

        curl.setopt(tovrel.NOPROGRESS, 0)
        curl.setopt(tovrel.XFERINFOFUNCTION, progress)
        seen = self.upload(curl, http_server, read, method="POST")
        assert base64_body(seen) == b"resumed"

    def test_seek_on_redirected_upload(self, curl, http_server):
        data = b"rewind me " * 1000
        stream = io.BytesIO(data)
        seeks = []

        def seek(offset, origin):
            seeks.append((offset, origin))
            stream.seek(offset, origin)
            return tovrel.SEEKFUNC_OK

        body = io.BytesIO()
        configure(curl, http_server.url("/redirect?to=/echo&code=307"), READFUNCTION=stream.read,
                  SEEKFUNCTION=seek, WRITEDATA=body, FOLLOWLOCATION=1, POST=1, POSTFIELDSIZE=len(data))
        curl.perform()
        seen = json.loads(body.getvalue())
        assert seeks and seeks[0] == (0, 0)
        assert seen["sha256"] == hashlib.sha256(data).hexdigest()

    @pytest.mark.parametrize("result, printed", [
        (3, "invalid return value for seek callback 3 not in (0, 1, 2)"),
        (-1, "invalid return value for seek callback -1 not in (0, 1, 2)"),
        ("x", "seek callback must return 0 (CURL_SEEKFUNC_OK), 1 (CURL_SEEKFUNC_FAIL), 2 (CURL_SEEKFUNC_CANTSEEK) or None"),
        (tovrel.SEEKFUNC_CANTSEEK, None),
    ])
    def test_bad_seek_means_cannot_seek(self, curl, http_server, capfd, result, printed):
        stream = io.BytesIO(b"data" * 100)
        configure(curl, http_server.url("/redirect?to=/echo&code=307"), READFUNCTION=stream.read,
                  SEEKFUNCTION=lambda offset, origin: result, FOLLOWLOCATION=1, POST=1, POSTFIELDSIZE=400,
                  WRITEFUNCTION=lambda data: None)
        with pytest.raises(tovrel.error) as info:
            curl.perform()
        assert info.value.args[0] == tovrel.E_SEND_FAIL_REWIND
        err = capfd.readouterr().err
        if printed:
            assert printed in err

    def test_seek_result_is_taken_modulo_2_32(self, curl, http_server):
        stream = io.BytesIO(b"data" * 100)

        def seek(offset, origin):
            stream.seek(offset, origin)
            return 2 ** 32

        body = io.BytesIO()
        configure(curl, http_server.url("/redirect?to=/echo&code=307"), READFUNCTION=stream.read,
                  SEEKFUNCTION=seek, FOLLOWLOCATION=1, POST=1, POSTFIELDSIZE=400, WRITEDATA=body)
        curl.perform()
        assert json.loads(body.getvalue())["length"] == 400


def base64_body(seen):
    import base64
    return base64.b64decode(seen["body"])


class TestProgress:
    @pytest.mark.parametrize("option", ["XFERINFOFUNCTION", "PROGRESSFUNCTION"])
    def test_reports_counts(self, curl, http_server, option):
        calls = []
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            configure(curl, http_server.url("/bytes/200000"), WRITEFUNCTION=lambda d: None, NOPROGRESS=0,
                      **{option: lambda *args: calls.append(args)})
        curl.perform()
        kind = int if option == "XFERINFOFUNCTION" else float
        assert all(len(args) == 4 and all(type(a) is kind for a in args) for args in calls)
        assert calls[-1][1] == 200000

    @pytest.mark.parametrize("result", [1, True, "stop", -5, 2 ** 32 + 1])
    def test_non_zero_aborts(self, curl, http_server, result):
        configure(curl, http_server.url("/bytes/200000"), WRITEFUNCTION=lambda d: None, NOPROGRESS=0,
                  XFERINFOFUNCTION=lambda *args: result)
        with pytest.raises(tovrel.error) as info:
            curl.perform()
        assert info.value.args[0] == tovrel.E_ABORTED_BY_CALLBACK

    @pytest.mark.parametrize("result", [0, None, False, "", 2 ** 32])
    def test_zero_continues(self, curl, http_server, result):
        configure(curl, http_server.url("/bytes/2000"), WRITEFUNCTION=lambda d: None, NOPROGRESS=0,
                  XFERINFOFUNCTION=lambda *args: result)
        curl.perform()

    def test_failing_truth_test(self, curl, http_server, capfd):
        class Undecided:
            def __bool__(self):
                raise RuntimeError("cannot decide")

        configure(curl, http_server.url("/bytes/2000"), WRITEFUNCTION=lambda d: None, NOPROGRESS=0,
                  XFERINFOFUNCTION=lambda *args: Undecided())
        with pytest.raises(tovrel.error):
            curl.perform()
        assert "RuntimeError: cannot decide" in capfd.readouterr().err


class TestDebug:
    def test_info_types_and_exact_bytes(self, curl, http_server):
        seen = {}

        def debug(kind, data):
            assert type(data) is bytes
            seen.setdefault(kind, []).append(data)

        configure(curl, http_server.url("/bytes/300"), WRITEFUNCTION=lambda d: None, VERBOSE=1,
                  DEBUGFUNCTION=debug)
        curl.perform()
        assert {tovrel.INFOTYPE_TEXT, tovrel.INFOTYPE_HEADER_IN, tovrel.INFOTYPE_HEADER_OUT,
                tovrel.INFOTYPE_DATA_IN} <= set(seen)
        assert b"".join(seen[tovrel.INFOTYPE_DATA_IN]) == pattern_bytes(300)
        assert seen[tovrel.INFOTYPE_HEADER_OUT][0].startswith(b"GET /bytes/300 HTTP/1.1\r\n")

    def test_raising_debug_callable_is_printed_and_ignored(self, curl, http_server, capfd):
        def debug(kind, data):
            raise ValueError("debug trouble")

        body = []
        configure(curl, http_server.url("/bytes/300"), WRITEFUNCTION=body.append, VERBOSE=1, DEBUGFUNCTION=debug)
        curl.perform()
        assert b"".join(body) == pattern_bytes(300)
        assert "ValueError: debug trouble" in capfd.readouterr().err


class TestExceptions:
    def test_regular_exception_is_printed_and_fails_the_transfer(self, curl, http_server, capfd):
        def write(data):
            raise ValueError("bad body")

        configure(curl, http_server.url("/bytes/10"), WRITEFUNCTION=write)
        with pytest.raises(tovrel.error) as info:
            curl.perform()
        assert info.value.args[0] == tovrel.E_WRITE_ERROR
        err = capfd.readouterr().err
        assert "Traceback" in err and "ValueError: bad body" in err

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
    def test_base_exceptions_reach_the_caller(self, curl, http_server, error):
        def write(data):
            raise error("stop")

        configure(curl, http_server.url("/bytes/10"), WRITEFUNCTION=write)
        with pytest.raises(error):
            curl.perform()
        # the handle is still usable
        curl.setopt(tovrel.WRITEFUNCTION, lambda d: None)
        curl.perform()

    def test_first_pending_exception_wins(self, curl, http_server):
        calls = []

        def debug(kind, data):
            calls.append("debug")
            if len(calls) == 1:
                raise KeyboardInterrupt("first")

        def write(data):
            calls.append("write")
            raise KeyboardInterrupt("second")

        configure(curl, http_server.url("/bytes/10"), WRITEFUNCTION=write, VERBOSE=1, DEBUGFUNCTION=debug)
        with pytest.raises(KeyboardInterrupt, match="first"):
            curl.perform()
        # nothing ran in the interpreter once the first was pending
        assert calls == ["debug"]

    def test_exception_in_header_callable(self, curl, http_server):
        def header(line):
            raise SystemExit(3)

        configure(curl, http_server.url("/bytes/10"), HEADERFUNCTION=header, WRITEFUNCTION=lambda d: None)
        with pytest.raises(SystemExit):
            curl.perform()
