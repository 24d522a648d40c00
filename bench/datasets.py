"""Fixed-seed vector data sets shared by the benchmark scripts, with exact ground truth.

Each set is a mixture of 100 Gaussian clusters: centres drawn from N(0, 1) per component, every
point its centre plus N(0, 1.5^2) per component, so that clusters overlap and the nearest
neighbours are not simply "the same cluster". Queries are further points of the same mixture,
drawn with another seed, and are not in the index. Beside them, "real-384" holds real sentence
embeddings of real text (built once by real_corpus.py), read the same way.

The vectors and the exact top-10 of every query (float64 brute force, per metric) are cached
under bench/data/ as raw little-endian files, so that programs in other languages can read the
very same vectors:

    <name>.base.f32      n x dim float32, row-major
    <name>.queries.f32   queries x dim float32, row-major
    <name>.truth-<metric>.i32   queries x 10 int32: row numbers of the base, nearest first

Run it on its own to write the cache: python bench/datasets.py [--quick]. The C++ HNSW benchmark
then reads the same vectors with, for example:

    build/bench/bench/hnsw_bench --dim 128 --data bench/data/clusters-128.base.f32 \
        --query-data bench/data/clusters-128.queries.f32
"""

from __future__ import annotations

import argparse
import dataclasses
import time
from pathlib import Path

import numpy as np

DATA_DIR = Path(__file__).resolve().parent / "data"
METRICS = ("cosine", "euclidean", "dot_product")
TRUTH_K = 10


@dataclasses.dataclass(frozen=True)
class Recipe:
    name: str
    n: int
    dim: int
    queries: int = 1000
    clusters: int = 100
    spread: float = 1.5
    centre_seed: int = 12345
    base_seed: int = 1
    query_seed: int = 2


RECIPES = {
    r.name: r
    for r in (
        Recipe("clusters-128", 100_000, 128),
        Recipe("clusters-384", 50_000, 384),
        # Small versions for --quick runs.
        Recipe("clusters-128-quick", 10_000, 128, queries=200),
        Recipe("clusters-384-quick", 5_000, 384, queries=200),
    )
}


def mixture(recipe: Recipe, count: int, seed: int) -> np.ndarray:
    """`count` points of the mixture, as float32 rows."""
    centres = np.random.default_rng(recipe.centre_seed).standard_normal(
        (recipe.clusters, recipe.dim)
    )
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, recipe.clusters, count)
    points = centres[labels] + recipe.spread * rng.standard_normal((count, recipe.dim))
    return points.astype(np.float32)


def exact_top_k(
    base: np.ndarray,
    queries: np.ndarray,
    metric: str,
    k: int = TRUTH_K,
    mask: np.ndarray | None = None,
) -> np.ndarray:
    """Row numbers of the k nearest base rows of every query, nearest first (float64 maths).

    With `mask` (a boolean per base row) only the rows where it is true compete; a query with
    fewer than k of them gets -1 in the places left over.
    """
    x = base.astype(np.float64)
    q = queries.astype(np.float64)
    if metric == "cosine":
        x /= np.linalg.norm(x, axis=1, keepdims=True)
        q /= np.linalg.norm(q, axis=1, keepdims=True)
    x_norms = (x * x).sum(axis=1)
    out = np.full((len(q), k), -1, dtype=np.int32)
    for start in range(0, len(q), 100):
        block = q[start : start + 100] @ x.T
        # Smaller is nearer: negated similarity, or squared distance less the query's norm.
        cost = x_norms - 2.0 * block if metric == "euclidean" else -block
        if mask is not None:
            cost[:, ~mask] = np.inf
        kk = min(k, cost.shape[1])
        part = np.argpartition(cost, kk - 1, axis=1)[:, :kk]
        order = np.take_along_axis(cost, part, axis=1).argsort(axis=1, kind="stable")
        best = np.take_along_axis(part, order, axis=1)
        finite = np.isfinite(np.take_along_axis(cost, best, axis=1))
        out[start : start + 100, :kk] = np.where(finite, best, -1)
    return out


def recall_at_k(truth: np.ndarray, found: list) -> float:
    """Share of the true neighbours (ignoring -1 padding) that the result lists contain."""
    hits = total = 0
    for want, got in zip(truth, found, strict=True):
        want = {int(i) for i in want if i >= 0}
        hits += len(want.intersection(int(i) for i in got))
        total += len(want)
    return hits / total if total else 1.0


class Dataset:
    """The cached vectors of one recipe; generated and written on first use."""

    def __init__(self, recipe: Recipe):
        self.recipe = recipe
        self.base = self._cached("base", lambda: mixture(recipe, recipe.n, recipe.base_seed))
        self.queries = self._cached(
            "queries", lambda: mixture(recipe, recipe.queries, recipe.query_seed)
        )

    @property
    def name(self) -> str:
        return self.recipe.name

    def path(self, part: str, suffix: str) -> Path:
        return DATA_DIR / f"{self.recipe.name}.{part}.{suffix}"

    def _cached(self, part: str, make) -> np.ndarray:
        path = self.path(part, "f32")
        if not path.exists():
            DATA_DIR.mkdir(parents=True, exist_ok=True)
            make().astype("<f4").tofile(path)
        return np.fromfile(path, dtype="<f4").reshape(-1, self.recipe.dim)

    def truth(self, metric: str) -> np.ndarray:
        path = self.path(f"truth-{metric}", "i32")
        if not path.exists():
            DATA_DIR.mkdir(parents=True, exist_ok=True)
            exact_top_k(self.base, self.queries, metric).astype("<i4").tofile(path)
        return np.fromfile(path, dtype="<i4").reshape(-1, TRUTH_K)


class RealDataset(Dataset):
    """Real sentence embeddings written by real_corpus.py (not generated here)."""

    def __init__(self, name: str, dim: int):
        self.recipe = Recipe(name, 0, dim)
        missing = [
            p for p in (self.path("base", "f32"), self.path("queries", "f32")) if not p.exists()
        ]
        if missing:
            raise SystemExit(f"{missing[0]} is missing: run bench/real_corpus.py first")
        self.base = np.fromfile(self.path("base", "f32"), dtype="<f4").reshape(-1, dim)
        self.queries = np.fromfile(self.path("queries", "f32"), dtype="<f4").reshape(-1, dim)


# Real embeddings, built once by real_corpus.py (minutes of embedding), by name and dimension.
REAL_SETS = {"real-384": 384}


def load(name: str) -> Dataset:
    if name in REAL_SETS:
        return RealDataset(name, REAL_SETS[name])
    return Dataset(RECIPES[name])


def set_names(quick: bool) -> list[str]:
    return [name for name in RECIPES if name.endswith("-quick") == quick]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="only the small sets")
    args = parser.parse_args()
    for name in set_names(args.quick):
        start = time.perf_counter()
        data = load(name)
        for metric in METRICS:
            data.truth(metric)
        print(
            f"{name}: {data.base.shape[0]} x {data.base.shape[1]}, {len(data.queries)} queries, "
            f"ready in {time.perf_counter() - start:.1f} s ({DATA_DIR})"
        )


if __name__ == "__main__":
    main()
