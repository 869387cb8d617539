"""CurlShare objects: options, sharing between handles, closing."""

import gc
import json
import random
import threading
import weakref

import pytest

import tovrel


class TestConstruction:
    def test_keywords(self):
        assert not tovrel.CurlShare().closed
        assert not tovrel.CurlShare(detach_on_close=False).closed
        with pytest.raises(TypeError):
            tovrel.CurlShare(False)

    def test_constants(self):
        s = tovrel.CurlShare()
        assert s.LOCK_DATA_DNS == 3
        assert s.SH_SHARE == tovrel.SH_SHARE

    def test_context_manager(self):
        with tovrel.CurlShare() as s:
            assert not s.closed
        assert s.closed
        s2 = tovrel.CurlShare()
        assert s2.__exit__() is None
        assert s2.closed


class TestOptions:
    @pytest.mark.parametrize("option, value, error, message", [
        (tovrel.SH_SHARE, tovrel.LOCK_DATA_DNS, None, None),
        (tovrel.SH_UNSHARE, tovrel.LOCK_DATA_DNS, None, None),
        (tovrel.SH_SHARE, True, TypeError, "invalid arguments to setopt"),  # True is kind 1
        (tovrel.SH_SHARE, 7, TypeError, "invalid arguments to setopt"),
        (tovrel.SH_SHARE, "3", TypeError, "invalid arguments to setopt"),
        (tovrel.SH_SHARE, 3.0, TypeError, "invalid arguments to setopt"),
        (3, 0, TypeError, "integers are not supported for this option"),
        (0, 3, TypeError, "invalid arguments to setopt"),
        (30329, 3, TypeError, "invalid arguments to setopt"),
        (10329, 3, TypeError, "invalid arguments to setopt"),
    ])
    def test_setopt(self, option, value, error, message):
        s = tovrel.CurlShare()
        if error is None:
            assert s.setopt(option, value) is None
        else:
            with pytest.raises(error) as info:
                s.setopt(option, value)
            assert info.value.args == (message,)

    @pytest.mark.parametrize("args, message", [
        ((), "at least one LOCK_DATA_* argument required"),
        (([tovrel.LOCK_DATA_COOKIE],), "list/tuple arguments are not expanded; pass each LOCK_DATA_* constant individually"),
        (((tovrel.LOCK_DATA_COOKIE,),), "list/tuple arguments are not expanded; pass each LOCK_DATA_* constant individually"),
        (("x",), "arguments must be LOCK_DATA_* integers"),
        ((tovrel.LOCK_DATA_COOKIE, 99), "invalid arguments to setopt"),
    ])
    @pytest.mark.parametrize("method", ["share", "unshare"])
    def test_share_arguments(self, method, args, message):
        s = tovrel.CurlShare()
        with pytest.raises(TypeError) as info:
            getattr(s, method)(*args)
        assert info.value.args == (message,)

    def test_share_several(self):
        s = tovrel.CurlShare()
        assert s.share(tovrel.LOCK_DATA_COOKIE, tovrel.LOCK_DATA_DNS, tovrel.LOCK_DATA_SSL_SESSION) is None
        assert s.unshare(tovrel.LOCK_DATA_DNS) is None

    def test_huge_kind(self):
        with pytest.raises(OverflowError):
            tovrel.CurlShare().share(2 ** 70)


class TestClose:
    def test_closed_share_refuses(self):
        s = tovrel.CurlShare()
        assert s.close() is None
        assert s.close() is None
        for call, name in [(lambda: s.share(tovrel.LOCK_DATA_DNS), "share"),
                           (lambda: s.unshare(tovrel.LOCK_DATA_DNS), "unshare"),
                           (lambda: s.setopt(tovrel.SH_SHARE, tovrel.LOCK_DATA_DNS), "setopt")]:
            with pytest.raises(tovrel.error) as info:
                call()
            assert info.value.args == (f"cannot invoke {name}() - no share handle",)
        # arguments are checked before the state
        with pytest.raises(TypeError):
            s.share()


# ---------------------------------------------------------------------------
# sharing between handles


def attached(share, **options):
    c = tovrel.Curl()
    c.setopt(tovrel.SHARE, share)
    for name, value in options.items():
        c.setopt(getattr(tovrel, name), value)
    return c


def get(curl, url):
    curl.setopt(tovrel.URL, url)
    return curl.perform_rb()


def sent_cookie(curl, http_server):
    seen = json.loads(get(curl, http_server.url("/echo")))
    return [v for k, v in seen["headers"] if k.lower() == "cookie"]


