"""Test servers in child processes of this interpreter.

A server whose threads and bookkeeping live in this process would show in
the reference counts of leak-hunting runs and share the interpreter lock
with the code under test; in a child it does neither.  The child prints
its port as its first line of output.
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def start(args, *, stdin=subprocess.DEVNULL):
    """Start ``python args...`` with this folder importable: (process, port)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])))
    process = subprocess.Popen([sys.executable, *args], stdin=stdin, stdout=subprocess.PIPE, env=env, text=True)
    return process, int(process.stdout.readline())


def wait_or_kill(process, timeout=10):
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def stop(process):
    process.terminate()
    wait_or_kill(process)
    process.stdout.close()
