"""The module as a whole: what it publishes, its functions, its exception."""

import sys

import pytest

import tovrel
from tovrel import _tovrel

FUNCTIONS = {
    "global_init", "global_cleanup", "version_info",
    "easy_strerror", "multi_strerror", "share_strerror", "url_strerror",
}
NAMED_TUPLES = {
    "KhKey": ("key", "keytype"),
    "CurlSockAddr": ("family", "socktype", "protocol", "addr"),
    "HstsEntry": ("host", "expire", "include_subdomains"),
    "HstsIndex": ("idx", "total"),
    "WsFrame": ("age", "flags", "offset", "bytesleft", "len"),
}
TYPES = ("Curl", "CurlMulti", "CurlShare", "CurlMime", "CurlMimePart")


def table_names():
    """The names the constant table publishes (metadata rows included)."""
    skip = FUNCTIONS | set(NAMED_TUPLES) | {"error"}
    return [name for name in vars(_tovrel) if not name.startswith("_") and name not in skip]


def integer_rows():
    return [name for name in table_names()
            if isinstance(getattr(_tovrel, name), int) and not name.startswith("COMPILE_")]


class TestPublishedNames:
    def test_table_has_724_rows(self):
        assert len(table_names()) == 724
        assert len(integer_rows()) == 715

    def test_package_reexports_the_core(self):
        public = {name for name in vars(_tovrel) if not name.startswith("_")}
        assert public <= set(vars(tovrel))
        assert set(tovrel.__all__) == public

    @pytest.mark.parametrize("name", TYPES)
    def test_types_report_the_package_as_module(self, name):
        cls = getattr(tovrel, name)
        assert cls.__module__ == "tovrel"
        assert cls.__qualname__ == name

    def test_holder_types_are_not_published(self):
        assert not hasattr(tovrel, "CurlSlist")
        assert not hasattr(tovrel, "CurlHttppost")

    def test_each_constant_is_visible_on_at_most_one_instance_type(self):
        instances = {"Curl": tovrel.Curl(), "CurlMulti": tovrel.CurlMulti(),
                     "CurlShare": tovrel.CurlShare()}
        seen = {kind: [] for kind in instances}
        module_only = []
        for name in integer_rows():
            holders = [kind for kind, obj in instances.items() if hasattr(obj, name)]
            assert len(holders) <= 1, (name, holders)
            for kind in holders:
                assert getattr(instances[kind], name) == getattr(tovrel, name)
                seen[kind].append(name)
            if not holders:
                module_only.append(name)
        assert (len(seen["Curl"]), len(seen["CurlMulti"]), len(seen["CurlShare"])) == (625, 29, 7)
        assert len(module_only) == 54

    @pytest.mark.parametrize("kind, present, absent", [
        ("Curl", "URL", "GLOBAL_ALL"),
        ("Curl", "E_AGAIN", "M_PIPELINING"),
        ("CurlMulti", "M_PIPELINING", "URL"),
        ("CurlMulti", "E_MULTI_OK", "LOCK_DATA_DNS"),
        ("CurlShare", "LOCK_DATA_DNS", "URL"),
        ("CurlShare", "SH_SHARE", "POLL_IN"),
    ])
    def test_instance_constant_visibility(self, kind, present, absent):
        obj = getattr(tovrel, kind)()
        assert getattr(obj, present) == getattr(tovrel, present)
        with pytest.raises(AttributeError, match=f"^trying to obtain a non-existing attribute: {absent}$"):
            getattr(obj, absent)

    def test_mime_objects_expose_no_constants(self):
        assert not hasattr(tovrel.CurlMime, "URL")


