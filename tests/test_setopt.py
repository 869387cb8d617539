"""setopt, unsetopt and setopt_string: which values each option takes."""

import gc
import io
import json
import sys
import warnings

import pytest

import tovrel


def fetch(curl, url):
    """Perform and return the body."""
    body = io.BytesIO()
    curl.setopt(tovrel.URL, url)
    curl.setopt(tovrel.WRITEDATA, body)
    curl.perform()
    return body.getvalue()


def echo(curl, http_server):
    """Perform against /echo and return what the server saw."""
    return json.loads(fetch(curl, http_server.url("/echo")))


def header(seen, name):
    values = [v for k, v in seen["headers"] if k.lower() == name.lower()]
    return values[0] if values else None


def noop(*args):
    return None


# (option, value, keywords) -> None when accepted, else (exception, message)
DISPATCH = [
    # integers
    (tovrel.VERBOSE, True, {}, None),
    (tovrel.VERBOSE, 0, {}, None),
    (42, 1, {}, None),  # a bare number reaches libcurl
    (tovrel.INFILESIZE, 10, {}, None),  # an off_t option
    (tovrel.MAXFILESIZE_LARGE, 2 ** 40, {}, None),
    (tovrel.WILDCARDMATCH, 0, {}, None),
    (tovrel.URL, 5, {}, (TypeError, "integers are not supported for this option")),
    (tovrel.SSLCERT_BLOB, 5, {}, (TypeError, "integers are not supported for this option")),
    (tovrel.WRITEHEADER, 5, {}, (TypeError, "integers are not supported for this option")),
    (tovrel.WRITEFUNCTION, 1, {}, (TypeError, "integers are not supported for this option")),
    # option numbers
    (329, 1, {}, (TypeError, "invalid arguments to setopt")),
    (0, 1, {}, (TypeError, "invalid arguments to setopt")),
    (-1, 1, {}, (TypeError, "invalid arguments to setopt")),
    (40329, 1, {}, (TypeError, "invalid arguments to setopt")),
    (10329, "x", {}, (TypeError, "invalid arguments to setopt")),
    (10329, None, {}, (TypeError, "invalid arguments to setopt")),
    # strings
    (tovrel.URL, "http://127.0.0.1/", {}, None),
    (tovrel.URL, b"http://127.0.0.1/", {}, None),
    (tovrel.USERAGENT, type("S", (str,), {})("agent"), {}, None),
    (tovrel.POSTFIELDS, b"a\0b", {}, None),
    (tovrel.CAINFO_BLOB, b"\0binary\0", {}, None),
    (tovrel.FTP_ACCOUNT, "x", {}, (TypeError, "strings are not supported for this option")),
    (tovrel.WRITEDATA, "file.txt", {}, (TypeError, "strings are not supported for this option")),
    (tovrel.HTTPHEADER, "Accept: x", {}, (TypeError, "strings are not supported for this option")),
    # A string must never switch wildcard matching on.
    (tovrel.WILDCARDMATCH, "0", {}, (TypeError, "strings are not supported for this option")),
    (tovrel.URL, "http://ex\u00e4mple/", {}, (UnicodeEncodeError, None)),
    (tovrel.URL, b"http://a\0b/", {}, (ValueError, None)),
    (tovrel.VERBOSE, 2 ** 63, {}, (OverflowError, None)),
    (tovrel.INFILESIZE, -2 ** 64, {}, (OverflowError, None)),
    # lists
    (tovrel.HTTPHEADER, ["Accept: x"], {}, None),
    (tovrel.HTTPHEADER, ("Accept: x",), {}, None),
    (tovrel.HTTPHEADER, [], {}, None),
    (tovrel.URL, ["x"], {}, (TypeError, "lists are not supported for this option")),
    (tovrel.HTTPHEADER, ["Accept:", 5], {}, (TypeError, "list items must be byte strings or Unicode strings with ASCII code points only")),
    (tovrel.HTTPHEADER, ["\u00e4"], {}, (UnicodeEncodeError, None)),
    (tovrel.HTTPHEADER, [b"a\0b"], {}, (ValueError, None)),
    # callables and objects
    (tovrel.WRITEFUNCTION, noop, {}, None),
    (tovrel.WRITEFUNCTION, noop, {"use_memoryview": True}, None),
    (tovrel.HEADERFUNCTION, print, {"use_memoryview": False}, None),
    (tovrel.URL, noop, {}, (TypeError, "functions are not supported for this option")),
    (tovrel.WRITEDATA, noop, {}, (TypeError, "functions are not supported for this option")),
    (tovrel.READDATA, object(), {}, (TypeError, "object given without a read method")),
    (tovrel.WRITEDATA, object(), {}, (TypeError, "object given without a write method")),
    (tovrel.WRITEHEADER, object(), {}, (TypeError, "object given without a write method")),
    (tovrel.URL, object(), {}, (TypeError, "invalid arguments to setopt")),
    (tovrel.URL, 1.5, {}, (TypeError, "invalid arguments to setopt")),
    (tovrel.SHARE, object(), {}, (TypeError, "invalid arguments to setopt")),
    # use_memoryview comes before every value test
    (tovrel.WRITEDATA, None, {"use_memoryview": False}, (TypeError, "use_memoryview is only supported for WRITEFUNCTION and HEADERFUNCTION")),
    (tovrel.URL, "x", {"use_memoryview": True}, (TypeError, "use_memoryview is only supported for WRITEFUNCTION and HEADERFUNCTION")),
    (tovrel.WRITEFUNCTION, None, {"use_memoryview": True}, None),
    # unsetting
    (tovrel.PROXY, None, {}, None),
    (tovrel.URL, None, {}, (TypeError, "unsetopt() is not supported for this option")),
]


