"""A scikit-build-core metadata provider: the packages of an extra that only interpreters with the GIL can install.

Some of the libraries kavno_feed is tested against publish no wheel for free-threaded CPython, and their sources
need a toolchain of their own (a nightly Rust for polars), so an extra that always named them could not be installed
there. pyproject.toml lists them in this provider's [[tool.dynamic-metadata]] entry, extra by extra; a wheel built
for an interpreter with the GIL adds them to its extras, one built for a free-threaded interpreter leaves them out,
and their tests skip where they are missing.
"""

from __future__ import annotations

import sysconfig
from collections.abc import Mapping
from typing import Any


def dynamic_metadata(settings: Mapping[str, Any], _project: Mapping[str, Any]) -> dict[str, Any]:
    for extra, packages in settings.items():
        if not isinstance(packages, list) or not all(isinstance(p, str) for p in packages):
            raise RuntimeError(f"gil_only_extras: {extra} must be a list of requirement strings")
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    return {"optional-dependencies": {extra: [] if free_threaded else list(packages)
                                      for extra, packages in settings.items()}}


def dynamic_wheel(_settings: Mapping[str, Any]) -> dict[str, bool]:
    """The extras of a wheel depend on the interpreter it is built for, not on the sdist."""
    return {"optional-dependencies": True}
