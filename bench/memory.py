"""Resident memory a document costs: a collection built with `batch_insert`, the same collection
loaded from its snapshot, and hnswlib on the same vectors, at 128-d and 384-d.

    python bench/memory.py [--n N] [--dims 128,384] [--text-bytes B] [--ef-construction E]

Each figure comes from a fresh process: the growth of its resident set (after gc.collect() and
malloc_trim(0), before and after) over building or loading, with the vectors already in memory
and the caller's batches freed, divided by the number of documents. Before measuring, each
process runs the same steps once on one batch of documents and drops the result (hnswlib
likewise), so that the pages of code those steps first touch (about 0.9 MiB of the extension
and libstdc++ for a load) and the pages of Python's allocator that one batch of documents (a
dict each) first touches (about 0.25 MiB, whatever the number of batches) are not counted as
the documents' (--no-warm-up counts them).
Documents carry a text of --text-bytes characters (default 0) and no metadata; cosine, M 16.
The build's ef_construction changes the time, not the layout, so it is low by default
(--ef-construction).

A second table splits the loaded collection's cost by component, from the layout of each table
(element sizes, the flat tables' slot counts), so that the measured total can be checked
against where the bytes should be:

    id map uuid -> internal id   a 20-byte slot and a control byte per slot of a flat table
    id map internal id -> uuid   16 bytes
    documents                    a 16-byte slot per node (text offset and length, metadata
                                 index); the text's bytes in one arena; metadata only when
                                 non-empty
    keyword index                a 4-byte length, 8 bytes per posting
    graph                        layer 0: a header and 2M link slots of 4 bytes; level and
                                 deletion mark; an index into the upper lists and the pick
                                 count insertion keeps; the ~1/(M-1) upper lists a node has on
                                 average, a header and M slots each in one pool
    codes                        one byte a dimension
    code headers                 a float minimum, step and norm (cosine; derived from the codes
                                 at load, 0 for the other metrics) side by side
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

M = 16
BATCH = 1000


def resident_bytes() -> int:
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def vectors(n: int, dim: int) -> np.ndarray:
    return np.random.default_rng(dim).standard_normal((n, dim), dtype=np.float32)


def row_id(row: int) -> str:
    return f"00000000-0000-4000-8000-{row:012x}"


def build(db, base: np.ndarray, text: str, ef_construction: int) -> None:
    db.create_collection("bench", base.shape[1], m=M, ef_construction=ef_construction)
    for start in range(0, len(base), BATCH):
        docs = [
            {"text": text, "embedding": base[row], "id": row_id(row)}
            for row in range(start, min(start + BATCH, len(base)))
        ]
        db.batch_insert("bench", docs)
        del docs


WARM_UP_DOCUMENTS = BATCH


def warm_up(mode: str, dim: int, text: str, ef_c: int) -> None:
    """Runs `mode`'s steps once on a few documents and drops the result."""
    if mode == "hnswlib":
        import hnswlib

        index = hnswlib.Index(space="cosine", dim=dim)
        index.init_index(max_elements=WARM_UP_DOCUMENTS, M=M, ef_construction=ef_c)
        index.set_num_threads(1)
        index.add_items(
            vectors(WARM_UP_DOCUMENTS, dim), np.arange(WARM_UP_DOCUMENTS), num_threads=1
        )
        del index
        return
    from kestrine import Kestrine

    db = Kestrine()
    build(db, vectors(WARM_UP_DOCUMENTS, dim), text, ef_c)
    if mode == "loaded":
        with tempfile.TemporaryDirectory() as directory:
            db.save("bench", directory)
            again = Kestrine()
            again.load("bench", directory)
            del again
    del db


def worker(mode: str, n: int, dim: int, text_bytes: int, ef_c: int, path: str, warm: bool) -> dict:
    # Modules are imported before measuring: their code is not the collection's.
    if mode == "hnswlib":
        import hnswlib
    from kestrine import Kestrine

    base = vectors(n, dim)
    text = "x" * text_bytes
    if warm and mode != "save":
        warm_up(mode, dim, text, ef_c)
    before = resident_bytes()
    keep = None
    if mode == "built":
        keep = Kestrine()
        build(keep, base, text, ef_c)
    elif mode == "loaded":
        keep = Kestrine()
        keep.load("bench", path)
    elif mode == "hnswlib":
        keep = hnswlib.Index(space="cosine", dim=dim)
        keep.init_index(max_elements=n, M=M, ef_construction=ef_c)
        keep.set_num_threads(1)
        keep.add_items(base, np.arange(n), num_threads=1)
    elif mode == "save":
        keep = Kestrine()
        build(keep, base, text, ef_c)
        keep.save("bench", path)
        return {"estimate": keep.total_memory_bytes()}
    grown = resident_bytes() - before
    out = {"bytes_per_doc": grown / n}
    if mode in ("built", "loaded"):
        out["estimate_per_doc"] = keep.total_memory_bytes() / n
    return out


