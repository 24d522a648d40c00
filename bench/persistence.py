"""What persistence costs.

    .venv/bin/python bench/persistence.py [--reopen-docs 100000] [--dim 384]

1. single `insert` latency on a persistent database (each call forces its log record to the
   device) against an ephemeral one;
2. `batch_insert` throughput for batches of 1, 100 and 10,000 documents, persistent against
   ephemeral: a batch is one log record, one write and one flush, so for large batches the
   HNSW insertion dominates (goal: a persistent batch of 10,000 within 1.2x of the ephemeral);
3. reopening a database of --reopen-docs documents from its snapshots (after compact) and
   from its log alone.

The data directory goes under --dir (default: the system's temporary directory); the device
behind it decides the flush latency. Timings are wall-clock medians.
"""

import argparse
import os
import random
import shutil
import statistics
import tempfile
import time

from kestrine import Kestrine


def vectors(rng, n, dim):
    return [[rng.uniform(-1, 1) for _ in range(dim)] for _ in range(n)]


def docs(rng, n, dim):
    return [
        {"text": f"document {i} about {rng.choice(['cats', 'dogs', 'birds'])}", "embedding": v}
        for i, v in enumerate(vectors(rng, n, dim))
    ]


def timed(fn, *args):
    start = time.perf_counter()
    fn(*args)
    return time.perf_counter() - start


def single_inserts(workdir, dim, count):
    rng = random.Random(1)
    embeddings = vectors(rng, count, dim)
    results = {}
    for mode in ("ephemeral", "persistent"):
        path = os.path.join(workdir, "single")
        shutil.rmtree(path, ignore_errors=True)
        db = Kestrine(data_dir=path) if mode == "persistent" else Kestrine()
        db.create_collection("c", dim)
        times = [timed(db.insert, "c", "some text", e) for e in embeddings]
        results[mode] = times
        db = None  # closes its log
    print(f"\nsingle insert, dimension {dim}, {count} calls (median / p99, ms)")
    for mode, times in results.items():
        times = sorted(times)
        p99 = times[int(len(times) * 0.99) - 1]
        print(f"  {mode:<11} {statistics.median(times) * 1e3:8.3f} / {p99 * 1e3:8.3f}")


def batches(workdir, dim, sizes, total):
    rng = random.Random(2)
    print(f"\nbatch_insert, dimension {dim} (documents per second; persistent / ephemeral time)")
    for size in sizes:
        calls = max(1, total // size)
        batch_sets = [docs(rng, size, dim) for _ in range(calls)]
        seconds = {}
        for mode in ("ephemeral", "persistent"):
            path = os.path.join(workdir, "batch")
            shutil.rmtree(path, ignore_errors=True)
            db = Kestrine(data_dir=path) if mode == "persistent" else Kestrine()
            db.create_collection("c", dim)
            seconds[mode] = sum(timed(db.batch_insert, "c", b) for b in batch_sets)
            db = None  # closes its log
        n = size * calls
        ratio = seconds["persistent"] / seconds["ephemeral"]
        print(
            f"  batches of {size:>6} ({calls:>4} calls): ephemeral {n / seconds['ephemeral']:9.0f}"
            f"  persistent {n / seconds['persistent']:9.0f}  ratio {ratio:5.2f}"
        )


def reopening(workdir, dim, count):
    rng = random.Random(3)
    path = os.path.join(workdir, "reopen")
    shutil.rmtree(path, ignore_errors=True)
    db = Kestrine(data_dir=path)
    db.create_collection("c", dim)
    step = 10_000
    build = 0.0
    for start in range(0, count, step):
        chunk = docs(rng, min(step, count - start), dim)
        build += timed(db.batch_insert, "c", chunk)
    db = None
    log_bytes = os.path.getsize(os.path.join(path, "wal.bin"))
    print(f"\nreopening {count} documents of dimension {dim} (built in {build:.1f} s)")
    start = time.perf_counter()
    db = Kestrine(data_dir=path)
    from_log = time.perf_counter() - start
    print(f"  from the log alone ({log_bytes / 2**20:.0f} MiB): {from_log:8.2f} s")
    compact = timed(db.compact)
    db = None
    snapshot_bytes = os.path.getsize(os.path.join(path, "c.kestrine"))
    from_snapshot = min(timed(Kestrine, path) for _ in range(3))
    print(f"  compact: {compact:.2f} s")
    print(f"  from the snapshot ({snapshot_bytes / 2**20:.0f} MiB): {from_snapshot:8.2f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--single", type=int, default=300, help="single inserts to time")
    parser.add_argument("--batch-total", type=int, default=10_000, help="documents per batch size")
    parser.add_argument("--reopen-docs", type=int, default=100_000)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="kestrine-bench-", dir=args.dir)
    try:
        if args.single:
            single_inserts(workdir, args.dim, args.single)
        if args.batch_total:
            batches(workdir, args.dim, [1, 100, 10_000], args.batch_total)
        if args.reopen_docs:
            reopening(workdir, args.dim, args.reopen_docs)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
