import importlib
import inspect
import subprocess
import sys
import textwrap

import _kestrine
import kestrine
import pytest
from conftest import raises_exactly


def test_module_registers_exactly_the_three_classes():
    public = sorted(n for n in dir(_kestrine) if not n.startswith("__"))
    assert public == ["CollectionInfo", "Kestrine", "SearchResult"]
    assert kestrine.Kestrine is _kestrine.Kestrine
    assert kestrine.SearchResult is _kestrine.SearchResult
    assert kestrine.CollectionInfo is _kestrine.CollectionInfo


def test_importing_again_in_the_same_interpreter_returns_the_same_module():
    first = sys.modules.pop("_kestrine")
    try:
        again = importlib.import_module("_kestrine")
        assert again is first
    finally:
        sys.modules["_kestrine"] = first


def test_sub_interpreters_are_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    code = textwrap.dedent(
        """
        import _kestrine, _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _kestrine")
        except Exception as exc:
            print(type(exc).__name__, exc)
        else:
            print("IMPORT-SUCCEEDED")
        """
    )
    del interpreters
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "IMPORT-SUCCEEDED" not in out.stdout
    assert "ImportError" in out.stdout or "RunFailedError" in out.stdout


@pytest.mark.parametrize("cls", [_kestrine.SearchResult, _kestrine.CollectionInfo])
def test_result_classes_cannot_be_instantiated(cls):
    raises_exactly(TypeError, f"No constructor defined for {cls.__name__}", cls)


def test_class_docstrings():
    assert _kestrine.SearchResult.__doc__ == (
        "A single search result with document ID, text, score, and metadata."
    )
    assert _kestrine.CollectionInfo.__doc__ == "Information about a collection."
    doc = _kestrine.Kestrine.__doc__
    lines = doc.splitlines()
    assert lines[0] == "In-process vector database with HNSW and BM25 indexing."
    assert lines[1] == "" and lines[2] == "Create ephemeral or persistent databases:"
    assert lines[3] == ""
    assert lines[4].split("#")[0].strip() == "db = Kestrine()"
    assert lines[4].split("#")[1].strip() == "ephemeral (in-memory only)"
    assert lines[5].split("#")[0].strip() == 'db = Kestrine(data_dir="./data")'
    assert lines[5].split("#")[1].strip() == "with WAL persistence and crash recovery"


SIGNATURES = {
    "create_collection": "(name, dimension, m=None, ef_construction=None, ef_search=None, "
    "distance_metric=None, store_raw_vectors=None)",
    "delete_collection": "(name)",
    "list_collections": "()",
    "collection_info": "(name)",
    "insert": "(collection, text, embedding, metadata=None, id=None)",
    "batch_insert": "(collection, documents, threads=1)",
    "get": "(collection, id)",
    "delete": "(collection, id)",
    "total_memory_bytes": "()",
    "close": "()",
}

SUMMARIES = {
    "create_collection": "Create a new collection.",
    "delete_collection": "Delete a collection by name. Returns True if it existed.",
    "list_collections": "List all collection names.",
    "collection_info": "Get information about a collection.",
    "insert": "Insert a single document. Returns the document UUID as a string.",
    "batch_insert": "Insert multiple documents. Returns a list of UUID strings.",
    "get": "Get a document by UUID. Returns a dict with 'id', 'text', 'metadata'.",
    "delete": "Delete a document by UUID. Returns True if it existed.",
    "total_memory_bytes": "Estimate total memory usage across all collections (bytes).",
    "close": "Close the database: the log's file is closed and the data directory's lock released.",
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_method_signatures_and_summaries(name):
    method = getattr(_kestrine.Kestrine(), name)
    assert str(inspect.signature(method)) == SIGNATURES[name]
    assert method.__doc__.splitlines()[0] == SUMMARIES[name]


def test_constructor_signature():
    assert (
        str(inspect.signature(_kestrine.Kestrine))
        == "(data_dir=None, encryption_key=None, read_only=False, checkpoint_bytes=None)"
    )


def test_docstring_args_sections():
    k = _kestrine.Kestrine
    assert "m: HNSW M parameter (default 16)." in k.create_collection.__doc__
    assert "ef_construction: HNSW ef_construction (default 200)." in k.create_collection.__doc__
    assert "ef_search: HNSW ef_search (default 50)." in k.create_collection.__doc__
    assert (
        "store_raw_vectors: If True, stores raw f32 vectors for exact reranking\n"
        "        (+0.7% recall, +59% RAM). Default False (compact mode)."
        in k.create_collection.__doc__
    )
    for line in [
        "collection: Collection name.",
        "text: Document text content.",
        "embedding: Embedding vector as a list of floats.",
        "metadata: Optional metadata dict.",
        "id: Optional UUID string. Auto-generated if omitted.",
    ]:
        assert line in k.insert.__doc__


def test_read_only_attributes(db):
    db.create_collection("c", 2)
    info = db.collection_info("c")
    with pytest.raises(AttributeError):
        info.name = "x"
    with pytest.raises(AttributeError):
        info.dimension = 3
