"""Many downloads at once on one thread, through a CurlMulti stack.

    python examples/many_downloads.py http://127.0.0.1:PORT/hello 100
"""

import sys

import tovrel


def download_all(urls):
    """Fetch every URL at once; return {url: body} and [(url, error)]."""
    multi = tovrel.CurlMulti()
    bodies = {}
    for url in urls:
        c = tovrel.Curl()
        c.setopt(tovrel.URL, url)
        c.chunks = []  # Curl objects take attributes of their own
        c.setopt(tovrel.WRITEFUNCTION, c.chunks.append)
        multi.add_handle(c)

    done, failed = [], []
    running = len(urls)
    while running:
        _, running = multi.perform()  # do what is ready, never wait
        _, ok, bad = multi.info_read()  # collect the finished transfers
        done += ok
        failed += bad
        if running:
            multi.select(1.0)  # sleep until a socket is ready
    _, ok, bad = multi.info_read()
    done += ok
    failed += bad

    for c in done:
        bodies[c.getinfo(tovrel.EFFECTIVE_URL)] = b"".join(c.chunks)
    errors = [(c.getinfo(tovrel.EFFECTIVE_URL), message) for c, code, message in failed]
    multi.close()
    for c in done + [c for c, _, _ in failed]:
        c.close()
    return bodies, errors


def main():
    url, count = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 20
    urls = [f"{url}?n={i}" for i in range(count)]
    bodies, errors = download_all(urls)
    print(f"{len(bodies)} of {count} downloads succeeded, {sum(map(len, bodies.values()))} bytes")
    for url, message in errors:
        print(f"failed: {url}: {message}")


if __name__ == "__main__":
    main()
