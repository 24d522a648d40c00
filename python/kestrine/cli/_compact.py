"""``kestrine compact``: every collection written to its snapshot, the log emptied."""

import argparse
import os

from kestrine.cli._input import read_key
from kestrine.cli._output import count, human_size
from kestrine.cli._shared import LOG_FILE, engine_errors, open_database


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
