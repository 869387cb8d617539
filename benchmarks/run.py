"""tovrel side by side with raw libcurl (C) and the pure-Python clients.

    python3.15 benchmarks/run.py            # everything: RESULTS.md and scaling.png
    python3.15 benchmarks/run.py --quick    # three ratios to raw libcurl, printed

nginx (one worker) serves generated files on 127.0.0.1, pinned to one CPU;
every client runs in a fresh process pinned to the other, the clients of a
workload interleaved, several repetitions each.  See README.md.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests"))

from certs import Authority  # noqa: E402
from nginxserver import Nginx, free_port, nginx_lacks_quic  # noqa: E402

PYTHON = sys.executable
SERVER_CPUS = {1}
CLIENT_CPUS = {0}
FILES = {"0": 0, "1k": 1024, "100k": 100 * 1024, "10m": 10 * 1024 * 1024, "256m": 256 * 1024 * 1024}
MIB = 1024 * 1024

SEQ_PEERS = ["requests", "httpx", "urllib3", "http.client", "aiohttp"]
CONC_PEERS = ["aiohttp", "requests", "httpx", "urllib3", "http.client"]
BIG_PEERS = ["requests", "httpx", "urllib3", "http.client", "aiohttp"]
SCALE_LEVELS = [1, 10, 50, 200, 1000]


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def pin_client():
    os.sched_setaffinity(0, CLIENT_CPUS)


# ---------------------------------------------------------------------------
# the fixtures: files, certificate, servers, the C program

def make_files(folder):
    block = os.urandom(MIB)
    for name, size in FILES.items():
        with open(os.path.join(folder, name + ".bin"), "wb") as f:
            left = size
            while left:
                f.write(block[:min(left, MIB)])
                left -= min(left, MIB)
    os.chmod(folder, 0o755)


def build_reference(folder):
    binary = os.path.join(folder, "reference")
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libcurl"], capture_output=True, text=True,
                           check=True).stdout.split()
    subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", binary,
                    os.path.join(HERE, "reference.c"), *flags], check=True)
    return binary


class EchoServer:
    """benchmarks/wsecho.py in a process of its own, pinned like nginx."""

    def __init__(self):
        self.port = free_port()
        self.process = subprocess.Popen(
            [PYTHON, os.path.join(HERE, "wsecho.py"), str(self.port)], stdout=subprocess.PIPE, text=True,
            preexec_fn=lambda: os.sched_setaffinity(0, SERVER_CPUS))
        if self.process.stdout.readline().strip() != "ready":
            self.close()
            raise RuntimeError("the WebSocket echo server did not start")
        self.url = f"ws://127.0.0.1:{self.port}/"

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


# ---------------------------------------------------------------------------
# running one client once

class Bench:
    def __init__(self, reference, nginx, cafile, docroot, baseline=None):
        self.docroot = docroot
        self.baseline = baseline
        self.reference = reference
        self.nginx = nginx
        self.cafile = cafile

    def url(self, name, scheme="http"):
        if scheme == "file":
            return "file://" + os.path.join(self.docroot, name + ".bin")
        return self.nginx.url(name + ".bin", scheme)

    def command(self, client, params):
        """argv for ``client`` on ``params`` (a dict of workload parameters)."""
        w = params["workload"]
        if client == "libcurl":
            if w == "seq":
                return [self.reference, "seq", params["url"], str(params["seconds"])]
            if w == "multi":
                extra = [params["protocol"], self.cafile] if params.get("protocol") else []
                return [self.reference, "multi", params["url"], str(params["inflight"]), str(params["seconds"]), *extra]
            if w == "big":
                return [self.reference, "big", params["url"], str(params["count"]), str(params.get("buffersize", 0))]
            if w == "idle":
                return [self.reference, "idle", str(params["count"]), params["url"]]
            if w == "ws":
                return [self.reference, "ws", params["url"], params["mode"], str(params["size"]), str(params["seconds"])]
        args = dict(params, client=client.split("[")[0])
        if client.endswith("[view]"):
            args["view"] = True
        if params.get("protocol"):
            args["cafile"] = self.cafile
        return [PYTHON, os.path.join(HERE, "clients.py"), json.dumps(args)]

    def run_once(self, client, params):
        argv = self.command(client, params)
        env = None
        if client.startswith("tovrel") and self.baseline and params.get("baseline"):
            env = dict(os.environ, PYTHONPATH=self.baseline)
        done = subprocess.run(argv, capture_output=True, text=True, preexec_fn=pin_client, timeout=120, env=env)
        if done.returncode != 0:
            raise RuntimeError(f"{client} on {params}: exit {done.returncode}\n{done.stderr[-3000:]}")
        return json.loads(done.stdout.strip().splitlines()[-1])


class Series:
    """Repeated runs of one client on one workload."""

    def __init__(self, label, client, params):
        self.label = label
        self.client = client
        self.params = params
        self.runs = []

    def rates(self):
        """Transfers (or round trips) per second; bytes per second for
        downloads and 1 MiB WebSocket frames; bytes per handle for idle
        handles."""
        w = self.params["workload"]
        if w == "idle":
            return [r["bytes"] / r["count"] for r in self.runs]
        if w == "big" or self.params.get("mode") == "bulk":
            return [r["bytes"] / r["wall"] for r in self.runs]
        return [r["count"] / r["wall"] for r in self.runs]

    def median(self):
        return statistics.median(self.rates())

    def paired_ratio(self, other):
        """The median over the rounds of this series' rate divided by
        ``other``'s in the same round: the two ran back to back, so a slow
        spell of the machine cancels out."""
        return statistics.median(a / b for a, b in zip(self.rates(), other.rates()))

    def cpu_per_unit(self):
        """Median client CPU time per transfer (µs), or per MiB for downloads."""
        if self.params["workload"] == "big":
            return statistics.median(r["cpu"] / (r["bytes"] / MIB) * 1e6 for r in self.runs)
        if self.params["workload"] == "idle":
            return 0.0
        return statistics.median(r["cpu"] / r["count"] * 1e6 for r in self.runs)


def interleaved(bench, series, repetitions):
    """Run every series ``repetitions`` times, one round through all of them
    per repetition, so a slow moment of the machine hits all alike.  Every
    other round goes backwards, so that a drift of the machine's speed
    favours no place in the order."""
    for rep in range(repetitions):
        for s in (series if rep % 2 == 0 else series[::-1]):
            s.runs.append(bench.run_once(s.client, s.params))
        log(f"  round {rep + 1}/{repetitions}: " + ", ".join(
            f"{s.label}{' @' + str(s.params['inflight']) if 'inflight' in s.params else ''} {s.rates()[-1]:,.0f}"
            for s in series))
    return series


# ---------------------------------------------------------------------------
# the workloads

def seq_series(bench, seconds, peers):
    params = {"workload": "seq", "url": bench.url("1k"), "seconds": seconds}
    return [Series(c, c, params) for c in ["libcurl", "tovrel", *peers]]


def conc_series(bench, seconds, inflight, peers):
    params = {"workload": "multi", "url": bench.url("1k"), "seconds": seconds, "inflight": inflight}
    out = [Series("libcurl", "libcurl", params), Series("tovrel", "tovrel", params)]
    if peers is not None:
        out.append(Series("tovrel socket_action", "tovrel-socket", params))
        out += [Series(c + (" (threads)" if c != "aiohttp" else " (tasks)"), c, params) for c in peers]
    return out


def big_series(bench, count, full):
    url = bench.url("256m")
    out = []
    for buffersize in ([0, MIB] if full else [0]):
        params = {"workload": "big", "url": url, "count": count, "buffersize": buffersize}
        size = "1 MiB" if buffersize else "default"
        out.append(Series(f"libcurl, {size} buffer", "libcurl", params))
        out.append(Series(f"tovrel memoryview, {size} buffer", "tovrel[view]", params))
        if full:
            out.append(Series(f"tovrel bytes, {size} buffer", "tovrel", params))
    if full:
        params = {"workload": "big", "url": url, "count": count}
        out += [Series(c, c, params) for c in BIG_PEERS]
    return out


def ratio(a, b):
    return a.median() / b.median()


def quick(bench):
    rounds = 7
    log("sequential 1 KiB GETs")
    seq = interleaved(bench, with_baseline(bench, seq_series(bench, 0.5, [])), rounds)
    log("1 KiB GETs, 50 in flight")
    conc = interleaved(bench, with_baseline(bench, conc_series(bench, 0.5, 50, None)), rounds)
    log("256 MiB download, memoryview delivery")
    big = interleaved(bench, with_baseline(bench, big_series(bench, 2, False)), rounds)
    pairs = {"seq": seq, "conc": conc, "big": big}
    if bench.baseline:
        print("tovrel / the baseline build: " +
              " ".join(f"{name}={p[1].paired_ratio(p[2]):.3f}" for name, p in pairs.items()) +
              "; client CPU per transfer: " +
              " ".join(f"{name}={p[1].cpu_per_unit() / p[2].cpu_per_unit():.3f}" for name, p in pairs.items()))
    print("client CPU per transfer, tovrel / libcurl: " +
          " ".join(f"{name}={p[1].cpu_per_unit() / p[0].cpu_per_unit():.3f}" for name, p in pairs.items()))
    print(" ".join(f"{name}={p[1].paired_ratio(p[0]):.3f}" for name, p in pairs.items()))


def with_baseline(bench, series):
    """With --baseline, each tovrel series gets a twin run from the baseline
    build, placed right after the pair it belongs to."""
    if not bench.baseline:
        return series
    twin = Series("tovrel (baseline build)", series[1].client, dict(series[1].params, baseline=True))
    return series[:2] + [twin] + series[2:]


# ---------------------------------------------------------------------------
# the full run: each group is measured, then rendered as a Markdown section

def by(group, label):
    return next(s for s in group if s.label == label)


def run_seq(bench, results):
    results["seq"] = interleaved(bench, seq_series(bench, 0.7, SEQ_PEERS), 10)


def run_conc(bench, results):
    results["conc"] = interleaved(bench, conc_series(bench, 0.7, 50, CONC_PEERS), 10)


def run_big(bench, results):
    results["big"] = interleaved(bench, big_series(bench, 3, True), 8)


def run_local(bench, results):
    """The same handle work on file:// URLs: no server and no network, so
    what is left is libcurl's own cost and what tovrel adds to it."""
    seq = {"workload": "seq", "url": bench.url("1k", "file"), "seconds": 0.5}
    local = [Series("libcurl, 1 KiB file, one handle", "libcurl", seq),
             Series("tovrel, 1 KiB file, one handle", "tovrel", seq)]
    for buffersize in (0, MIB):
        size = "1 MiB" if buffersize else "default"
        big = {"workload": "big", "url": bench.url("256m", "file"), "count": 3, "buffersize": buffersize}
        local += [Series(f"libcurl, 256 MiB file, {size} buffer", "libcurl", big),
                  Series(f"tovrel memoryview, 256 MiB file, {size} buffer", "tovrel[view]", big),
                  Series(f"tovrel bytes, 256 MiB file, {size} buffer", "tovrel", big)]
    results["local"] = interleaved(bench, local, 5)


