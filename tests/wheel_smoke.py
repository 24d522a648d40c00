"""Smoke test of an installed wheel, run by `make test-wheel` with the python of a fresh virtual
environment that has nothing but the wheel: import, create, insert, search, save and load. Steps
whose methods this build lacks are reported as skipped. Exits non-zero on the first failure."""

import array
import importlib.metadata
import json
import pathlib
import subprocess
import sys
import tempfile

import _kestrine
import kestrine
from kestrine import Kestrine

skipped = []


def check(condition, what):
    if not condition:
        sys.exit(f"wheel smoke test failed: {what}")


def installed_files():
    files = importlib.metadata.files("kestrine") or []
    return {str(f).replace("\\", "/") for f in files}


def main():
    site = pathlib.Path(_kestrine.__file__).parent
    check(pathlib.Path(kestrine.__file__).parent.parent == site, "kestrine not from the wheel")
    check("site-packages" in site.parts, f"imported from {site}, not an installed wheel")
    check(kestrine.__version__ == importlib.metadata.version("kestrine"), "__version__")
    files = installed_files()
    for name in (
        "kestrine/py.typed",
        "_kestrine.pyi",
        "_kestrine-stubs/__init__.pyi",
        "kestrine/_tools.pyi",
        "kestrine/cli/__init__.py",
    ):
        check(name in files, f"{name} missing from the wheel")

    db = Kestrine()
    db.create_collection("docs", dimension=3, store_raw_vectors=True)
    texts = ["the cat sleeps", "a dog runs", "the cat eats"]
    vectors = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.9, 0.1, 0.0]]
    ids = [
        db.insert("docs", t, v, metadata={"n": i})
        for i, (t, v) in enumerate(zip(texts, vectors, strict=True))
    ]
    ids.append(db.insert("docs", "from a float buffer", array.array("f", [0.0, 0.0, 1.0])))
    check(db.get("docs", ids[0]) == {"id": ids[0], "text": texts[0], "metadata": {"n": 0}}, "get")
    check(db.collection_info("docs").document_count == 4, "document_count")

    if hasattr(db, "search"):
        hits = db.search("docs", query_embedding=[1.0, 0.0, 0.0], k=2)
        check([h.id for h in hits] == [ids[0], ids[2]], f"vector search: {hits}")
        hits = db.search("docs", query_text="cat", k=10)
        check({h.id for h in hits} == {ids[0], ids[2]}, f"keyword search: {hits}")
    else:
        skipped.append("search")

    if hasattr(db, "save") and hasattr(db, "load"):
        with tempfile.TemporaryDirectory() as directory:
            db.save("docs", path=directory)
            check((pathlib.Path(directory) / "docs.kestrine").is_file(), "snapshot file")
            other = Kestrine()
            other.load("docs", path=directory)
            check(other.get("docs", ids[3])["text"] == "from a float buffer", "load")
            check(other.collection_info("docs").document_count == 4, "loaded document_count")
    else:
        skipped.append("save/load")

    check_command_line()
    print("wheel smoke test passed" + (f" (skipped: {', '.join(skipped)})" if skipped else ""))


def check_command_line():
    """The console script and `python -m kestrine`: ingest, search and verify a tiny file."""
    script = pathlib.Path(sys.executable).with_name("kestrine")
    check(script.is_file(), "the kestrine script is missing")
    with tempfile.TemporaryDirectory() as directory:
        source = pathlib.Path(directory) / "docs.jsonl"
        lines = [
            {"text": "the cat sleeps", "embedding": [1.0, 0.0, 0.0], "metadata": {"n": 1}},
            {"text": "a dog runs", "embedding": [0.0, 1.0, 0.0]},
        ]
        source.write_text("".join(json.dumps(line) + "\n" for line in lines))
        data = str(pathlib.Path(directory) / "db")
        for argv in (
            [str(script), "ingest", data, "docs", str(source)],
            [sys.executable, "-m", "kestrine", "verify", data],
        ):
            result = subprocess.run(argv, capture_output=True, text=True)
            check(result.returncode == 0, f"{argv[1:]}: {result.stderr}")
        result = subprocess.run(
            [str(script), "search", data, "docs", "--text", "cat", "--json"],
            capture_output=True,
            text=True,
        )
        check(result.returncode == 0, f"search: {result.stderr}")
        check([h["text"] for h in json.loads(result.stdout)] == ["the cat sleeps"], "cli search")


if __name__ == "__main__":
    main()
