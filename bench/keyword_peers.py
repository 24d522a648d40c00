"""Keyword search against bm25s and rank_bm25: queries per second, and how often the three
return the same top 10, on the synthetic corpus of bench/bm25_bench.cc.

    python bench/keyword_peers.py [--quick] [--rank-bm25-queries N] [--bm25-bench PATH]

The corpus (100,000 documents and 1,000 queries; --quick: 10,000 documents) is written by
`bm25_bench --dump_corpus=DIR` into bench/data/bm25-<documents>/, which this script runs when the
files are missing. Build that binary first:

    cmake -S . -B build/bench -G Ninja -DKESTRINE_BUILD_BENCH=ON -DKESTRINE_BUILD_PYTHON=OFF
    cmake --build build/bench -j2 --target bm25_bench

Kestrine tokenizes the texts itself. The peers are fed the same tokens, made here by the same
rules (lowercase, split on anything that is not a letter or digit, drop tokens shorter than 2
bytes and the English and Italian stop words); the check column confirms it, comparing
Kestrine's BM25 scores with an exact float64 BM25 over these tokens. All three use k1 1.2,
b 0.75 and idf ln(1 + (N - df + 0.5) / (df + 0.5)): bm25s by its "lucene" method (whose term
score lacks the constant factor k1 + 1, which does not change the order), rank_bm25 by its
BM25Okapi with that idf put in place of its own.

Queries are one call each on one thread, best of --repeats passes, as queries per CPU-second;
the peers get the query already tokenized (their time leaves the tokenizing out, Kestrine's
does not). bm25s runs with its default numpy backend and with its numba backend (numba
installed, one thread, compiled before timing). rank_bm25 scores every document in Python for
each query term, so it runs only the first --rank-bm25-queries queries (default 50).
Agreement is over the queries each pair shares: "same list" is the same ten documents in the
same order; "same up to ties" allows documents of equal score (within 1e-5, common on this
corpus) to come in another order, and the last group of equal scores, cut at 10, to be filled
with other documents of that score; overlap is the mean share of common documents.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import subprocess
import sys
import time
from pathlib import Path

os.environ.setdefault("NUMBA_NUM_THREADS", "1")  # before bm25s brings numba in

import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from vector_peers import cpu_model, time_queries  # noqa: E402

HERE = Path(__file__).resolve().parent
K, K1, B = 10, 1.2, 0.75
# The tokenizer's stop words: 33 English, then 31 Italian.
STOP_WORDS = frozenset(
    "a an and are as at be but by for if in into is it no not of on or such that the their then "
    "there these they this to was will with "
    "il lo la le li gli un uno una di da del dello della dei degli delle che per non si con su ha "
    "sono come ma anche se io ci".split()
)
WORD = re.compile(r"[^\W_]+")


def tokenize(text: str) -> list[str]:
    return [
        t for t in WORD.findall(text.lower()) if len(t.encode("utf-8")) >= 2 and t not in STOP_WORDS
    ]


def read_jsonl(path: Path) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return [json.loads(line)["text"] for line in f if line.strip()]


def corpus(documents: int, bm25_bench: Path) -> tuple[list[str], list[str]]:
    folder = HERE / "data" / f"bm25-{documents}"
    if not (folder / "queries.jsonl").exists():
        folder.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            [str(bm25_bench), f"--documents={documents}", f"--dump_corpus={folder}"], check=True
        )
    return read_jsonl(folder / "corpus.jsonl"), read_jsonl(folder / "queries.jsonl")


def row_id(row: int) -> str:
    """A UUID that spells the row number, so that results map back without a table."""
    return f"00000000-0000-4000-8000-{row:012x}"


class KestrineKeyword:
    def __init__(self, texts: list[str]):
        from kestrine import Kestrine

        # The embeddings are a required field but play no part here: 2-d, with a small graph.
        self.db = Kestrine()
        self.db.create_collection(
            "bench", 2, m=4, ef_construction=8, ef_search=10, distance_metric="euclidean"
        )
        rng = np.random.default_rng(0)
        for start in range(0, len(texts), 1000):
            chunk = texts[start : start + 1000]
            vectors = rng.standard_normal((len(chunk), 2)).tolist()
            docs = [
                {"text": t, "embedding": v, "id": row_id(start + i)}
                for i, (t, v) in enumerate(zip(chunk, vectors, strict=True))
            ]
            self.db.batch_insert("bench", docs)

    def search(self, query: str) -> list[tuple[int, float]]:
        hits = self.db.search("bench", query_text=query, k=K)
        return [(int(r.id[-12:], 16), r.score) for r in hits]


class Bm25sKeyword:
    def __init__(self, tokens: list[list[str]], backend: str = "numpy"):
        import bm25s

        self.retriever = bm25s.BM25(
            k1=K1, b=B, method="lucene", idf_method="lucene", backend=backend
        )
        self.retriever.index(tokens, show_progress=False)
        self.search(tokens[0])  # compiles the numba functions before any timing

    def search(self, query: list[str]) -> list[tuple[int, float]]:
        if not query:
            return []
        docs, scores = self.retriever.retrieve([query], k=K, show_progress=False, n_threads=0)
        # The "lucene" term score lacks the factor k1 + 1; put it back to compare scores.
        return [
            (int(d), float(s) * (K1 + 1)) for d, s in zip(docs[0], scores[0], strict=True) if s > 0
        ]


class RankBm25Keyword:
    def __init__(self, tokens: list[list[str]]):
        from rank_bm25 import BM25Okapi

        class LuceneIdf(BM25Okapi):
            def _calc_idf(self, nd):
                self.idf = {
                    word: math.log(1.0 + (self.corpus_size - df + 0.5) / (df + 0.5))
                    for word, df in nd.items()
                }

        self.bm25 = LuceneIdf(tokens, k1=K1, b=B)

    def search(self, query: list[str]) -> list[tuple[int, float]]:
        if not query:
            return []
        scores = self.bm25.get_scores(query)
        top = np.argsort(-scores, kind="stable")[:K]
        return [(int(d), float(scores[d])) for d in top if scores[d] > 0]


def exact_scores(tokens: list[list[str]], query: list[str]) -> dict[int, float]:
    """Okapi BM25 in float64 over the given tokens, for the documents that match."""
    lengths = np.array([len(t) for t in tokens], dtype=np.float64)
    avgdl, n = lengths.mean(), len(tokens)
    scores: dict[int, float] = {}
    for term in query:
        tf = {d: doc.count(term) for d, doc in enumerate(tokens) if term in doc}
        idf = math.log(1.0 + (n - len(tf) + 0.5) / (len(tf) + 0.5))
        for d, f in tf.items():
            norm = f + K1 * (1 - B + B * lengths[d] / avgdl)
            scores[d] = scores.get(d, 0.0) + idf * f * (K1 + 1) / norm
    return scores


def check_scores(tokens, queries, kestrine_results, count: int) -> float:
    """Largest relative gap between Kestrine's scores and exact BM25 on `count` queries."""
    worst = 0.0
    for query, hits in list(zip(queries, kestrine_results, strict=True))[:count]:
        want = exact_scores(tokens, tokenize(query))
        for doc, score in hits:
            worst = max(worst, abs(score - want.get(doc, math.inf)) / max(1e-9, abs(score)))
    return worst


