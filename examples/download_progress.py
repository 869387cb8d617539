"""Download a file with a progress bar.

    python examples/download_progress.py http://127.0.0.1:PORT/download out.bin
"""

import sys

import tovrel


class ProgressBar:
    """Called by libcurl (XFERINFOFUNCTION) as the transfer goes on."""

    def __init__(self, width=40):
        self.width = width

    def __call__(self, download_total, downloaded, upload_total, uploaded):
        if download_total > 0:
            filled = self.width * downloaded // download_total
            bar = "#" * filled + "." * (self.width - filled)
            sys.stderr.write(f"\r[{bar}] {100 * downloaded // download_total:3d}%")
        return 0  # anything else would abort the transfer


def download(url, path):
    with open(path, "wb") as out, tovrel.Curl() as c:
        c.setopt(tovrel.URL, url)
        c.setopt(tovrel.WRITEDATA, out)
        c.setopt(tovrel.FOLLOWLOCATION, 1)
        c.setopt(tovrel.FAILONERROR, 1)
        c.setopt(tovrel.NOPROGRESS, 0)  # progress callbacks are off by default
        c.setopt(tovrel.XFERINFOFUNCTION, ProgressBar())
        c.perform()
        sys.stderr.write("\n")
        return c.getinfo(tovrel.SIZE_DOWNLOAD_T), c.getinfo(tovrel.TOTAL_TIME)


def main():
    url, path = sys.argv[1:3]
    size, seconds = download(url, path)
    print(f"saved {size} bytes to {path} in {seconds:.2f} s")


if __name__ == "__main__":
    main()
