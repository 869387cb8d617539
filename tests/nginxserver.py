"""Debian's nginx on 127.0.0.1, serving a folder over HTTP/1.1, over TLS
with HTTP/2, and over QUIC with HTTP/3 where the build has it.

Used by the HTTP/3 test and by the benchmarks.  The server runs in the
foreground of its own process (no daemon, one worker), is started and
stopped by the PID of that process, and keeps everything it writes in a
folder of its own.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

CONFIG = """\
daemon off;
master_process on;
worker_processes 1;
user root;
pid {state}/nginx.pid;
error_log {state}/error.log warn;
worker_rlimit_nofile 65536;
events {{
    worker_connections 16384;
}}
http {{
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_timeout 300s;
    keepalive_requests 100000000;
    client_body_temp_path {state}/body;
    proxy_temp_path {state}/proxy;
    fastcgi_temp_path {state}/fastcgi;
    uwsgi_temp_path {state}/uwsgi;
    scgi_temp_path {state}/scgi;
    server {{
        listen 127.0.0.1:{http_port} backlog=4096;
        root {docroot};
    }}
    server {{
        listen 127.0.0.1:{tls_port} ssl backlog=4096;
{quic}
        http2 on;
        http2_max_concurrent_streams 1024;
        ssl_certificate {state}/server.pem;
        ssl_certificate_key {state}/server.key;
        root {docroot};
    }}
}}
"""

QUIC = """\
        listen 127.0.0.1:{tls_port} quic reuseport;
        http3 on;
        http3_max_concurrent_streams 1024;
        quic_retry off;
        add_header Alt-Svc 'h3=":{tls_port}"; ma=86400';
"""


def nginx_binary():
    return shutil.which("nginx") or next(
        (p for p in ("/usr/sbin/nginx", "/usr/bin/nginx") if os.path.exists(p)), None)


def nginx_lacks_quic():
    """Why nginx cannot serve HTTP/3 here, or None when it can."""
    binary = nginx_binary()
    if binary is None:
        return "nginx is not installed"
    built = subprocess.run([binary, "-V"], capture_output=True, text=True).stderr
    if "--with-http_v3_module" not in built:
        return "this nginx build has no http_v3 module (QUIC)"
    return None


def free_port():
    """A port number free for TCP and UDP alike on 127.0.0.1."""
    for _ in range(100):
        with socket.socket() as tcp, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            try:
                udp.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port for TCP and UDP")


class Nginx:
    """nginx serving ``docroot``; ``cert_pem``/``key_pem`` (bytes) for TLS.

    ``cpus``, a set of CPU numbers, pins the server (master and worker).
    """

    def __init__(self, docroot, cert_pem, key_pem, *, cpus=None, quic=True):
        binary = nginx_binary()
        if binary is None:
            raise RuntimeError("nginx is not installed")
        self.quic = quic and nginx_lacks_quic() is None
        self.state = tempfile.mkdtemp(prefix="tovrel-nginx-")
        os.chmod(self.state, 0o755)
        with open(os.path.join(self.state, "server.pem"), "wb") as f:
            f.write(cert_pem)
        with open(os.path.join(self.state, "server.key"), "wb") as f:
            f.write(key_pem)
        self.http_port = free_port()
        self.tls_port = free_port()
        config = CONFIG.format(state=self.state, docroot=docroot, http_port=self.http_port,
                               tls_port=self.tls_port,
                               quic=QUIC.format(tls_port=self.tls_port) if self.quic else "")
        config_path = os.path.join(self.state, "nginx.conf")
        with open(config_path, "w") as f:
            f.write(config)

        def pin():
            if cpus:
                os.sched_setaffinity(0, cpus)

        self.process = subprocess.Popen(
            [binary, "-p", self.state, "-c", config_path, "-e", os.path.join(self.state, "error.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=pin, start_new_session=True)
        self.pid = self.process.pid
        try:
            self._wait_until_listening()
        except BaseException:
            self.close()
            raise

    def _wait_until_listening(self):
        deadline = time.monotonic() + 20
        for port in (self.http_port, self.tls_port):
            while True:
                if self.process.poll() is not None:
                    raise RuntimeError("nginx exited: " + self.error_log())
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise RuntimeError("nginx never listened: " + self.error_log())
                    time.sleep(0.02)

    def error_log(self):
        try:
            with open(os.path.join(self.state, "error.log")) as f:
                return f.read()
        except OSError:
            return ""

    def url(self, path, scheme="http"):
        port = self.http_port if scheme == "http" else self.tls_port
        return f"{scheme}://127.0.0.1:{port}/{path.lstrip('/')}"

    def close(self):
        if self.process.poll() is None:
            # SIGQUIT: finish what is in flight, then the master reaps its worker
            os.kill(self.pid, signal.SIGQUIT)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                # the worker shares the master's process group, made for it
                os.killpg(self.pid, signal.SIGKILL)
                self.process.wait()
        shutil.rmtree(self.state, ignore_errors=True)
