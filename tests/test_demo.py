"""The demo, the project's main job, keeps working."""

import subprocess
import sys

import pytest


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
