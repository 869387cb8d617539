"""Fetch several URLs concurrently from asyncio code.

    python examples/asyncio_fetch.py http://127.0.0.1:PORT/hello http://127.0.0.1:PORT/download
"""

import asyncio
import hashlib
import sys

import tovrel
import tovrel.aio


async def fetch(session, url):
    """The body of ``url``; the event loop runs other work meanwhile."""
    digest, size = hashlib.sha256(), 0

    def write(data):
        nonlocal size
        digest.update(data)
        size += len(data)

    with tovrel.Curl() as c:
        c.setopt(tovrel.URL, url)
        c.setopt(tovrel.WRITEFUNCTION, write)
        c.setopt(tovrel.FAILONERROR, 1)
        await session.perform(c)  # raises tovrel.error like perform()
    return url, size, digest.hexdigest()[:16]


async def main(urls):
    async with tovrel.aio.Session() as session:
        jobs = [fetch(session, url) for url in urls]
        for result in await asyncio.gather(*jobs, return_exceptions=True):
            if isinstance(result, tovrel.error):
                print(f"failed: {result.args[1]}")
            elif isinstance(result, BaseException):
                raise result
            else:
                url, size, digest = result
                print(f"{url}: {size} bytes, sha256 {digest}...")


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1:]))
