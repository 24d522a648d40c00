"""Kestrine's command-line companion: ``kestrine`` (or ``python -m kestrine``).

kestrine ingest DATA_DIR COLLECTION FILE.jsonl[.gz]   load documents
kestrine search DATA_DIR COLLECTION --text ... | --vector-from ...
kestrine info DATA_DIR                                collections and files
kestrine verify DATA_DIR                              check every file, change nothing
kestrine compact DATA_DIR | rebuild DATA_DIR COLLECTION | export DATA_DIR COLLECTION
"""

import argparse
import os
import sys
from collections.abc import Callable, Sequence

from kestrine import __version__
from kestrine.cli import _compact, _export, _info, _ingest, _rebuild, _search, _verify
from kestrine.cli._errors import CliError, UsageError

__all__ = ["main", "build_parser"]

KEY_HELP = (
    "read the encryption key (64 hexadecimal digits) from FILE; without it, from the "
    "environment variable KESTRINE_KEY. A key is never taken from the command line."
)


def non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, got {value}")
    return value


FILTER_HELP = (
    "metadata filter as JSON: "
    '\'{"must": [{"field": "kind", "op": "eq", "value": "class"}]}\'; "must_not" excludes, '
    '"should" asks for one of its conditions, op "exists" (value true or false) for a field '
    "present or absent, and a list element may itself be a filter"
)


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestrine",
        description="Kestrine's command-line companion: load documents into a data directory, "
        "search them, look inside the directory and check its files.",
        epilog="Run 'kestrine COMMAND --help' for a command's options. Exit status: 0 on "
        "success, 1 on failure (verify: on any problem found), 2 for a wrong command line.",
    )
    parser.add_argument("--version", action="version", version=f"kestrine {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    keyed = argparse.ArgumentParser(add_help=False)
    keyed.add_argument("--key-file", metavar="FILE", help=KEY_HELP)

    def command(
        name: str, run: Callable[[argparse.Namespace], int], help: str, description: str
    ) -> argparse.ArgumentParser:
        p = sub.add_parser(name, parents=[keyed], help=help, description=description)
        p.set_defaults(run=run, parser=p)
        p.add_argument("data_dir", metavar="DATA_DIR", help="the database's data directory")
        return p

    p = command(
        "ingest",
        _ingest.ingest,
        "load documents from a JSON-lines file",
        'Load documents from FILE, one JSON object a line: "text", "embedding" (an array of '
        'numbers), optional "metadata" (an object of booleans, numbers and strings) and '
        'optional "id" (a UUID). FILE may be gzip-compressed, or - for standard input. The '
        "collection is created if absent, with the dimension of the first line's embedding. "
        "Documents go in by batches; each batch is durable once inserted, and a bad line stops "
        "the load with its number. A compact follows, so that the directory holds snapshots "
        "and an empty log.",
    )
    p.add_argument("collection", metavar="COLLECTION")
    p.add_argument("file", metavar="FILE", help="JSON lines, plain or gzip; - for standard input")
    p.add_argument(
        "--dimension", type=positive_int, help="expected dimension (default: the first line's)"
    )
    p.add_argument(
        "--metric",
        choices=["cosine", "euclidean", "dot_product"],
        help="distance metric of a new collection (default cosine)",
    )
    p.add_argument("--m", type=positive_int, help="HNSW links per node (default 16)")
    p.add_argument(
        "--ef-construction", type=positive_int, help="HNSW build beam width (default 200)"
    )
    p.add_argument("--ef-search", type=positive_int, help="HNSW search beam width (default 50)")
    p.add_argument(
        "--raw-vectors",
        action="store_true",
        help="keep the raw 32-bit vectors beside their 8-bit codes (exact distances, more memory)",
    )
    p.add_argument(
        "--batch-size", type=positive_int, default=1000, help="documents a batch (default 1000)"
    )
    p.add_argument(
        "--threads",
        type=non_negative_int,
        default=0,
        help="threads that insert each batch into the index (default 0: one per core)",
    )
    p.add_argument("--no-compact", action="store_true", help="leave the changes in the log")

    p = command(
        "search",
        _search.search,
        "search a collection by text, vector or both",
        "Search a collection: by keyword (--text), by vector (--vector-from) or both fused "
        "(hybrid). Prints a table of rank, score, id (its first 8 characters), text and "
        "metadata, or everything as JSON with --json.",
    )
    p.add_argument("collection", metavar="COLLECTION")
    p.add_argument("--text", help="query text (keyword search)")
    p.add_argument(
        "--vector-from",
        metavar="SOURCE",
        help='query vector: the "embedding" of a JSON line, FILE (its first line) or FILE:LINE, '
        "or a .npy file holding one vector",
    )
    p.add_argument("--k", type=positive_int, default=10, help="number of results (default 10)")
    p.add_argument("--filter", metavar="JSON", help=FILTER_HELP)
    p.add_argument(
        "--fusion", choices=["rrf", "linear"], default="rrf", help="hybrid fusion (default rrf)"
    )
    p.add_argument(
        "--alpha",
        type=number,
        default=0.7,
        help="linear fusion's weight of the vector side, 0 to 1 (default 0.7)",
    )
    p.add_argument("--min-similarity", type=number, help="drop results scoring below this")
    p.add_argument("--json", action="store_true", help="print the results as JSON")

    p = command(
        "info",
        _info.info,
        "describe the collections and files of a data directory",
        "Describe a data directory: its collections as opening it would give them (snapshots "
        "with the log replayed in memory) and its files. Reads only: changes nothing.",
    )
    p.add_argument("--json", action="store_true", help="print everything as JSON")

    command(
        "verify",
        _verify.verify,
        "check every file of a data directory",
        "Check every file of a data directory the way opening reads it: each snapshot's form, "
        "CRC or tag, decoding and validation; the log's records and where replay would stop, "
        "and why. One line a file. Changes nothing. Exit status 1 on any problem.",
    )
    command(
        "compact",
        _compact.compact,
        "write every collection to its snapshot and empty the log",
        "Write every collection to its snapshot, then empty the log.",
    )
    p = command(
        "rebuild",
        _rebuild.rebuild,
        "rebuild a collection's indexes, reclaiming deleted documents",
        "Rebuild a collection's indexes from its live documents, reclaiming the room of deleted "
        "ones, and write its snapshot. Prints the number of documents.",
    )
    p.add_argument("collection", metavar="COLLECTION")
    p = command(
        "export",
        _export.export,
        "write a collection's documents as JSON lines",
        "Write a collection's live documents as JSON lines, the input format of ingest: id, "
        "text, embedding and metadata. The embedding is the stored vector: exact when the "
        "collection keeps raw vectors (ingest --raw-vectors), otherwise decoded from its 8-bit "
        "codes, which is close to but not exactly the vector inserted. Reads only: changes "
        "nothing.",
    )
    p.add_argument("collection", metavar="COLLECTION")
    p.add_argument(
        "--output", metavar="FILE", help="write to FILE (gzip if it ends in .gz) instead of stdout"
    )
    p.add_argument(
        "--filter", metavar="JSON", help="export only the documents that pass it; " + FILTER_HELP
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command and returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except UsageError as error:
        args.parser.print_usage(sys.stderr)
        print(f"{args.parser.prog}: error: {error}", file=sys.stderr)
        return 2
    except CliError as error:
        print(f"{args.parser.prog}: error: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`kestrine export ... | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print(f"{args.parser.prog}: interrupted", file=sys.stderr)
        return 130
