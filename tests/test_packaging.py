"""``pip install .`` builds and installs a working package."""

import os
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.refleak_once
@pytest.mark.timeout(600)
def test_pip_install_into_a_fresh_venv(tmp_path):
    venv = tmp_path / "venv"
    # The build backend comes from the system: no package index is reachable.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True, timeout=120)
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC")}
    install = subprocess.run(
        [python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--quiet", REPO],
        capture_output=True, text=True, env=env, timeout=540,
    )
    assert install.returncode == 0, install.stdout + install.stderr
    check = subprocess.run(
        [python, "-c", "import tovrel, sys; c = tovrel.Curl(); c.close(); print(tovrel.__file__)"],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=60,
    )
    assert check.returncode == 0, check.stderr
    assert check.stdout.strip().startswith(str(venv))
