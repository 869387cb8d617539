"""getinfo, getinfo_raw, errstr and the body helpers perform_rb/perform_rs."""

import warnings

import pytest

import tovrel
from servers import pattern_bytes


@pytest.fixture
def fetched(curl, http_server):
    """A handle after a redirected GET of 1234 bytes that set a cookie."""
    curl.setopt(tovrel.URL, http_server.url("/redirect?to=/bytes/1234"))
    curl.setopt(tovrel.FOLLOWLOCATION, 1)
    curl.setopt(tovrel.COOKIEFILE, "")
    curl.setopt(tovrel.WRITEFUNCTION, lambda data: None)
    curl.perform()
    return curl


def test_long_results(fetched, http_server):
    assert fetched.getinfo(tovrel.RESPONSE_CODE) == 200
    assert fetched.getinfo(tovrel.HTTP_CODE) == 200
    assert fetched.getinfo(tovrel.REDIRECT_COUNT) == 1
    assert fetched.getinfo(tovrel.PRIMARY_PORT) == http_server.port
    assert fetched.getinfo(tovrel.LOCAL_PORT) > 0
    assert fetched.getinfo(tovrel.HEADER_SIZE) > 0
    assert fetched.getinfo(tovrel.NUM_CONNECTS) == 1  # one connection, reused for the redirect
    assert fetched.getinfo(tovrel.INFO_HTTP_VERSION) == tovrel.CURL_HTTP_VERSION_1_1
    assert fetched.getinfo(tovrel.OS_ERRNO) == 0


@pytest.mark.parametrize("info", [tovrel.TOTAL_TIME, tovrel.NAMELOOKUP_TIME, tovrel.CONNECT_TIME,
                                  tovrel.PRETRANSFER_TIME, tovrel.STARTTRANSFER_TIME, tovrel.REDIRECT_TIME,
                                  tovrel.APPCONNECT_TIME])
def test_times_are_floats(fetched, info):
    value = fetched.getinfo(info)
    assert type(value) is float and value >= 0


@pytest.mark.parametrize("info", [tovrel.TOTAL_TIME_T, tovrel.CONNECT_TIME_T, tovrel.STARTTRANSFER_TIME_T,
                                  tovrel.QUEUE_TIME_T, tovrel.POSTTRANSFER_TIME_T, tovrel.EARLYDATA_SENT_T])
def test_microsecond_times_are_ints(fetched, info):
    value = fetched.getinfo(info)
    assert type(value) is int and value >= 0


def test_sizes(fetched):
    assert fetched.getinfo(tovrel.SIZE_DOWNLOAD_T) == 1234
    assert fetched.getinfo(tovrel.CONTENT_LENGTH_DOWNLOAD_T) == 1234
    assert fetched.getinfo(tovrel.SIZE_UPLOAD_T) == 0
    with pytest.warns(DeprecationWarning, match="^getinfo option is deprecated$"):
        assert fetched.getinfo(tovrel.SIZE_DOWNLOAD) == 1234.0


def test_deprecated_info_as_error(fetched):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            fetched.getinfo(tovrel.SPEED_DOWNLOAD)


def test_text_twins(fetched, http_server):
    assert fetched.getinfo(tovrel.EFFECTIVE_URL) == http_server.url("/bytes/1234")
    assert fetched.getinfo_raw(tovrel.EFFECTIVE_URL) == http_server.url("/bytes/1234").encode()
    assert fetched.getinfo(tovrel.CONTENT_TYPE) == "application/octet-stream"
    assert fetched.getinfo_raw(tovrel.CONTENT_TYPE) == b"application/octet-stream"
    assert fetched.getinfo(tovrel.PRIMARY_IP) == "127.0.0.1"
    assert fetched.getinfo(tovrel.LOCAL_IP) == "127.0.0.1"
    assert fetched.getinfo(tovrel.EFFECTIVE_METHOD) == "GET"
    assert fetched.getinfo(tovrel.REDIRECT_URL) is None
    assert fetched.getinfo_raw(tovrel.REDIRECT_URL) is None