def run(mode: str, n: int, dim: int, text_bytes: int, ef_c: int, path: str, warm: bool) -> dict:
    command = [sys.executable, __file__, "--worker", mode, str(n), str(dim), str(text_bytes)]
    command += [str(ef_c), path, "1" if warm else "0"]
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def flat_slots(n: int) -> int:
    """Slots of a flat id table (UuidMap) sized for n entries at load: a load of 7/8."""
    return max(16, n + n // 7 + 1) if n else 0


def components(n: int, dim: int, text_bytes: int) -> list[tuple[str, float]]:
    """Bytes a document costs in each table of a loaded collection (cosine, M 16, no metadata).

    Loading sizes every table exactly; a built collection has the same layout with up to an
    eighth of growth room in the tables that grow by appending (codes, graph, texts, slots).
    """
    upper = 1 / (M - 1)  # expected share of nodes above layer 0 (levels drawn with 1/ln M)
    load = flat_slots(n) / n
    return [
        ("id map: uuid -> internal id (20-byte slot + control byte)", 21 * load),
        ("id map: internal id -> uuid", 16),
        ("documents: slot per node (text offset and length, metadata index)", 16),
        ("documents: text, in the shared arena", text_bytes),
        ("documents: metadata (none here; empty costs nothing)", 0),
        (
            "keyword index: length, and one posting when the text has a token",
            4 + (8 if text_bytes else 0),
        ),
        ("graph: layer-0 slots (header + 2M links)", 4 * (2 * M + 1)),
        ("graph: level + deletion mark", 2),
        ("graph: upper-list index per node, insertion's pick count", 4 + 1),
        ("graph: upper layers (expected; pool of header + M slots)", 8 / M + upper * 4 * (M + 1)),
        ("codes: 8-bit values", dim),
        ("code headers: minimum, step, norm (derived at load)", 12),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--worker", nargs=7, help=argparse.SUPPRESS)
    parser.add_argument("--n", type=int, default=50_000)
    parser.add_argument("--dims", default="128,384")
    parser.add_argument("--text-bytes", type=int, default=0)
    parser.add_argument("--ef-construction", type=int, default=40)
    parser.add_argument("--no-hnswlib", action="store_true")
    parser.add_argument(
        "--no-warm-up", action="store_true", help="count the code pages first touched, too"
    )
    args = parser.parse_args()
    if args.worker:
        mode, n, dim, text_bytes, ef_c, path, warm = args.worker
        out = worker(mode, int(n), int(dim), int(text_bytes), int(ef_c), path, warm == "1")
        print(json.dumps(out))
        return

    print(f"{args.n:,} documents, text {args.text_bytes} bytes, M {M}, cosine; bytes a document")
    print(f"{'dim':>4} {'built':>8} {'loaded':>8} {'hnswlib':>8} {'estimate':>9}")
    for dim in map(int, args.dims.split(",")):
        with tempfile.TemporaryDirectory() as directory:
            common = (args.n, dim, args.text_bytes, args.ef_construction)
            common_path = (directory, not args.no_warm_up)
            saved = run("save", *common, *common_path)
            built = run("built", *common, *common_path)
            loaded = run("loaded", *common, *common_path)
            peer = None if args.no_hnswlib else run("hnswlib", *common, *common_path)
        print(
            f"{dim:>4} {built['bytes_per_doc']:>8,.0f} {loaded['bytes_per_doc']:>8,.0f} "
            f"{peer['bytes_per_doc'] if peer else float('nan'):>8,.0f} "
            f"{saved['estimate'] / args.n:>9,.0f}"
        )
    for dim in map(int, args.dims.split(",")):
        print(f"\nwhere a document's bytes go, {dim}-d (layout, not measured)")
        rows = components(args.n, dim, args.text_bytes)
        for name, size in rows:
            print(f"  {name:<50} {size:>7.1f}")
        print(f"  {'total':<50} {sum(s for _, s in rows):>7.1f}")


if __name__ == "__main__":
    main()