def run_scale(bench, results):
    scale = []
    for level in SCALE_LEVELS:
        params = {"workload": "multi", "url": bench.url("1k"), "seconds": 0.8, "inflight": level}
        for label, client in [("libcurl", "libcurl"), ("tovrel", "tovrel"),
                              ("tovrel socket_action", "tovrel-socket"), ("aiohttp", "aiohttp")]:
            scale.append(Series(label, client, params))
    results["scale"] = interleaved(bench, scale, 3)
    idle = {"workload": "idle", "url": bench.url("1k"), "count": 10000}
    results["idle"] = interleaved(bench, [Series("libcurl", "libcurl", idle), Series("tovrel", "tovrel", idle)], 3)


def run_ws(bench, results):
    echo = EchoServer()
    try:
        ws = []
        for mode, size in [("rtt", 64), ("bulk", MIB)]:
            params = {"workload": "ws", "url": echo.url, "mode": mode, "size": size, "seconds": 1.0}
            ws += [Series(c, c, params) for c in ["libcurl", "tovrel", "websockets"]]
        results["ws"] = interleaved(bench, ws, 4)
    finally:
        echo.close()


def run_proto(bench, results):
    params = {"workload": "multi", "url": bench.url("1k", "https"), "seconds": 1.0, "inflight": 50,
            "protocol": "h2"}
    proto = [Series("libcurl HTTP/2", "libcurl", params), Series("tovrel HTTP/2", "tovrel", params),
             Series("httpx HTTP/2", "httpx-h2", params)]
    missing = nginx_lacks_quic() if bench.nginx.quic else "nginx serves no QUIC here"
    if missing is None:
        params3 = dict(params, protocol="h3")
        proto += [Series("libcurl HTTP/3", "libcurl", params3), Series("tovrel HTTP/3", "tovrel", params3)]
    results["proto"] = proto
    results["h3_missing"] = missing
    interleaved(bench, proto, 4)