def test_redirect_url_without_following(curl, http_server):
    curl.setopt(tovrel.URL, http_server.url("/redirect?to=/bytes/5"))
    assert curl.perform_rb() == b""
    assert curl.getinfo(tovrel.REDIRECT_URL) == http_server.url("/bytes/5")
    assert curl.getinfo(tovrel.RESPONSE_CODE) == 302


def test_cookie_lists(curl, http_server):
    curl.setopt(tovrel.COOKIEFILE, "")
    assert curl.getinfo(tovrel.INFO_COOKIELIST) == []
    curl.setopt(tovrel.URL, http_server.url("/cookies?flavour=oat&size=large"))
    curl.perform_rb()
    cookies = curl.getinfo(tovrel.INFO_COOKIELIST)
    assert sorted(line.split("\t")[-2:] for line in cookies) == [["flavour", "oat"], ["size", "large"]]
    assert all(type(line) is str for line in cookies)
    raw = curl.getinfo_raw(tovrel.INFO_COOKIELIST)
    assert [line.decode() for line in raw] == cookies


def test_sockets(curl, http_server):
    assert curl.getinfo(tovrel.ACTIVESOCKET) == curl.getinfo(tovrel.LASTSOCKET) == -1
    curl.setopt(tovrel.URL, http_server.url("/"))
    curl.setopt(tovrel.CONNECT_ONLY, 1)
    curl.perform()
    sock = curl.getinfo(tovrel.ACTIVESOCKET)
    assert sock > 2 and curl.getinfo(tovrel.LASTSOCKET) == sock


def test_certificates_need_the_option(curl):
    assert curl.getinfo(tovrel.INFO_CERTINFO) == []
    assert curl.getinfo_raw(tovrel.INFO_CERTINFO) == []


@pytest.mark.parametrize("info", [0, 1, 2 ** 31 - 1, -1, 0x100000 + 21])  # ... + 21 is CURLINFO_PRIVATE
@pytest.mark.parametrize("method", ["getinfo", "getinfo_raw"])
def test_unknown_info_codes(curl, method, info):
    with pytest.raises(ValueError, match="^invalid argument to getinfo$"):
        getattr(curl, method)(info)


@pytest.mark.parametrize("call", [
    lambda c: c.getinfo(tovrel.RESPONSE_CODE), lambda c: c.getinfo_raw(tovrel.EFFECTIVE_URL),
    lambda c: c.getinfo(tovrel.INFO_CERTINFO), lambda c: c.getinfo(0),
])
def test_closed_handle(call):
    c = tovrel.Curl()
    c.close()
    with pytest.raises(tovrel.error) as info:
        call(c)
    assert info.value.args == ("cannot invoke getinfo() - no curl handle",)


def test_refused_inside_a_callback(curl, http_server):
    seen = []

    def write(data):
        for call in (lambda: curl.getinfo(tovrel.RESPONSE_CODE), curl.errstr):
            try:
                call()
            except tovrel.error as exc:
                seen.append(exc.args[0])

    curl.setopt(tovrel.URL, http_server.url("/bytes/10"))
    curl.setopt(tovrel.WRITEFUNCTION, write)
    curl.perform()
    assert seen == ["cannot invoke getinfo() - perform() is currently running",
                    "cannot invoke errstr() - perform() is currently running"]


