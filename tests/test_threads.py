"""The interpreter lock is released during transfers, and busy handles refuse."""

import io
import signal
import threading
import time

import pytest

import tovrel
from servers import pattern_bytes

RUNNING = "cannot invoke {}() - perform() is currently running"


def slow_url(http_server, chunks=4, size=1000, delay=0.2):
    return http_server.url(f"/slow?chunks={chunks}&size={size}&delay={delay}")


class TestBusyHandle:
    def test_other_threads_are_refused_while_a_callback_waits(self, curl, http_server):
        inside, release = threading.Event(), threading.Event()

        def write(data):
            inside.set()
            release.wait(10)

        curl.setopt(tovrel.URL, slow_url(http_server, chunks=2, delay=0))
        curl.setopt(tovrel.WRITEFUNCTION, write)
        worker = threading.Thread(target=curl.perform)
        worker.start()
        try:
            assert inside.wait(10)
            refusals = {}
            for name, call in [
                ("perform", curl.perform),
                ("setopt", lambda: curl.setopt(tovrel.VERBOSE, 1)),
                ("reset", curl.reset),
                ("close", curl.close),
                ("pause", curl.pause),
                ("unpause", curl.unpause),
                ("duphandle", curl.duphandle),
                ("recv", lambda: curl.recv(10)),
            ]:
                with pytest.raises(tovrel.error) as info:
                    call()
                refusals[name] = info.value.args
            assert refusals == {name: (RUNNING.format(name),) for name in refusals}
            # attribute access and the closed flag stay available
            curl.tag = "seen from outside"
            assert curl.closed is False and curl.multi() is None
        finally:
            release.set()
            worker.join(10)
        assert not worker.is_alive()

    def test_refused_while_libcurl_waits_for_data(self, curl, http_server):
        got_first = threading.Event()
        curl.setopt(tovrel.URL, slow_url(http_server, chunks=2, delay=1.0))
        curl.setopt(tovrel.WRITEFUNCTION, lambda data: got_first.set())
        worker = threading.Thread(target=curl.perform)
        worker.start()
        assert got_first.wait(10)
        time.sleep(0.1)  # the worker is back inside libcurl, waiting
        with pytest.raises(tovrel.error, match="perform\\(\\) is currently running"):
            curl.perform()
        worker.join(10)

    def test_handle_is_usable_after_the_transfer(self, curl, http_server):
        body = io.BytesIO()
        curl.setopt(tovrel.URL, http_server.url("/bytes/10"))
        curl.setopt(tovrel.WRITEDATA, body)
        worker = threading.Thread(target=curl.perform)
        worker.start()
        worker.join(10)
        curl.setopt(tovrel.URL, http_server.url("/bytes/20"))
        curl.perform()
        assert len(body.getvalue()) == 30


def test_two_threads_transfer_at_the_same_time(http_server):
    events = []
    lock = threading.Lock()

    def run(tag):
        c = tovrel.Curl()

        def write(data):
            with lock:
                events.append((tag, time.monotonic()))

        c.setopt(tovrel.URL, slow_url(http_server, chunks=4, size=100, delay=0.25))
        c.setopt(tovrel.WRITEFUNCTION, write)
        c.perform()
        c.close()

    threads = [threading.Thread(target=run, args=(tag,)) for tag in "ab"]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    spans = {}
    for tag, stamp in events:
        first, last = spans.get(tag, (stamp, stamp))
        spans[tag] = (min(first, stamp), max(last, stamp))
    # Each transfer received data before the other had finished: they ran
    # side by side, which only works if perform released the lock.
    (a_first, a_last), (b_first, b_last) = spans["a"], spans["b"]
    assert a_first < b_last and b_first < a_last


class TestSignals:
    @pytest.fixture
    def alarm_after(self):
        installed = []

        def arm(seconds, handler):
            installed.append(signal.signal(signal.SIGALRM, handler))
            signal.setitimer(signal.ITIMER_REAL, seconds)

        yield arm
        signal.setitimer(signal.ITIMER_REAL, 0)
        if installed:
            signal.signal(signal.SIGALRM, installed[0])

    def test_raising_handler_wins_over_a_successful_transfer(self, curl, http_server, alarm_after):
        class Alarm(Exception):
            pass

        def handler(signum, frame):
            raise Alarm("ring")

        body = io.BytesIO()
        curl.setopt(tovrel.URL, slow_url(http_server, chunks=3, size=1000, delay=0.2))
        # a built-in write method: no Python code runs during the transfer,
        # so the handler runs when perform returns
        curl.setopt(tovrel.WRITEDATA, body)
        alarm_after(0.1, handler)
        with pytest.raises(Alarm, match="ring"):
            curl.perform()
        assert body.getvalue() == b"".join(pattern_bytes(1000, i * 1000) for i in range(3))

    def test_keyboard_interrupt_from_sigint_handler(self, curl, http_server, alarm_after):
        curl.setopt(tovrel.URL, slow_url(http_server, chunks=2, size=10, delay=0.3))
        curl.setopt(tovrel.WRITEDATA, io.BytesIO())
        alarm_after(0.1, signal.default_int_handler)
        with pytest.raises(KeyboardInterrupt):
            curl.perform()
        # reusable afterwards
        curl.setopt(tovrel.URL, http_server.url("/bytes/5"))
        curl.perform()