def tie_groups(hits: list[tuple[int, float]]) -> list[tuple[float, frozenset]]:
    """The documents of a result list grouped by score (relative tolerance 1e-5), best first."""
    groups: list[tuple[float, set]] = []
    for doc, score in hits:
        if groups and math.isclose(groups[-1][0], score, rel_tol=1e-5):
            groups[-1][1].add(doc)
        else:
            groups.append((score, {doc}))
    return [(score, frozenset(docs)) for score, docs in groups]


def same_up_to_ties(x: list, y: list) -> bool:
    """Equal scores in every place, the same documents in every group of equal scores but the
    last, which the cut at k may fill from a larger group in any order, and then only its size."""
    gx, gy = tie_groups(x), tie_groups(y)
    if len(gx) != len(gy):
        return False
    for i, ((sx, dx), (sy, dy)) in enumerate(zip(gx, gy, strict=True)):
        last = i == len(gx) - 1
        if not math.isclose(sx, sy, rel_tol=1e-5) or (dx != dy if not last else len(dx) != len(dy)):
            return False
    return True


def agreement(a: list[list], b: list[list]) -> tuple[float, float, float]:
    same_list = same_ties = overlap = 0
    for x, y in zip(a, b, strict=False):
        ids_x, ids_y = [d for d, _ in x], [d for d, _ in y]
        same_list += ids_x == ids_y
        same_ties += same_up_to_ties(x, y)
        overlap += len(set(ids_x) & set(ids_y)) / max(1, len(ids_x), len(ids_y))
    n = min(len(a), len(b))
    return same_list / n, same_ties / n, overlap / n


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="10,000 documents")
    parser.add_argument("--repeats", type=int, help="timed passes (default 3, quick 2)")
    parser.add_argument("--rank-bm25-queries", type=int, default=50)
    parser.add_argument("--bm25-bench", type=Path, default=Path("build/bench/bench/bm25_bench"))
    args = parser.parse_args()
    repeats = args.repeats or (2 if args.quick else 3)
    texts, queries = corpus(10_000 if args.quick else 100_000, args.bm25_bench)
    tokens = [tokenize(t) for t in texts]
    query_tokens = [tokenize(q) for q in queries]

    rows, results, engines = [], {}, {}
    for name, make, inputs in (
        ("kestrine", lambda: KestrineKeyword(texts), queries),
        ("bm25s", lambda: Bm25sKeyword(tokens), query_tokens),
        ("bm25s, numba backend", lambda: Bm25sKeyword(tokens, "numba"), query_tokens),
        ("rank_bm25", lambda: RankBm25Keyword(tokens), query_tokens[: args.rank_bm25_queries]),
    ):
        start = time.thread_time()
        engine = engines[name] = make()
        build = time.thread_time() - start
        found, cpu_s, _ = time_queries(engine, inputs, 1 if name == "rank_bm25" else repeats)
        results[name] = found
        rows.append((name, build, len(inputs), len(inputs) / cpu_s))
        print(
            f"{name}: built in {build:.1f} CPU s, {len(inputs) / cpu_s:,.1f} QPS", file=sys.stderr
        )

    # bm25s is built for batches: all queries in one call, for comparison.
    for name in ("bm25s", "bm25s, numba backend"):
        retriever, best = engines[name].retriever, math.inf
        for _ in range(repeats):
            start = time.thread_time()
            retriever.retrieve(query_tokens, k=K, show_progress=False, n_threads=0)
            best = min(best, time.thread_time() - start)
        rows.append(
            (f"{name}, one call for all queries", math.nan, len(queries), len(queries) / best)
        )

    gap = check_scores(tokens, queries, results["kestrine"], 20)
    print(
        f"CPU: {cpu_model()}; load average {os.getloadavg()[0]:.2f}; {len(texts):,} documents, "
        f"{len(queries):,} queries, k {K}; QPS = queries per CPU-second, one thread\n"
    )
    print("| library | build CPU s | queries | QPS |")
    print("|---|---|---|---|")
    for name, build, count, qps in rows:
        build_text = "" if math.isnan(build) else f"{build:.1f}"
        print(f"| {name} | {build_text} | {count:,} | {qps:,.1f} |")
    print("(bm25s with numba: the build time includes compiling its functions)")
    print("\n| pair | queries | same top-10 list | same up to ties | mean overlap |")
    print("|---|---|---|---|---|")
    for a, b in (("kestrine", "bm25s"), ("kestrine", "rank_bm25"), ("bm25s", "rank_bm25")):
        same_list, same_ties, overlap = agreement(results[a], results[b])
        count = min(len(results[a]), len(results[b]))
        print(f"| {a} / {b} | {count:,} | {same_list:.1%} | {same_ties:.1%} | {overlap:.1%} |")
    print(f"\nKestrine's scores vs exact float64 BM25 on our tokens (20 queries): "
          f"largest relative gap {gap:.1e}")  # fmt: skip


if __name__ == "__main__":
    main()
