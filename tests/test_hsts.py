"""The HSTS cache kept in Python: read and write callbacks."""

import datetime
import warnings

import pytest

import tovrel


@pytest.fixture
def hsts_curl(https_server, authority):
    """A handle with HSTS on, trusting the test CA, resolving localhost to 127.0.0.1."""
    c = tovrel.Curl()
    c.setopt(tovrel.HSTS_CTRL, tovrel.CURLHSTS_ENABLE)
    c.set_ca_certs(authority.pem)
    c.setopt(tovrel.RESOLVE, [f"localhost:{https_server.port}:127.0.0.1"])
    yield c
    c.close()


def entries_from(*entries):
    pending = list(entries)
    return lambda: pending.pop(0) if pending else None


def plain_url(https_server, path="/bytes/4"):
    # http:// to the TLS port: it only works once HSTS upgrades it
    return f"http://localhost:{https_server.port}{path}"


def future(hours=24, tz=datetime.timezone.utc):
    return (datetime.datetime.now(tz) + datetime.timedelta(hours=hours)).replace(microsecond=0)


class TestRead:
    @pytest.mark.parametrize("entry", [
        (b"localhost", None, False),
        ("localhost", None, True),
        pytest.param(tovrel.HstsEntry(b"localhost", future(), True), id="hsts-entry"),
        pytest.param(("localhost", future().replace(tzinfo=None), False), id="naive-expiry"),
    ])
    def test_preloaded_entry_upgrades_plain_http(self, hsts_curl, https_server, entry):
        hsts_curl.setopt(tovrel.HSTSREADFUNCTION, entries_from(entry))
        hsts_curl.setopt(tovrel.URL, plain_url(https_server))
        assert hsts_curl.perform_rb() == b"\x00\x01\x02\x03"
        assert hsts_curl.getinfo(tovrel.EFFECTIVE_URL).startswith("https://localhost:")

    def test_without_entries_plain_http_fails(self, hsts_curl, https_server):
        hsts_curl.setopt(tovrel.HSTSREADFUNCTION, entries_from())
        hsts_curl.setopt(tovrel.URL, plain_url(https_server))
        with pytest.raises(tovrel.error):
            hsts_curl.perform_rb()

    @pytest.mark.parametrize("entry, printed", [
        pytest.param(("localhost", None), "hstsread callback must return None or a 3-tuple "
                     "(host, expire, include_subdomains)", id="two-items"),
        pytest.param(["localhost", None, False], "hstsread callback must return None or a 3-tuple", id="list"),
        pytest.param((5, None, False), "TypeError", id="int-host"),
        pytest.param(("l\u00f6calhost", None, False), "UnicodeEncodeError", id="non-ascii"),
        pytest.param(("localhost", datetime.date(2099, 1, 1), False),
                     "hstsread callback: expire must be a datetime or None", id="date"),
        pytest.param(("localhost", "tomorrow", False), "hstsread callback: expire must be a datetime or None",
                     id="str-expiry"),
        pytest.param(("x" * 70000, None, False), "hstsread callback: host length 70000 exceeds libcurl maximum",
                     id="long-host"),
        # libcurl would take the host only up to the NUL
        pytest.param((b"localhost\x00.example", None, False), "ValueError: embedded null byte", id="nul-host"),
    ])
    def test_bad_entries_are_reported(self, hsts_curl, https_server, capfd, entry, printed):
        hsts_curl.setopt(tovrel.HSTSREADFUNCTION, entries_from(entry))
        hsts_curl.setopt(tovrel.URL, plain_url(https_server))
        with pytest.raises(tovrel.error):
            hsts_curl.perform_rb()
        assert printed in capfd.readouterr().err

    def test_duplicate_is_preloaded_too(self, hsts_curl, https_server, recwarn):
        hsts_curl.setopt(tovrel.HSTSREADFUNCTION, entries_from((b"localhost", None, False)))
        dup = hsts_curl.duphandle()
        dup.setopt(tovrel.URL, plain_url(https_server))
        assert dup.perform_rb() == b"\x00\x01\x02\x03"
        assert not [w for w in recwarn if "failed to acquire thread" in str(w.message)]
        dup.close()


