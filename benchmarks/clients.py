"""The Python side of the benchmarks: one client on one workload per process.

    python3.15 clients.py '{"workload": "seq", "client": "tovrel", ...}'

prints one JSON line with the same fields as reference.c: ``count``
transfers (or round trips) in ``wall`` seconds of which ``cpu`` seconds
were this process's CPU time, ``bytes`` of body, and the resident memory
before the handles were made and at its peak.

Every client does what a user of it would write: one reused handle or
session, a callable (or the client's own read) that takes the body, a
check of the status.  The options tovrel is given are the ones
reference.c gives libcurl.
"""

import json
import os
import resource
import sys
import threading
import time

USER_AGENT = "tovrel-bench"
WARM_UP = 200


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (os.sysconf("SC_PAGESIZE") // 1024)


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


class Run:
    def __init__(self):
        self.count = 0
        self.bytes = 0
        self.collectors = []
        self.rss_base = rss_kib()

    def start(self):
        self.collect()
        self.bytes = 0
        self.t0 = time.perf_counter()
        self.c0 = time.process_time()

    def stop(self):
        self.wall = time.perf_counter() - self.t0
        self.cpu = time.process_time() - self.c0
        self.collect()

    def collect(self):
        for collect in self.collectors:
            collect()

    def report(self):
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(json.dumps({"count": self.count, "bytes": self.bytes, "wall": self.wall, "cpu": self.cpu,
                          "rss_base_kib": self.rss_base, "rss_peak_kib": peak}))


def split(url):
    import urllib.parse
    parts = urllib.parse.urlsplit(url)
    return parts.hostname, parts.port, parts.path


# ---------------------------------------------------------------------------
# tovrel

def counting_sink(run):
    """A write callable that counts what it is given into ``run.bytes``."""
    total = 0

    def sink(data):
        nonlocal total
        total += len(data)

    def collect():
        nonlocal total
        run.bytes += total
        total = 0

    run.collectors.append(collect)
    return sink


def tovrel_handle(url, run, *, buffersize=0, as_view=False, protocol=None, cafile=None):
    import tovrel
    sink = counting_sink(run)
    c = tovrel.Curl()
    c.setopt(tovrel.URL, url)
    c.setopt(tovrel.USERAGENT, USER_AGENT)
    c.setopt(tovrel.WRITEFUNCTION, sink, use_memoryview=as_view)
    if buffersize:
        c.setopt(tovrel.BUFFERSIZE, buffersize)
    if protocol:
        c.setopt(tovrel.CAINFO, cafile)
        c.setopt(tovrel.PIPEWAIT, 1)
        c.setopt(tovrel.HTTP_VERSION, tovrel.CURL_HTTP_VERSION_3ONLY if protocol == "h3"
                 else tovrel.CURL_HTTP_VERSION_2TLS)
    return c


def tovrel_seq(args, run):
    import tovrel
    c = tovrel_handle(args["url"], run)
    for _ in range(WARM_UP):
        c.perform()
    expected = 0 if args["url"].startswith("file:") else 200
    deadline = time.perf_counter() + args["seconds"]
    run.start()
    while True:
        c.perform()
        if c.getinfo(tovrel.RESPONSE_CODE) != expected:
            raise SystemExit("unexpected status")
        run.count += 1
        if time.perf_counter() >= deadline:
            break
    run.stop()


def tovrel_big(args, run):
    import tovrel
    c = tovrel_handle(args["url"], run, buffersize=args.get("buffersize", 0), as_view=args.get("view", False))
    expected = 0 if args["url"].startswith("file:") else 200
    run.start()
    for _ in range(args["count"]):
        c.perform()
        if c.getinfo(tovrel.RESPONSE_CODE) != expected:
            raise SystemExit("unexpected status")
        run.count += 1
    run.stop()


def tovrel_multi(args, run):
    """perform / info_read / select: the loop reference.c runs."""
    import tovrel
    run.rss_base = rss_kib()
    m = tovrel.CurlMulti()
    protocol = args.get("protocol")
    if protocol:
        m.setopt(tovrel.M_PIPELINING, tovrel.PIPE_MULTIPLEX)
        m.setopt(tovrel.M_MAX_HOST_CONNECTIONS, 1)
    handles = [tovrel_handle(args["url"], run, protocol=protocol, cafile=args.get("cafile"))
               for _ in range(args["inflight"])]

    def drive(deadline):
        done = 0
        active = len(handles)
        for c in handles:
            m.add_handle(c)
        while active:
            m.perform()
            queued, ok, failed = m.info_read()
            if failed:
                raise SystemExit(f"transfer failed: {failed[0][1:]}")
            if ok:
                timed_out = time.perf_counter() >= deadline
                for c in ok:
                    if c.getinfo(tovrel.RESPONSE_CODE) != 200:
                        raise SystemExit("unexpected status")
                    m.remove_handle(c)
                    if timed_out:
                        active -= 1
                    else:
                        m.add_handle(c)
                done += len(ok)
            if active:
                # libcurl may hold work no socket shows (data it has read
                # already, a timer): its timeout says how long to wait
                wait = m.timeout()
                if wait:
                    m.select(wait / 1000 if 0 < wait < 1000 else 1.0)
        return done

    drive(0)
    run.start()
    run.count = drive(time.perf_counter() + args["seconds"])
    run.stop()


def tovrel_socket(args, run):
    """socket_action driven by a selectors loop, as an event loop would."""
    import selectors
    import tovrel
    run.rss_base = rss_kib()
    m = tovrel.CurlMulti()
    selector = selectors.DefaultSelector()
    events = {tovrel.POLL_IN: selectors.EVENT_READ, tovrel.POLL_OUT: selectors.EVENT_WRITE,
              tovrel.POLL_INOUT: selectors.EVENT_READ | selectors.EVENT_WRITE}
    timer = [None]

    def on_socket(what, fd, multi, assigned):
        if what == tovrel.POLL_REMOVE:
            selector.unregister(fd)
        elif assigned is None:
            selector.register(fd, events[what])
            multi.assign(fd, fd)
        else:
            selector.modify(fd, events[what])

    def on_timer(ms):
        timer[0] = None if ms < 0 else time.perf_counter() + ms / 1000

    m.setopt(tovrel.M_SOCKETFUNCTION, on_socket)
    m.setopt(tovrel.M_TIMERFUNCTION, on_timer)
    handles = [tovrel_handle(args["url"], run) for _ in range(args["inflight"])]
    EV_READ, CSELECT_IN, CSELECT_OUT = selectors.EVENT_READ, tovrel.CSELECT_IN, tovrel.CSELECT_OUT
    SOCKET_TIMEOUT = tovrel.SOCKET_TIMEOUT

    def drive(deadline):
        done = 0
        active = len(handles)
        for c in handles:
            m.add_handle(c)
        while active:
            due = timer[0]
            wait = 1.0 if due is None else max(0.0, due - time.perf_counter())
            ready = selector.select(wait)
            for key, mask in ready:
                m.socket_action(key.fd, CSELECT_IN if mask & EV_READ else CSELECT_OUT)
            if timer[0] is not None and time.perf_counter() >= timer[0]:
                timer[0] = None
                m.socket_action(SOCKET_TIMEOUT, 0)
            queued, ok, failed = m.info_read()
            if failed:
                raise SystemExit(f"transfer failed: {failed[0][1:]}")
            if ok:
                timed_out = time.perf_counter() >= deadline
                for c in ok:
                    if c.getinfo(tovrel.RESPONSE_CODE) != 200:
                        raise SystemExit("unexpected status")
                    m.remove_handle(c)
                    if timed_out:
                        active -= 1
                    else:
                        m.add_handle(c)
                done += len(ok)
        return done

    drive(0)
    run.start()
    run.count = drive(time.perf_counter() + args["seconds"])
    run.stop()


def tovrel_idle(args, run):
    import tovrel
    tovrel.Curl().close()
    run.rss_base = rss_kib()
    handles = []
    for _ in range(args["count"]):
        c = tovrel.Curl()
        c.setopt(tovrel.URL, args["url"])
        c.setopt(tovrel.USERAGENT, USER_AGENT)
        c.setopt(tovrel.WRITEFUNCTION, len)
        handles.append(c)
    run.count = len(handles)
    run.bytes = (rss_kib() - run.rss_base) * 1024
    run.wall = run.cpu = 0.0
    run.python_object_bytes = sys.getsizeof(handles[0])


def tovrel_ws(args, run):
    import select
    import tovrel
    c = tovrel.Curl()
    c.setopt(tovrel.URL, args["url"])
    c.setopt(tovrel.USERAGENT, USER_AGENT)
    c.setopt(tovrel.CONNECT_ONLY, 2)
    c.perform()
    sock = c.getinfo(tovrel.ACTIVESOCKET)
    size = args["size"]
    out = b"x" * size
    buffer = bytearray(max(size, 65536))

    def send_all():
        view, offset = memoryview(out), 0
        while offset < size:
            try:
                offset += c.ws_send(view[offset:])
            except BlockingIOError:
                select.select([], [sock], [], 5)

    def receive_frame():
        # nothing of the echo can have arrived before it was sent: wait for
        # the socket first rather than be told BlockingIOError
        select.select([sock], [], [], 5)
        got = 0
        while got < size:
            try:
                n, meta = c.ws_recv_into(buffer)
            except BlockingIOError:
                select.select([sock], [], [], 5)
                continue
            got += n

    for _ in range(20):
        send_all()
        receive_frame()
    deadline = time.perf_counter() + args["seconds"]
    run.start()
    while True:
        send_all()
        receive_frame()
        run.count += 1
        run.bytes += size
        if time.perf_counter() >= deadline:
            break
    run.stop()


# ---------------------------------------------------------------------------
# the pure-Python peers

def sync_session(client, url):
    """A function fetching ``url`` once with ``client``'s reused session;
    it returns the body length."""
    host, port, path = split(url)
    headers = {"User-Agent": USER_AGENT}
    if client == "requests":
        import requests
        session = requests.Session()

        def get():
            r = session.get(url, headers=headers)
            if r.status_code != 200:
                raise SystemExit("unexpected status")
            return len(r.content)
    elif client == "httpx":
        import httpx
        session = httpx.Client(headers=headers)

        def get():
            r = session.get(url)
            if r.status_code != 200:
                raise SystemExit("unexpected status")
            return len(r.content)
    elif client == "urllib3":
        import urllib3
        pool = urllib3.HTTPConnectionPool(host, port, maxsize=1, headers=headers)

        def get():
            r = pool.request("GET", path)
            if r.status != 200:
                raise SystemExit("unexpected status")
            return len(r.data)
    elif client == "http.client":
        import http.client
        connection = http.client.HTTPConnection(host, port)

        def get():
            connection.request("GET", path, headers=headers)
            r = connection.getresponse()
            body = r.read()
            if r.status != 200:
                raise SystemExit("unexpected status")
            return len(body)
    else:
        raise SystemExit(f"unknown client {client}")
    return get


def peer_seq(args, run):
    get = sync_session(args["client"], args["url"])
    for _ in range(WARM_UP):
        get()
    deadline = time.perf_counter() + args["seconds"]
    run.start()
    while True:
        run.bytes += get()
        run.count += 1
        if time.perf_counter() >= deadline:
            break
    run.stop()


def peer_threads(args, run):
    """``inflight`` threads, each with its own session."""
    inflight = args["inflight"]
    barrier = threading.Barrier(inflight + 1)
    counts = [0] * inflight
    deadline = [0.0]

    def worker(i):
        get = sync_session(args["client"], args["url"])
        for _ in range(5):
            get()
        barrier.wait()
        barrier.wait()
        n = 0
        while time.perf_counter() < deadline[0]:
            get()
            n += 1
        counts[i] = n

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(inflight)]
    for t in threads:
        t.start()
    barrier.wait()
    deadline[0] = time.perf_counter() + args["seconds"]
    run.start()
    barrier.wait()
    for t in threads:
        t.join()
    run.stop()
    run.count = sum(counts)


