"""The distribution's metadata: one version everywhere, and the trove data
that installers and indexes read.

The version is written once, in pyproject.toml; CMake turns it into the
core's TARN_VERSION_STRING, which the module publishes as __version__ and
the C test checks against tarn_version().  So a stale or hand-edited copy
anywhere shows up here as a mismatch.
"""

from __future__ import annotations

import io
import sys
import tomllib
from importlib import metadata
from pathlib import Path

import pytest

import pytarn
import pytarn_cli

ROOT = Path(__file__).resolve().parents[2]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]


def installed_metadata() -> metadata.PackageMetadata | None:
    """The metadata of the distribution the imported module came from, or
    None when the module is a build tree's (PYTHONPATH)."""
    try:
        dist = metadata.distribution("pytarn")
    except metadata.PackageNotFoundError:
        return None
    here = Path(pytarn.__file__ or "").resolve()
    files = {Path(str(dist.locate_file(f))).resolve() for f in dist.files or []}
    return dist.metadata if here in files else None


def test_module_version_is_the_project_version() -> None:
    assert pytarn.__version__ == PROJECT["version"]


def test_installed_metadata_and_cli_agree() -> None:
    meta = installed_metadata()
    if meta is None:
        pytest.skip("the module comes from a build tree, not an installed wheel")
    assert meta["Version"] == pytarn.__version__
    assert meta["License-Expression"] == "MIT"
    out = io.StringIO()
    assert pytarn_cli.main(["--version"], stdout=out, stderr=io.StringIO()) == 0
    assert out.getvalue().strip() == f"pytarn {pytarn.__version__}"


@pytest.mark.parametrize(
    "classifier, present",
    [
        ("Typing :: Typed", True),  # the wheel ships the module and its stubs
        ("Typing :: Stubs Only", False),
        ("Programming Language :: C++", True),
        (f"Programming Language :: Python :: {sys.version_info[0]}.{sys.version_info[1]}", True),
    ],
    ids=["typed", "not-stubs-only", "c++", "this-python"],
)
def test_classifiers(classifier: str, present: bool) -> None:
    assert (classifier in PROJECT["classifiers"]) is present


def test_license_is_declared_once() -> None:
    """An SPDX expression and the file; a license classifier beside it is an
    error for PEP 639 tools."""
    assert PROJECT["license"] == "MIT"
    assert (ROOT / "LICENSE").read_text(encoding="utf-8").startswith("MIT License")
    assert not [c for c in PROJECT["classifiers"] if c.startswith("License ::")]
