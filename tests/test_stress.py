"""Bounded stress: many threads on one share, thousands of transfers on one stack."""

import hashlib
import threading

import pytest

import tovrel
from servers import pattern_bytes


@pytest.mark.timeout(300)
def test_eight_threads_on_one_share(http_server):
    share = tovrel.CurlShare()
    share.share(tovrel.LOCK_DATA_COOKIE, tovrel.LOCK_DATA_DNS, tovrel.LOCK_DATA_CONNECT)
    problems = []

    def worker(n):
        c = tovrel.Curl()
        c.setopt(tovrel.SHARE, share)
        c.setopt(tovrel.COOKIEFILE, "")
        for i in range(500):
            size = (n * 500 + i) % 2000
            c.setopt(tovrel.URL, http_server.url(f"/bytes/{size}"))
            try:
                body = c.perform_rb()
            except tovrel.error as exc:
                problems.append((n, i, exc.args))
                continue
            if body != pattern_bytes(size):
                problems.append((n, i, "body"))
        c.close()

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(280)
    assert not any(t.is_alive() for t in threads), "a worker hung"
    assert problems == []
    assert share.close() is None


@pytest.mark.timeout(300)
def test_five_thousand_transfers_on_one_stack(http_server):
    m = tovrel.CurlMulti()
    m.setopt(tovrel.M_MAX_TOTAL_CONNECTIONS, 64)
    digests = {}
    for i in range(5000):
        c = tovrel.Curl()
        c.setopt(tovrel.URL, http_server.url(f"/bytes/{i % 700}"))
        h = hashlib.sha256()
        c.setopt(tovrel.WRITEFUNCTION, h.update)
        digests[c] = (h, i % 700)
        m.add_handle(c)
    done, failed, running = [], [], 1
    while running:
        _, running = m.perform()
        _, ok, bad = m.info_read()
        done += ok
        failed += bad
        if running:
            m.select(1.0)
    _, ok, bad = m.info_read()
    done += ok
    failed += bad
    assert failed == [] and len(done) == 5000
    for c, (h, size) in digests.items():
        assert h.digest() == hashlib.sha256(pattern_bytes(size)).digest()
    m.close()