class TestSharing:
    def test_cookies_reach_the_other_handle(self, http_server):
        s = tovrel.CurlShare()
        s.share(tovrel.LOCK_DATA_COOKIE)
        first, second = attached(s, COOKIEFILE=""), attached(s, COOKIEFILE="")
        get(first, http_server.url("/cookies?session=abc123"))
        assert sent_cookie(second, http_server) == ["session=abc123"]
        loner = tovrel.Curl()
        loner.setopt(tovrel.COOKIEFILE, "")
        assert sent_cookie(loner, http_server) == []

    def test_connections_are_shared(self, http_server):
        s = tovrel.CurlShare()
        s.share(tovrel.LOCK_DATA_CONNECT, tovrel.LOCK_DATA_DNS)
        first, second = attached(s), attached(s)
        get(first, http_server.url("/bytes/10"))
        get(second, http_server.url("/bytes/10"))
        assert (first.getinfo(tovrel.NUM_CONNECTS), second.getinfo(tovrel.NUM_CONNECTS)) == (1, 0)

    def test_unshared_kinds_stay_apart(self, http_server):
        s = tovrel.CurlShare()
        s.share(tovrel.LOCK_DATA_COOKIE, tovrel.LOCK_DATA_CONNECT)
        s.unshare(tovrel.LOCK_DATA_COOKIE)
        first, second = attached(s, COOKIEFILE=""), attached(s, COOKIEFILE="")
        get(first, http_server.url("/cookies?only=first"))
        assert sent_cookie(second, http_server) == []

    def test_dns_cache_is_shared(self, http_server):
        s = tovrel.CurlShare()
        s.share(tovrel.LOCK_DATA_DNS)
        port = http_server.port
        first = attached(s, RESOLVE=[f"shared.invalid:{port}:127.0.0.1"])
        get(first, f"http://shared.invalid:{port}/bytes/3")
        # no RESOLVE entry of its own: the name comes from the shared cache
        second = attached(s)
        assert get(second, f"http://shared.invalid:{port}/bytes/3") == b"\x00\x01\x02"


class TestSetoptShare:
    def test_attach_detach_reattach(self):
        s = tovrel.CurlShare()
        c = tovrel.Curl()
        c.setopt(tovrel.SHARE, s)
        assert c.share() is s
        with pytest.raises(tovrel.error) as info:
            c.setopt(tovrel.SHARE, s)
        assert info.value.args == ("Curl object already sharing. Unshare first.",)
        c.unsetopt(tovrel.SHARE)
        assert c.share() is None
        c.setopt(tovrel.SHARE, s)
        c.setopt(tovrel.SHARE, None)
        assert c.share() is None

    def test_only_the_exact_type(self):
        class Sub(tovrel.CurlShare):
            pass

        c = tovrel.Curl()
        for value in (Sub(), tovrel.CurlMulti()):
            with pytest.raises(TypeError) as info:
                c.setopt(tovrel.SHARE, value)
            assert info.value.args == ("invalid arguments to setopt",)
        assert c.share() is None

    def test_closed_share(self):
        s = tovrel.CurlShare()
        s.close()
        c = tovrel.Curl()
        with pytest.raises(tovrel.error) as info:
            c.setopt(tovrel.SHARE, s)
        assert info.value.args == ("CurlShare is closed",)
        assert c.share() is None

    def test_duplicate_is_not_attached(self):
        s = tovrel.CurlShare()
        c = attached(s)
        assert c.duphandle().share() is None

    def test_reset_keeps_the_share(self):
        s = tovrel.CurlShare()
        c = attached(s)
        c.reset()
        assert c.share() is s


