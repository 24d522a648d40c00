"""Using every core: building against hnswlib on one thread and on all of them, and searching
from several threads.

    python bench/threads.py [--quick] [--sets a,b] [--repeats N] [--batch-size N]

Build: the base vectors of each set of datasets.py go into a new cosine index with M 16 and
ef_construction 200, in Kestrine through `batch_insert` with NumPy rows (an in-memory database,
batches of --batch-size documents with empty texts), in hnswlib through `add_items` and in
USearch with 8-bit vectors (dtype i8, connectivity 16, expansion_add 200), the fastest builder
among the peers; first all on one thread, then all on every core (threads=0 / num_threads=-1 /
threads=0). Wall time, best of --repeats builds, and the recall@10 of the last build at ef 64
(Kestrine's ef_search; hnswlib's set_ef; USearch's expansion_search), so that a faster build is
not bought with a worse graph. --no-usearch leaves USearch out.

Search, on the first set's one-core Kestrine collection, over its held-out queries (repeated to
at least 4,000 calls a pass) with
k 10, best of --repeats passes, in queries per second of wall time:
  - one Python thread calling `search` once per query, then two threads each taking half;
  - `search_many` over all the queries with threads=1 and threads=2, against the one-thread
    loop of `search`.
Two Python threads only run searches side by side where `search` releases the interpreter
lock; the table says which kind of build was measured.

The machine's other load disturbs wall time: the load average before each part is printed
beside it, and "cores busy" (the process's CPU time over the wall time) shows how many cores a
run kept working, which a loaded machine lowers too.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datasets  # noqa: E402

M, EF_CONSTRUCTION, EF_SEARCH, K = 16, 200, 64, 10
GOALS = {
    "build threads=2 over threads=1": 1.7,
    "search_many threads=2 over the loop": 1.8,
    "2 Python threads over 1": 1.7,
}


def load_average() -> float:
    return os.getloadavg()[0]


def best_of(repeats: int, run) -> tuple[float, object, float]:
    """The least wall time of `repeats` calls of run(), the last call's result, and the
    process's CPU time over that fastest call's wall time (how many cores it kept busy)."""
    best, result, busy = float("inf"), None, 0.0
    for _ in range(repeats):
        start, cpu = time.perf_counter(), time.process_time()
        result = run()
        wall = time.perf_counter() - start
        if wall < best:
            best, busy = wall, (time.process_time() - cpu) / wall
    return best, result, busy


def build_kestrine(base: np.ndarray, threads: int, batch_size: int):
    from kestrine import Kestrine

    db = Kestrine()
    db.create_collection(
        "bench", base.shape[1], m=M, ef_construction=EF_CONSTRUCTION, ef_search=EF_SEARCH
    )
    ids: list[str] = []
    for start in range(0, len(base), batch_size):
        docs = [{"text": "", "embedding": row} for row in base[start : start + batch_size]]
        ids += db.batch_insert("bench", docs, threads=threads)
    return db, {doc_id: row for row, doc_id in enumerate(ids)}


def build_hnswlib(base: np.ndarray, threads: int):
    import hnswlib

    index = hnswlib.Index(space="cosine", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=M, ef_construction=EF_CONSTRUCTION)
    # num_threads=-1 is every core; set_num_threads(-1) would make later calls use one.
    index.add_items(base, np.arange(len(base)), num_threads=threads)
    index.set_ef(EF_SEARCH)
    return index


def build_usearch(base: np.ndarray, threads: int):
    from usearch.index import Index

    index = Index(
        ndim=base.shape[1],
        metric="cos",
        dtype="i8",
        connectivity=M,
        expansion_add=EF_CONSTRUCTION,
        expansion_search=EF_SEARCH,
    )
    index.add(np.arange(len(base)), base, threads=threads)
    return index


def usearch_recall(index, data) -> float:
    found = index.search(data.queries, K, threads=0)
    return datasets.recall_at_k(data.truth("cosine"), [list(row) for row in found.keys])


def kestrine_recall(db, rows: dict, data) -> float:
    found = db.search_many("bench", data.queries, k=K, threads=0)
    return datasets.recall_at_k(
        data.truth("cosine"), [[rows[h.id] for h in hits] for hits in found]
    )


def hnswlib_recall(index, data) -> float:
    labels, _ = index.knn_query(data.queries, k=K, num_threads=-1)
    return datasets.recall_at_k(data.truth("cosine"), list(labels))


def shown(value: float, form: str, suffix: str = "") -> str:
    """A figure, or a dash for a library left out (--no-usearch)."""
    return "-" if math.isnan(value) else format(value, form) + suffix


def build_rows(data, repeats: int, batch_size: int, usearch: bool) -> tuple[list[dict], object]:
    rows, kept = [], None
    for label, k_threads, h_threads in (("1 thread", 1, 1), ("every core", 0, -1)):
        load = load_average()
        k_time, (db, ids), k_busy = best_of(
            repeats, lambda t=k_threads: build_kestrine(data.base, t, batch_size)
        )
        k_recall = kestrine_recall(db, ids, data)
        if k_threads == 1:
            kept = (db, ids)
        h_time, index, h_busy = best_of(repeats, lambda t=h_threads: build_hnswlib(data.base, t))
        u_time, u_busy, u_recall = float("nan"), float("nan"), float("nan")
        if usearch:
            u_time, u_index, u_busy = best_of(
                repeats, lambda t=k_threads: build_usearch(data.base, t)
            )
            u_recall = usearch_recall(u_index, data)
        rows.append(
            {
                "usearch_s": u_time,
                "usearch_cores": u_busy,
                "usearch_recall": u_recall,
                "set": data.name,
                "threads": label,
                "kestrine_s": k_time,
                "kestrine_cores": k_busy,
                "kestrine_recall": k_recall,
                "hnswlib_s": h_time,
                "hnswlib_cores": h_busy,
                "hnswlib_recall": hnswlib_recall(index, data),
                "load": load,
            }
        )
    return rows, kept


def search_rows(db, queries: np.ndarray, repeats: int) -> list[tuple[str, float, float]]:
    # At least 4,000 calls a pass: with fewer, starting the threads weighs on the figures.
    queries = np.tile(queries, (max(1, -(-4000 // len(queries))), 1))
    rows = list(queries)

    def loop(part):
        for query in part:
            db.search("bench", query, k=K)

    def python_threads(count: int):
        parts = [rows[i::count] for i in range(count)]
        workers = [threading.Thread(target=loop, args=(part,)) for part in parts]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    out = []
    for label, run in (
        ("1 Python thread calling search", lambda: loop(rows)),
        ("2 Python threads calling search", lambda: python_threads(2)),
        ("search_many threads=1", lambda: db.search_many("bench", queries, k=K, threads=1)),
        ("search_many threads=2", lambda: db.search_many("bench", queries, k=K, threads=2)),
    ):
        load = load_average()
        seconds, _, busy = best_of(repeats, run)
        out.append((label, len(rows) / seconds, busy, load))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="the small sets")
    parser.add_argument("--sets", help="comma-separated set names (default: the clustered sets)")
    parser.add_argument("--repeats", type=int, default=2, help="best of this many runs (2)")
    parser.add_argument("--batch-size", type=int, default=10_000, help="documents a batch_insert")
    parser.add_argument("--no-usearch", action="store_true", help="leave USearch's build out")
    args = parser.parse_args()
    names = args.sets.split(",") if args.sets else datasets.set_names(args.quick)
    print(
        f"{os.cpu_count()} cores; M {M}, ef_construction {EF_CONSTRUCTION}, "
        f"recall@{K} at ef {EF_SEARCH}"
    )

    builds, first = [], None
    for name in names:
        rows, kept = build_rows(
            datasets.load(name), args.repeats, args.batch_size, not args.no_usearch
        )
        builds += rows
        first = first or (kept, datasets.load(name))
    print(
        "\n| set | threads | Kestrine s (cores busy) | hnswlib s (cores busy) "
        "| USearch i8 s (cores busy) | Kestrine / hnswlib | Kestrine / USearch i8 "
        "| recall K / h / U | load |"
    )
    print("|---|---|---|---|---|---|---|---|---|")
    for r in builds:
        print(
            f"| {r['set']} | {r['threads']} | {r['kestrine_s']:.2f} ({r['kestrine_cores']:.1f}) "
            f"| {r['hnswlib_s']:.2f} ({r['hnswlib_cores']:.1f}) "
            f"| {shown(r['usearch_s'], '.2f')} ({shown(r['usearch_cores'], '.1f')}) | "
            f"{r['kestrine_s'] / r['hnswlib_s']:.2f}x | "
            f"{shown(r['kestrine_s'] / r['usearch_s'], '.2f', 'x')} | "
            f"{r['kestrine_recall']:.3f} / {r['hnswlib_recall']:.3f} / "
            f"{shown(r['usearch_recall'], '.3f')} "
            f"| {r['load']:.1f} |"
        )
    speedups = {}
    for name in names:
        one, every = (r for r in builds if r["set"] == name)
        speedups[name] = (
            one["kestrine_s"] / every["kestrine_s"],
            one["hnswlib_s"] / every["hnswlib_s"],
        )
        print(
            f"{name}: every core builds {speedups[name][0]:.2f}x faster than one in Kestrine, "
            f"{speedups[name][1]:.2f}x in hnswlib"
        )

    (db, _), data = first
    searches = search_rows(db, data.queries, args.repeats)
    calls = len(data.queries) * max(1, -(-4000 // len(data.queries)))
    print(f"\nsearch on {data.name}, {len(data.queries)} queries repeated to {calls} calls, k {K}:")
    print("| how | QPS | over one thread's loop | cores busy | load |\n|---|---|---|---|---|")
    loop_qps = searches[0][1]
    for label, qps, busy, load in searches:
        print(f"| {label} | {qps:,.0f} | {qps / loop_qps:.2f}x | {busy:.1f} | {load:.1f} |")
    measured = {
        "build threads=2 over threads=1": min(s[0] for s in speedups.values()),
        "search_many threads=2 over the loop": searches[3][1] / loop_qps,
        "2 Python threads over 1": searches[1][1] / loop_qps,
    }
    print()
    for goal, target in GOALS.items():
        verdict = "met" if measured[goal] >= target else "not met"
        print(f"{goal}: {measured[goal]:.2f}x (goal {target}x): {verdict}")


if __name__ == "__main__":
    main()
