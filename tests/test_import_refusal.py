"""The core refuses to load against an unsuitable libcurl."""

import os
import subprocess

import pytest

from conftest import run_python

HERE = os.path.dirname(__file__)

# every case runs in a child interpreter
pytestmark = pytest.mark.refleak_once


@pytest.fixture(scope="module")
def fake_libcurl(tmp_path_factory):
    """A shared library that, preloaded, makes libcurl look unsuitable."""
    target = tmp_path_factory.mktemp("fake") / "libfakecurl.so"
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-O1", "-o", str(target),
         os.path.join(HERE, "support", "fake_libcurl.c"), "-ldl"],
        check=True, timeout=60,
    )
    return str(target)


def import_with(fake, **settings):
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), fake]))
    env = {"LD_PRELOAD": preload, **settings}
    return run_python("""
        try:
            import tovrel
        except ImportError as exc:
            print(exc)
        else:
            print("loaded")
    """, env=env)


def test_unfaked_library_loads(fake_libcurl):
    assert import_with(fake_libcurl).stdout.strip() == "loaded"


@pytest.mark.parametrize("version", ["8.20.9", "7.88.1", "8.0.0"])
def test_older_libcurl_is_refused(fake_libcurl, version):
    out = import_with(fake_libcurl, FAKE_LIBCURL_VERSION=version).stdout.strip()
    assert out == (f"tovrel: libcurl link-time version ({version}) is older than "
                   "compile-time version (8.21.0)")


def test_minimum_version_loads(fake_libcurl):
    assert import_with(fake_libcurl, FAKE_LIBCURL_VERSION="8.21.0").stdout.strip() == "loaded"


SSL_MESSAGE = ("tovrel: libcurl link-time ssl backends ({}) do not include "
               "compile-time ssl backend (openssl)")


@pytest.mark.parametrize("backends, named", [
    ("none", "none"),
    ("gnutls", "gnutls"),
    ("gnutls,schannel,mbedtls", "gnutls, schannel, mbedtls"),
])
def test_missing_openssl_backend_is_refused(fake_libcurl, backends, named):
    out = import_with(fake_libcurl, FAKE_LIBCURL_SSLSET=backends).stdout.strip()
    assert out == SSL_MESSAGE.format(named)


def test_backend_list_is_cut_at_200_bytes(fake_libcurl):
    names = [f"backend{i:02d}-" + "x" * 20 for i in range(12)]
    out = import_with(fake_libcurl, FAKE_LIBCURL_SSLSET=",".join(names)).stdout.strip()
    listed = out[len("tovrel: libcurl link-time ssl backends ("):out.index(") do not include")]
    assert len(listed) == 199
    assert ", ".join(names).startswith(listed)


def test_refused_import_can_be_retried(fake_libcurl):
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), fake_libcurl]))
    proc = run_python("""
        import os
        os.environ["FAKE_LIBCURL_VERSION"] = "8.20.0"
        try:
            import tovrel
        except ImportError:
            pass
        else:
            raise SystemExit("first import should fail")
        del os.environ["FAKE_LIBCURL_VERSION"]
        import sys
        sys.modules.pop("tovrel", None)
        sys.modules.pop("tovrel._tovrel", None)
        import tovrel
        tovrel.Curl().close()
        print("loaded")
    """, env={"LD_PRELOAD": preload})
    assert proc.stdout.strip() == "loaded", proc.stderr
