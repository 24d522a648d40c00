"""Kestrine: an embedded vector database for Python, running inside your process with no
server and no background thread. Quickstart::

    from kestrine import Kestrine
    db = Kestrine()  # or Kestrine(data_dir="./data") for a persistent database
    db.create_collection("docs", dimension=3)
    db.insert("docs", "The cat sat on the mat", [0.1, 0.2, 0.3], metadata={"lang": "en"})
    hits = db.search("docs", query_embedding=[0.1, 0.2, 0.3], query_text="cat", k=5)
"""

from importlib.metadata import PackageNotFoundError, version

from _kestrine import CollectionInfo, Kestrine, SearchResult

from kestrine._types import (
    DistanceMetric,
    Document,
    Embedding,
    Embeddings,
    Filter,
    FilterCondition,
    FilterOp,
    FilterValue,
    FusionMethod,
    MatrixLike,
    Metadata,
    MetadataValue,
    NewDocument,
    VectorLike,
)

try:
    __version__ = version("kestrine")
except PackageNotFoundError:  # imported from a build tree rather than an installed package
    __version__ = "0+unknown"

__all__ = [
    "CollectionInfo",
    "DistanceMetric",
    "Document",
    "Embedding",
    "Embeddings",
    "Filter",
    "FilterCondition",
    "FilterOp",
    "FilterValue",
    "FusionMethod",
    "Kestrine",
    "MatrixLike",
    "Metadata",
    "MetadataValue",
    "NewDocument",
    "SearchResult",
    "VectorLike",
    "__version__",
]