# Values the module fixes itself, whatever libcurl's headers say.
FIXED_VALUES = [
    ("INFILESIZE", 30115), ("INFILESIZE_LARGE", 30115),
    ("RESUME_FROM", 30116), ("RESUME_FROM_LARGE", 30116),
    ("POSTFIELDSIZE", 30120), ("POSTFIELDSIZE_LARGE", 30120),
    ("MAXFILESIZE", 30117), ("MAXFILESIZE_LARGE", 30117),
    ("HTTPAUTH_ANY", 4294967279), ("HTTPAUTH_ANYSAFE", 4294967278), ("HTTPAUTH_ONLY", 2147483648),
    ("PROTO_ALL", 4294967295), ("SSH_AUTH_ANY", 4294967295), ("SSH_AUTH_DEFAULT", 4294967295),
    ("READFUNC_ABORT", 0x10000000), ("READFUNC_PAUSE", 0x10000001), ("WRITEFUNC_PAUSE", 0x10000001),
    ("PAUSE_RECV", 1), ("PAUSE_SEND", 4), ("PAUSE_ALL", 5), ("PAUSE_CONT", 0),
    ("FORM_CONTENTS", 4), ("FORM_FILE", 10), ("FORM_BUFFER", 11), ("FORM_BUFFERPTR", 12),
    ("FORM_CONTENTTYPE", 14), ("FORM_FILENAME", 16),
    ("WS_TEXT", 1), ("WS_BINARY", 2), ("WS_CONT", 4), ("WS_CLOSE", 8), ("WS_PING", 16),
    ("WS_OFFSET", 32), ("WS_PONG", 64), ("WS_RAW_MODE", 1), ("WS_NOAUTOPONG", 2),
    ("M_NOTIFYFUNCTION", 20018), ("M_NOTIFY_INFO_READ", 0), ("M_NOTIFY_EASY_DONE", 1),
    ("E_CALL_MULTI_PERFORM", -1), ("E_MULTI_CALL_MULTI_PERFORM", -1), ("E_MULTI_CALL_MULTI_SOCKET", -1),
    ("E_ALREADY_COMPLETE", 99999), ("E_OPERATION_TIMEOUTED", 28), ("E_FTP_ACCEPT_TIMEOUT", 12),
    ("E_HTTP2", 16), ("E_NOT_BUILT_IN", 4), ("E_SSL_PEER_CERTIFICATE", 60),
    ("HTTP_CODE", 2097154), ("RESPONSE_CODE", 2097154), ("INFO_FILETIME", 2097166),
    ("INFO_COOKIELIST", 4194332), ("ACTIVESOCKET", 5242924), ("QUEUE_TIME_T", 6291521),
    ("EARLYDATA_SENT_T", 6291524), ("INFO_RTSP_SESSION_ID", 1048612),
    ("FILE", 10001), ("WRITEDATA", 10001), ("INFILE", 10009), ("READDATA", 10009),
    ("KEYPASSWD", 10026), ("SSLCERTPASSWD", 10026), ("SSLKEYPASSWD", 10026),
    ("ENCODING", 10102), ("ACCEPT_ENCODING", 10102), ("COOKIELIST", 10135), ("OPT_COOKIELIST", 10135),
    ("USE_SSL", 119), ("FTP_SSL", 119), ("POST301", 161), ("POSTREDIR", 161),
    ("OPT_FILETIME", 69), ("OPT_CERTINFO", 172), ("OPT_RTSP_REQUEST", 189),
    ("GSSAPI_DELEGATION", 210), ("TCP_FASTOPEN", 244), ("MAXLIFETIME_CONN", 314),
    ("PREREQFUNCTION", 20312), ("WS_OPTIONS", 320), ("HAPROXY_CLIENT_IP", 10323), ("ECH", 10325),
    ("CURL_HTTP_VERSION_2_0", 3), ("CURL_HTTP_VERSION_2", 3), ("CURL_HTTP_VERSION_3", 30),
    ("CURL_HTTP_VERSION_3ONLY", 31), ("CURL_HTTP_VERSION_LAST", 32),
    ("GLOBAL_ALL", 3), ("GLOBAL_DEFAULT", 3), ("HTTPAUTH_GSSNEGOTIATE", 4), ("HTTPAUTH_NEGOTIATE", 4),
    ("REDIR_POST_ALL", 7), ("KHTYPE_UNKNOWN", 0), ("KHTYPE_DSS", 3),
    ("VERSION_HTTPS_PROXY", 2097152), ("CURL_VERSION_HTTPS_PROXY", 2097152),
    ("VERSION_HSTS", 268435456), ("CURL_VERSION_HSTS", 268435456),
    ("VERSION_GSASL", 536870912), ("CURL_VERSION_GSASL", 536870912),
    ("SOCKET_BAD", -1), ("SOCKET_TIMEOUT", -1),
]

# Values taken from libcurl under the naming rule.
RULE_VALUES = [
    ("URL", 10002), ("WRITEFUNCTION", 20011), ("VERBOSE", 41), ("HSTS", 10300),
    ("EFFECTIVE_URL", 1048577), ("E_MULTI_OK", 0), ("E_MULTI_ADDED_ALREADY", 7),
    ("LOCK_DATA_COOKIE", 2), ("LOCK_DATA_DNS", 3), ("LOCK_DATA_PSL", 6), ("SH_SHARE", 1),
    ("INFOTYPE_TEXT", 0), ("INFOTYPE_SSL_DATA_OUT", 6), ("POLL_REMOVE", 4), ("CSELECT_ERR", 4),
    ("M_SOCKETFUNCTION", 20001), ("PIPE_MULTIPLEX", 2), ("CURLHSTS_ENABLE", 1),
]


@pytest.mark.parametrize("name, value", FIXED_VALUES + RULE_VALUES)
def test_constant_value(name, value):
    assert getattr(tovrel, name) == value
    assert type(getattr(tovrel, name)) is int


