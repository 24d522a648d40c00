"""``kestrine ingest``: documents from a JSON-lines file, in batches, into a collection."""

import argparse
import os
import sys
import time
import uuid
from contextlib import suppress

from kestrine import Kestrine
from kestrine._types import NewDocument
from kestrine.cli._errors import CliError
from kestrine.cli._input import InputError, JsonLines, Key, parse_document, read_key
from kestrine.cli._output import Progress, count
from kestrine.cli._shared import LOCK_FILE, LOG_FILE, check_key, engine_errors, open_database, warn

CREATION_OPTIONS = {
    "metric": "--metric",
    "m": "--m",
    "ef_construction": "--ef-construction",
    "ef_search": "--ef-search",
    "raw_vectors": "--raw-vectors",
    "dimension": "--dimension",
}


class Ingest:
    """One load: lines checked as they come, gathered into batches, each batch one logged call.
    The database is opened when the first batch is ready, so that a file that is wrong from
    its first lines leaves no trace, not even a new data directory."""

    def __init__(self, args: argparse.Namespace, key: Key | None, source: JsonLines) -> None:
        self.args = args
        self.key = key
        self.source = source
        self.name: str = args.collection
        self.dimension: int | None = args.dimension
        self.db: Kestrine | None = None
        self.documents: list[NewDocument] = []
        self.lines: list[int] = []
        self.seen: dict[str, int] = {}  # id in canonical form -> line
        self.inserted = 0
        self.created_directory = False
        self.created_collection = False

    def add(self, number: int, value: object) -> None:
        where = f"{self.source.name}:{number}"
        try:
            document = parse_document(value)
        except InputError as error:
            raise CliError(f"{where}: {error}") from None
        size = len(document["embedding"])
        if self.dimension is None:
            self.dimension = size
        elif size != self.dimension:
            raise CliError(
                f"{where}: embedding dimension mismatch: expected {self.dimension}, got {size}"
            )
        if "id" in document:
            written = document["id"]
            try:
                canonical = str(uuid.UUID(written))
            except ValueError:
                canonical = written  # not a UUID: the engine refuses it in its own words
            if canonical in self.seen:
                raise CliError(
                    f"{where}: duplicate id '{written}' (first on line {self.seen[canonical]})"
                )
            self.seen[canonical] = number
        self.documents.append(document)
        self.lines.append(number)

    def open(self) -> Kestrine:
        """Opens the database and creates the collection if it is absent."""
        if self.db is not None:
            return self.db
        if self.dimension is None and not os.path.isdir(self.args.data_dir):
            raise CliError(
                f"{self.source.name}: no documents, and no --dimension to create '{self.name}'"
            )
        self.created_directory = not os.path.exists(self.args.data_dir)
        db = open_database(self.args.data_dir, self.key, create=True)
        args = self.args
        if self.name in db.list_collections():
            with engine_errors():
                stored = db.collection_info(self.name).dimension
            if args.dimension is not None and args.dimension != stored:
                raise CliError(
                    f"collection '{self.name}' has dimension {stored}, not {args.dimension}"
                )
            if self.dimension is not None and self.dimension != stored:
                raise CliError(
                    f"{self.source.name}:{self.lines[0]}: embedding dimension mismatch: "
                    f"expected {stored}, got {self.dimension}"
                )
            self.dimension = stored
            ignored = [
                flag
                for option, flag in CREATION_OPTIONS.items()
                if option != "dimension" and getattr(args, option) not in (None, False)
            ]
            if ignored:
                warn(f"collection '{self.name}' exists; {', '.join(ignored)} apply to a new one")
        else:
            if self.dimension is None:
                raise CliError(
                    f"{self.source.name}: no documents, and no --dimension to create '{self.name}'"
                )
            with engine_errors():
                db.create_collection(
                    self.name,
                    self.dimension,
                    m=args.m,
                    ef_construction=args.ef_construction,
                    ef_search=args.ef_search,
                    distance_metric=args.metric,
                    store_raw_vectors=True if args.raw_vectors else None,
                )
            self.created_collection = True
        self.db = db
        return db

    def undo_creation(self) -> None:
        """After a failed first batch: the collection this load created goes again, and so does
        the data directory if this load created it and it holds nothing but the log and the
        lock file."""
        if self.inserted or not self.created_collection or self.db is None:
            return
        with suppress(RuntimeError):
            self.db.delete_collection(self.name)
        self.db.close()  # the log's file and the directory's lock
        self.db = None
        if self.created_directory:
            directory = self.args.data_dir
            with suppress(OSError):
                if sorted(os.listdir(directory)) == sorted([LOCK_FILE, LOG_FILE]):
                    os.remove(os.path.join(directory, LOG_FILE))
                    os.remove(os.path.join(directory, LOCK_FILE))
                    os.rmdir(directory)

    def flush(self) -> None:
        db = self.open()
        if not self.documents:
            return
        try:
            db.batch_insert(self.name, self.documents)
        except (ValueError, TypeError, KeyError, RuntimeError) as error:
            message = str(error.args[0] if isinstance(error, KeyError) else error)
            # A refused document is named by its position in the batch; a failure of the whole
            # batch (the log cannot be written) by the batch's lines.
            index: int | None = getattr(error, "document_index", None)
            name = self.source.name
            where = (
                f"{name}:{self.lines[index]}"
                if index is not None
                else f"{name}:{self.lines[0]}-{self.lines[-1]}"
            )
            kept = (
                f" ({count(self.inserted, 'document')} from earlier lines were inserted and kept)"
                if self.inserted
                else ""
            )
            del db
            self.undo_creation()
            raise CliError(f"{where}: {message}{kept}") from None
        self.inserted += len(self.documents)
        self.documents.clear()
        self.lines.clear()


def ingest(args: argparse.Namespace) -> int:
    key = read_key(args.key_file)
    check_key(key)
    source = JsonLines(args.file)
    try:
        load = Ingest(args, key, source)
        progress = Progress(sys.stderr, "document") if sys.stderr.isatty() else None
        start = time.monotonic()
        for number, value in source:
            load.add(number, value)
            if len(load.documents) >= args.batch_size:
                load.flush()
                if progress is not None:
                    progress.update(load.inserted, source.fraction())
        load.flush()
        elapsed = time.monotonic() - start
        if progress is not None:
            progress.finish()
    finally:
        source.close()
    rate = load.inserted / elapsed if elapsed > 0 else 0.0
    print(
        f"ingested {count(load.inserted, 'document')} into '{load.name}' in {elapsed:.1f} s "
        f"({rate:,.0f} documents/s)"
    )
    if not args.no_compact:
        start = time.monotonic()
        with engine_errors("compact failed: "):
            load.open().compact()
        print(
            f"compacted {args.data_dir}: every collection written to its snapshot, log emptied "
            f"({time.monotonic() - start:.1f} s)"
        )
    return 0