class TestWrite:
    def saved(self, hsts_curl, https_server, result=None, max_age=86400):
        seen = []

        def write(entry, index):
            seen.append((entry, index))
            return result

        hsts_curl.setopt(tovrel.HSTSWRITEFUNCTION, write)
        hsts_curl.setopt(tovrel.URL, f"https://localhost:{https_server.port}/hsts?max_age={max_age}")
        hsts_curl.perform_rb()
        hsts_curl.close()  # the cache is saved when the handle goes
        return seen

    def test_entries_with_aware_expiry(self, hsts_curl, https_server):
        before = datetime.datetime.now(datetime.timezone.utc)
        (entry, index), = self.saved(hsts_curl, https_server)
        assert isinstance(entry, tovrel.HstsEntry) and isinstance(index, tovrel.HstsIndex)
        assert entry.host == b"localhost" and entry.include_subdomains is True
        assert entry.expire.utcoffset() == datetime.timedelta(0)
        expected = before + datetime.timedelta(seconds=86400)
        assert abs((entry.expire - expected).total_seconds()) < 120
        assert (index.idx, index.total) == (0, 1)

    def test_round_trip_keeps_the_utc_time(self, hsts_curl, https_server):
        plus_two = datetime.timezone(datetime.timedelta(hours=2))
        expire = datetime.datetime(2099, 5, 1, 12, 0, 0, tzinfo=plus_two)
        seen = []
        hsts_curl.setopt(tovrel.HSTSREADFUNCTION, entries_from(("localhost", expire, False)))
        hsts_curl.setopt(tovrel.HSTSWRITEFUNCTION, lambda entry, index: seen.append(entry))
        hsts_curl.setopt(tovrel.URL, plain_url(https_server))
        hsts_curl.perform_rb()
        hsts_curl.close()
        assert seen[0].expire == datetime.datetime(2099, 5, 1, 10, 0, 0, tzinfo=datetime.timezone.utc)

    def test_naive_expiry_is_taken_as_utc(self, hsts_curl, https_server):
        seen = []
        naive = datetime.datetime(2099, 5, 1, 12, 0, 0)
        hsts_curl.setopt(tovrel.HSTSREADFUNCTION, entries_from(("localhost", naive, False)))
        hsts_curl.setopt(tovrel.HSTSWRITEFUNCTION, lambda entry, index: seen.append(entry))
        hsts_curl.setopt(tovrel.URL, plain_url(https_server))
        hsts_curl.perform_rb()
        hsts_curl.close()
        assert seen[0].expire == naive.replace(tzinfo=datetime.timezone.utc)

    def test_never_expiring_entry(self, hsts_curl, https_server):
        seen = []
        hsts_curl.setopt(tovrel.HSTSREADFUNCTION, entries_from(("localhost", None, False)))
        hsts_curl.setopt(tovrel.HSTSWRITEFUNCTION, lambda entry, index: seen.append(entry))
        hsts_curl.setopt(tovrel.URL, plain_url(https_server))
        hsts_curl.perform_rb()
        hsts_curl.close()
        assert seen[0].expire is None

    @pytest.mark.parametrize("result, printed", [
        (tovrel.CURLSTS_OK, None),
        (tovrel.CURLSTS_DONE, None),
        (3, "hstswrite callback returned an invalid CURLSTScode"),
        ("ok", "hstswrite callback returned 'ok' which is not an integer"),
    ])
    def test_results(self, hsts_curl, https_server, capfd, result, printed):
        self.saved(hsts_curl, https_server, result)
        err = capfd.readouterr().err
        if printed:
            assert printed in err
        else:
            assert err == ""