def peer_big(args, run):
    """The body streamed in chunks and dropped, as a download to disk would."""
    client, url = args["client"], args["url"]
    host, port, path = split(url)
    chunk = 65536
    headers = {"User-Agent": USER_AGENT}
    if client == "requests":
        import requests
        session = requests.Session()

        def get():
            with session.get(url, headers=headers, stream=True) as r:
                return sum(map(len, r.iter_content(chunk)))
    elif client == "httpx":
        import httpx
        session = httpx.Client(headers=headers)

        def get():
            with session.stream("GET", url) as r:
                return sum(map(len, r.iter_raw(chunk)))
    elif client == "urllib3":
        import urllib3
        pool = urllib3.HTTPConnectionPool(host, port, maxsize=1, headers=headers)

        def get():
            r = pool.request("GET", path, preload_content=False)
            n = sum(map(len, r.stream(chunk)))
            r.release_conn()
            return n
    elif client == "http.client":
        import http.client
        connection = http.client.HTTPConnection(host, port)

        def get():
            connection.request("GET", path, headers=headers)
            r = connection.getresponse()
            n = 0
            while data := r.read(chunk):
                n += len(data)
            return n
    else:
        raise SystemExit(f"unknown client {client}")
    run.start()
    for _ in range(args["count"]):
        run.bytes += get()
        run.count += 1
    run.stop()


