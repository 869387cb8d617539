"""Servers that break the protocol end transfers with the right error,
never with a hang or a crash."""

import pytest

import tovrel
from badservers import BadServer


@pytest.fixture(scope="module")
def bad_server():
    server = BadServer()
    yield server
    server.close()


def outcome(url, **options):
    c = tovrel.Curl()
    body = []
    c.setopt(tovrel.URL, url)
    c.setopt(tovrel.WRITEFUNCTION, body.append)
    for name, value in options.items():
        c.setopt(getattr(tovrel, name), value)
    try:
        c.perform()
        code = 0
    except tovrel.error as exc:
        code = exc.args[0]
    c.close()
    return code, b"".join(body)


@pytest.mark.parametrize("path, options, code", [
    ("/close-mid-body", {}, tovrel.E_PARTIAL_FILE),
    ("/bad-status", {}, tovrel.E_UNSUPPORTED_PROTOCOL),
    ("/garbage", {}, tovrel.E_UNSUPPORTED_PROTOCOL),
    ("/endless-header", {}, tovrel.E_RECV_ERROR),  # "Too large response headers"
    ("/stall", {"TIMEOUT_MS": 500}, tovrel.E_OPERATION_TIMEDOUT),
    ("/stall", {"LOW_SPEED_LIMIT": 1, "LOW_SPEED_TIME": 1}, tovrel.E_OPERATION_TIMEDOUT),
    ("/reset", {}, tovrel.E_RECV_ERROR),
])
def test_failures(bad_server, path, options, code):
    assert outcome(bad_server.url(path), **options)[0] == code


def test_body_longer_than_announced_is_cut_to_its_length(bad_server):
    assert outcome(bad_server.url("/long-body")) == (0, b"0123456789")


def test_partial_body_is_what_arrived(bad_server):
    code, body = outcome(bad_server.url("/close-mid-body"))
    assert body == b"x" * 100


@pytest.mark.parametrize("path", ["/close-mid-body", "/stall", "/reset", "/endless-header"])
def test_on_a_multi_stack(bad_server, path):
    m = tovrel.CurlMulti()
    c = tovrel.Curl()
    c.setopt(tovrel.URL, bad_server.url(path))
    c.setopt(tovrel.WRITEFUNCTION, lambda data: None)
    c.setopt(tovrel.TIMEOUT_MS, 2000)
    m.add_handle(c)
    failed, running = [], 1
    while running:
        _, running = m.perform()
        failed += m.info_read()[2]
        if running:
            m.select(0.5)
    failed += m.info_read()[2]
    assert [f[0] for f in failed] == [c] and failed[0][1] != 0
    m.close()
