"""Interrupts at any moment, and interpreter shutdown with live objects.

Everything runs in child interpreters: an interrupt that arrives a moment
too late there cannot stop the test session."""

import pytest

# A child interrupts itself while it runs `body`; the report on stdout says
# how the interrupt surfaced and that the objects are usable afterwards.
INTERRUPT = """
import os, signal, threading, time, tovrel
def interrupt_soon(delay=0.3):
    threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT)).start()
"""


@pytest.mark.parametrize("callback", ["python", "builtin"])
def test_sigint_during_perform(http_server, python_subprocess, callback):
    proc = python_subprocess(INTERRUPT + f"""
import io
c = tovrel.Curl()
c.setopt(tovrel.URL, {http_server.url("/slow?chunks=6&size=10&delay=0.2")!r})
sink = io.BytesIO()
c.setopt(tovrel.WRITEFUNCTION, (lambda data: sink.write(data) and None) if {callback!r} == "python" else sink.write)
interrupt_soon()
try:
    c.perform()
except KeyboardInterrupt:
    print("interrupted", "complete" if len(sink.getvalue()) == 60 else "partial")
c.setopt(tovrel.URL, {http_server.url("/bytes/5")!r})
c.setopt(tovrel.WRITEFUNCTION, lambda data: None)
c.perform()
print("reusable")
""")
    # A Python callback runs the handler mid-transfer; without one the
    # interrupt waits for libcurl to finish.
    expected = "interrupted partial" if callback == "python" else "interrupted complete"
    assert proc.stdout.split("\n")[:2] == [expected, "reusable"]


@pytest.mark.parametrize("style", ["perform-select", "socket_action"])
def test_sigint_while_driving_a_stack(http_server, python_subprocess, style):
    proc = python_subprocess(INTERRUPT + f"""
import selectors
m = tovrel.CurlMulti()
handles = []
for i in range(5):
    c = tovrel.Curl()
    c.setopt(tovrel.URL, {http_server.url("/slow?chunks=8&size=10&delay=0.2")!r})
    c.setopt(tovrel.WRITEFUNCTION, lambda data: None)
    m.add_handle(c)
    handles.append(c)
sel = selectors.DefaultSelector()
def on_socket(what, fd, multi, obj):
    if what == tovrel.POLL_REMOVE:
        if fd in sel.get_map():
            sel.unregister(fd)
    elif fd in sel.get_map():
        sel.modify(fd, selectors.EVENT_READ | selectors.EVENT_WRITE)
    else:
        sel.register(fd, selectors.EVENT_READ | selectors.EVENT_WRITE)
if {style!r} == "socket_action":
    m.setopt(tovrel.M_SOCKETFUNCTION, on_socket)
def drive():
    running = 1
    if {style!r} == "perform-select":
        while running:
            _, running = m.perform()
            m.select(1.0)
    else:
        _, running = m.socket_action(tovrel.SOCKET_TIMEOUT, 0)
        while running:
            events = sel.select(0.2)
            if not events:
                _, running = m.socket_action(tovrel.SOCKET_TIMEOUT, 0)
            for key, mask in events:
                _, running = m.socket_action(key.fd, 0)
interrupt_soon()
try:
    drive()
except KeyboardInterrupt:
    print("interrupted")
drive()
print("finished", len(m.info_read()[1]))
""", timeout=90)
    assert proc.stdout.split("\n")[:2] == ["interrupted", "finished 5"]


def test_exit_with_live_objects(http_server, python_subprocess):
    proc = python_subprocess(f"""
import tovrel
share = tovrel.CurlShare()
share.share(tovrel.LOCK_DATA_COOKIE, tovrel.LOCK_DATA_CONNECT)
stack = tovrel.CurlMulti()
kept = []
for i in range(4):
    c = tovrel.Curl()
    c.setopt(tovrel.URL, {http_server.url("/bytes/10")!r})
    c.setopt(tovrel.WRITEFUNCTION, lambda data: None)
    c.setopt(tovrel.SHARE, share)
    c.me = c  # a cycle, left for the collector at exit
    if i % 2:
        stack.add_handle(c)
    else:
        c.perform()
    kept.append(c)
mime = tovrel.CurlMime(kept[0])
mime.addpart().data(b"payload")
part = mime.addpart()
part.data_cb(0, lambda userdata, size: b"", free=lambda userdata: None)
kept[0].setopt(tovrel.MIMEPOST, mime)
running = 1
while running:
    _, running = stack.perform()
    stack.select(0.5)
print("leaving")
""")
    assert proc.stdout.strip() == "leaving" and proc.stderr == ""


def test_sys_exit_inside_a_callback(http_server, python_subprocess):
    proc = python_subprocess(f"""
import sys, tovrel
stack = tovrel.CurlMulti()
c = tovrel.Curl()
c.setopt(tovrel.URL, {http_server.url("/bytes/10")!r})
def write(data):
    sys.exit(0)
c.setopt(tovrel.WRITEFUNCTION, write)
other = tovrel.Curl()
stack.add_handle(other)
c.perform()
print("not reached")
""")
    assert proc.stdout == "" and proc.stderr == ""


def test_sys_exit_inside_a_multi_callback(http_server, python_subprocess):
    proc = python_subprocess(f"""
import sys, time, tovrel
stack = tovrel.CurlMulti()
def on_socket(what, fd, multi, obj):
    sys.exit(0)
stack.setopt(tovrel.M_SOCKETFUNCTION, on_socket)
c = tovrel.Curl()
c.setopt(tovrel.URL, {http_server.url("/bytes/10")!r})
stack.add_handle(c)
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    stack.perform()
    stack.select(0.1)
print("not reached")
""")
    assert proc.stdout == "" and proc.stderr == ""
