"""Keyword search against bm25s, tantivy and rank_bm25: queries per second for queries of 1-2, 3-5
and 6-10 terms, and how often the libraries return the same top 10, on two corpora.

    python bench/keyword_peers.py [--quick] [--corpus generated|real|both] [--queries N]
        [--rank-bm25-queries N] [--bm25-bench PATH] [--baseline PATH]

The generated corpus (100,000 documents; --quick: 10,000) is the synthetic one of
bench/bm25_bench.cc, written by `bm25_bench --dump_corpus=DIR` into bench/data/bm25-<documents>/,
which this script runs when the files are missing. Build that binary first:

    cmake -S . -B build/bench -G Ninja -DKESTRINE_BUILD_BENCH=ON -DKESTRINE_BUILD_PYTHON=OFF
    cmake --build build/bench -j2 --target bm25_bench

Its queries draw their words from the pool of the words of that binary's queries (content words
under the corpus's Zipf law). The real corpus is built from files every Debian machine with
Python has: the paragraphs of the manual pages and Python docstrings that bench/real_corpus.py
collects, and the texts of the demo corpus (examples/data/stdlib_docs.jsonl.gz), repeated with
small changes (a word dropped, two neighbours swapped) up to the same number of documents.
Its queries are runs of consecutive terms of held-out paragraphs. Both sets are written to
bench/data/keyword-real-<documents>/ on first use.

Kestrine tokenizes the texts itself. bm25s and rank_bm25 are fed the same tokens, made here by
the same rules (lowercase, split on anything that is not a letter or digit, drop tokens shorter
than 2 bytes and the English and Italian stop words); the check column confirms it, comparing
Kestrine's BM25 scores with an exact float64 BM25 over these tokens. All use k1 1.2, b 0.75 and
idf ln(1 + (N - df + 0.5) / (df + 0.5)): bm25s by its "lucene" method (whose term score lacks
the constant factor k1 + 1, which does not change the order), rank_bm25 by its BM25Okapi with
that idf put in place of its own.

tantivy gets the raw texts in one text field with its default tokenizer, and the query as our
tokens joined by spaces (an OR of terms). Its tokenizer differs from ours: it keeps stop words
and one-letter tokens (longer documents, so other lengths in the formula), drops tokens over
40 bytes, and splits on Unicode differently in places; it also stores each document's length in
one byte (a lossy code), so its scores are near BM25, not equal. It searches with the hit count
turned off, so that it may skip postings (block-max WAND), on one segment.

--baseline names another build's extension module (a `_kestrine*.so` file, say one of main's),
which is then timed in the same run as one more engine, "kestrine, baseline", and compared with
the one under test: the same documents with the same float scores, query by query.

Queries are one call each on one thread, best of --repeats passes, as queries per CPU-second:
Kestrine through the full `search` call of the Python API with keyword search only; the peers
get the query already tokenized (their time leaves the tokenizing out, Kestrine's does not).
bm25s runs with its numba backend (one thread, compiled before timing). rank_bm25 scores every
document in Python for each query term, so it runs only the first --rank-bm25-queries queries
of each set (default 20; 0 leaves it out). Agreement is over the queries each pair shares:
"same list" is the same ten documents in the same order; "same up to ties" allows documents of
equal score (within 1e-5, common on the generated corpus) to come in another order, and the last
group of equal scores, cut at 10, to be filled with other documents of that score; overlap is
the mean share of common documents.
"""

from __future__ import annotations

import argparse
import gzip
import json
import math
import os
import random
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


def generated_corpus(documents: int, bm25_bench: Path) -> tuple[list[str], list[str]]:
    folder = HERE / "data" / f"bm25-{documents}"
    if not (folder / "queries.jsonl").exists():
        folder.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            [str(bm25_bench), f"--documents={documents}", f"--dump_corpus={folder}"], check=True
        )
    return read_jsonl(folder / "corpus.jsonl"), read_jsonl(folder / "queries.jsonl")


QUERY_LENGTHS = ((1, 2), (3, 5), (6, 10))
SEED = 20261210


def word_pool_queries(queries: list[str], count: int) -> dict[str, list[str]]:
    """Query sets of each length, words drawn from the words of `queries` (repeats kept, so
    the draw follows their frequencies)."""
    pool = [w for q in queries for w in tokenize(q)]
    rng = random.Random(SEED)
    return {
        f"{lo}-{hi}": [" ".join(rng.choices(pool, k=rng.randint(lo, hi))) for _ in range(count)]
        for lo, hi in QUERY_LENGTHS
    }


def window_queries(paragraphs: list[str], count: int) -> dict[str, list[str]]:
    """Query sets of each length: runs of consecutive terms of the paragraphs, our tokens."""
    rng = random.Random(SEED + 1)
    token_lists = [t for t in (tokenize(p) for p in paragraphs) if len(t) >= 2]
    sets = {}
    for lo, hi in QUERY_LENGTHS:
        out: list[str] = []
        while len(out) < count:
            tokens = rng.choice(token_lists)
            n = min(rng.randint(lo, hi), len(tokens))
            if n < lo:
                continue
            start = rng.randrange(len(tokens) - n + 1)
            out.append(" ".join(tokens[start : start + n]))
        sets[f"{lo}-{hi}"] = out
    return sets


