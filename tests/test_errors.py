"""How libcurl failures become tovrel.error."""

import pytest

import tovrel


def failing_perform(curl, **options):
    for name, value in options.items():
        curl.setopt(getattr(tovrel, name), value)
    with pytest.raises(tovrel.error) as info:
        curl.perform()
    return info.value.args


def test_code_and_buffer_text(curl):
    code, message = failing_perform(curl, URL="http://127.0.0.1:1/")
    assert code == tovrel.E_COULDNT_CONNECT
    assert message.startswith("Failed to connect to 127.0.0.1")


def test_code_without_buffer_text_uses_libcurls_text(curl):
    with pytest.raises(tovrel.error) as info:
        curl.setopt(tovrel.HTTP_VERSION, 99)
    code, message = info.value.args
    assert message == tovrel.easy_strerror(code)


def test_undecodable_buffer_text_is_replaced(curl):
    code, message = failing_perform(curl, URL="http://example.invalid/", RESOLVE=[b"example.invalid:80:\xff\xfe"])
    assert code == tovrel.E_TELNET_OPTION_SYNTAX  # libcurl's code for a bad RESOLVE entry
    assert message == "Could not parse CURLOPT_RESOLVE entry 'example.invalid:80:\ufffd\ufffd'"


def test_earlier_text_never_explains_a_later_failure(curl):
    failing_perform(curl, URL="http://127.0.0.1:1/")
    with pytest.raises(tovrel.error) as info:
        curl.setopt(tovrel.HTTP_VERSION, 99)
    code, message = info.value.args
    assert message == tovrel.easy_strerror(code)
    assert "Failed to connect" not in message


def test_each_transfer_reports_its_own_failure(curl, http_server):
    failing_perform(curl, URL="http://127.0.0.1:1/")
    code, message = failing_perform(curl, URL=http_server.url("/bytes/100"), WRITEFUNCTION=lambda data: 0)
    assert code == tovrel.E_WRITE_ERROR
    assert "Failed to connect" not in message


def test_exception_types():
    assert issubclass(tovrel.error, Exception) and not issubclass(tovrel.error, OSError)
