"""Legacy HTTPPOST forms, checked by a server that parses what it receives."""

import base64
import gc
import io
import json
import warnings

import pytest

import tovrel


@pytest.fixture
def post_form(http_server):
    def post(curl, fields):
        body = io.BytesIO()
        curl.setopt(tovrel.URL, http_server.url("/form"))
        curl.setopt(tovrel.WRITEDATA, body)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            curl.setopt(tovrel.HTTPPOST, fields)
        curl.perform()
        parts = json.loads(body.getvalue())["parts"]
        for part in parts:
            part["data"] = base64.b64decode(part["data"])
        return parts

    return post


def test_text_fields(curl, post_form):
    parts = post_form(curl, [("first", "one"), (b"second", b"two\0bytes"), ("third", "")])
    assert [(p["name"], p["data"]) for p in parts] == [
        ("first", b"one"), ("second", b"two\0bytes"), ("third", b"")]


def test_file_with_content_type(curl, post_form, tmp_path):
    path = tmp_path / "report.csv"
    path.write_bytes(b"a,b\n1,2\n")
    parts = post_form(curl, [("upload", (tovrel.FORM_FILE, str(path), tovrel.FORM_CONTENTTYPE, "text/csv"))])
    assert (parts[0]["name"], parts[0]["filename"], parts[0]["content_type"], parts[0]["data"]) == (
        "upload", "report.csv", "text/csv", b"a,b\n1,2\n")


def test_buffer_is_kept_alive_by_the_form(curl, post_form):
    data = bytes(range(256)) * 100
    expected = bytes(data)
    fields = [("blob", (tovrel.FORM_BUFFER, "blob.bin", tovrel.FORM_BUFFERPTR, data))]
    curl.setopt(tovrel.URL, "http://127.0.0.1/")  # form set first, posted later
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        curl.setopt(tovrel.HTTPPOST, fields)
    del data, fields
    gc.collect()
    parts = post_form(curl, [("blob", (tovrel.FORM_BUFFER, "blob.bin", tovrel.FORM_BUFFERPTR, expected))])
    assert parts[0]["filename"] == "blob.bin" and parts[0]["data"] == expected


def test_str_bufferptr_survives(curl, post_form):
    parts = post_form(curl, [("t", (tovrel.FORM_BUFFER, "t.txt", tovrel.FORM_BUFFERPTR, "text " * 1000))])
    assert parts[0]["data"] == b"text " * 1000


def test_contents_may_hold_nul_bytes(curl, post_form):
    parts = post_form(curl, [("c", (tovrel.FORM_CONTENTS, b"x\0y\0z"))])
    assert parts[0]["data"] == b"x\0y\0z"


def test_duplicate_shares_the_form(curl, post_form, http_server):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        curl.setopt(tovrel.HTTPPOST, [("k", "v")])
    dup = curl.duphandle()
    curl.close()
    body = io.BytesIO()
    dup.setopt(tovrel.URL, http_server.url("/form"))
    dup.setopt(tovrel.WRITEDATA, body)
    dup.perform()
    assert json.loads(body.getvalue())["parts"][0]["name"] == "k"
    dup.close()


FIRST_ELEMENT = ("list or tuple must contain a byte string or Unicode string with ASCII code points only "
                 "as first element")


@pytest.mark.parametrize("fields, error, message", [
    ([5], TypeError, "list items must be list or tuple objects"),
    ([("a",)], TypeError, "list or tuple must contain two elements (name, value)"),
    ([("a", "b", "c")], TypeError, "list or tuple must contain two elements (name, value)"),
    ([(5, "v")], TypeError, FIRST_ELEMENT),
    ([("n\u00e4me", "v")], TypeError, FIRST_ELEMENT),
    ([("n", 5)], TypeError, "unsupported second type in tuple"),
    ([("n", (tovrel.FORM_FILE,))], TypeError, "list or tuple must contain at least one option and one value"),
    ([("n", (tovrel.FORM_FILE, "p", tovrel.FORM_CONTENTS))], TypeError,
     "list or tuple must contain an even number of items"),
    ([("n", (99, "p"))], TypeError, "unsupported option"),
    ([("n", ("p", "p"))], TypeError, "option must be an integer"),
    ([("n", (tovrel.FORM_FILE, 5))], TypeError,
     "value must be a byte string or a Unicode string with ASCII code points only"),
    ([("ok", "v"), ("n", 5)], TypeError, "unsupported second type in tuple"),
    # libcurl would read these only up to the NUL
    ([("n", (tovrel.FORM_FILE, b"/etc/hostname\x00.bak"))], ValueError, "embedded null byte"),
    ([("n", (tovrel.FORM_BUFFER, "a\x00b.bin", tovrel.FORM_BUFFERPTR, b"x"))], ValueError, "embedded null byte"),
    ([("n", (tovrel.FORM_CONTENTS, "v", tovrel.FORM_CONTENTTYPE, b"text/plain\x00x"))], ValueError,
     "embedded null byte"),
    ([("n", (tovrel.FORM_CONTENTS, "v", tovrel.FORM_FILENAME, "f\x00.txt"))], ValueError, "embedded null byte"),
])
def test_malformed_fields(curl, fields, error, message):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(error) as info:
            curl.setopt(tovrel.HTTPPOST, fields)
    assert info.value.args == (message,)


def test_non_ascii_value_is_a_bad_argument(curl):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(tovrel.error) as info:
            curl.setopt(tovrel.HTTPPOST, [("n", "v\u00e4lue")])
    assert info.value.args[0] == tovrel.E_BAD_FUNCTION_ARGUMENT


def test_failed_form_keeps_the_previous_one(curl, post_form, http_server):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        curl.setopt(tovrel.HTTPPOST, [("kept", "yes")])
        with pytest.raises(TypeError):
            curl.setopt(tovrel.HTTPPOST, [("new", 5)])
        curl.setopt(tovrel.HTTPPOST, [])  # empty: warns, changes nothing
    body = io.BytesIO()
    curl.setopt(tovrel.URL, http_server.url("/form"))
    curl.setopt(tovrel.WRITEDATA, body)
    curl.perform()
    assert [p["name"] for p in json.loads(body.getvalue())["parts"]] == ["kept"]