def aiohttp_run(args, run):
    import asyncio
    import aiohttp

    async def main():
        workload = args["workload"]
        inflight = args.get("inflight", 1)
        connector = aiohttp.TCPConnector(limit=0)
        async with aiohttp.ClientSession(connector=connector, headers={"User-Agent": USER_AGENT}) as session:
            url = args["url"]

            async def get():
                async with session.get(url) as r:
                    if r.status != 200:
                        raise SystemExit("unexpected status")
                    if workload == "big":
                        n = 0
                        async for data in r.content.iter_chunked(65536):
                            n += len(data)
                        return n
                    return len(await r.read())

            if workload == "big":
                run.start()
                for _ in range(args["count"]):
                    run.bytes += await get()
                    run.count += 1
                run.stop()
                return
            counts = [0] * inflight
            deadline = [0.0]

            async def worker(i):
                n = 0
                while time.perf_counter() < deadline[0]:
                    await get()
                    n += 1
                counts[i] = n

            # open every connection before the clock starts
            await asyncio.gather(*(get() for _ in range(inflight)))
            if workload == "seq":
                for _ in range(WARM_UP):
                    await get()
            deadline[0] = time.perf_counter() + args["seconds"]
            run.start()
            await asyncio.gather(*(worker(i) for i in range(inflight)))
            run.stop()
            run.count = sum(counts)

    asyncio.run(main())


