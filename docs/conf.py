"""Sphinx configuration for tovrel's documentation (``make docs``)."""

import os

import tovrel

project = "tovrel"
copyright = "the tovrel developers"
release = version = "0.1.0"

extensions = ["sphinx.ext.autodoc"]
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "undoc-members": True}
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_static_path = []

here = os.path.dirname(os.path.abspath(__file__))


def constant_groups():
    """The module's constants, grouped by their name's first word."""
    groups = {}
    for name in sorted(vars(tovrel._tovrel)):
        value = getattr(tovrel, name)
        if name.startswith("_") or type(value) not in (int, str):
            continue
        prefix = name.split("_")[0] + "_" if "_" in name else "(options and info codes)"
        groups.setdefault(prefix, []).append(name)
    return groups


def write_constants_page(app):
    """docs/constants.rst lists every constant the built module has."""
    lines = ["Constants", "=========", "",
             "Every constant of the module, by the first word of its name.  Each is an",
             "``int`` (``version`` and ``COMPILE_SSL_LIB`` are ``str``), readable as",
             "``tovrel.NAME`` and as an attribute of ``Curl``, ``CurlMulti`` or",
             "``CurlShare`` objects.  libcurl's own manual pages describe what each",
             "option and code means: ``URL`` is ``CURLOPT_URL``, ``RESPONSE_CODE`` is",
             "``CURLINFO_RESPONSE_CODE``, ``E_COULDNT_CONNECT`` is",
             "``CURLE_COULDNT_CONNECT``, ``M_MAXCONNECTS`` is ``CURLMOPT_MAXCONNECTS``.", ""]
    for prefix, names in constant_groups().items():
        lines += [f"``{prefix}``", "-" * (len(prefix) + 4), "",
                  ", ".join(f"``{name}``" for name in names), ""]
    text = "\n".join(lines)
    path = os.path.join(here, "constants.rst")
    if not os.path.exists(path) or open(path).read() != text:
        with open(path, "w") as f:
            f.write(text)


def setup(app):
    app.connect("builder-inited", write_constants_page)
