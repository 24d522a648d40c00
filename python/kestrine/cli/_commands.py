"""The subcommands. Each takes the parsed arguments, writes its result to standard output (and
progress, notes and warnings to standard error) and returns the exit status; failures are
raised as CliError or UsageError.

The commands that only look (``info``, ``verify``, ``export``) never open a database the normal
way, which may cut its log back or move a corrupt tail aside: they read it through the private
module ``kestrine._tools``, which changes nothing."""

import argparse
import gzip
import json
import os
import struct
import sys
import time
import uuid
import warnings
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from typing import Any, TextIO, cast

from kestrine import Kestrine, SearchResult
from kestrine import _tools as tools
from kestrine._reports import CollectionSummary, LogReport, SnapshotReport
from kestrine._types import Filter, NewDocument
from kestrine.cli._errors import CliError, UsageError
from kestrine.cli._input import (
    InputError,
    JsonLines,
    Key,
    QueryVector,
    parse_document,
    read_key,
    read_query_vector,
)
from kestrine.cli._output import Progress, count, human_size, output_width, render_table

LOG_FILE = "wal.bin"

# ---- shared --------------------------------------------------------------------------------


def warn(message: str) -> None:
    print(f"kestrine: warning: {message}", file=sys.stderr)


def key_hint(message: str) -> str:
    if "no encryption key was provided" in message:
        return " (give the key with --key-file FILE or $KESTRINE_KEY)"
    if "decryption failed" in message:
        return " (is it the right key?)"
    return ""


@contextmanager
def engine_errors(prefix: str = "") -> Iterator[None]:
    """The engine's exceptions for a user's mistake (an unknown collection, a bad value, an I/O
    failure) as one-line errors. Its internal errors, which derive from BaseException, pass."""
    try:
        yield
    except KeyError as error:
        raise CliError(prefix + str(error.args[0] if error.args else error)) from None
    except (ValueError, TypeError, OverflowError, RuntimeError) as error:
        raise CliError(prefix + str(error) + key_hint(str(error))) from None


def check_directory(path: str, *, must_exist: bool) -> None:
    if os.path.isdir(path):
        return
    if os.path.exists(path):
        raise CliError(f"{path}: not a directory")
    if must_exist:
        raise CliError(f"{path}: no such data directory")


def key_text(key: Key | None) -> str | None:
    return key.text if key is not None else None


def check_key(key: Key | None) -> None:
    """A malformed key is reported with where it came from, before anything is read."""
    if key is None:
        return
    try:
        Kestrine(encryption_key=key.text)
    except ValueError as error:
        raise CliError(f"bad key from {key.source}: {error}") from None


def open_database(data_dir: str, key: Key | None, *, create: bool = False) -> Kestrine:
    """Opens the database the normal way. A snapshot that opening would skip (unreadable, or
    under another key) stops the command: going on without that collection could overwrite
    it at the next checkpoint. Other opening warnings are passed on."""
    check_directory(data_dir, must_exist=not create)
    check_key(key)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with engine_errors(f"cannot open {data_dir}: "):
            db = Kestrine(data_dir=data_dir, encryption_key=key_text(key))
    messages = [str(w.message) for w in caught]
    skipped = [m for m in messages if m.startswith("skipped snapshot")]
    if skipped:
        raise CliError(
            f"cannot open {data_dir}: {skipped[0]}{key_hint(skipped[0])}; "
            f"`kestrine verify {data_dir}` checks every file"
        )
    for message in messages:
        warn(message)
    return db


def metadata_text(metadata: dict[str, Any]) -> str:
    return " ".join(f"{k}={v}" for k, v in sorted(metadata.items()))


