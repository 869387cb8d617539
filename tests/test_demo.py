"""The demo, the project's main job, keeps working."""

import re
import signal
import subprocess
import sys

import pytest

import tovrel


@pytest.mark.refleak_once
@pytest.mark.timeout(120)
def test_demo_runs():
    proc = subprocess.run([sys.executable, "-m", "tovrel.demo"], capture_output=True, text=True, timeout=110)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert out.lstrip().startswith("tovrel  Tovrel/7.47.0 libcurl/")
    assert "'Hello from the demo server!'" in out
    assert "server received 22 bytes (application/x-www-form-urlencoded): name=tovrel&speed=fast" in out
    assert "] 100% of 8192 KiB" in out
    assert "received 8192 KiB in" in out
    assert "200 succeeded (200 bodies intact), 0 failed, in " in out
    assert "without the CA: refused, " in out
    assert "with the CA: 'Hello from the demo server!', certificate verified (result 0)" in out


def test_serve_runs_only_the_server_until_terminated():
    with subprocess.Popen([sys.executable, "-m", "tovrel.demo", "--serve"], stdout=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, text=True) as proc:
        try:
            banner = proc.stdout.readline()
            base = re.match(r"demo server on (http://127\.0\.0\.1:\d+) ", banner).group(1)
            with tovrel.Curl() as c:
                c.setopt(tovrel.URL, base + "/hello")
                assert c.perform_rs() == "Hello from the demo server!\n"
        finally:
            proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == 0
