"""Throughput of embeddings given as Python lists versus NumPy arrays (ephemeral database).

    python bench/embedding_input.py [--docs N] [--queries Q] [--repeat R]

For dimensions 384 and 1536 it times:
  insert        one insert() per document, into an empty collection each round;
  batch_insert  one call for all documents;
  convert only  batch_insert into a collection of another dimension: every embedding is
                converted, then the whole batch is refused before the engine indexes anything,
                so this is the conversion cost without the index work;
  search        vector search, when this build has it.
Each figure is the best of R rounds, in CPU time of this process: everything runs on the
calling thread, so on an idle machine that is the wall time, and other processes' load disturbs
it less. Insert and search include the engine's index work, which is the same for both inputs
and shrinks the ratio. "convert only" still pays for each document's dict, text and random id;
the last table subtracts that (the same run with 1-float embeddings) to give the cost of
converting one embedding.
"""

import argparse
import time

import numpy as np
from kestrine import Kestrine

DIMENSIONS = (384, 1536)
INPUTS = ("list", "float32", "float64")


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        fn()
        best = min(best, time.process_time() - start)
    return best


def inputs_for(vectors):
    return {
        "list": [row.tolist() for row in vectors],
        "float32": list(vectors),
        "float64": list(vectors.astype(np.float64)),
    }


def convert_only_seconds(batch, dimension, repeat):
    def run():
        db = Kestrine()
        db.create_collection("c", dimension + 1)
        try:
            db.batch_insert("c", batch)
        except ValueError:
            pass
        else:
            raise AssertionError("the batch should have been refused")

    return best_of(repeat, run)


def bench_dimension(dimension, docs, queries, repeat):
    rng = np.random.default_rng(dimension)
    vectors = rng.standard_normal((docs, dimension)).astype(np.float32)
    query_vectors = rng.standard_normal((queries, dimension)).astype(np.float32)
    embeddings = inputs_for(vectors)
    query_embeddings = inputs_for(query_vectors)
    texts = [f"document {i}" for i in range(docs)]
    results = {}

    for kind in INPUTS:
        rows = embeddings[kind]
        batch = [{"text": t, "embedding": e} for t, e in zip(texts, rows, strict=True)]

        def insert_all(rows=rows):
            db = Kestrine()
            db.create_collection("c", dimension)
            for text, embedding in zip(texts, rows, strict=True):
                db.insert("c", text, embedding)

        def batch_all(batch=batch):
            db = Kestrine()
            db.create_collection("c", dimension)
            db.batch_insert("c", batch)

        results[kind, "insert"] = docs / best_of(repeat, insert_all)
        results[kind, "batch_insert"] = docs / best_of(repeat, batch_all)
        results[kind, "convert only"] = docs / convert_only_seconds(batch, dimension, repeat)

    if hasattr(Kestrine, "search"):
        db = Kestrine()
        db.create_collection("c", dimension)
        db.batch_insert(
            "c", [{"text": t, "embedding": e} for t, e in zip(texts, vectors, strict=True)]
        )
        for kind in INPUTS:
            rows = query_embeddings[kind]

            def search_all(rows=rows):
                for query in rows:
                    db.search("c", query_embedding=query, k=10)

            results[kind, "search"] = queries / best_of(repeat, search_all)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=2000)
    parser.add_argument("--queries", type=int, default=500)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if not hasattr(Kestrine, "search"):
        print("note: this build has no search(); insert and conversion only\n")
    print(f"{args.docs} documents, {args.queries} queries, best of {args.repeat} rounds")
    header = f"{'dim':>5}  {'operation':<13}" + "".join(f"{k + ' /s':>14}" for k in INPUTS)
    header += f"{'f32/list':>10}{'f64/list':>10}"
    print(header)
    per_dimension = {}
    for dimension in DIMENSIONS:
        results = bench_dimension(dimension, args.docs, args.queries, args.repeat)
        for operation in ("insert", "batch_insert", "convert only", "search"):
            if ("list", operation) not in results:
                continue
            rates = [results[kind, operation] for kind in INPUTS]
            line = f"{dimension:>5}  {operation:<13}" + "".join(f"{r:>14,.0f}" for r in rates)
            line += f"{rates[1] / rates[0]:>9.1f}x{rates[2] / rates[0]:>9.1f}x"
            print(line)
        per_dimension[dimension] = results

    tiny = inputs_for(np.ones((args.docs, 1), dtype=np.float32))
    print("\nconverting one embedding (convert only, less the same with 1-float embeddings)")
    print(f"{'dim':>5}" + "".join(f"{k + ' ns':>14}" for k in INPUTS) + f"{'f32/list':>10}")
    for dimension, results in per_dimension.items():
        costs = []
        for kind in INPUTS:
            batch = [{"text": f"document {i}", "embedding": e} for i, e in enumerate(tiny[kind])]
            baseline = convert_only_seconds(batch, 1, args.repeat) / args.docs
            costs.append(max(1 / results[kind, "convert only"] - baseline, 0.0) * 1e9)
        line = f"{dimension:>5}" + "".join(f"{c:>14,.0f}" for c in costs)
        print(line + f"{costs[0] / max(costs[1], 1.0):>9.1f}x")


if __name__ == "__main__":
    main()
