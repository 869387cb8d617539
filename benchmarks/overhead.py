"""tovrel's own cost per call, without a network in the way: transfers of
file:// URLs, where libcurl's work is small and steady and every
microsecond tovrel adds shows.  Meant for comparing two builds:

    cp -a build/release/site build/baseline-site     # before a change
    ... change src/ ...
    dev/run python3.15 benchmarks/overhead.py --baseline build/baseline-site

Each workload runs in fresh processes, the two builds alternating, and the
ratio printed is the median over the rounds of (this build's CPU time per
unit) / (the baseline's), so below 1 means this build is cheaper.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1024 * 1024


def child(workload, folder):
    import tovrel

    total = 0

    def sink(data):
        nonlocal total
        total += len(data)

    def handle(name, **options):
        c = tovrel.Curl()
        c.setopt(tovrel.URL, "file://" + os.path.join(folder, name))
        c.setopt(tovrel.WRITEFUNCTION, sink, use_memoryview=options.pop("view", False))
        for option, value in options.items():
            c.setopt(getattr(tovrel, option), value)
        return c

    units = 0
    if workload in ("chunks-bytes", "chunks-view"):
        c = handle("big.bin", view=workload == "chunks-view")
        c.perform()
        start = time.process_time()
        for _ in range(4):
            c.perform()
        units = 4 * 64 * MIB // (16 * 1024)
    elif workload == "perform":
        c = handle("small.bin")
        start = time.process_time()
        for _ in range(20000):
            c.perform()
            c.getinfo(tovrel.RESPONSE_CODE)
        units = 20000
    elif workload == "multi":
        m = tovrel.CurlMulti()
        handles = [handle("small.bin") for _ in range(50)]
        for c in handles:
            m.add_handle(c)
        start = time.process_time()
        left = 20000
        while left > 0:
            m.perform()
            queued, ok, failed = m.info_read()
            for c in ok:
                c.getinfo(tovrel.RESPONSE_CODE)
                m.remove_handle(c)
                m.add_handle(c)
                left -= 1
            wait = m.timeout()
            if wait:
                m.select(wait / 1000 if 0 < wait < 1000 else 1.0)
        units = 20000
    cpu = time.process_time() - start
    print(json.dumps({"units": units, "cpu": cpu}))


WORKLOADS = ["chunks-bytes", "chunks-view", "perform", "multi"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--baseline", required=True, metavar="SITE", help="the other build's site folder")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        child(*options.child)
        return
    folder = tempfile.mkdtemp(prefix="tovrel-overhead-")
    try:
        with open(os.path.join(folder, "big.bin"), "wb") as f:
            f.write(os.urandom(MIB) * 64)
        with open(os.path.join(folder, "small.bin"), "wb") as f:
            f.write(os.urandom(1024))
        builds = {"this": os.environ.get("PYTHONPATH", ""), "baseline": os.path.abspath(options.baseline)}
        per_unit = {(w, b): [] for w in WORKLOADS for b in builds}
        for _ in range(options.rounds):
            for w in WORKLOADS:
                for b, site in builds.items():
                    done = subprocess.run([sys.executable, __file__, "--baseline", options.baseline, "--child", w,
                                           folder], capture_output=True, text=True, check=True,
                                          env=dict(os.environ, PYTHONPATH=site),
                                          preexec_fn=lambda: os.sched_setaffinity(0, {0}))
                    r = json.loads(done.stdout)
                    per_unit[w, b].append(r["cpu"] / r["units"] * 1e9)
        for w in WORKLOADS:
            ratios = [a / b for a, b in zip(per_unit[w, "this"], per_unit[w, "baseline"])]
            print(f"{w:13} this {statistics.median(per_unit[w, 'this']):8.0f} ns/unit, baseline "
                  f"{statistics.median(per_unit[w, 'baseline']):8.0f} ns/unit, ratio {statistics.median(ratios):.3f}")
    finally:
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        os.rmdir(folder)


if __name__ == "__main__":
    main()
