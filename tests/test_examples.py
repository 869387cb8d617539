"""Every program in examples/ runs against the demo server, so none rots."""

import json
import os
import subprocess
import sys

import pytest

import tovrel
from tovrel import demo

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


@pytest.fixture(scope="module")
def demo_base():
    server, base = demo.start_server()
    yield base
    server.shutdown()
    server.server_close()


def run_example(name, *args, cwd=None):
    proc = subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *args],
                          capture_output=True, text=True, timeout=90, cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return proc


def test_every_example_has_a_test():
    tested = {"download_progress.py", "many_downloads.py", "upload_form.py", "websocket_client.py",
              "asyncio_fetch.py"}
    assert {f for f in os.listdir(EXAMPLES) if f.endswith(".py")} == tested


def test_download_progress(demo_base, tmp_path):
    target = tmp_path / "out.bin"
    proc = run_example("download_progress.py", demo_base + "/download", str(target))
    assert target.read_bytes() == bytes(range(256)) * (demo.DOWNLOAD_SIZE // 256)
    assert proc.stdout.startswith(f"saved {demo.DOWNLOAD_SIZE} bytes to {target} in ")
    assert "] 100%" in proc.stderr


def test_many_downloads(demo_base):
    proc = run_example("many_downloads.py", demo_base + "/hello", "50")
    assert proc.stdout == f"50 of 50 downloads succeeded, {50 * len(b'Hello from the demo server!\n')} bytes\n"


def test_upload_form(demo_base, tmp_path):
    upload = tmp_path / "picture.bin"
    upload.write_bytes(bytes(range(256)) * 40)
    proc = run_example("upload_form.py", demo_base + "/form", str(upload))
    status, _, reply = proc.stdout.partition(": ")
    assert status == "server answered 200"
    assert json.loads(reply) == {"parts": [
        {"name": "title", "filename": None, "content_type": "text/plain", "size": 7},
        {"name": "upload", "filename": "picture.bin", "content_type": "application/octet-stream", "size": 10240},
    ]}


def test_websocket_client(demo_base):
    ws_url = demo_base.replace("http://", "ws://") + "/ws"
    proc = run_example("websocket_client.py", ws_url, "hello", "wörld")
    assert proc.stdout == "sent 'hello', got back 'hello' (text)\nsent 'wörld', got back 'wörld' (text)\n"


def test_asyncio_fetch(demo_base):
    proc = run_example("asyncio_fetch.py", demo_base + "/hello", demo_base + "/download", demo_base + "/missing")
    lines = proc.stdout.splitlines()
    assert lines[0].startswith(f"{demo_base}/hello: 28 bytes, sha256 ")
    assert lines[1].startswith(f"{demo_base}/download: {demo.DOWNLOAD_SIZE} bytes, sha256 ")
    assert lines[2].startswith("failed: The requested URL returned error: 404")
