"""Fixtures shared by the whole suite."""

import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, *, env=None, timeout=60):
    """Run ``code`` in a fresh interpreter; return the CompletedProcess."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    """Run a snippet in a child interpreter, which must exit cleanly."""

    def run(code, **kwargs):
        proc = run_python(code, **kwargs)
        assert proc.returncode == 0, proc.stderr
        return proc

    return run
