"""FTP and SSH servers on 127.0.0.1 for the protocol callbacks."""

import os
import shutil
import socket
import subprocess
import time

import children


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process=None, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class FtpServer:
    """An anonymous FTP server (pyftpdlib) serving ``root``.

    It runs in a child process: pyftpdlib keeps per-session bookkeeping
    that would otherwise show up in the reference counts of reference-leak
    runs, and its log lines stay out of this process's output."""

    CHILD = """
import signal
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer
import logging
logging.basicConfig(level=logging.ERROR)
authorizer = DummyAuthorizer()
authorizer.add_anonymous(sys.argv[1])
handler = type("Handler", (FTPHandler,), {"authorizer": authorizer})
server = ThreadedFTPServer(("127.0.0.1", 0), handler)
print(server.socket.getsockname()[1], flush=True)
# pyftpdlib makes multiprocessing locks on import; ending through SystemExit
# lets them be released instead of reported as leaked at shutdown
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
try:
    server.serve_forever(timeout=0.05)
finally:
    server.close_all()
"""

    def __init__(self, root):
        self.process, self.port = children.start(["-c", self.CHILD, str(root)])

    def url(self, path="/"):
        return f"ftp://127.0.0.1:{self.port}{path}"

    def close(self):
        children.stop(self.process)


class SshServer:
    """OpenSSH's sshd on a loopback port with a host key of its own.

    ``available`` is False (with ``reason``) where sshd cannot run here."""

    def __init__(self, folder):
        self.available, self.reason, self.process = False, "", None
        sshd = shutil.which("sshd") or "/usr/sbin/sshd"
        keygen = shutil.which("ssh-keygen")
        if not os.path.exists(sshd) or keygen is None:
            self.reason = "sshd or ssh-keygen is not installed"
            return
        self.host_key = os.path.join(folder, "host_key")
        subprocess.run([keygen, "-q", "-t", "ed25519", "-N", "", "-f", self.host_key], check=True, timeout=30)
        with open(self.host_key + ".pub") as f:
            self.key_type, self.public_key = f.read().split()[:2]
        self.port = free_port()
        config = os.path.join(folder, "sshd_config")
        with open(config, "w") as f:
            f.write(f"Port {self.port}\nListenAddress 127.0.0.1\nHostKey {self.host_key}\n"
                    f"PidFile {folder}/sshd.pid\nUsePAM no\nStrictModes no\nPasswordAuthentication no\n"
                    "KbdInteractiveAuthentication no\nAuthorizedKeysFile none\nLogLevel ERROR\n"
                    "Subsystem sftp internal-sftp\n"
                    # tests log in and fail on purpose, many times over
                    "PerSourcePenalties no\nMaxStartups 100\n")
        os.makedirs("/run/sshd", exist_ok=True)
        self.process = subprocess.Popen([sshd, "-D", "-e", "-f", config], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if wait_for_port(self.port, self.process):
            self.available = True
        else:
            self._stop()  # its error output is complete only once it has ended
            self.reason = "sshd did not start: " + self.process.stderr.read().decode(errors="replace")
            self.close()

    def known_hosts_line(self):
        return f"[127.0.0.1]:{self.port} {self.key_type} {self.public_key}\n"

    def url(self, path="/"):
        return f"sftp://nobody@127.0.0.1:{self.port}{path}"

    def _stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            children.wait_or_kill(self.process)

    def close(self):
        if self.process is None:
            return
        self._stop()
        self.process.stderr.close()