class TestErrstr:
    def test_fresh_and_after_success(self, curl, http_server):
        assert curl.errstr() == "" and curl.errstr_raw() == b""
        curl.setopt(tovrel.URL, http_server.url("/bytes/5"))
        curl.perform_rb()
        assert curl.errstr() == ""

    def test_after_failure(self, curl):
        curl.setopt(tovrel.URL, "http://127.0.0.1:1/")
        with pytest.raises(tovrel.error) as info:
            curl.perform()
        assert curl.errstr() == info.value.args[1]
        assert curl.errstr_raw() == info.value.args[1].encode()

    def test_later_success_clears_it(self, curl, http_server):
        curl.setopt(tovrel.URL, "http://127.0.0.1:1/")
        with pytest.raises(tovrel.error):
            curl.perform()
        curl.setopt(tovrel.URL, http_server.url("/bytes/5"))
        curl.perform_rb()
        assert curl.errstr() == ""

    def test_undecodable_text(self, curl):
        curl.setopt(tovrel.URL, "http://example.invalid/")
        curl.setopt(tovrel.RESOLVE, [b"example.invalid:80:\xff"])
        with pytest.raises(tovrel.error):
            curl.perform()
        assert b"\xff" in curl.errstr_raw()
        with pytest.raises(UnicodeDecodeError):
            curl.errstr()

    def test_failed_option_keeps_the_transfer_message(self, curl):
        curl.setopt(tovrel.URL, "http://127.0.0.1:1/")
        with pytest.raises(tovrel.error) as info:
            curl.perform()
        with pytest.raises(tovrel.error):
            curl.setopt(tovrel.HTTP_VERSION, 99)
        assert curl.errstr() == info.value.args[1]

    def test_closed(self):
        c = tovrel.Curl()
        c.close()
        for call in (c.errstr, c.errstr_raw):
            with pytest.raises(tovrel.error) as info:
                call()
            assert info.value.args == ("cannot invoke errstr() - no curl handle",)


class TestBodyHelpers:
    def test_binary_body(self, curl, http_server):
        curl.setopt(tovrel.URL, http_server.url("/bytes/100000"))
        assert curl.perform_rb() == pattern_bytes(100000)
        assert curl.getinfo(tovrel.SIZE_DOWNLOAD_T) == 100000
        curl.setopt(tovrel.URL, http_server.url("/bytes/7"))
        assert curl.perform_rb() == pattern_bytes(7)

    def test_text_body(self, curl, http_server):
        curl.setopt(tovrel.URL, http_server.url("/text?value=gr%C3%BC%C3%9Fe%20%E2%9C%93"))
        assert curl.perform_rs() == "grüße ✓"

    def test_invalid_utf8_after_a_successful_transfer(self, curl, http_server):
        curl.setopt(tovrel.URL, http_server.url("/bytes/300"))
        with pytest.raises(UnicodeDecodeError):
            curl.perform_rs()
        assert curl.getinfo(tovrel.RESPONSE_CODE) == 200

    def test_the_writer_stays_installed(self, curl, http_server):
        got = []
        curl.setopt(tovrel.URL, http_server.url("/bytes/3"))
        curl.perform_rb()
        curl.perform()  # into the helper's BytesIO, nowhere visible
        curl.setopt(tovrel.WRITEFUNCTION, got.append)
        curl.perform()
        assert b"".join(got) == pattern_bytes(3)

    @pytest.mark.parametrize("method", ["perform_rb", "perform_rs"])
    def test_closed(self, method):
        c = tovrel.Curl()
        c.close()
        with pytest.raises(tovrel.error) as info:
            getattr(c, method)()
        assert info.value.args == ("cannot invoke setopt() - no curl handle",)

    def test_failure_propagates(self, curl):
        curl.setopt(tovrel.URL, "http://127.0.0.1:1/")
        with pytest.raises(tovrel.error) as info:
            curl.perform_rb()
        assert info.value.args[0] == tovrel.E_COULDNT_CONNECT


def test_before_any_transfer(curl):
    assert curl.getinfo(tovrel.RESPONSE_CODE) == 0
    assert curl.getinfo(tovrel.EFFECTIVE_URL) == ""  # libcurl's answer before any URL
    assert curl.getinfo(tovrel.CONTENT_TYPE) is None
    assert curl.getinfo(tovrel.TOTAL_TIME) == 0.0
    assert curl.getinfo(tovrel.SIZE_DOWNLOAD_T) == 0
    engines = curl.getinfo(tovrel.SSL_ENGINES)
    assert isinstance(engines, list) and all(isinstance(e, str) for e in engines)