def fmt_rate(value, unit):
    if unit == "MB/s":
        return f"{value / 1e6:,.0f} MB/s"
    if unit == "B":
        return f"{value:,.0f} B"
    return f"{value:,.0f}/s"


def spread(s, unit):
    rates = s.rates()
    return f"{fmt_rate(min(rates), unit)} – {fmt_rate(max(rates), unit)}"


def table(series, unit, reference, tovrel=None, cpu_unit="µs/req"):
    """Markdown rows: median, min–max, CPU, ratio to the reference and, for
    peers, how many times faster tovrel is."""
    lines = [f"| client | median | min – max | client CPU ({cpu_unit}) | × libcurl | tovrel × this |",
             "|---|---:|---:|---:|---:|---:|"]
    for s in series:
        faster = f"{ratio(tovrel, s):.2f}" if tovrel is not None and s is not tovrel else ""
        lines.append(f"| {s.label} | {fmt_rate(s.median(), unit)} | {spread(s, unit)} | {s.cpu_per_unit():.1f} | "
                     f"{ratio(s, reference):.3f} | {faster} |")
    return "\n".join(lines)


def render_targets(results):
    if not all(k in results for k in ("seq", "conc", "big")):
        return []
    seq, conc, big = results["seq"], results["conc"], results["big"]
    lines = ["## Targets", "", "| target | measured | met |", "|---|---:|:---:|"]

    def target(name, group, label, peer, goal):
        value = by(group, label).paired_ratio(by(group, peer))
        lines.append(f"| {name} (≥ {goal}) | {value:.3f} | {'yes' if value >= goal else 'no'} |")

    target("sequential 1 KiB: tovrel / libcurl", seq, "tovrel", "libcurl", 0.95)
    target("sequential 1 KiB: tovrel / requests", seq, "tovrel", "requests", 5)
    target("50 in flight: tovrel perform/select / libcurl multi", conc, "tovrel", "libcurl", 0.85)
    target("50 in flight: tovrel / aiohttp", conc, "tovrel", "aiohttp (tasks)", 3.5)
    for size in ["default", "1 MiB"]:
        target(f"256 MiB, memoryview, {size} buffer: tovrel / libcurl", big,
               f"tovrel memoryview, {size} buffer", f"libcurl, {size} buffer", 0.9)
    lines += ["", "Each target ratio is the median over the rounds of the two clients' rates in the same round "
              "(they ran back to back); the tables below compare the medians of the rates.", ""]
    return lines


