"""What the LangChain and LlamaIndex vector stores share: the database they open, the
collection they create on first use, and the mapping of a framework's ids onto Kestrine's.

Frameworks name documents with any string ("1", "intro.md#3"), Kestrine only with UUIDs. An id
that is already a UUID in canonical form (lowercase, hyphenated) is used as it is, so the
framework and Kestrine's own API see the same document; any other id is mapped to a name-based
UUID (version 5, in a namespace of its own), the same every time, so adding the same id again
replaces the document. The caller keeps the original id where it can read it back."""

import uuid
from typing import Any

from _kestrine import Kestrine

from kestrine._types import Filter, NewDocument

# Fixed for good: stored documents are found again through it.
_ID_NAMESPACE = uuid.UUID("3ec8a3e6-8abc-4f7f-b741-5565e28fdd16")

# The range of a stored integer; a larger one cannot be a metadata value.
_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


def kestrine_id(external_id: str) -> str:
    """The Kestrine id of a document that the framework calls `external_id`."""
    try:
        if str(uuid.UUID(external_id)) == external_id:
            return external_id
    except ValueError:
        pass
    return str(uuid.uuid5(_ID_NAMESPACE, external_id))


def new_id() -> str:
    """A fresh id for a document given none: a random UUID, so it needs no mapping."""
    return str(uuid.uuid4())


def is_metadata_value(value: object) -> bool:
    """Whether Kestrine stores `value` as a metadata value (and so can filter on it)."""
    if isinstance(value, int):  # bool included
        return isinstance(value, bool) or _INT64_MIN <= value <= _INT64_MAX
    return isinstance(value, float | str)


# The keyword arguments of Kestrine.create_collection after the name and the dimension.
COLLECTION_OPTIONS = frozenset(
    {"m", "ef_construction", "ef_search", "distance_metric", "store_raw_vectors"}
)


def check_collection_options(options: dict[str, Any]) -> None:
    """Rejects a misspelt option at construction rather than at the first add."""
    unknown = sorted(set(options) - COLLECTION_OPTIONS)
    if unknown:
        raise TypeError(f"unknown collection options: {', '.join(unknown)}")


def open_database(database: Kestrine | None, data_dir: str | None) -> Kestrine:
    """The given database, else one opened on `data_dir`, else an ephemeral one."""
    if database is not None:
        if data_dir is not None:
            raise ValueError("give either database or data_dir, not both")
        return database
    return Kestrine(data_dir=data_dir)


def has_collection(database: Kestrine, name: str) -> bool:
    return name in database.list_collections()


def ensure_collection(
    database: Kestrine, name: str, dimension: int, options: dict[str, Any]
) -> None:
    """Creates the collection unless it exists. Another thread may create it in between: its
    "already exists" is then no error."""
    if has_collection(database, name):
        return
    try:
        database.create_collection(name, dimension, **options)
    except ValueError:
        if not has_collection(database, name):
            raise


def delete_documents(
    database: Kestrine, name: str, ids: list[str] | None, filter: Filter | None
) -> int:
    """Deletes the given ids and the documents that pass the filter; returns how many went.
    A collection left empty is rebuilt: new documents then start a fresh graph rather than
    hang off nodes that are all deleted, where a search would not reach them."""
    deleted = database.delete_many(name, ids=ids, filter=filter)
    if deleted and database.count(name) == 0:
        database.rebuild(name)
    return deleted


def last_of_each_id(records: list[NewDocument]) -> list[NewDocument]:
    """The records with one per id, the last given: a batch upsert refuses an id twice, and
    adding the same id twice in a row leaves the later document."""
    by_id = {record["id"]: record for record in records}
    return list(by_id.values()) if len(by_id) < len(records) else records
