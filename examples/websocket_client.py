"""Talk WebSocket: send messages and read the echoes.

    python examples/websocket_client.py ws://127.0.0.1:PORT/ws hello world
"""

import select
import sys

import tovrel


def connect(url):
    """A Curl holding an open WebSocket connection."""
    c = tovrel.Curl()
    c.setopt(tovrel.URL, url)
    c.setopt(tovrel.CONNECT_ONLY, 2)  # stop after the upgrade; frames are ours
    c.perform()
    return c


def receive_message(c):
    """The next whole message, waiting for the socket instead of spinning."""
    sock = c.getinfo(tovrel.ACTIVESOCKET)
    chunks = []
    while True:
        try:
            data, frame = c.ws_recv(65536)
        except BlockingIOError:
            select.select([sock], [], [], 10)
            continue
        chunks.append(data)
        if frame.bytesleft == 0 and not frame.flags & tovrel.WS_CONT:
            return b"".join(chunks), frame.flags


def main():
    url, words = sys.argv[1], sys.argv[2:] or ["hello"]
    c = connect(url)
    for word in words:
        c.ws_send(word)  # a str goes as a text frame
        data, flags = receive_message(c)
        kind = "text" if flags & tovrel.WS_TEXT else "binary"
        print(f"sent {word!r}, got back {data.decode()!r} ({kind})")
    c.ws_close(1000, "done")
    c.close()


if __name__ == "__main__":
    main()