def render_seq(results):
    seq = results["seq"]
    return ["## 1. Sequential 1 KiB GETs, one reused handle or session", "",
            table(seq, "req", by(seq, "libcurl"), by(seq, "tovrel")), ""]


def render_conc(results):
    conc = results["conc"]
    return ["## 2. 1 KiB GETs, 50 in flight", "",
            "tovrel: `CurlMulti` with perform/info_read/select, and socket_action from a `selectors` loop; "
            "aiohttp: 50 tasks on one session; the synchronous clients: 50 threads, a session each.", "",
            table(conc, "req", by(conc, "libcurl"), by(conc, "tovrel")), ""]


def render_big(results):
    big = results["big"]
    return ["## 3. One 256 MiB download", "",
            "The body goes to a callable (tovrel, libcurl) or is streamed in 64 KiB reads (the peers) "
            "and dropped. CPU is per MiB.", "",
            table(big, "MB/s", by(big, "libcurl, default buffer"), by(big, "tovrel memoryview, default buffer"),
                  "µs/MiB"), ""]


def render_local(results):
    local = results["local"]
    lines = ["## 3b. The same work on file:// URLs", "",
             "No server and no network: libcurl reads a local file (in the page cache) and hands it to the "
             "callable. What remains is libcurl's own cost and what tovrel adds to it, so the client CPU "
             "column is the one to read (per transfer for the 1 KiB file, per MiB for the big one).", "",
             "| client | median | client CPU | × libcurl (rate) | × libcurl (CPU) |", "|---|---:|---:|---:|---:|"]
    base = None
    for s in local:
        if s.client == "libcurl":
            base = s
        unit = "req" if s.params["workload"] == "seq" else "MB/s"
        cpu_unit = "µs/req" if unit == "req" else "µs/MiB"
        lines.append(f"| {s.label} | {fmt_rate(s.median(), unit)} | {s.cpu_per_unit():.2f} {cpu_unit} | "
                     f"{s.paired_ratio(base):.3f} | {s.cpu_per_unit() / base.cpu_per_unit():.3f} |")
    return lines + [""]