@pytest.mark.parametrize("option, value, keywords, outcome", DISPATCH)
def test_dispatch(curl, option, value, keywords, outcome):
    if outcome is None:
        assert curl.setopt(option, value, **keywords) is None
        return
    error, message = outcome
    with pytest.raises(error) as info:
        curl.setopt(option, value, **keywords)
    if message is not None:
        assert info.value.args == (message,)
    # the handle stays usable
    curl.setopt(tovrel.VERBOSE, 0)


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((tovrel.URL,), {}), (("URL", "x"), {}), ((tovrel.URL, "x", 1), {}),
    ((tovrel.URL, "x"), {"bogus": 1}),
])
def test_argument_parsing(curl, args, kwargs):
    with pytest.raises(TypeError):
        curl.setopt(*args, **kwargs)


class TestStateChecks:
    @pytest.mark.parametrize("call, name", [
        (lambda c: c.setopt(tovrel.URL, "x"), "setopt"),
        (lambda c: c.setopt_string(tovrel.URL, "x"), "setopt"),
        (lambda c: c.unsetopt(tovrel.PROXY), "unsetopt"),
    ])
    def test_closed(self, call, name):
        c = tovrel.Curl()
        c.close()
        with pytest.raises(tovrel.error) as info:
            call(c)
        assert info.value.args == (f"cannot invoke {name}() - no curl handle",)


class TestSetoptString:
    def test_accepts_what_the_string_path_accepts(self, curl):
        assert curl.setopt_string(tovrel.URL, "http://127.0.0.1/") is None
        with pytest.raises(TypeError, match="^strings are not supported for this option$"):
            curl.setopt_string(tovrel.FTP_ACCOUNT, "x")

    @pytest.mark.parametrize("value", [5, None, ["x"], noop])
    def test_refuses_non_text(self, curl, value):
        with pytest.raises(TypeError, match="^invalid arguments to setopt_string$"):
            curl.setopt_string(tovrel.URL, value)

    def test_parse_errors_name_setopt(self, curl):
        with pytest.raises(TypeError, match=r"setopt\(\)"):
            curl.setopt_string(tovrel.URL)


