"""``kestrine export``: a collection's live documents as JSON lines, read without opening the
directory."""

import argparse
import gzip
import json
import sys
from typing import TextIO

from kestrine import Kestrine
from kestrine import _tools as tools
from kestrine.cli._errors import CliError
from kestrine.cli._output import count
from kestrine.cli._search import parse_filter
from kestrine.cli._shared import engine_errors, read_only_access, warn


def export(args: argparse.Namespace) -> int:
    filter_ = parse_filter(args.filter)
    if filter_ is not None:
        # Checked on an empty scratch collection first, so that a mistake in it is reported as
        # search reports it rather than as a failure to read the directory.
        scratch = Kestrine()
        scratch.create_collection("scratch", 1)
        with engine_errors():
            scratch.count("scratch", filter_)
    key = read_only_access(args)
    with engine_errors(f"cannot read {args.data_dir}: "):
        documents = tools.iter_documents(args.data_dir, args.collection, key, filter_)
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