def render_scale(results):
    import tovrel
    scale = results["scale"]
    lines = ["## 4. Scaling: 1 KiB GETs at 1 to 1000 in flight", "",
             "Requests per second (median); in brackets the ratio to libcurl at the same level. "
             "Plot: [scaling.png](scaling.png).", ""]
    labels = ["libcurl", "tovrel", "tovrel socket_action", "aiohttp"]
    lines.append("| in flight | " + " | ".join(labels) + " |")
    lines.append("|---:|" + "---:|" * len(labels))
    for level in SCALE_LEVELS:
        row = [s for s in scale if s.params["inflight"] == level]
        base = by(row, "libcurl")
        cells = [f"{by(row, l).median():,.0f}" + ("" if l == "libcurl" else f" ({ratio(by(row, l), base):.2f})")
                 for l in labels]
        lines.append(f"| {level} | " + " | ".join(cells) + " |")
    lines.append("")
    idle = results["idle"]
    per_idle = {s.label: s.median() for s in idle}
    top = SCALE_LEVELS[-1]
    per_flight = {label: statistics.median((r["rss_peak_kib"] - r["rss_base_kib"]) * 1024 / top
                                           for r in by([s for s in scale if s.params["inflight"] == top], label).runs)
                  for label in ("libcurl", "tovrel")}
    curl_size = sys.getsizeof(tovrel.Curl())
    lines += ["Memory (resident set, median of the runs):", "",
              "| | libcurl | tovrel | tovrel / libcurl |", "|---|---:|---:|---:|",
              f"| per idle handle (10,000 with URL and callback set) | {per_idle['libcurl']:,.0f} B | "
              f"{per_idle['tovrel']:,.0f} B | {per_idle['tovrel'] / per_idle['libcurl']:.2f} |",
              f"| per in-flight transfer (peak at {top} in flight, above the process before "
              f"its handles) | {per_flight['libcurl']:,.0f} B | {per_flight['tovrel']:,.0f} B | "
              f"{per_flight['tovrel'] / per_flight['libcurl']:.2f} |", "",
              f"A `tovrel.Curl` object itself is {curl_size} bytes; the Python objects the benchmark makes per "
              "transfer (the object, its write callable) are part of tovrel's figures.", ""]
    return lines


def render_ws(results):
    ws = results["ws"]
    lines = ["## 5. WebSocket echo", "",
             "Against a python3-websockets (asyncio) echo server on CPU 1: round trips of 64-byte binary "
             "frames, and 1 MiB frames (MB/s of payload sent and echoed back). The server is in Python, so "
             "it bounds every client here.", ""]
    for mode, unit, title in [("rtt", "req", "64-byte round trips"), ("bulk", "MB/s", "1 MiB frames")]:
        group = [s for s in ws if s.params["mode"] == mode]
        lines += [f"**{title}**", "", table(group, unit, by(group, "libcurl"), by(group, "tovrel"),
                                            "µs/round trip"), ""]
    return lines