class TestMetadata:
    def test_version_is_the_default_user_agent(self):
        prefix = "Tovrel/7.47.0 "
        assert tovrel.version.startswith(prefix)
        assert tovrel.version[len(prefix):].startswith("libcurl/" + tovrel.version_info()[1])

    def test_compile_time_values(self):
        # The headers the core was built with are this interpreter's own.
        assert tovrel.COMPILE_PY_VERSION_HEX == sys.hexversion
        assert tovrel.COMPILE_LIBCURL_VERSION_NUM == 0x081500
        assert tovrel.COMPILE_SSL_LIB == "openssl"

    @pytest.mark.parametrize("name, fields", NAMED_TUPLES.items())
    def test_named_tuples(self, name, fields):
        cls = getattr(tovrel, name)
        assert cls._fields == fields
        assert cls.__module__ == "tovrel"
        value = cls(*range(len(fields)))
        assert tuple(value) == tuple(range(len(fields)))

    def test_khkey_by_keyword(self):
        key = tovrel.KhKey(key=b"k", keytype=1)
        assert (key.key, key.keytype) == (b"k", 1)


class TestError:
    def test_shape(self):
        assert tovrel.error.__bases__ == (Exception,)
        assert tovrel.error.__name__ == "error"
        assert tovrel.error.__module__ == "tovrel"

    def test_state_refusal_carries_one_message(self):
        c = tovrel.Curl()
        c.close()
        with pytest.raises(tovrel.error) as info:
            c.reset()
        assert info.value.args == ("cannot invoke reset() - no curl handle",)


class TestVersionInfo:
    def test_default(self):
        info = tovrel.version_info()
        assert len(info) == 12
        age, version, version_num, host, features, ssl_version = info[:6]
        assert age >= 11
        assert version_num >= 0x081500
        assert version.startswith("8.")
        assert isinstance(host, str) and isinstance(features, int)
        assert ssl_version.startswith("OpenSSL/")
        protocols = info[8]
        assert isinstance(protocols, tuple)
        assert {"http", "https", "ftp", "ws"} <= set(protocols)
        assert all(isinstance(p, str) and p == p.lstrip(" \t") for p in protocols)
        assert features & tovrel.VERSION_SSL and features & tovrel.VERSION_HSTS

    def test_unset_members_are_none(self):
        info = tovrel.version_info()
        # this libcurl resolves with threads, not c-ares
        assert info[9] is None
        assert info[10] == 0

    def test_explicit_age(self):
        assert tovrel.version_info(0)[1] == tovrel.version_info()[1]

    @pytest.mark.parametrize("args, error", [
        (("x",), TypeError),
        ((1, 2), TypeError),
        ((2 ** 40,), OverflowError),
    ])
    def test_argument_errors(self, args, error):
        with pytest.raises(error):
            tovrel.version_info(*args)


class TestStrerror:
    @pytest.mark.parametrize("function, code, text", [
        (tovrel.easy_strerror, 0, "No error"),
        (tovrel.easy_strerror, tovrel.E_COULDNT_CONNECT, "Could not connect to server"),
        (tovrel.easy_strerror, 99999, "Unknown error"),
        (tovrel.easy_strerror, -1, "Unknown error"),
        (tovrel.multi_strerror, 0, "No error"),
        (tovrel.multi_strerror, tovrel.E_MULTI_BAD_HANDLE, "Invalid multi handle"),
        (tovrel.multi_strerror, 99999, "Unknown error"),
        (tovrel.share_strerror, 0, "No error"),
        (tovrel.share_strerror, 99999, "CURLSHcode unknown"),
        (tovrel.url_strerror, 0, "No error"),
        (tovrel.url_strerror, 99999, "CURLUcode unknown"),
    ])
    def test_texts(self, function, code, text):
        assert function(code) == text

    @pytest.mark.parametrize("name", ["easy_strerror", "multi_strerror", "share_strerror", "url_strerror"])
    @pytest.mark.parametrize("args, error, message", [
        ((), TypeError, r"{name}\(\) takes exactly 1 argument"),
        ((1, 2), TypeError, r"{name}\(\) takes exactly 1 argument"),
        (("1",), TypeError, "cannot be interpreted as an integer"),
        ((1.0,), TypeError, "cannot be interpreted as an integer"),
        ((2 ** 31,), OverflowError, "greater than maximum"),
    ])
    def test_argument_errors(self, name, args, error, message):
        with pytest.raises(error, match=message.format(name=name)):
            getattr(tovrel, name)(*args)


class TestGlobalInit:
    # libcurl's global state is process-wide: exercise it in a child.
    def test_valid_options_reach_libcurl(self, python_subprocess):
        python_subprocess("""
            import tovrel
            for option in range(8):
                assert tovrel.global_init(option) is None
                assert tovrel.global_cleanup() is None
            c = tovrel.Curl()
            c.close()
        """)

    def test_cleanup_without_init(self, python_subprocess):
        python_subprocess("""
            import tovrel
            assert tovrel.global_cleanup() is None
        """)

    @pytest.mark.parametrize("option", [8, -1, 2 ** 31 - 1])
    def test_invalid_option(self, option):
        with pytest.raises(ValueError, match="^invalid option to global_init$"):
            tovrel.global_init(option)

    @pytest.mark.parametrize("call", [
        lambda: tovrel.global_init(),
        lambda: tovrel.global_init("3"),
        lambda: tovrel.global_cleanup(1),
    ])
    def test_argument_errors(self, call):
        with pytest.raises(TypeError):
            call()
