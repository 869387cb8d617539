"""libcurl's client-side transfer engine for Python.

The compiled core, ``tovrel._tovrel``, holds every type, function and
constant; this package re-exports them, so ``tovrel.Curl``, ``tovrel.URL``
and ``tovrel.error`` are the names to use.
"""

from tovrel import _tovrel
from tovrel._tovrel import *  # noqa: F401,F403

__all__ = [name for name in vars(_tovrel) if not name.startswith("_")]