def render_proto(results):
    proto = results["proto"]
    lines = ["## 6. HTTP/2 and HTTP/3: 50 streams multiplexed on one connection", "",
             "1 KiB GETs over TLS; libcurl and tovrel through a multi handle with PIPE_MULTIPLEX and one "
             "connection per host, httpx through its HTTP/2 support (h2) with 50 tasks on one connection.", "",
             table(proto, "req", proto[0], proto[1]), ""]
    if results["h3_missing"]:
        lines += [f"HTTP/3 was skipped: {results['h3_missing']}.", ""]
    else:
        lines += ["The HTTP/3 rows' ratios are to libcurl over HTTP/2; compare the two HTTP/3 rows with "
                  "each other: tovrel / libcurl over HTTP/3 = "
                  f"{ratio(by(proto, 'tovrel HTTP/3'), by(proto, 'libcurl HTTP/3')):.3f}.", ""]
    return lines


GROUPS = {
    "seq": ("1. sequential 1 KiB GETs on one handle", run_seq, render_seq),
    "conc": ("2. 1 KiB GETs, 50 in flight", run_conc, render_conc),
    "big": ("3. one 256 MiB download", run_big, render_big),
    "local": ("3b. the same handle work on file:// URLs", run_local, render_local),
    "scale": ("4. scaling: 1 KiB GETs at 1 to 1000 in flight, and memory", run_scale, render_scale),
    "ws": ("5. WebSocket echo round trips", run_ws, render_ws),
    "proto": ("6. HTTP/2 and HTTP/3, 50 streams on one connection", run_proto, render_proto),
}


def machine():
    import platform
    import tovrel
    return (f"{os.cpu_count()} CPUs, Linux {platform.release()}, Python {platform.python_version()}, "
            f"libcurl {tovrel.version_info()[1]}, nginx {nginx_version()}")


def full(bench, out_dir, only):
    results = {}
    started = time.monotonic()
    for name in only:
        title, run, _ = GROUPS[name]
        log(title)
        run(bench, results)
    elapsed = time.monotonic() - started
    lines = render_targets(results)
    for name in only:
        lines += GROUPS[name][2](results)
    if only != list(GROUPS):
        print("\n".join(lines))
        return
    header = ["# Benchmark results", "",
              f"Written by `make bench` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} "
              f"in {elapsed / 60:.1f} minutes: {machine()}. nginx runs one worker on CPU 1, each client a "
              "fresh process on CPU 0. Rates are medians of the repetitions; every ratio compares medians "
              "from this one run. \"× libcurl\" is the client's rate divided by raw libcurl's; "
              "\"tovrel × this\" is tovrel's rate divided by this client's.", "",
              "This machine is shared: the same client's rate moves by 10–30 % from one round to the next, "
              "mostly in kernel time (socket copies, wake-ups), so a ratio that sits near its target can land "
              "on either side of it from one run to the next. The client CPU columns, and the file:// "
              "section (3b) where no network is involved, show what each client itself costs.", ""]
    with open(os.path.join(out_dir, "RESULTS.md"), "w") as f:
        f.write("\n".join(header + lines))
    log(f"wrote {os.path.join(out_dir, 'RESULTS.md')}")
    plot_scaling(results, out_dir)


def plot_scaling(results, out_dir):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    scale = results["scale"]
    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=120)
    for label, style in [("libcurl", "o-"), ("tovrel", "s-"), ("tovrel socket_action", "^--"),
                         ("aiohttp", "x:")]:
        points = [(s.params["inflight"], s.median()) for s in scale if s.label == label]
        ax.plot([p[0] for p in points], [p[1] for p in points], style, label=label)
    ax.set_xscale("log")
    ax.set_xlabel("transfers in flight")
    ax.set_ylabel("1 KiB GETs per second")
    ax.set_title("Scaling on one client CPU (nginx on the other)")
    ax.set_ylim(bottom=0)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "scaling.png"))
    log(f"wrote {os.path.join(out_dir, 'scaling.png')}")


def nginx_version():
    from nginxserver import nginx_binary
    text = subprocess.run([nginx_binary(), "-v"], capture_output=True, text=True).stderr
    return text.strip().split("/")[-1]