class TestUnsetopt:
    @pytest.mark.parametrize("option", [
        tovrel.PROXY, 14, tovrel.OPT_CERTINFO, tovrel.HTTPHEADER, tovrel.HTTPPOST, tovrel.MIMEPOST,
        tovrel.SHARE, tovrel.WRITEHEADER, tovrel.WRITEFUNCTION, tovrel.READFUNCTION,
        tovrel.XFERINFOFUNCTION, tovrel.CAINFO_BLOB, tovrel.HSTS,
    ])
    def test_unsettable(self, curl, option):
        assert curl.unsetopt(option) is None
        assert curl.setopt(option, None) is None

    @pytest.mark.parametrize("option, message", [
        (tovrel.URL, "unsetopt() is not supported for this option"),
        (tovrel.INFILESIZE, "unsetopt() is not supported for this option"),
        (0, "invalid arguments to unsetopt"),
        (40329, "invalid arguments to unsetopt"),
    ])
    def test_not_unsettable(self, curl, option, message):
        with pytest.raises(TypeError) as info:
            curl.unsetopt(option)
        assert info.value.args == (message,)

    def test_unset_restores_defaults_on_the_wire(self, curl, http_server):
        curl.setopt(tovrel.HTTPHEADER, ["X-One: 1"])
        curl.setopt(tovrel.COOKIE, "a=b")
        curl.setopt(tovrel.CUSTOMREQUEST, "PATCH")
        curl.setopt(tovrel.USERPWD, "user:secret")
        seen = echo(curl, http_server)
        assert (seen["method"], header(seen, "X-One"), header(seen, "Cookie")) == ("PATCH", "1", "a=b")
        assert header(seen, "Authorization").startswith("Basic ")
        for option in (tovrel.HTTPHEADER, tovrel.COOKIE, tovrel.CUSTOMREQUEST, tovrel.USERPWD):
            curl.unsetopt(option)
        seen = echo(curl, http_server)
        assert seen["method"] == "GET"
        assert header(seen, "X-One") is None and header(seen, "Cookie") is None
        assert header(seen, "Authorization") is None

    def test_unset_writefunction_writes_to_stdout(self, http_server, python_subprocess):
        proc = python_subprocess(f"""
            import tovrel
            c = tovrel.Curl()
            c.setopt(tovrel.URL, {http_server.url("/text?value=to-stdout")!r})
            c.setopt(tovrel.WRITEFUNCTION, lambda data: None)
            c.unsetopt(tovrel.WRITEFUNCTION)
            c.perform()
        """)
        assert proc.stdout == "to-stdout"

    def test_unset_writeheader_drops_the_header_callable(self, curl, http_server):
        headers = []
        curl.setopt(tovrel.HEADERFUNCTION, headers.append)
        curl.unsetopt(tovrel.WRITEHEADER)
        # later transfers still work, and the callable is gone
        echo(curl, http_server)
        echo(curl, http_server)
        assert headers == []

    @pytest.mark.parametrize("kept, dropped", [
        (tovrel.XFERINFOFUNCTION, tovrel.PROGRESSFUNCTION),
        (tovrel.PROGRESSFUNCTION, tovrel.XFERINFOFUNCTION),
    ])
    def test_progress_callbacks_share_their_data_pointer(self, curl, http_server, kept, dropped):
        calls = []
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            curl.setopt(kept, lambda *args: calls.append(args))
            curl.setopt(dropped, lambda *args: None)
        curl.setopt(tovrel.NOPROGRESS, 0)
        curl.unsetopt(dropped)
        fetch(curl, http_server.url("/bytes/100000"))
        assert calls


class TestPostfields:
    def test_binary_data_reaches_the_server(self, curl, http_server):
        curl.setopt(tovrel.POSTFIELDS, b"a\0b")
        seen = echo(curl, http_server)
        assert (seen["method"], seen["length"], seen["body"]) == ("POST", 3, "YQBi")

    def test_str_copy_is_kept_alive(self, curl, http_server):
        value = "".join(["posted ", "text"])
        curl.setopt(tovrel.POSTFIELDS, value)
        del value
        gc.collect()
        seen = echo(curl, http_server)
        assert seen["length"] == len("posted text")

    def test_bytes_object_itself_is_kept(self, curl):
        data = b"x" * 1000
        before = sys.getrefcount(data)
        curl.setopt(tovrel.POSTFIELDS, data)
        assert sys.getrefcount(data) == before + 1
        curl.setopt(tovrel.POSTFIELDS, b"other")
        assert sys.getrefcount(data) == before

    @pytest.mark.parametrize("option", [tovrel.POSTFIELDSIZE, 60])
    def test_size_beyond_the_data_is_refused(self, curl, http_server, option):
        curl.setopt(tovrel.POSTFIELDS, b"abc")
        with pytest.raises(ValueError, match="larger than the POSTFIELDS data"):
            curl.setopt(option, 4096)
        curl.setopt(option, 2)
        seen = echo(curl, http_server)
        assert seen["length"] == 2

    def test_copypostfields_never_reads_past_its_data(self, curl, http_server):
        curl.setopt(tovrel.POSTFIELDSIZE, 4096)
        with pytest.raises(ValueError, match="larger than the COPYPOSTFIELDS data"):
            curl.setopt(tovrel.COPYPOSTFIELDS, "abc")
        curl.setopt(tovrel.POSTFIELDSIZE, -1)
        curl.setopt(tovrel.COPYPOSTFIELDS, "abc")
        assert echo(curl, http_server)["length"] == 3

    def test_sizes_for_read_uploads_are_free(self, curl):
        curl.setopt(tovrel.POSTFIELDSIZE, 10 ** 9)


