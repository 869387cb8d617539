"""``python -m tovrel``, the command line, against the loopback server."""

import base64
import json
import os
import pty
import socket
import subprocess
import sys

import pytest

import tovrel
from servers import pattern_bytes


def tovrel_cli(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tovrel", *args], capture_output=True, timeout=60, **kwargs)


def echoed(proc):
    """The /echo route's description of the request it got."""
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def header_value(request, name):
    return dict((k.lower(), v) for k, v in request["headers"]).get(name.lower())


def test_the_body_goes_to_stdout_unchanged(http_server):
    proc = tovrel_cli(http_server.url("/bytes/300000"))
    assert proc.returncode == 0
    assert proc.stdout == pattern_bytes(300000)
    assert proc.stderr == b""  # no progress bar: stderr is not a terminal


def test_output_file(http_server, tmp_path):
    target = tmp_path / "body.bin"
    proc = tovrel_cli("-o", str(target), http_server.url("/bytes/70000"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == b""
    assert target.read_bytes() == pattern_bytes(70000)


@pytest.mark.parametrize("args, method, body", [
    ([], "GET", b""),
    (["-d", "a=1"], "POST", b"a=1"),
    (["-d", "a=1", "-d", "b=2"], "POST", b"a=1&b=2"),
    (["-X", "PUT", "-d", "x"], "PUT", b"x"),
    (["-X", "DELETE"], "DELETE", b""),
])
def test_method_and_data(http_server, args, method, body):
    request = echoed(tovrel_cli(*args, http_server.url("/echo")))
    assert request["method"] == method
    assert base64.b64decode(request["body"]) == body


def test_data_from_a_file(http_server, tmp_path):
    payload = bytes(range(256)) * 10
    (tmp_path / "payload").write_bytes(payload)
    request = echoed(tovrel_cli("-d", "@" + str(tmp_path / "payload"), http_server.url("/echo")))
    assert base64.b64decode(request["body"]) == payload


def test_headers(http_server):
    request = echoed(tovrel_cli("-H", "X-One: 1", "-H", "X-Two: two words", "-H", "User-Agent:",
                                http_server.url("/echo")))
    assert header_value(request, "X-One") == "1"
    assert header_value(request, "X-Two") == "two words"
    assert header_value(request, "User-Agent") is None


@pytest.mark.parametrize("follow, expected", [(True, pattern_bytes(42)), (False, b"")])
def test_redirects_followed_with_location(http_server, follow, expected):
    proc = tovrel_cli(*(["-L"] if follow else []), http_server.url("/redirect?to=/bytes/42"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == expected


def test_verbose_shows_the_conversation(http_server):
    proc = tovrel_cli("-v", http_server.url("/bytes/10"))
    assert proc.returncode == 0
    assert b"> GET /bytes/10 HTTP/1.1" in proc.stderr
    assert b"< HTTP/1.1 200" in proc.stderr


def refused_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}/"


@pytest.mark.parametrize("args, status", [
    (lambda server: [refused_url()], tovrel.E_COULDNT_CONNECT),
    (lambda server: ["-f", server.url("/status/404")], tovrel.E_HTTP_RETURNED_ERROR),
    (lambda server: ["unknown://x/"], tovrel.E_UNSUPPORTED_PROTOCOL),
    (lambda server: [server.url("/status/404")], 0),  # without -f an error page is a body
], ids=["refused", "http error with --fail", "unsupported scheme", "http error without --fail"])
def test_exit_status_is_the_transfer_result(http_server, args, status):
    proc = tovrel_cli(*args(http_server))
    assert proc.returncode == status
    if status:
        assert proc.stderr.decode().startswith(f"tovrel: ({status}) ")


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: URL"),
    (["-H", "no colon here", "http://x/"], "is not a header line"),
    (["-H", ": empty name", "http://x/"], "is not a header line"),
    (["--bogus", "http://x/"], "unrecognized arguments: --bogus"),
    (["-d", "@/no/such/file", "http://x/"], "cannot read the data file: /no/such/file"),
    (["-o"], "expected one argument"),
])
def test_bad_arguments(args, message):
    proc = tovrel_cli(*args)
    assert proc.returncode == 2
    assert proc.stdout == b""
    assert message in proc.stderr.decode()


def test_an_unwritable_output_file(http_server, tmp_path):
    proc = tovrel_cli("-o", str(tmp_path / "missing" / "body"), http_server.url("/bytes/10"))
    assert proc.returncode == tovrel.E_WRITE_ERROR
    assert b"cannot write" in proc.stderr


def run_with_terminal_stderr(args, tmp_path):
    """Run the command line with stderr on a pseudo-terminal and the body
    going to a file; return (exit status, body, what the terminal showed)."""
    target = tmp_path / "body"
    controller, terminal = pty.openpty()
    with subprocess.Popen([sys.executable, "-m", "tovrel", "-o", str(target), *args],
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=terminal) as proc:
        os.close(terminal)
        shown = bytearray()
        while True:
            try:
                data = os.read(controller, 4096)
            except OSError:  # EIO: the child closed its end
                break
            if not data:
                break
            shown += data
        status = proc.wait(timeout=60)
    os.close(controller)
    return status, target.read_bytes(), shown.decode()


def test_a_long_download_shows_progress_on_a_terminal(http_server, tmp_path):
    # nine pauses of 0.1 s: longer than the bar's half-second threshold
    url = http_server.url("/slow?chunks=10&size=10240&delay=0.1")
    status, body, shown = run_with_terminal_stderr([url], tmp_path)
    assert status == 0
    assert body == pattern_bytes(102400)
    assert "] 100% of 100 KiB" in shown
    assert shown.endswith("\r\n")


def test_a_short_download_draws_no_bar_on_a_terminal(http_server, tmp_path):
    status, body, shown = run_with_terminal_stderr([http_server.url("/bytes/1000")], tmp_path)
    assert status == 0
    assert body == pattern_bytes(1000)
    assert shown == ""
