"""Filtered vector search: recall@10 against exact filtered brute force, and queries per second,
for filters that keep about 50 %, 10 % and 1 % of the documents.

    python bench/filtered_search.py [--quick] [--repeats N] [--documents N] [--kestrine-only]

Every document of the 100,000 x 128 clustered set (datasets.py; cosine) gets an int metadata
field "bucket", uniform in 0..99 from a fixed seed and independent of the vectors. The filters
are "bucket lt 50" (50 %), "bucket in [10 values]" (10 %) and "bucket eq 7" (1 %), plus no filter
for reference. Kestrine runs with its default parameters (M 16, ef_construction 200, ef_search
50, compact mode), through the full `db.search` call.

The baselines are hnswlib at the same M, ef_construction and ef 50, on the same vectors:
  - "hnswlib filter": its own filter callback (a Python function per visited node, called
    during the graph walk, so that only accepted nodes enter the results);
  - "hnswlib post-filter": an unfiltered query for k / share nearest (at most 1,000, ef raised
    to match), of which the first 10 accepted ones are kept.
QPS is queries per CPU-second of the calling thread, best of --repeats passes, one query a call;
p50 is the median wall-clock latency of one call over the last pass. --kestrine-only leaves the
baselines out; --documents N indexes only the set's first N vectors (the ground truth is
computed for them).
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datasets  # noqa: E402
from vector_peers import cpu_model, time_queries  # noqa: E402


def median_latency_ms(searcher, queries: list) -> float:
    """The median wall-clock time of one search call, in milliseconds."""
    times = []
    for q in queries:
        start = time.perf_counter()
        searcher.search(q)
        times.append(time.perf_counter() - start)
    return 1000 * float(np.median(times))


K, M, EF_CONSTRUCTION, EF_SEARCH = 10, 16, 200, 50
METRIC = "cosine"
BUCKET_SEED = 7
FILTERS = {
    "none": (None, lambda b: np.ones_like(b, dtype=bool)),
    "50 %: bucket lt 50": (
        {"must": [{"field": "bucket", "op": "lt", "value": 50}]},
        lambda b: b < 50,
    ),
    "10 %: bucket in 10 values": (
        {"must": [{"field": "bucket", "op": "in", "values": list(range(0, 100, 10))}]},
        lambda b: np.isin(b, range(0, 100, 10)),
    ),
    "1 %: bucket eq 7": (
        {"must": [{"field": "bucket", "op": "eq", "value": 7}]},
        lambda b: b == 7,
    ),
}


def row_id(row: int) -> str:
    """A UUID that spells the row number, so that results map back without a table."""
    return f"00000000-0000-4000-8000-{row:012x}"


def build_kestrine(base: np.ndarray, buckets: np.ndarray):
    from kestrine import Kestrine

    db = Kestrine()
    db.create_collection(
        "bench", base.shape[1], m=M, ef_construction=EF_CONSTRUCTION, ef_search=EF_SEARCH
    )
    for start in range(0, len(base), 1000):
        docs = [
            {
                "text": "",
                "embedding": base[row],
                "metadata": {"bucket": int(buckets[row])},
                "id": row_id(row),
            }
            for row in range(start, min(start + 1000, len(base)))
        ]
        db.batch_insert("bench", docs)
    return db


def build_hnswlib(base: np.ndarray):
    import hnswlib

    index = hnswlib.Index(space="cosine", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=M, ef_construction=EF_CONSTRUCTION)
    index.set_num_threads(1)
    index.add_items(base, np.arange(len(base)), num_threads=1)
    index.set_ef(EF_SEARCH)
    return index


class KestrineSearch:
    def __init__(self, db, condition):
        self.db, self.condition = db, condition

    def search(self, query) -> list[int]:
        hits = self.db.search("bench", query_embedding=query, k=K, filter=self.condition)
        return [int(r.id[-12:], 16) for r in hits]


class HnswlibFilter:
    def __init__(self, index, mask: np.ndarray):
        self.index, self.allowed = index, mask.tolist()

    def search(self, query) -> np.ndarray:
        allowed = self.allowed
        labels, _ = self.index.knn_query(
            query, k=K, num_threads=1, filter=lambda label: allowed[label]
        )
        return labels[0]


class HnswlibPostFilter:
    def __init__(self, index, mask: np.ndarray):
        self.index, self.mask = index, mask
        self.fetch = min(len(mask), 1000, math.ceil(K * len(mask) / max(1, mask.sum())))

    def search(self, query) -> np.ndarray:
        self.index.set_ef(max(EF_SEARCH, self.fetch))
        labels = self.index.knn_query(query, k=self.fetch, num_threads=1)[0][0]
        self.index.set_ef(EF_SEARCH)
        return labels[self.mask[labels]][:K]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="the 10,000-vector set")
    parser.add_argument("--repeats", type=int, help="timed passes (default 3, quick 2)")
    parser.add_argument("--kestrine-only", action="store_true", help="no hnswlib baselines")
    parser.add_argument(
        "--documents", type=int, help="index only the set's first N vectors (e.g. 58000)"
    )
    args = parser.parse_args()
    repeats = args.repeats or (2 if args.quick else 3)
    data = datasets.load("clusters-128-quick" if args.quick else "clusters-128")
    if args.documents:
        data.base = data.base[: args.documents]
    buckets = np.random.default_rng(BUCKET_SEED).integers(0, 100, len(data.base))

    start = time.thread_time()
    db = build_kestrine(data.base, buckets)
    print(f"kestrine built in {time.thread_time() - start:.1f} CPU s", file=sys.stderr)
    if not args.kestrine_only:
        start = time.thread_time()
        hnsw = build_hnswlib(data.base)
        print(f"hnswlib built in {time.thread_time() - start:.1f} CPU s", file=sys.stderr)

    queries = list(data.queries)
    rows = []
    for label, (condition, keep) in FILTERS.items():
        mask = keep(buckets)
        truth = datasets.exact_top_k(data.base, data.queries, METRIC, K, mask)
        runs = [("kestrine", KestrineSearch(db, condition))]
        if args.kestrine_only:
            pass
        elif condition is not None:
            runs.append(("hnswlib filter", HnswlibFilter(hnsw, mask)))
            runs.append(("hnswlib post-filter", HnswlibPostFilter(hnsw, mask)))
        else:
            runs.append(("hnswlib", HnswlibPostFilter(hnsw, mask)))
        for name, searcher in runs:
            found, cpu_s, _ = time_queries(searcher, queries, repeats)
            recall = datasets.recall_at_k(truth, found)
            p50 = median_latency_ms(searcher, queries)
            rows.append((label, f"{mask.mean():.1%}", name, recall, len(queries) / cpu_s, p50))
            print(
                f"{label} {name}: {recall:.3f} {len(queries) / cpu_s:,.0f} {p50:.3f} ms",
                file=sys.stderr,
            )

    print(
        f"CPU: {cpu_model()}; load average {os.getloadavg()[0]:.2f}; {len(data.base):,} x "
        f"{data.base.shape[1]} {METRIC}, {len(data.queries)} queries, k {K}, ef_search "
        f"{EF_SEARCH}; QPS = queries per CPU-second, one thread\n"
    )
    print("| filter | kept | search | recall@10 | QPS | p50 ms |")
    print("|---|---|---|---|---|---|")
    for label, kept, name, recall, qps, p50 in rows:
        print(f"| {label} | {kept} | {name} | {recall:.3f} | {qps:,.0f} | {p50:.3f} |")
    goals = {"10 %: bucket in 10 values": 0.95, "1 %: bucket eq 7": 0.99}
    print()
    for label, kept, name, recall, *_ in rows:
        if name == "kestrine" and label in goals:
            verdict = "met" if recall >= goals[label] else "missed"
            print(f"goal recall@10 >= {goals[label]} at {kept}: {recall:.3f}, {verdict}")


if __name__ == "__main__":
    main()