def httpx_h2(args, run):
    """httpx's HTTP/2 (h2) with ``inflight`` streams on one TLS connection."""
    import asyncio
    import ssl
    import httpx

    async def main():
        context = ssl.create_default_context(cafile=args["cafile"])
        # the throwaway CA's certificates carry no key identifiers
        context.verify_flags &= ~ssl.VERIFY_X509_STRICT
        limits = httpx.Limits(max_connections=1)
        async with httpx.AsyncClient(http2=True, verify=context, limits=limits,
                                     headers={"User-Agent": USER_AGENT}) as client:
            url = args["url"]
            counts = [0] * args["inflight"]
            deadline = [0.0]

            async def get():
                r = await client.get(url)
                if r.status_code != 200 or r.http_version != "HTTP/2":
                    raise SystemExit("unexpected status or version")

            async def worker(i):
                n = 0
                while time.perf_counter() < deadline[0]:
                    await get()
                    n += 1
                counts[i] = n

            await asyncio.gather(*(get() for _ in range(args["inflight"])))
            deadline[0] = time.perf_counter() + args["seconds"]
            run.start()
            await asyncio.gather(*(worker(i) for i in range(args["inflight"])))
            run.stop()
            run.count = sum(counts)

    asyncio.run(main())


def websockets_ws(args, run):
    from websockets.sync.client import connect
    size = args["size"]
    out = b"x" * size
    with connect(args["url"], max_size=None, compression=None,
                 user_agent_header=USER_AGENT) as ws:
        for _ in range(20):
            ws.send(out)
            ws.recv()
        deadline = time.perf_counter() + args["seconds"]
        run.start()
        while True:
            ws.send(out)
            if len(ws.recv()) != size:
                raise SystemExit("short echo")
            run.count += 1
            run.bytes += size
            if time.perf_counter() >= deadline:
                break
        run.stop()


def dispatch(args):
    workload, client = args["workload"], args["client"]
    table = {
        ("seq", "tovrel"): tovrel_seq,
        ("big", "tovrel"): tovrel_big,
        ("multi", "tovrel"): tovrel_multi,
        ("multi", "tovrel-socket"): tovrel_socket,
        ("idle", "tovrel"): tovrel_idle,
        ("ws", "tovrel"): tovrel_ws,
        ("ws", "websockets"): websockets_ws,
        ("multi", "httpx-h2"): httpx_h2,
    }
    if (workload, client) in table:
        return table[workload, client]
    if client == "aiohttp":
        return aiohttp_run
    if workload == "seq":
        return peer_seq
    if workload == "multi":
        return peer_threads
    if workload == "big":
        return peer_big
    raise SystemExit(f"no {client} client for {workload}")


def main():
    args = json.loads(sys.argv[1])
    raise_fd_limit()
    run = Run()
    dispatch(args)(args, run)
    run.report()


if __name__ == "__main__":
    main()
