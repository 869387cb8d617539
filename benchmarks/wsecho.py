"""A WebSocket echo server for the benchmarks: python3-websockets on asyncio.

    python3.15 wsecho.py PORT

Echoes every message back unchanged; prints "ready" once it listens.
"""

import asyncio
import sys

from websockets.asyncio.server import serve
from websockets.exceptions import ConnectionClosed


async def echo(ws):
    try:
        async for message in ws:
            await ws.send(message)
    except ConnectionClosed:
        pass  # a benchmark client may end without a close frame


async def main(port):
    async with serve(echo, "127.0.0.1", port, max_size=None, compression=None):
        print("ready", flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1])))
