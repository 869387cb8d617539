"""Upload a form with a text field and a file, as multipart/form-data.

    python examples/upload_form.py http://127.0.0.1:PORT/form photo.jpg
"""

import sys

import tovrel


def upload(url, path):
    with tovrel.Curl() as c:
        c.setopt(tovrel.URL, url)
        with tovrel.CurlMime(c) as form:
            form.add_field("title", "holiday")
            form.add_file("upload", path, content_type="application/octet-stream")
            c.setopt(tovrel.MIMEPOST, form)  # a POST with this body
            reply = c.perform_rs()
        return c.getinfo(tovrel.RESPONSE_CODE), reply


def main():
    url, path = sys.argv[1:3]
    status, reply = upload(url, path)
    print(f"server answered {status}: {reply}")


if __name__ == "__main__":
    main()