class TestLists:
    def test_list_outlives_the_callers_reference(self, curl, http_server):
        headers = [f"X-Item-{i}: {i}" for i in range(20)]
        curl.setopt(tovrel.HTTPHEADER, headers)
        del headers
        gc.collect()
        seen = echo(curl, http_server)
        assert header(seen, "X-Item-19") == "19"

    @pytest.mark.parametrize("bad", [[], ["X-New: 2", None]])
    def test_empty_or_failed_list_keeps_the_earlier_one(self, curl, http_server, bad):
        curl.setopt(tovrel.HTTPHEADER, ["X-Old: 1"])
        try:
            curl.setopt(tovrel.HTTPHEADER, bad)
        except TypeError:
            pass
        seen = echo(curl, http_server)
        assert header(seen, "X-Old") == "1" and header(seen, "X-New") is None

    def test_tuple_and_bytes_items(self, curl, http_server):
        curl.setopt(tovrel.HTTPHEADER, (b"X-Bytes: yes", "X-Text: yes"))
        seen = echo(curl, http_server)
        assert header(seen, "X-Bytes") == header(seen, "X-Text") == "yes"


class TestDeprecations:
    @pytest.mark.parametrize("option, value, message", [
        (tovrel.RANDOM_FILE, "x", "setopt option is deprecated"),
        (tovrel.PROGRESSFUNCTION, noop, "PROGRESSFUNCTION is deprecated; use XFERINFOFUNCTION"),
        (tovrel.IOCTLFUNCTION, noop, "IOCTLFUNCTION is deprecated; use SEEKFUNCTION"),
        (tovrel.HTTPPOST, [("a", "b")], "HTTPPOST is deprecated; use MIMEPOST"),
    ])
    def test_warns_then_works(self, curl, option, value, message):
        with pytest.warns(DeprecationWarning, match=f"^{message}$"):
            assert curl.setopt(option, value) is None

    def test_warning_as_error_changes_nothing(self, curl, http_server):
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            with pytest.raises(DeprecationWarning):
                curl.setopt(tovrel.PROGRESSFUNCTION, noop)
            with pytest.raises(DeprecationWarning):
                curl.setopt(tovrel.RANDOM_FILE, "x")
        # no progress callable was installed: a transfer with the meter on
        # runs without one
        curl.setopt(tovrel.NOPROGRESS, 0)
        echo(curl, http_server)


class TestMemoryviewFlag:
    def test_later_plain_setopt_turns_it_off(self, curl, http_server):
        kinds = []
        curl.setopt(tovrel.URL, http_server.url("/bytes/10"))
        curl.setopt(tovrel.WRITEFUNCTION, lambda d: kinds.append(type(d)), use_memoryview=True)
        curl.perform()
        curl.setopt(tovrel.WRITEFUNCTION, lambda d: kinds.append(type(d)))
        curl.perform()
        assert kinds == [memoryview, bytes]

    def test_file_objects_get_bytes(self, curl, http_server):
        body = io.BytesIO()
        curl.setopt(tovrel.URL, http_server.url("/bytes/10"))
        curl.setopt(tovrel.WRITEFUNCTION, print, use_memoryview=True)
        curl.setopt(tovrel.WRITEDATA, body)
        curl.perform()
        assert len(body.getvalue()) == 10