class TestClose:
    def test_idle_handles_are_detached(self, http_server):
        s = tovrel.CurlShare()
        s.share(tovrel.LOCK_DATA_CONNECT)
        c = attached(s)
        get(c, http_server.url("/bytes/3"))
        ref = weakref.ref(s)
        assert s.close() is None and s.closed
        assert c.share() is None
        assert get(c, http_server.url("/bytes/3")) == b"\x00\x01\x02"
        del s
        gc.collect()
        assert ref() is None

    def test_without_detach_on_close(self):
        s = tovrel.CurlShare(detach_on_close=False)
        first, second = attached(s), attached(s)
        for count, suffix in ((2, "s"), (1, "")):
            with pytest.raises(tovrel.error) as info:
                s.close()
            assert info.value.args == (f"cannot close CurlShare: still in use by {count} active Curl object{suffix}",)
            assert not s.closed
            (first.close if count == 2 else lambda: second.setopt(tovrel.SHARE, None))()
        assert s.close() is None

    def test_handle_in_its_own_perform(self, http_server):
        s = tovrel.CurlShare()
        busy, idle = attached(s), attached(s)
        outcome = []

        def write(data):
            if not outcome:
                try:
                    s.close()
                except tovrel.error as exc:
                    outcome.append(exc.args)

        busy.setopt(tovrel.WRITEFUNCTION, write)
        busy.setopt(tovrel.URL, http_server.url("/bytes/10"))
        busy.perform()
        assert outcome == [("cannot close CurlShare: still in use by 1 active Curl object",)]
        assert idle.share() is None and busy.share() is s
        assert s.close() is None

    def test_two_busy_handles(self, http_server):
        s = tovrel.CurlShare()
        inside = threading.Barrier(2, timeout=10)
        outcome = []

        def run(first):
            c = attached(s)

            def write(data):
                if len(outcome) < 1:
                    inside.wait()
                    if first:
                        try:
                            s.close()
                        except tovrel.error as exc:
                            outcome.append(exc.args)
                    inside.wait()

            c.setopt(tovrel.WRITEFUNCTION, write)
            c.setopt(tovrel.URL, http_server.url("/bytes/10"))
            c.perform()

        threads = [threading.Thread(target=run, args=(i == 0,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(20)
        assert outcome == [("cannot close CurlShare: still in use by 2 active Curl objects",)]

    def test_dropped_handle_does_not_block(self):
        s = tovrel.CurlShare(detach_on_close=False)
        c = attached(s)
        del c
        gc.collect()
        assert s.close() is None

    def test_handle_on_a_driving_stack(self, http_server):
        s = tovrel.CurlShare()
        m = tovrel.CurlMulti()
        c = attached(s)
        outcome = []

        def write(data):
            if not outcome:
                try:
                    s.close()
                except tovrel.error as exc:
                    outcome.append(exc.args)

        c.setopt(tovrel.WRITEFUNCTION, write)
        c.setopt(tovrel.URL, http_server.url("/bytes/10"))
        m.add_handle(c)
        running = 1
        while running:
            _, running = m.perform()
            m.select(0.5)
        assert outcome == [("cannot close CurlShare: still in use by 1 active Curl object",)]


def test_many_threads_on_one_share(http_server):
    s = tovrel.CurlShare()
    s.share(tovrel.LOCK_DATA_COOKIE, tovrel.LOCK_DATA_DNS, tovrel.LOCK_DATA_CONNECT, tovrel.LOCK_DATA_SSL_SESSION)
    errors = []

    def worker(n):
        try:
            c = attached(s, COOKIEFILE="")
            for i in range(150):
                size = (n * 151 + i) % 3000 + 1
                body = get(c, http_server.url(f"/bytes/{size}"))
                if len(body) != size:
                    errors.append((n, i, len(body)))
            get(c, http_server.url(f"/cookies?worker{n}=seen"))
            c.close()
        except Exception as exc:  # the assertion below reports it
            errors.append(repr(exc))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(90)
    assert not any(t.is_alive() for t in threads), "a worker hung"
    assert errors == []
    # every worker's cookie ended up in the one shared jar
    probe = attached(s, COOKIEFILE="")
    cookies = sent_cookie(probe, http_server)[0]
    assert all(f"worker{n}=seen" in cookies for n in range(8))
    probe.close()
    assert s.close() is None


def test_random_close_order(http_server):
    rng = random.Random(1234)
    for round_ in range(30):
        shares = [tovrel.CurlShare(detach_on_close=rng.random() < 0.7) for _ in range(2)]
        for s in shares:
            s.share(tovrel.LOCK_DATA_CONNECT, tovrel.LOCK_DATA_COOKIE)
        stacks = [tovrel.CurlMulti(close_handles=rng.random() < 0.5)]
        handles = []
        for _ in range(4):
            c = tovrel.Curl()
            c.setopt(tovrel.SHARE, rng.choice(shares))
            c.setopt(tovrel.WRITEFUNCTION, lambda data: None)
            c.setopt(tovrel.URL, http_server.url("/bytes/10"))
            if rng.random() < 0.5:
                stacks[0].add_handle(c)
            else:
                c.perform()
            handles.append(c)
        objects = shares + stacks + handles
        rng.shuffle(objects)
        for obj in objects:
            action = rng.choice(["close", "del", "gc"])
            if action == "close":
                try:
                    obj.close()
                except tovrel.error:
                    pass  # a share refusing while handles are attached
            elif action == "gc":
                gc.collect()
        del objects, shares, stacks, handles, c, s
        gc.collect()
