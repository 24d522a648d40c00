"""Digests of search results, to tell whether a change to the search path keeps every result.

    python bench/result_digest.py DIR [--sets clusters-128,clusters-384] [--n 20000]
                                      [--efs 10,50,200]

For each set, metric and mode (8-bit codes, and with raw vectors) it searches a collection
loaded from a snapshot in DIR with every query of the set at each ef_search, and prints one
SHA-256 digest per ef over the ids, float32 scores and order of all hits. A snapshot missing
from DIR is first built from the first --n vectors of a cached set of datasets.py and saved.
Building draws random levels, so two builds differ; a saved graph does not. Run it once with
each build of the extension over the same DIR and compare the output: equal digests mean the
same hits at the same scores in the same order.
"""

from __future__ import annotations

import argparse
import hashlib
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datasets  # noqa: E402

METRICS = ("cosine", "euclidean", "dot_product")


def build_snapshot(path: Path, data, metric: str, raw: bool, n: int) -> None:
    from kestrine import Kestrine

    base = data.base[:n]
    db = Kestrine()
    db.create_collection(
        "digest", data.recipe.dim, m=16, ef_construction=200, distance_metric=metric,
        store_raw_vectors=raw,
    )  # fmt: skip
    for start in range(0, len(base), 1000):
        rows = range(start, min(start + 1000, len(base)))
        db.batch_insert(
            "digest",
            [{"text": "", "embedding": base[r], "id": f"00000000-0000-4000-8000-{r:012x}"}
             for r in rows],
        )  # fmt: skip
    db.save("digest", str(path))


def digests(path: Path, data, efs: list[int]) -> list[str]:
    from kestrine import Kestrine

    db = Kestrine()
    db.load("digest", str(path))
    out = []
    for ef in efs:
        h = hashlib.sha256()
        for query in data.queries:
            for hit in db.search("digest", query_embedding=query, k=10, ef_search=ef):
                h.update(hit.id.encode())
                h.update(struct.pack("<f", hit.score))
        out.append(h.hexdigest()[:16])
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dir", type=Path, help="where the snapshots are kept")
    parser.add_argument("--sets", default="clusters-128,clusters-384")
    parser.add_argument("--metrics", default=",".join(METRICS))
    parser.add_argument("--n", type=int, default=20_000, help="vectors indexed per set")
    parser.add_argument("--efs", default="10,50,200")
    args = parser.parse_args()
    efs = [int(x) for x in args.efs.split(",")]
    args.dir.mkdir(parents=True, exist_ok=True)
    for set_name in args.sets.split(","):
        data = datasets.load(set_name)
        for metric in args.metrics.split(","):
            for raw in (False, True):
                mode = "raw" if raw else "compact"
                path = args.dir / f"{set_name}.{metric}.{mode}.{args.n}.snapshot"
                if not path.exists():
                    build_snapshot(path, data, metric, raw, args.n)
                for ef, digest in zip(efs, digests(path, data, efs), strict=True):
                    print(f"{set_name} {metric} {mode} ef {ef}: {digest}", flush=True)


if __name__ == "__main__":
    main()
