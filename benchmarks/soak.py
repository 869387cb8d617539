"""Memory over many sequential transfers on one handle.

    dev/run python3.15 benchmarks/soak.py [TRANSFERS] [EVERY]

Runs TRANSFERS (20000) GETs of 1 KiB on one Curl against a loopback server
in this process and prints the resident set size every EVERY (1000)
transfers.  A leak shows as a curve that keeps rising after the first few
samples; a steady one levels off.
"""

import http.server
import socketserver
import sys
import threading

import tovrel

BODY = bytes(range(256)) * 4


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", str(len(BODY)))
        self.end_headers()
        self.wfile.write(BODY)

    def log_message(self, *args):
        pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    transfers = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    every = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/"
    c = tovrel.Curl()
    c.setopt(tovrel.URL, url)
    received = []
    c.setopt(tovrel.WRITEFUNCTION, received.append)
    c.setopt(tovrel.HEADERFUNCTION, lambda line: None)
    samples = []
    for i in range(1, transfers + 1):
        c.perform()
        c.getinfo(tovrel.RESPONSE_CODE)
        received.clear()
        if i % every == 0:
            samples.append((i, rss_kib()))
            print(f"{i:>7} transfers  {samples[-1][1]:>7} KiB")
    c.close()
    server.shutdown()
    later = [rss for _, rss in samples[len(samples) // 2:]]
    print(f"second half: {min(later)}..{max(later)} KiB ({max(later) - min(later)} KiB spread)")


if __name__ == "__main__":
    main()
