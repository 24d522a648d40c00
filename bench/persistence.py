"""What persistence costs.

    .venv/bin/python bench/persistence.py [--reopen-docs 100000] [--ingest-batch 1000] [--dim 384]

1. single `insert` latency on a persistent database (each call forces its log record to the
   device) against an ephemeral one;
2. `batch_insert` throughput for batches of 1, 100 and 10,000 documents, persistent against
   ephemeral: a batch is one log record, one write and one flush, so for large batches the
   HNSW insertion dominates (goal: a persistent batch of 10,000 within 1.2x of the ephemeral);
3. automatic checkpoints: --reopen-docs documents ingested in batches of --ingest-batch into
   two databases side by side, one with the default checkpoint threshold and one with
   checkpoints off (checkpoint_bytes=0), each batch going to both in turn so that a busy
   machine slows both alike. Reported: ingest time and throughput of each (goal: default at
   least 0.9x off), the checkpoints the default one made, and the time to reopen each: the
   default one from its snapshot and a log below the threshold (goal: at most 10 % of its
   ingest time), the other from its log alone, which is replay against building with
   batch_insert (goal: replay no slower than the build); then, after compact, from the
   snapshot alone.

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

import numpy as np
from kestrine import Kestrine
from kestrine import _tools as tools


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


def reopen_time(path):
    start = time.perf_counter()
    db = Kestrine(data_dir=path)
    return time.perf_counter() - start, db


def numbered_docs(rng, start, n, dim):
    embeddings = rng.uniform(-1, 1, (n, dim)).astype(np.float32)
    topics = ("cats", "dogs", "birds")
    return [
        {"text": f"document {start + i} about {topics[i % 3]}", "embedding": e}
        for i, e in enumerate(embeddings)
    ]


def reopening(workdir, dim, count, batch):
    rng = np.random.default_rng(3)
    settings = {"default": None, "off": 0}
    paths = {name: os.path.join(workdir, f"reopen-{name}") for name in settings}
    dbs, ingest, checkpoints, log_peak = {}, dict.fromkeys(settings, 0.0), 0, 0
    for name, value in settings.items():
        shutil.rmtree(paths[name], ignore_errors=True)
        dbs[name] = Kestrine(data_dir=paths[name], checkpoint_bytes=value)
        dbs[name].create_collection("c", dim)
    default_log = os.path.join(paths["default"], "wal.bin")
    for start in range(0, count, batch):
        chunk = numbered_docs(rng, start, min(batch, count - start), dim)
        # Alternate which goes first, so that neither always follows the other's writes.
        for name in sorted(settings, reverse=(start // batch) % 2 == 1):
            ingest[name] += timed(dbs[name].batch_insert, "c", chunk)
        before = log_peak
        log_peak = os.path.getsize(default_log)
        checkpoints += log_peak < before
    dbs = None  # closes both logs
    print(f"\ningest of {count} documents of dimension {dim} in batches of {batch}, then reopening")
    for name in settings:
        rate = count / ingest[name]
        print(f"  checkpoints {name:<8} ingest {ingest[name]:8.1f} s  {rate:8.0f} documents/s")
    print(f"  throughput default / off: {ingest['off'] / ingest['default']:.2f} (goal >= 0.9)")
    print(f"  automatic checkpoints made: {checkpoints}")
    log_mib = os.path.getsize(default_log) / 2**20
    snapshot = os.path.join(paths["default"], "c.kestrine")
    snapshot_mib = os.path.getsize(snapshot) / 2**20 if os.path.exists(snapshot) else 0
    seconds, db = reopen_time(paths["default"])
    share = seconds / ingest["default"]
    print(f"  reopen default: {seconds:8.2f} s = {share:.1%} of its ingest (goal <= 10%)")
    print(f"    from a snapshot of {snapshot_mib:.0f} MiB and a log of {log_mib:.1f} MiB")
    # The worst case: more batches until the next would take the log past the threshold.
    log_bytes = os.path.getsize(os.path.join(paths["off"], "wal.bin"))
    record = log_bytes / count * batch * 1.02
    threshold = tools.inspect_directory(paths["default"])["default_checkpoint_threshold"]
    added = 0
    while os.path.getsize(default_log) + record <= threshold:
        db.batch_insert("c", numbered_docs(rng, count + added, batch, dim))
        added += batch
    db = None
    log_mib = os.path.getsize(default_log) / 2**20
    seconds, db = reopen_time(paths["default"])
    db = None
    share = seconds / ingest["default"]
    print(
        f"  reopen default after {added} more documents, with a log of {log_mib:.1f} MiB"
        f" (threshold {threshold / 2**20:.1f} MiB): {seconds:.2f} s = {share:.1%} of the ingest"
    )
    from_log, db = reopen_time(paths["off"])
    print(
        f"  reopen off, from the log alone ({log_bytes / 2**20:.0f} MiB): {from_log:8.2f} s;"
        f" replay / batch_insert build: {from_log / ingest['off']:.2f} (goal <= 1)"
    )
    compact = timed(db.compact)
    db = None
    snapshot_bytes = os.path.getsize(os.path.join(paths["off"], "c.kestrine"))
    from_snapshot = min(timed(Kestrine, paths["off"]) for _ in range(3))
    print(f"  compact: {compact:.2f} s")
    print(f"  from the snapshot ({snapshot_bytes / 2**20:.0f} MiB): {from_snapshot:8.2f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--single", type=int, default=300, help="single inserts to time")
    parser.add_argument("--batch-total", type=int, default=10_000, help="documents per batch size")
    parser.add_argument("--reopen-docs", type=int, default=100_000)
    parser.add_argument("--ingest-batch", type=int, default=1_000)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="kestrine-bench-", dir=args.dir)
    try:
        if args.single:
            single_inserts(workdir, args.dim, args.single)
        if args.batch_total:
            batches(workdir, args.dim, [1, 100, 10_000], args.batch_total)
        if args.reopen_docs:
            reopening(workdir, args.dim, args.reopen_docs, args.ingest_batch)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
