"""Kestrine's engine: an in-process vector database with HNSW and BM25 indexing."""

from collections.abc import Sequence
from types import TracebackType
from typing import Literal, Self, final

from kestrine._types import (
    DistanceMetric,
    Document,
    Embedding,
    Embeddings,
    Filter,
    FusionMethod,
    Metadata,
    NewDocument,
)

@final
class Kestrine:
    """In-process vector database with HNSW and BM25 indexing.

    Create ephemeral or persistent databases:

        db = Kestrine()                      # ephemeral (in-memory only)
        db = Kestrine(data_dir="./data")     # with WAL persistence and crash recovery

    A persistent database locks its data directory while open: another opening of it,
    in this process or another, raises RuntimeError. With read_only=True the directory
    is read as it is at that moment, without the lock and without changing any file,
    beside a writer if there is one; every change then raises RuntimeError. Methods
    release the interpreter lock while the engine works, so threads run in parallel.
    close(), or leaving a with block, ends the database and releases the directory.
    checkpoint_bytes bounds the WAL of a persistent database, and with it the time that
    reopening (or recovering from a crash) spends replaying it: the change that takes the
    WAL past this many bytes checkpoints before it returns, as compact() does. None (the
    default) means the larger of 4 MiB and 1/16 of the snapshots' total size; 0 turns
    automatic checkpoints off. If one fails (a full disk), the change is kept, a
    RuntimeWarning says why, and the next change tries again. Ignored without data_dir.
    """

    def __new__(
        cls,
        data_dir: str | None = None,
        encryption_key: str | None = None,
        read_only: bool = False,
        checkpoint_bytes: int | None = None,
    ) -> Kestrine: ...
    def __enter__(self) -> Self:
        """Return the database itself, for a with block that closes it at its end."""

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        """Close the database; exceptions propagate."""

    def close(self) -> None:
        """Close the database: the log's file is closed and the data directory's lock released."""

    def create_collection(
        self,
        name: str,
        dimension: int,
        m: int | None = None,
        ef_construction: int | None = None,
        ef_search: int | None = None,
        distance_metric: DistanceMetric | None = None,
        store_raw_vectors: bool | None = None,
    ) -> None:
        """Create a new collection."""

    def delete_collection(self, name: str) -> bool:
        """Delete a collection by name. Returns True if it existed."""

    def list_collections(self) -> list[str]:
        """List all collection names."""

    def collection_info(self, name: str) -> CollectionInfo:
        """Get information about a collection."""

    def insert(
        self,
        collection: str,
        text: str,
        embedding: Embedding,
        metadata: Metadata | None = None,
        id: str | None = None,
    ) -> str:
        """Insert a single document. Returns the document UUID as a string."""

    def batch_insert(
        self, collection: str, documents: list[NewDocument], threads: int = 1
    ) -> list[str]:
        """Insert multiple documents. Returns a list of UUID strings.

        All or nothing: when one document is refused, none is inserted, and the exception
        raised for it has an int attribute ``document_index``, that document's 0-based
        position in the list. ``threads`` insert the documents into the index, started for
        this call and finished before it returns (0 = one per core).
        """

    def get(self, collection: str, id: str) -> Document:
        """Get a document by UUID. Returns a dict with 'id', 'text', 'metadata'."""

    def delete(self, collection: str, id: str) -> bool:
        """Delete a document by UUID. Returns True if it existed."""

    def upsert(
        self,
        collection: str,
        id: str,
        text: str,
        embedding: Embedding,
        metadata: Metadata | None = None,
    ) -> bool:
        """Store a document under its UUID, replacing a live document with that id."""

    def batch_upsert(self, collection: str, documents: list[NewDocument]) -> list[str]:
        """Upsert multiple documents. Returns a list of UUID strings.

        All or nothing: when one document is refused, none is stored, and the exception raised
        for it has an int attribute ``document_index``, that document's 0-based position in
        the list.
        """

    def get_many(self, collection: str, ids: list[str]) -> list[Document | None]:
        """Get documents by UUID, in the order given (None for an unknown or deleted id)."""

    def count(self, collection: str, filter: Filter | None = None) -> int:
        """Count the live documents, or those that pass the filter."""

    def scan(
        self,
        collection: str,
        filter: Filter | None = None,
        limit: int | None = None,
        after: str | None = None,
    ) -> list[Document]:
        """List the live documents that pass the filter, in the order of their ids."""

    def delete_many(
        self, collection: str, ids: list[str] | None = None, filter: Filter | None = None
    ) -> int:
        """Delete the given ids and every live document that passes the filter."""

    def search(
        self,
        collection: str,
        query_embedding: Embedding | None = None,
        query_text: str | None = None,
        k: int = 10,
        min_similarity: float | None = None,
        alpha: float = 0.7,
        fusion_method: FusionMethod = "rrf",
        filter: Filter | None = None,
        *,
        ef_search: int | None = None,
    ) -> list[SearchResult]:
        """Search a collection."""

    def search_many(
        self,
        collection: str,
        query_embeddings: Embeddings | None = None,
        query_texts: Sequence[str] | None = None,
        k: int = 10,
        min_similarity: float | None = None,
        alpha: float = 0.7,
        fusion_method: FusionMethod = "rrf",
        filter: Filter | None = None,
        threads: int = 1,
        *,
        ef_search: int | None = None,
    ) -> list[list[SearchResult]]:
        """Run a batch of searches. Returns one list of results per query, in query order."""

    def save(
        self, collection: str, path: str | None = None, encryption_key: str | None = None
    ) -> None:
        """Save a collection snapshot to disk."""

    def load(self, name: str, path: str | None = None, encryption_key: str | None = None) -> None:
        """Load a collection snapshot from disk."""

    def compact(self) -> None:
        """Save all collections to disk and truncate the WAL."""

    def rebuild(self, collection: str) -> int:
        """Rebuild HNSW and BM25 indices for a collection, reclaiming deleted space."""

    def total_memory_bytes(self) -> int:
        """Estimate total memory usage across all collections (bytes)."""

@final
class SearchResult:
    """A single search result with document ID, text, score, and metadata."""

    @property
    def id(self) -> str:
        """The document's UUID in hyphenated lowercase form."""

    @property
    def text(self) -> str:
        """The document's text."""

    @property
    def score(self) -> float:
        """The hit's score (similarity, BM25 or fused)."""

    @property
    def metadata(self) -> Metadata:
        """A new dict of the document's metadata."""

@final
class CollectionInfo:
    """Information about a collection."""

    @property
    def name(self) -> str:
        """The collection's name."""

    @property
    def dimension(self) -> int:
        """The embedding dimension."""

    @property
    def document_count(self) -> int:
        """The number of live documents."""

    @property
    def estimated_memory_bytes(self) -> int:
        """An estimate of the collection's memory use in bytes."""
