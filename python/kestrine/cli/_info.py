"""``kestrine info``: the collections and files of a data directory, read without opening it."""

import argparse
import json

from kestrine import _tools as tools
from kestrine._reports import CollectionSummary, LogReport
from kestrine.cli._output import count, human_size, render_table
from kestrine.cli._shared import (
    LOG_FILE,
    engine_errors,
    entry_kinds,
    read_only_access,
    warn,
)


def info(args: argparse.Namespace) -> int:
    key = read_only_access(args)
    with engine_errors(f"cannot read {args.data_dir}: "):
        files = tools.inspect_directory(args.data_dir, key)
        state = tools.describe_state(args.data_dir, key)
    if args.json:
        report = {
            "path": args.data_dir,
            "collections": state["collections"],
            "snapshots": files["snapshots"],
            "log": files["log"],
            "other_files": files["other_files"],
            "default_checkpoint_threshold": files["default_checkpoint_threshold"],
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
    threshold = files["default_checkpoint_threshold"]
    print(
        f"checkpoint      when the log passes {human_size(threshold)} (the default threshold;"
        f" the log is at {files['log']['size'] / threshold:.0%} of it)"
    )
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
