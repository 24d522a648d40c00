import pathlib
import subprocess
import sys

import pytest
from kestrine import Kestrine

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture
def db():
    return Kestrine()


@pytest.fixture
def col(db):
    db.create_collection("c", 3)
    return db


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    """Calls fn and checks the exception's exact type and message; returns the exception."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert info.value.args[0] == message
    return info.value


def run_mypy(request, *paths):
    """mypy --strict over `paths` (relative to the repository's root), with a cache kept between
    runs (in a temporary directory when pytest runs without its cache); skips the test when mypy
    is not installed."""
    pytest.importorskip("mypy")
    if hasattr(request.config, "cache"):
        cache = request.config.cache.mkdir("mypy")
    else:
        cache = request.getfixturevalue("tmp_path_factory").mktemp("mypy")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *paths],
        capture_output=True,
        text=True,
        cwd=ROOT,
    )


def run_stubtest(module, cwd):
    """mypy's stubtest of the installed `module`, run from `cwd` (outside the source tree, so
    that the installed package is the one checked); skips the test when mypy is absent."""
    pytest.importorskip("mypy")
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module],
        capture_output=True,
        text=True,
        cwd=cwd,
    )