def profile(bench, client, params, out_dir):
    """One run of ``client`` under perf (CPU clock samples, call graphs,
    Python frames named through the interpreter's perf support)."""
    data = os.path.join(out_dir, f"perf-{client.replace('[', '-').strip(']')}-{params['workload']}.data")
    # no -e: without hardware counters perf samples the CPU clock
    argv = ["perf", "record", "-F", "4999", "-g", "-o", data, "--",
            *bench.command(client, params)]
    env = dict(os.environ, PYTHONPERFSUPPORT="1")
    done = subprocess.run(argv, capture_output=True, text=True, preexec_fn=pin_client, env=env, timeout=300)
    if done.returncode != 0:
        raise SystemExit(done.stderr)
    print(done.stdout.strip())
    report = subprocess.run(["perf", "report", "-i", data, "--no-children", "--percent-limit", "0.7",
                             "--stdio", "-g", "none", "--sort", "dso,symbol"],
                            capture_output=True, text=True)
    print(report.stdout)
    log(f"perf data in {data}: perf report -i {data}")


PROFILES = {
    "seq": lambda b: {"workload": "seq", "url": b.url("1k"), "seconds": 3.0},
    "conc": lambda b: {"workload": "multi", "url": b.url("1k"), "seconds": 3.0, "inflight": 50},
    "scale": lambda b: {"workload": "multi", "url": b.url("1k"), "seconds": 3.0, "inflight": 1000},
    "big": lambda b: {"workload": "big", "url": b.url("256m"), "count": 6},
    "big1m": lambda b: {"workload": "big", "url": b.url("256m"), "count": 6, "buffersize": MIB},
    "h2": lambda b: {"workload": "multi", "url": b.url("1k", "https"), "seconds": 3.0, "inflight": 50,
                     "protocol": "h2"},
}


def stop_on_sigterm():
    """A terminated run still stops its servers (the finally clauses)."""
    import signal

    def handler(signum, frame):
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, handler)


def main():
    stop_on_sigterm()
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="three ratios to raw libcurl, in under 2 minutes")
    parser.add_argument("--only", help="comma-separated groups (" + ",".join(GROUPS) + "); "
                        "prints their tables instead of writing RESULTS.md")
    parser.add_argument("--profile", nargs=2, metavar=("CLIENT", "WORKLOAD"),
                        help="run one client (libcurl, tovrel, tovrel[view], tovrel-socket, a peer) on one "
                        "workload (" + ",".join(PROFILES) + ") under perf record")
    parser.add_argument("--out", default=HERE, help="where RESULTS.md and scaling.png go")
    parser.add_argument("--baseline", metavar="SITE",
                        help="with --quick: also run tovrel from another build's site folder (a copy of "
                        "build/release/site made before a change), interleaved, and print the ratios to it")
    options = parser.parse_args()
    if os.cpu_count() < 2:
        raise SystemExit("the benchmarks need two CPUs: one for the server, one for the client")
    only = options.only.split(",") if options.only else list(GROUPS)
    for name in only:
        if name not in GROUPS:
            raise SystemExit(f"no group {name}; choose from {', '.join(GROUPS)}")
    work = tempfile.mkdtemp(prefix="tovrel-bench-")
    nginx = None
    try:
        docroot = os.path.join(work, "files")
        os.mkdir(docroot)
        make_files(docroot)
        reference = build_reference(work)
        authority = Authority("tovrel bench CA")
        cafile = os.path.join(work, "ca.pem")
        with open(cafile, "wb") as f:
            f.write(authority.pem)
        cert, key = authority.issue("127.0.0.1")
        nginx = Nginx(docroot, cert, key, cpus=SERVER_CPUS)
        baseline = os.path.abspath(options.baseline) if options.baseline else None
        bench = Bench(reference, nginx, cafile, docroot, baseline)
        if options.profile:
            client, workload = options.profile
            out = os.path.join(REPO, "build", "profiles")
            os.makedirs(out, exist_ok=True)
            profile(bench, client, PROFILES[workload](bench), out)
        elif options.quick:
            quick(bench)
        else:
            full(bench, options.out, only)
    finally:
        if nginx is not None:
            nginx.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