# ---- ingest ----------------------------------------------------------------------------------

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
        self.ids: dict[str, int] = {}  # id as written -> line, for the engine's messages
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
            self.ids[written] = number
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

    def failing_line(self, message: str) -> int | None:
        """The line of the document that made a batch fail. The engine names an id it refuses
        (a live id); other refusals are found again by inserting the batch one document at a
        time into an empty in-memory collection of the same dimension."""
        for text, line in self.ids.items():
            if f"'{text}'" in message:
                return line
        scratch = Kestrine()
        scratch.create_collection("scratch", self.dimension or 0)
        for document, line in zip(self.documents, self.lines, strict=True):
            try:
                scratch.insert(
                    "scratch",
                    document["text"],
                    document["embedding"],
                    document.get("metadata"),
                    document.get("id"),
                )
            except (ValueError, TypeError, OverflowError):
                return line
        return None

    def undo_creation(self) -> None:
        """After a failed first batch: the collection this load created goes again, and so does
        the data directory if this load created it and it holds nothing but the log."""
        if self.inserted or not self.created_collection or self.db is None:
            return
        with suppress(RuntimeError):
            self.db.delete_collection(self.name)
        self.db = None  # closes the log
        if self.created_directory:
            directory = self.args.data_dir
            with suppress(OSError):
                if os.listdir(directory) == [LOG_FILE]:
                    os.remove(os.path.join(directory, LOG_FILE))
                    os.rmdir(directory)

    def flush(self) -> None:
        db = self.open()
        if not self.documents:
            return
        try:
            db.batch_insert(self.name, self.documents)
        except (ValueError, TypeError, KeyError, RuntimeError) as error:
            message = str(error.args[0] if isinstance(error, KeyError) else error)
            line = self.failing_line(message)
            name = self.source.name
            where = (
                f"{name}:{line}" if line is not None else f"{name}:{self.lines[0]}-{self.lines[-1]}"
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
        self.ids.clear()


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


# ---- search ----------------------------------------------------------------------------------


def parse_filter(text: str | None) -> Filter | None:
    if text is None:
        return None
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        raise UsageError(f"--filter is not JSON: {error.msg} (column {error.colno})") from None
    if not isinstance(value, dict):
        raise UsageError('--filter must be a JSON object such as {"must": [...]}')
    return cast(Filter, value)  # its content is checked by the engine, which names what is wrong


def describe_query(text: str | None, vector: QueryVector | None) -> str:
    parts = []
    if text is not None:
        parts.append(f"text {json.dumps(text, ensure_ascii=False)}")
    if vector is not None:
        label = f" ({json.dumps(vector.label, ensure_ascii=False)})" if vector.label else ""
        parts.append(f"vector from {vector.source}{label}")
    return " + ".join(parts)


def search(args: argparse.Namespace) -> int:
    if args.text is None and args.vector_from is None:
        raise UsageError("give --text, --vector-from or both")
    filter_ = parse_filter(args.filter)
    vector = read_query_vector(args.vector_from) if args.vector_from is not None else None
    key = read_key(args.key_file)
    db = open_database(args.data_dir, key)
    with engine_errors():
        hits = db.search(
            args.collection,
            query_embedding=vector.values if vector is not None else None,
            query_text=args.text,
            k=args.k,
            min_similarity=args.min_similarity,
            alpha=args.alpha,
            fusion_method=args.fusion,
            filter=filter_,
        )
    if args.json:
        print(json.dumps([result_dict(rank, hit) for rank, hit in enumerate(hits, 1)], indent=2))
        return 0
    if vector is not None and args.text is not None:
        mode = f"hybrid, {args.fusion} fusion" + (
            f" (alpha {args.alpha:g})" if args.fusion == "linear" else ""
        )
    else:
        mode = "vector" if vector is not None else "keyword"
    settings = [mode, f"k {args.k}"]
    if filter_ is not None:
        settings.append(f"filter {json.dumps(filter_)}")
    if args.min_similarity is not None:
        settings.append(f"min similarity {args.min_similarity:g}")
    print(f"query: {describe_query(args.text, vector)}")
    print(f"search: {', '.join(settings)}: {count(len(hits), 'result')}")
    if hits:
        rows = [
            [str(rank), f"{hit.score:.4f}", hit.id[:8], hit.text, metadata_text(hit.metadata)]
            for rank, hit in enumerate(hits, 1)
        ]
        table = render_table(
            ["#", "score", "id", "text", "metadata"],
            rows,
            right=(0, 1),
            shrink=[(4, 20), (3, 40), (4, 12), (3, 20)],
            width=output_width(sys.stdout),
        )
        print("\n".join(table))
    return 0


def short_float32(value: float) -> float:
    """The shortest decimal that reads back to the same 32-bit float: scores are 32-bit, and
    0.58480108 says all that 0.5848010778427124 does."""
    packed = struct.pack("<f", value)
    for digits in range(1, 10):
        candidate = float(f"{value:.{digits}g}")
        if struct.pack("<f", candidate) == packed:
            return candidate
    return value


def result_dict(rank: int, hit: SearchResult) -> dict[str, Any]:
    return {
        "rank": rank,
        "score": short_float32(hit.score),
        "id": hit.id,
        "text": hit.text,
        "metadata": hit.metadata,
    }


# ---- info ------------------------------------------------------------------------------------


def info(args: argparse.Namespace) -> int:
    check_directory(args.data_dir, must_exist=True)
    key = read_key(args.key_file)
    check_key(key)
    with engine_errors(f"cannot read {args.data_dir}: "):
        files = tools.inspect_directory(args.data_dir, key_text(key))
        state = tools.describe_state(args.data_dir, key_text(key))
    if args.json:
        report = {
            "path": args.data_dir,
            "collections": state["collections"],
            "snapshots": files["snapshots"],
            "log": files["log"],
            "other_files": files["other_files"],
            "warnings": state["warnings"],
        }
        print(json.dumps(report, indent=2))
        return 0
    snapshots = files["snapshots"]
    snapshot_bytes = sum(s["size"] for s in snapshots)
    names = ", ".join(s["file"] for s in snapshots)
    print(f"data directory  {args.data_dir}")
    print(
        f"snapshots       {count(len(snapshots), 'file')}, {human_size(snapshot_bytes)}"
        + (f" ({names})" if names else "")
    )
    print(f"log             {log_summary(files['log'])}")
    for other in files["other_files"]:
        print(f"other           {other['file']} ({other['kind']}, {human_size(other['size'])})")
    collections = state["collections"]
    print()
    if not collections:
        print("no collections")
    else:
        rows = [collection_row(c) for c in collections]
        headers = ["collection", "dimension", "metric", "documents", "deleted", "memory"]
        headers += ["raw vectors", "m", "ef_construction", "ef_search"]
        print("\n".join(render_table(headers, rows, right=(1, 3, 4, 5, 7, 8, 9))))
    for message in state["warnings"]:
        warn(f"opening would skip a snapshot: {message}")
    return 0


def collection_row(c: CollectionSummary) -> list[str]:
    return [
        c["name"],
        str(c["dimension"]),
        c["metric"],
        f"{c['documents']:,}",
        f"{c['deleted_nodes']:,}",
        human_size(c["memory_bytes"]),
        "yes" if c["store_raw_vectors"] else "no",
        str(c["m"]),
        str(c["ef_construction"]),
        str(c["ef_search"]),
    ]


def entry_kinds(log: LogReport) -> str:
    kinds = [f"{n:,} {kind.replace('_', ' ')}" for kind, n in log["entries"].items() if n]
    return ", ".join(kinds)


def log_summary(log: LogReport) -> str:
    if not log["present"]:
        return f"{LOG_FILE} absent"
    text = f"{LOG_FILE}, {human_size(log['size'])}, {count(log['records'], 'record')}"
    if log["records"]:
        text += f" ({entry_kinds(log)})"
    if log["refusal"] is not None:
        return text + f"; cannot be replayed: {log['problem']}"
    if log["end"] != "clean":
        text += f"; replay stops at offset {log['stop_offset']:,} ({log['end']})"
    return text


# ---- verify ----------------------------------------------------------------------------------


def snapshot_verdict(s: SnapshotReport) -> tuple[bool, str]:
    """(sound, the rest of the line)."""
    form = s["form"]
    if s["form"] == "checksummed":
        crc = f"CRC 0x{s['crc'] or 0:08x}"
        check = f"{crc} ok" if s["check"] == "passed" else f"{crc} does not match"
    elif s["form"] == "encrypted":
        check = {
            "passed": "tag ok",
            "failed": "does not decrypt",
            "missing key": "no key given",
        }.get(s["check"], s["check"])
    else:
        check = "no checksum (bare)"
    step = s["failed_step"]
    if step is None and s["collection"] is not None:
        c = s["collection"]
        return True, (
            f"{form}, {check}, valid: collection '{c['name']}', "
            f"{count(c['documents'], 'document')}, {c['deleted_nodes']:,} deleted, "
            f"dimension {c['dimension']}, {c['metric']}"
        )
    if step == "read":
        return False, f"cannot be read: {s['error']}"
    stage = {
        "check": check if form == "encrypted" else "",
        "decode": f"{check}, does not decode",
        "validate": f"{check}, decodes, fails validation",
        "name": f"{check}, valid, but its collection name cannot be loaded",
    }[step or "check"]
    return False, f"{form}{', ' if stage else ''}{stage}: {s['error']}{key_hint(s['error'] or '')}"


def log_verdict(log: LogReport) -> tuple[bool, str]:
    if log["size"] == 0:
        return True, "empty"
    size = log["size"]
    records = count(log["records"], "record")
    if log["records"]:
        records += f" ({entry_kinds(log)})"
    stop = log["stop_offset"]
    then = f"{records}, then the" if log["records"] else "the first"
    if log["refusal"] == "missing key":
        return False, (
            f"{then} record (offset {stop:,}) is encrypted and no key was given: opening fails "
            f"({log['open_error']}){key_hint(log['problem'] or '')}"
        )
    if log["refusal"] == "wrong key":
        return False, (
            f"{then} record (offset {stop:,}) does not decrypt under the key given: opening "
            f"fails ({log['open_error']}); is it the right key?"
        )
    problems = []
    if log["end"] == "torn tail":
        problems.append(
            f"the record at offset {stop:,} is cut short: the file ends {size - stop:,} bytes "
            f"into it; replay stops there, and opening cuts the log back to {stop:,} bytes "
            "(an append that never finished)"
        )
    elif log["end"] == "corrupt":
        problems.append(
            f"the record at offset {stop:,} fails its check ({log['problem']}): replay stops "
            f"there, and opening moves the last {size - stop:,} bytes to {LOG_FILE}.corrupt"
        )
    if log["undecodable"]:
        n = log["undecodable"]
        problems.append(
            f"{n:,} of them {'does' if n == 1 else 'do'} not decode and replay skips "
            f"{'it' if n == 1 else 'them'} (the first at offset "
            f"{log['first_undecodable_offset'] or 0:,}: {log['first_undecodable_error']})"
        )
    if not problems:
        return True, f"{human_size(size)}, {records}, replays to its end"
    return False, f"{human_size(size)}, {records}; " + "; ".join(problems)


def verify(args: argparse.Namespace) -> int:
    check_directory(args.data_dir, must_exist=True)
    key = read_key(args.key_file)
    check_key(key)
    with engine_errors(f"cannot read {args.data_dir}: "):
        files = tools.inspect_directory(args.data_dir, key_text(key))
    lines: list[tuple[str, str, str]] = []  # status, file, text
    problems = 0
    for s in files["snapshots"]:
        sound, text = snapshot_verdict(s)
        problems += not sound
        lines.append(("ok" if sound else "FAIL", s["file"], text))
    log = files["log"]
    if log["present"]:
        sound, text = log_verdict(log)
        problems += not sound
        lines.append(("ok" if sound else "FAIL", LOG_FILE, text))
    elif files["snapshots"]:
        lines.append(("note", LOG_FILE, "absent: nothing to replay"))
    else:
        problems += 1
        lines.append(
            ("FAIL", args.data_dir, f"no snapshot and no {LOG_FILE}: not a data directory")
        )
    holders: dict[str, list[str]] = {}
    for s in files["snapshots"]:
        if s["collection"] is not None:
            holders.setdefault(s["collection"]["name"], []).append(s["file"])
    for name, holding in holders.items():
        if len(holding) > 1:
            lines.append(
                (
                    "note",
                    holding[-1],
                    f"{', '.join(holding)} all hold collection '{name}': opening keeps the one "
                    f"the file system lists last ({holding[-1]})",
                )
            )
    for other in files["other_files"]:
        if other["kind"] == "temporary snapshot":
            text = "a snapshot write that never finished; never read, safe to delete"
        elif other["kind"] == "corrupt log tail":
            text = "a damaged log tail that an earlier opening set aside; never read"
        else:
            continue
        lines.append(("note", other["file"], f"{human_size(other['size'])}, {text}"))
    width = max(len(f) for _, f, _ in lines)
    for status, file, text in lines:
        print(f"{status:<4}  {file:<{width}}  {text}")
    checked = len(files["snapshots"]) + int(log["present"])
    if problems:
        print(f"verify: {count(problems, 'problem')} in {args.data_dir}")
        return 1
    print(f"verify: {count(checked, 'file')} checked, no problem")
    return 0


# ---- compact, rebuild ------------------------------------------------------------------------


def compact(args: argparse.Namespace) -> int:
    key = read_key(args.key_file)
    db = open_database(args.data_dir, key)
    log_path = os.path.join(args.data_dir, LOG_FILE)
    before = os.path.getsize(log_path) if os.path.exists(log_path) else 0
    names = db.list_collections()
    with engine_errors("compact failed: "):
        db.compact()
    print(
        f"compacted {args.data_dir}: {count(len(names), 'collection')} written to snapshots, "
        f"log emptied ({human_size(before)} before)"
    )
    return 0


def rebuild(args: argparse.Namespace) -> int:
    key = read_key(args.key_file)
    db = open_database(args.data_dir, key)
    name: str = args.collection
    with engine_errors():
        before = db.collection_info(name).estimated_memory_bytes
        documents = db.rebuild(name)
        after = db.collection_info(name).estimated_memory_bytes
        db.save(name)
    print(
        f"rebuilt '{name}': {count(documents, 'document')}, memory estimate "
        f"{human_size(before)} -> {human_size(after)}; snapshot written"
    )
    return 0


# ---- export ----------------------------------------------------------------------------------


def export(args: argparse.Namespace) -> int:
    filter_ = parse_filter(args.filter)
    if filter_ is not None:
        # Checked on an empty scratch collection first, so that a mistake in it is reported as
        # search reports it rather than as a failure to read the directory.
        scratch = Kestrine()
        scratch.create_collection("scratch", 1)
        with engine_errors():
            scratch.count("scratch", filter_)
    check_directory(args.data_dir, must_exist=True)
    key = read_key(args.key_file)
    check_key(key)
    with engine_errors(f"cannot read {args.data_dir}: "):
        documents = tools.iter_documents(args.data_dir, args.collection, key_text(key), filter_)
    for message in documents.warnings:
        warn(f"opening would skip a snapshot: {message}")
    output: TextIO
    if args.output is None or args.output == "-":
        output, destination = sys.stdout, "standard output"
    else:
        try:
            if args.output.endswith(".gz"):
                output = gzip.open(args.output, "wt", encoding="utf-8")
            else:
                output = open(args.output, "w", encoding="utf-8")  # noqa: SIM115
        except OSError as error:
            raise CliError(f"{args.output}: {error.strerror or error}") from None
        destination = args.output
    exported = 0
    try:
        for document in documents:
            line = {
                "id": document["id"],
                "text": document["text"],
                "embedding": document["embedding"],
                "metadata": dict(sorted(document["metadata"].items())),
            }
            output.write(json.dumps(line, ensure_ascii=False, separators=(",", ":")) + "\n")
            exported += 1
    finally:
        if output is not sys.stdout:
            output.close()
        else:
            output.flush()
    vectors = (
        "exact (the collection keeps raw vectors)"
        if documents.exact_vectors
        else "dequantized from the stored 8-bit codes, close to but not exactly the inserted "
        "values (the collection keeps no raw vectors)"
    )
    passing = f" passing the filter {json.dumps(filter_)}" if filter_ is not None else ""
    print(
        f"exported {count(exported, 'document')}{passing} of '{args.collection}' to "
        f"{destination}; embeddings {vectors}",
        file=sys.stderr,
    )
    return 0
