"""TLS: CA certificates from memory with set_ca_certs, certificate info."""

import gc

import pytest

import tovrel
from certs import Authority
from servers import pattern_bytes


def fetch(curl, url):
    curl.setopt(tovrel.URL, url)
    return curl.perform_rb()


def fails_verification(curl, url):
    curl.setopt(tovrel.URL, url)
    with pytest.raises(tovrel.error) as info:
        curl.perform_rb()
    return info.value.args[0] == tovrel.E_PEER_FAILED_VERIFICATION


@pytest.fixture(scope="module")
def other_authority():
    """A second CA that has signed nothing the servers use."""
    return Authority("unrelated CA")


class TestSetCaCerts:
    def test_fails_without_and_succeeds_with_the_ca(self, curl, https_server, authority):
        assert fails_verification(curl, https_server.url("/bytes/10"))
        curl.set_ca_certs(authority.pem)
        assert fetch(curl, https_server.url("/bytes/10")) == pattern_bytes(10)

    def test_str_and_text_around_the_certificates(self, curl, https_server, authority, other_authority):
        data = "leading text\n" + other_authority.pem.decode() + authority.pem.decode() + "trailing text\n"
        curl.set_ca_certs(data)
        assert fetch(curl, https_server.url("/bytes/10")) == pattern_bytes(10)

    def test_bytes_object_is_kept_and_survives_the_caller(self, curl, https_server, authority):
        data = bytes(authority.pem)
        curl.set_ca_certs(data)
        del data
        gc.collect()
        assert fetch(curl, https_server.url("/bytes/10")) == pattern_bytes(10)

    def test_carried_over_to_a_duplicate(self, curl, https_server, authority):
        curl.set_ca_certs(authority.pem)
        dup = curl.duphandle()
        curl.close()
        assert fetch(dup, https_server.url("/bytes/10")) == pattern_bytes(10)
        dup.close()

    @pytest.mark.parametrize("data, printed", [
        pytest.param(b"not a certificate at all", "tovrel.error: no start line", id="no-pem"),
        pytest.param(b"", "ValueError: Empty certificate data", id="empty"),
        pytest.param("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n", "tovrel.error: ",
                     id="broken-pem"),
    ])
    def test_bad_pem_fails_the_connection(self, curl, https_server, capfd, data, printed):
        curl.set_ca_certs(data)
        curl.setopt(tovrel.URL, https_server.url("/bytes/10"))
        with pytest.raises(tovrel.error):
            curl.perform_rb()
        assert printed in capfd.readouterr().err
        # still usable
        curl.set_ca_certs(https_server.authority.pem)
        assert fetch(curl, https_server.url("/bytes/10")) == pattern_bytes(10)

    @pytest.mark.parametrize("value", [5, None, ["pem"], "non-ascii \u00e4", bytearray(b"pem")])
    def test_argument_type(self, curl, value):
        with pytest.raises(TypeError) as info:
            curl.set_ca_certs(value)
        assert info.value.args == (
            "set_ca_certs argument must be a byte string or a Unicode string with ASCII code points only",)

    def test_argument_count_names_cadata(self, curl):
        with pytest.raises(TypeError, match="cadata"):
            curl.set_ca_certs()

    def test_closed_handle(self, authority):
        c = tovrel.Curl()
        c.close()
        with pytest.raises(tovrel.error) as info:
            c.set_ca_certs(authority.pem)
        assert info.value.args[0] == tovrel.E_BAD_FUNCTION_ARGUMENT


class TestTrustScope:
    """The CA is trusted by its own handle's transfers, while it is set."""

    def test_other_handle_without_the_ca(self, curl, https_server, authority):
        curl.set_ca_certs(authority.pem)
        assert fetch(curl, https_server.url("/bytes/10"))
        other = tovrel.Curl()
        assert fails_verification(other, https_server.url("/bytes/10"))
        other.close()

    def test_other_handle_on_a_shared_connection_pool(self, curl, https_server, authority):
        share = tovrel.CurlShare()
        share.share(tovrel.LOCK_DATA_CONNECT, tovrel.LOCK_DATA_SSL_SESSION, tovrel.LOCK_DATA_DNS)
        curl.setopt(tovrel.SHARE, share)
        curl.set_ca_certs(authority.pem)
        assert fetch(curl, https_server.url("/bytes/10"))
        other = tovrel.Curl()
        other.setopt(tovrel.SHARE, share)
        assert fails_verification(other, https_server.url("/bytes/10"))
        other.close()

    def test_reset_takes_the_ca_away(self, curl, https_server, authority):
        curl.set_ca_certs(authority.pem)
        assert fetch(curl, https_server.url("/bytes/10"))
        curl.reset()
        assert fails_verification(curl, https_server.url("/bytes/10"))

    def test_replacement_takes_the_old_ca_away(self, curl, https_server, authority, other_authority):
        curl.set_ca_certs(authority.pem)
        assert fetch(curl, https_server.url("/bytes/10"))
        curl.set_ca_certs(other_authority.pem)
        assert fails_verification(curl, https_server.url("/bytes/10"))


class TestCertinfo:
    def test_chain_as_str_and_bytes(self, curl, https_server, authority):
        curl.set_ca_certs(authority.pem)
        curl.setopt(tovrel.OPT_CERTINFO, 1)
        fetch(curl, https_server.url("/bytes/1"))
        chain = curl.getinfo(tovrel.INFO_CERTINFO)
        assert len(chain) >= 1
        leaf = dict(entry for entry in chain[0] if isinstance(entry, tuple))
        assert "CN = localhost" in leaf["Subject"]
        assert "CN = tovrel test CA" in leaf["Issuer"]
        assert all(isinstance(k, str) and isinstance(v, str) for k, v in leaf.items())
        raw = curl.getinfo_raw(tovrel.INFO_CERTINFO)
        raw_leaf = dict(entry for entry in raw[0] if isinstance(entry, tuple))
        assert raw_leaf[b"Subject"] == leaf["Subject"].encode()

    def test_unset_option_restores_the_default(self, curl):
        curl.setopt(tovrel.OPT_CERTINFO, 1)
        curl.unsetopt(tovrel.OPT_CERTINFO)
