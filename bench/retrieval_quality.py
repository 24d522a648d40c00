"""Retrieval quality on the demo corpus (examples/data): the 115 hand-written questions against
the 2,870 standard-library docstrings, scored as recall@10 (the share of a question's targets
among the first ten results) and MRR (the mean of 1 / the rank of the first target found), for
every mode of ``db.search``: vector, keyword, and hybrid with reciprocal-rank fusion or linear
fusion at alpha 0.3, 0.5 and 0.7. Scores are given for all questions and by question style.

    .venv/bin/python bench/retrieval_quality.py [--raw-vectors] [--verbose]

The goal is that a hybrid mode beats both single modes on recall@10. After the table, an
analysis shows where fusion loses what vector search had found, and what fusion over more
candidates per side would give (simulated from single-mode ``db.search`` results: the engine
asks each side for k candidates only).
"""

import argparse
import gzip
import json
import statistics
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from kestrine import Kestrine

DATA = Path(__file__).resolve().parents[1] / "examples" / "data"
COLLECTION = "stdlib"
K = 10

Question = dict[str, Any]
Ranking = list[str]  # document ids, best first


def read_jsonl_gz(path: Path) -> list[dict[str, Any]]:
    with gzip.open(path, "rt", encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def load(raw_vectors: bool) -> Kestrine:
    corpus = read_jsonl_gz(DATA / "stdlib_docs.jsonl.gz")
    db = Kestrine()
    db.create_collection(COLLECTION, len(corpus[0]["embedding"]), store_raw_vectors=raw_vectors)
    for start in range(0, len(corpus), 1000):
        db.batch_insert(COLLECTION, corpus[start : start + 1000])
    return db


def modes(db: Kestrine) -> dict[str, Callable[[Question, int], Ranking]]:
    def search(q: Question, k: int, **options: Any) -> Ranking:
        return [hit.id for hit in db.search(COLLECTION, k=k, **options)]

    def vector(q: Question, k: int) -> Ranking:
        return search(q, k, query_embedding=q["embedding"])

    def keyword(q: Question, k: int) -> Ranking:
        return search(q, k, query_text=q["question"])

    def hybrid(**fusion: Any) -> Callable[[Question, int], Ranking]:
        return lambda q, k: search(
            q, k, query_embedding=q["embedding"], query_text=q["question"], **fusion
        )

    return {
        "vector": vector,
        "keyword": keyword,
        "hybrid rrf": hybrid(fusion_method="rrf"),
        "hybrid linear 0.3": hybrid(fusion_method="linear", alpha=0.3),
        "hybrid linear 0.5": hybrid(fusion_method="linear", alpha=0.5),
        "hybrid linear 0.7": hybrid(fusion_method="linear", alpha=0.7),
    }


def targets(q: Question) -> set[str]:
    return {t["id"] for t in q["targets"]}


def recall_and_rr(ranking: Ranking, relevant: set[str]) -> tuple[float, float]:
    found = len(relevant & set(ranking[:K])) / len(relevant)
    first = next((rank for rank, i in enumerate(ranking[:K], 1) if i in relevant), None)
    return found, (1.0 / first if first else 0.0)


def print_table(
    title: str, scores: dict[str, list[tuple[float, float]]], questions: Sequence[Question]
) -> None:
    styles = ["all", *sorted({q["style"] for q in questions})]
    chosen = {s: [i for i, q in enumerate(questions) if s in ("all", q["style"])] for s in styles}
    print(title)
    header = f"{'':20s}" + "".join(f"  {f'{s} ({len(chosen[s])})':>18s}" for s in styles)
    print(header)
    print(f"{'':20s}" + "".join(f"  {'recall@10':>9s} {'MRR':>8s}" for _ in styles))
    for mode, values in scores.items():
        cells = []
        for s in styles:
            recall = statistics.fmean(values[i][0] for i in chosen[s])
            mrr = statistics.fmean(values[i][1] for i in chosen[s])
            cells.append(f"  {recall:9.3f} {mrr:8.3f}")
        print(f"{mode:20s}" + "".join(cells))


def rrf(rankings: Sequence[Ranking], weights: Sequence[float] | None = None) -> Ranking:
    scores: dict[str, float] = {}
    for j, ranking in enumerate(rankings):
        weight = weights[j] if weights else 1.0
        for rank, doc in enumerate(ranking):
            scores[doc] = scores.get(doc, 0.0) + weight / (rank + 61)
    return sorted(scores, key=lambda d: -scores[d])


def linear(
    vector: list[tuple[str, float]], keyword: list[tuple[str, float]], alpha: float
) -> Ranking:
    scores: dict[str, float] = {}
    for side, weight in ((vector, alpha), (keyword, 1 - alpha)):
        if not side:
            continue
        low, high = min(s for _, s in side), max(s for _, s in side)
        for doc, score in side:
            norm = 1.0 if high - low < 1.1920929e-7 else (score - low) / (high - low)
            scores[doc] = scores.get(doc, 0.0) + weight * norm
    return sorted(scores, key=lambda d: -scores[d])


def analysis(db: Kestrine, questions: Sequence[Question]) -> None:
    # Where reciprocal-rank fusion loses targets that vector search had in its first ten.
    lost_ranks: list[int] = []
    gained = 0
    keyword_only_slots: list[int] = []
    for q in questions:
        relevant = targets(q)
        vector = [h.id for h in db.search(COLLECTION, q["embedding"], k=K)]
        keyword = [h.id for h in db.search(COLLECTION, query_text=q["question"], k=K)]
        fused = [
            h.id
            for h in db.search(COLLECTION, q["embedding"], q["question"], k=K, fusion_method="rrf")
        ]
        keyword_only_slots.append(sum(1 for d in fused if d in keyword and d not in vector))
        for doc in relevant:
            if doc in vector and doc not in fused:
                lost_ranks.append(vector.index(doc) + 1)
            if doc not in vector and doc in fused:
                gained += 1
    print("\nWhere hybrid rrf differs from vector search (k = 10, each side asked for 10):")
    print(
        f"  targets vector search found that rrf lost: {len(lost_ranks)} "
        f"(their vector ranks: {sorted(lost_ranks)})"
    )
    print(f"  targets rrf found that vector search had not: {gained}")
    print(
        "  rrf result slots taken by documents only keyword search found: "
        f"{statistics.fmean(keyword_only_slots):.1f} of 10 on average"
    )

    # Fusion over more candidates per side, from single-mode results.
    print("\nFusion over N candidates per side, simulated from single-mode db.search results")
    print("(recall@10 over all questions; the engine itself fuses N = 10):")
    variants = ["rrf", "rrf, vector weight 2", "linear 0.5", "linear 0.7", "linear 0.8"]
    print(f"  {'N':>4s}" + "".join(f"  {v:>20s}" for v in variants))
    for n in (10, 20, 50, 100):
        recalls: dict[str, list[float]] = {v: [] for v in variants}
        for q in questions:
            vector_hits = db.search(COLLECTION, q["embedding"], k=n)
            keyword_hits = db.search(COLLECTION, query_text=q["question"], k=n)
            v = [(h.id, h.score) for h in vector_hits]
            kw = [(h.id, h.score) for h in keyword_hits]
            rankings = {
                "rrf": rrf([[d for d, _ in v], [d for d, _ in kw]]),
                "rrf, vector weight 2": rrf([[d for d, _ in v], [d for d, _ in kw]], [2.0, 1.0]),
                "linear 0.5": linear(v, kw, 0.5),
                "linear 0.7": linear(v, kw, 0.7),
                "linear 0.8": linear(v, kw, 0.8),
            }
            for name, ranking in rankings.items():
                recalls[name].append(recall_and_rr(ranking, targets(q))[0])
        print(f"  {n:4d}" + "".join(f"  {statistics.fmean(recalls[v]):20.3f}" for v in variants))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--raw-vectors", action="store_true", help="keep raw 32-bit vectors")
    parser.add_argument("--verbose", action="store_true", help="one line a question")
    parser.add_argument("--no-analysis", action="store_true", help="the table only")
    args = parser.parse_args()

    start = time.monotonic()
    db = load(args.raw_vectors)
    questions = read_jsonl_gz(DATA / "questions.jsonl.gz")
    loaded = time.monotonic() - start
    searches = modes(db)
    scores: dict[str, list[tuple[float, float]]] = {mode: [] for mode in searches}
    for q in questions:
        relevant = targets(q)
        results = {mode: recall_and_rr(search(q, K), relevant) for mode, search in searches.items()}
        for mode, result in results.items():
            scores[mode].append(result)
        if args.verbose:
            cells = " ".join(f"{r:.2f}/{rr:.2f}" for r, rr in results.values())
            print(f"{cells}  [{q['style']}] {q['question']}")

    vectors = "raw 32-bit vectors" if args.raw_vectors else "8-bit codes"
    print_table(
        f"{len(questions)} questions, {db.collection_info(COLLECTION).document_count} documents "
        f"(HNSW over {vectors}, default parameters; loaded in {loaded:.1f} s)",
        scores,
        questions,
    )
    recall = {mode: statistics.fmean(r for r, _ in values) for mode, values in scores.items()}
    best = max((m for m in recall if m.startswith("hybrid")), key=lambda m: recall[m])
    single = max(recall["vector"], recall["keyword"])
    verdict = "met" if recall[best] > single else "not met"
    print(
        f"\nGoal, a hybrid mode above both single modes on recall@10: {verdict} "
        f"(best hybrid: {best} {recall[best]:.3f}; vector {recall['vector']:.3f}, "
        f"keyword {recall['keyword']:.3f})"
    )
    if not args.no_analysis:
        analysis(db, questions)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