def vary(text: str, rng: random.Random) -> str:
    """The text with a small change: one word dropped and two neighbours swapped."""
    words = text.split()
    if len(words) > 3:
        del words[rng.randrange(len(words))]
        i = rng.randrange(len(words) - 1)
        words[i], words[i + 1] = words[i + 1], words[i]
    return " ".join(words)


def real_corpus(documents: int, count: int) -> tuple[list[str], dict[str, list[str]]]:
    folder = HERE / "data" / f"keyword-real-{documents}"
    if not (folder / "queries.json").exists():
        from real_corpus import collect

        demo = HERE.parent / "examples" / "data" / "stdlib_docs.jsonl.gz"
        with gzip.open(demo, "rt", encoding="utf-8") as f:
            demo_texts = [json.loads(line)["text"] for line in f if line.strip()]
        paragraphs = [row["text"] for row in collect()]
        held_out = max(2_000, len(paragraphs) // 20)
        base = demo_texts + paragraphs[held_out:]
        rng = random.Random(SEED)
        texts = base[:documents]
        while len(texts) < documents:
            texts.append(vary(base[len(texts) % len(base)], rng))
        folder.mkdir(parents=True, exist_ok=True)
        with open(folder / "corpus.jsonl", "w", encoding="utf-8") as out:
            for i, text in enumerate(texts):
                out.write(json.dumps({"id": i, "text": text}, ensure_ascii=False) + "\n")
        (folder / "queries.json").write_text(
            json.dumps(window_queries(paragraphs[:held_out], count), ensure_ascii=False)
        )
    texts = read_jsonl(folder / "corpus.jsonl")
    sets = json.loads((folder / "queries.json").read_text(encoding="utf-8"))
    return texts, {name: queries[:count] for name, queries in sets.items()}


def row_id(row: int) -> str:
    """A UUID that spells the row number, so that results map back without a table."""
    return f"00000000-0000-4000-8000-{row:012x}"


def baseline_class(path: Path):
    """The Kestrine class of another build's extension module (the file `_kestrine*.so`), loaded
    beside the one under test, so that both are timed in one run."""
    import importlib.machinery
    import importlib.util

    loader = importlib.machinery.ExtensionFileLoader("_kestrine", str(path))
    found = importlib.util.spec_from_file_location("_kestrine", path, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module.Kestrine


class KestrineKeyword:
    def __init__(self, texts: list[str], kestrine_class=None):
        if kestrine_class is None:
            from kestrine import Kestrine as kestrine_class

        # The embeddings are a required field but play no part here: 2-d, with a small graph.
        self.db = kestrine_class()
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


class TantivyKeyword:
    def __init__(self, texts: list[str]):
        import tantivy

        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=False)
        self.index = tantivy.Index(builder.build())
        writer = self.index.writer(heap_size=1_000_000_000, num_threads=1)
        for text in texts:
            writer.add_document(tantivy.Document(body=text))
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()
        # One segment: document numbers are the rows, in order of addition.
        assert self.searcher.num_segments == 1, self.searcher.num_segments

    def search(self, query: list[str]) -> list[tuple[int, float]]:
        if not query:
            return []
        parsed = self.index.parse_query(" ".join(query), ["body"])
        hits = self.searcher.search(parsed, K, count=False).hits
        return [(address.doc, score) for score, address in hits]


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


def run_set(texts, tokens, engines, queries, args, repeats) -> tuple[list, dict]:
    """QPS of every engine on one query set, and their results."""
    query_tokens = [tokenize(q) for q in queries]
    rows, results = [], {}
    for name, engine in engines.items():
        inputs = queries if name.startswith("kestrine") else query_tokens
        if name == "rank_bm25":
            inputs = inputs[: args.rank_bm25_queries]
        found, cpu_s, _ = time_queries(engine, inputs, 1 if name == "rank_bm25" else repeats)
        results[name] = found
        rows.append((name, len(inputs), len(inputs) / cpu_s))
    retriever, best = engines["bm25s, numba"].retriever, math.inf
    for _ in range(repeats):
        start = time.thread_time()
        retriever.retrieve([q for q in query_tokens if q], k=K, show_progress=False, n_threads=0)
        best = min(best, time.thread_time() - start)
    rows.append(("bm25s, numba, one call for all queries", len(queries), len(queries) / best))
    return rows, results


def run_corpus(label: str, texts: list[str], sets: dict[str, list[str]], args, repeats) -> None:
    tokens = [tokenize(t) for t in texts]
    makers = {
        "kestrine": lambda: KestrineKeyword(texts),
        "bm25s, numba": lambda: Bm25sKeyword(tokens, "numba"),
        "tantivy": lambda: TantivyKeyword(texts),
    }
    if args.baseline is not None:
        makers["kestrine, baseline"] = lambda: KestrineKeyword(texts, baseline_class(args.baseline))
    if args.rank_bm25_queries > 0:
        makers["rank_bm25"] = lambda: RankBm25Keyword(tokens)
    engines, builds = {}, {}
    for name, make in makers.items():
        start = time.thread_time()
        engines[name] = make()
        builds[name] = time.thread_time() - start
        print(f"{label}: {name} built in {builds[name]:.1f} CPU s", file=sys.stderr)

    print(f"\n### {label} corpus: {len(texts):,} documents (load average "
          f"{os.getloadavg()[0]:.2f})\n")  # fmt: skip
    print("build CPU s: " + ", ".join(f"{n} {b:.1f}" for n, b in builds.items()))
    print("(bm25s with numba: the build time includes compiling its functions; tantivy's")
    print("writer runs its own threads, which the calling thread's CPU time leaves out)\n")
    table, agreements = [], []
    for set_name, queries in sets.items():
        rows, results = run_set(texts, tokens, engines, queries, args, repeats)
        qps = dict((name, q) for name, _, q in rows)
        table.append((set_name, len(queries), qps))
        for a, b in (("kestrine", "kestrine, baseline"), ("kestrine", "bm25s, numba"),
                     ("kestrine", "tantivy"), ("kestrine", "rank_bm25")):  # fmt: skip
            if b in results:
                count = min(len(results[a]), len(results[b]))
                agreements.append((set_name, a, b, count, *agreement(results[a], results[b])))
        if "kestrine, baseline" in results:
            same = sum(
                a == b
                for a, b in zip(results["kestrine"], results["kestrine, baseline"], strict=True)
            )
            print(f"{set_name} terms: {same:,} of {len(queries):,} top-10 lists identical to the "
                  "baseline's (documents, order and float scores)")  # fmt: skip
        gap = check_scores(tokens, queries, results["kestrine"], 5)
        print(f"{set_name} terms: {qps['kestrine']:,.0f} QPS, largest relative gap of Kestrine's "
              f"scores to exact float64 BM25 (5 queries) {gap:.1e}", file=sys.stderr)  # fmt: skip
    names = [n for n in table[0][2] if n != "rank_bm25"]
    versus = [("bm25s", "bm25s, numba"), ("tantivy", "tantivy")]
    if "kestrine, baseline" in names:
        versus.insert(0, ("baseline", "kestrine, baseline"))
    print("| terms | queries | " + " | ".join(names) + " | "
          + " | ".join(f"vs {label}" for label, _ in versus) + " |")  # fmt: skip
    print("|---|---|" + "---|" * (len(names) + len(versus)))
    for set_name, count, qps in table:
        cells = " | ".join(f"{qps[n]:,.0f}" for n in names)
        ratios = " | ".join(f"{qps['kestrine'] / qps[name]:.2f}x" for _, name in versus)
        print(f"| {set_name} | {count:,} | {cells} | {ratios} |")
    if "rank_bm25" in makers:
        print("\nrank_bm25: " + ", ".join(
            f"{s} terms {q['rank_bm25']:,.1f} QPS" for s, _, q in table))  # fmt: skip
    print("\n| terms | pair | queries | same top-10 list | same up to ties | mean overlap |")
    print("|---|---|---|---|---|---|")
    for set_name, a, b, count, same_list, same_ties, overlap in agreements:
        print(f"| {set_name} | {a} / {b} | {count:,} | {same_list:.1%} | {same_ties:.1%} | "
              f"{overlap:.1%} |")  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="10,000 documents")
    parser.add_argument("--corpus", choices=("generated", "real", "both"), default="both")
    parser.add_argument("--queries", type=int, default=1000, help="queries per set")
    parser.add_argument("--repeats", type=int, help="timed passes (default 3, quick 2)")
    parser.add_argument("--rank-bm25-queries", type=int, default=20)
    parser.add_argument("--bm25-bench", type=Path, default=Path("build/bench/bench/bm25_bench"))
    parser.add_argument(
        "--baseline",
        type=Path,
        help="another build's _kestrine extension module, timed beside this one",
    )
    args = parser.parse_args()
    repeats = args.repeats or (2 if args.quick else 3)
    documents = 10_000 if args.quick else 100_000
    print(
        f"CPU: {cpu_model()}; load average {os.getloadavg()[0]:.2f}; k {K}; "
        "QPS = queries per CPU-second, one thread"
    )
    if args.corpus in ("generated", "both"):
        texts, queries = generated_corpus(documents, args.bm25_bench)
        run_corpus("generated", texts, word_pool_queries(queries, args.queries), args, repeats)
    if args.corpus in ("real", "both"):
        texts, sets = real_corpus(documents, args.queries)
        run_corpus("real", texts, sets, args, repeats)


if __name__ == "__main__":
    main()
