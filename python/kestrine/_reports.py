"""The shapes of what the private module ``kestrine._tools`` returns: plain dicts describing a
data directory's files, the collections opening it would give, and its stored documents."""

from typing import Literal, TypedDict

from kestrine._types import Metadata


class CollectionSummary(TypedDict):
    name: str
    dimension: int
    metric: Literal["cosine", "euclidean", "dot_product"]
    m: int
    ef_construction: int
    ef_search: int
    store_raw_vectors: bool
    pq_subspaces: int
    node_count: int
    """Graph nodes, deleted ones included."""
    documents: int
    """Live documents: what a search can return."""
    deleted_nodes: int
    """Nodes marked deleted: the room a rebuild reclaims."""
    memory_bytes: int
    exact_vectors: bool
    """Raw 32-bit vectors are kept for every node (else only their 8-bit codes)."""


class SnapshotReport(TypedDict):
    file: str
    size: int
    form: Literal["checksummed", "encrypted", "bare"]
    check: Literal["none", "passed", "failed", "missing key"]
    """The CRC of a checksummed file, the tag of an encrypted one."""
    crc: int | None
    """The stored CRC of a checksummed file."""
    decoded: bool
    loadable: bool
    """Decoded, valid and well named: opening loads it."""
    failed_step: Literal["read", "check", "decode", "validate", "name"] | None
    error: str | None
    """The failure exactly as reading the snapshot reports it."""
    collection: CollectionSummary | None


class LogReport(TypedDict):
    file: str
    present: bool
    size: int
    records: int
    """Complete, verified records before the point where replay stops."""
    encrypted_records: int
    entries: dict[str, int]
    """Decoded entries by kind: create_collection, insert_document, batch_insert, ..."""
    undecodable: int
    """Verified records whose entry does not decode: replay skips them."""
    first_undecodable_offset: int | None
    first_undecodable_error: str | None
    end: Literal["clean", "torn tail", "corrupt"]
    refusal: Literal["missing key", "wrong key"] | None
    """Set when opening fails for want of the right key."""
    stop_offset: int
    """Where replay stops: the end of the last good record."""
    problem: str | None
    """What is wrong with the record at ``stop_offset``."""
    open_error: str | None
    """The error opening raises on a refusal."""
    sound: bool


class OtherFile(TypedDict):
    file: str
    size: int
    kind: Literal["temporary snapshot", "corrupt log tail", "other"]


class DirectoryReport(TypedDict):
    path: str
    snapshots: list[SnapshotReport]
    log: LogReport
    other_files: list[OtherFile]
    default_checkpoint_threshold: int
    """The log's length past which a change checkpoints under the default setting: the
    larger of 4 MiB and 1/16 of the loadable snapshots' total size."""


class StateReport(TypedDict):
    collections: list[CollectionSummary]
    """Sorted by name."""
    warnings: list[str]
    """Snapshots that opening would skip, as opening words it."""
    log_end: Literal["clean", "torn tail", "corrupt"]
    log_replayed_bytes: int


class ExportedDocument(TypedDict):
    id: str
    text: str
    metadata: Metadata
    embedding: list[float]
    """The stored vector: exact when raw vectors are kept, else dequantized 8-bit codes."""
