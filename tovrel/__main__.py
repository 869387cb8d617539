"""A small curl-like command line: ``python -m tovrel URL [options]``.

The body goes to standard output (or to the file given with -o).  On
failure the message goes to standard error and the exit status is libcurl's
result code, as curl's is: 6 for an unknown host, 7 for a refused
connection, 22 for an HTTP error with --fail, 28 for a timeout.  Bad
arguments exit with status 2.
"""

import argparse
import sys
import time
from collections.abc import Sequence
from typing import BinaryIO, TextIO

import tovrel

# A download shows a progress bar on a terminal once it has run this long.
PROGRESS_AFTER = 0.5

# curl's exit status when the output cannot be written
EXIT_WRITE_ERROR = tovrel.E_WRITE_ERROR


def header_line(text: str) -> str:
    """An -H argument: "Name: value", or "Name:" to drop a header."""
    name, colon, _ = text.partition(":")
    if not colon or not name.strip() or name != name.strip():
        raise argparse.ArgumentTypeError(f"{text!r} is not a header line like 'Name: value'")
    return text


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tovrel",
        description="Transfer a URL with libcurl, like a small curl.",
        epilog="The exit status is libcurl's result code (0 on success, 2 for bad arguments).",
    )
    parser.add_argument("url", metavar="URL", help="what to transfer")
    parser.add_argument("-o", "--output", metavar="FILE", help="write the body to FILE instead of stdout")
    parser.add_argument("-X", "--request", metavar="METHOD", help="request method to use (GET, PUT, DELETE ...)")
    parser.add_argument("-H", "--header", metavar="HEADER", action="append", default=[], type=header_line,
                        help="extra request header 'Name: value' (repeatable)")
    parser.add_argument("-d", "--data", metavar="DATA", action="append", default=[],
                        help="POST DATA (repeatable, joined with '&'); @FILE posts the file's content")
    parser.add_argument("-L", "--location", action="store_true", help="follow redirects")
    parser.add_argument("-f", "--fail", action="store_true", help="fail with status 22 on HTTP errors")
    parser.add_argument("-v", "--verbose", action="store_true", help="show libcurl's conversation on stderr")
    return parser


def read_data(items: Sequence[str]) -> bytes:
    """The -d arguments as one request body."""
    parts = []
    for item in items:
        if item.startswith("@"):
            with open(item[1:], "rb") as f:
                parts.append(f.read())
        else:
            parts.append(item.encode())
    return b"&".join(parts)


class ProgressBar:
    """XFERINFOFUNCTION drawing a download bar on a terminal, once the
    transfer has lasted PROGRESS_AFTER seconds."""

    def __init__(self, stream: TextIO, width: int = 40) -> None:
        self.stream = stream
        self.width = width
        self.started = time.monotonic()
        self.drawn = False

    def __call__(self, download_total: int, downloaded: int, upload_total: int, uploaded: int) -> int:
        if time.monotonic() - self.started < PROGRESS_AFTER:
            return 0
        if download_total > 0:
            filled = self.width * downloaded // download_total
            bar = "#" * filled + "." * (self.width - filled)
            text = f"\r[{bar}] {100 * downloaded // download_total:3d}% of {download_total // 1024} KiB"
        else:
            text = f"\r{downloaded // 1024} KiB"
        self.stream.write(text)
        self.stream.flush()
        self.drawn = True
        return 0

    def finish(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()


def configure(c: tovrel.Curl, args: argparse.Namespace, sink: BinaryIO) -> ProgressBar | None:
    c.setopt(tovrel.URL, args.url)
    c.setopt(tovrel.WRITEFUNCTION, sink.write)
    if args.request:
        c.setopt(tovrel.CUSTOMREQUEST, args.request)
    if args.header:
        c.setopt(tovrel.HTTPHEADER, args.header)
    if args.body is not None:
        c.setopt(tovrel.POSTFIELDS, args.body)
    if args.location:
        c.setopt(tovrel.FOLLOWLOCATION, 1)
    if args.fail:
        c.setopt(tovrel.FAILONERROR, 1)
    if args.verbose:
        c.setopt(tovrel.VERBOSE, 1)
    elif sys.stderr.isatty() and not (sink is sys.stdout.buffer and sys.stdout.isatty()):
        bar = ProgressBar(sys.stderr)
        c.setopt(tovrel.NOPROGRESS, 0)
        c.setopt(tovrel.XFERINFOFUNCTION, bar)
        return bar
    return None


def transfer(args: argparse.Namespace, sink: BinaryIO) -> int:
    with tovrel.Curl() as c:
        bar = configure(c, args, sink)
        try:
            c.perform()
        except tovrel.error as exc:
            code, message = exc.args
            print(f"tovrel: ({code}) {message}", file=sys.stderr)
            return int(code)
        finally:
            if bar is not None:
                bar.finish()
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = make_parser()
    args = parser.parse_args(argv)
    try:
        args.body = read_data(args.data) if args.data else None
    except OSError as exc:
        parser.error(f"cannot read the data file: {exc.filename}: {exc.strerror}")
    if args.output is None:
        return transfer(args, sys.stdout.buffer)
    try:
        sink = open(args.output, "wb")
    except OSError as exc:
        print(f"tovrel: cannot write {args.output}: {exc.strerror}", file=sys.stderr)
        return EXIT_WRITE_ERROR
    with sink:
        return transfer(args, sink)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
