"""``kestrine rebuild``: a collection's indexes rebuilt from its live documents, then saved."""

import argparse

from kestrine.cli._input import read_key
from kestrine.cli._output import count, human_size
from kestrine.cli._shared import engine_errors, open_database


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
