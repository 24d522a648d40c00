"""Read-only access to a Kestrine data directory, for the command-line tool (private)."""

from collections.abc import Iterator
from typing import final

from kestrine._reports import DirectoryReport, ExportedDocument, StateReport
from kestrine._types import Filter

LOG_FILE_NAME: str  # the name of the write-ahead log in a data directory
LOCK_FILE_NAME: str  # the name of the file whose lock a writer holds in a data directory

@final
class DocumentIterator(Iterator[ExportedDocument]):
    """The live documents of a collection, with their stored vectors."""

    @property
    def exact_vectors(self) -> bool:
        """Whether the embeddings are the stored raw vectors (else dequantized 8-bit codes)."""

    @property
    def warnings(self) -> list[str]:
        """Snapshots that opening the directory would skip, as opening words it."""

    def __next__(self) -> ExportedDocument: ...

def inspect_directory(path: str, key_hex: str | None = None) -> DirectoryReport:
    """Every file of a data directory, read the way opening reads it; changes nothing."""

def describe_state(path: str, key_hex: str | None = None) -> StateReport:
    """The collections that opening the directory would give, built in memory; changes nothing."""

def iter_documents(
    path: str, collection: str, key_hex: str | None = None, filter: Filter | None = None
) -> DocumentIterator:
    """The live documents of a collection with their stored vectors (those that pass the filter,
    when given); changes nothing."""
