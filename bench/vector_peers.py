"""Vector search against other HNSW libraries: build time, recall@10, queries per second and
index memory, on one thread, for the clustered sets of datasets.py.

    python bench/vector_peers.py [--quick] [--metrics a,b] [--libs a,b] [--sets a,b]
    python bench/vector_peers.py --report      # table and plot from the saved results only

Every library runs in a fresh subprocess, so that one library's allocations do not show in the
next one's memory: "index MiB" is the growth of the process's resident set over the build
(after a garbage collection and malloc_trim on both sides), with the data set already loaded.
All libraries use M 16 and ef_construction 200. Queries go one call per query, each a NumPy
float32 row (Kestrine through the full `db.search` call and its result objects; the others
through their Python search call with one query), over 1,000 queries, best of --repeats passes.
QPS is queries per CPU-second of the calling thread (thread_time), which a shared machine
disturbs less than wall time; the best wall-clock QPS is kept in the JSON results too.

Kestrine builds one collection and sets the beam width per call (`search(..., ef_search=ef)`),
as the others set ef on their one index; a call with the collection's own ef_search gives the
same results as one without the argument. --kestrine-efs gives Kestrine other ef values.

The table shows QPS at recall@10 0.95 for every library and, for store_raw_vectors=True
("kestrine-raw") and the float32 peers, at 0.99 as well.

Results go to bench/results/vector_peers/, one JSON file per set, metric and library (a rerun
replaces only its own), and the plot to bench/results/vector_peers.png (-quick.png for --quick).
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import math
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datasets  # noqa: E402

RESULTS = Path(__file__).resolve().parent / "results"
RESULT_DIR = RESULTS / "vector_peers"
EFS = (10, 20, 50, 100, 200)
M, EF_CONSTRUCTION, K = 16, 200, 10
TARGET_RECALL = 0.95
RAW_TARGET_RECALL = 0.99  # the second target, for store_raw_vectors=True
PEERS = ("hnswlib", "faiss-hnsw-flat", "faiss-hnsw-sq8")
LIBRARIES = (
    "kestrine",
    "kestrine-raw",
    "hnswlib",
    "faiss-hnsw-flat",
    "faiss-hnsw-sq8",
    "usearch",
)


# --- One library per class: build(base), set_ef(ef), search(query) -> row numbers. -----------


class KestrineIndex:
    """A Kestrine collection; set_ef only changes the beam width that each search call asks for."""

    def __init__(self, metric: str, dim: int, raw: bool):
        from kestrine import Kestrine

        self.db = Kestrine()
        self.metric, self.dim, self.raw = metric, dim, raw
        self.ef = None

    def build(self, base: np.ndarray, ef: int) -> None:
        self.db.create_collection(
            "bench",
            self.dim,
            m=M,
            ef_construction=EF_CONSTRUCTION,
            ef_search=ef,
            distance_metric=self.metric,
            store_raw_vectors=self.raw,
        )
        # Ids that spell the row number, so that the harness keeps no table of its own.
        for start in range(0, len(base), 1000):
            docs = [
                {"text": "", "embedding": base[row], "id": f"00000000-0000-4000-8000-{row:012x}"}
                for row in range(start, min(start + 1000, len(base)))
            ]
            self.db.batch_insert("bench", docs)
        self.ef = ef

    def set_ef(self, ef: int) -> None:
        self.ef = ef

    def prepare(self, queries: np.ndarray) -> list:
        return list(queries)

    def search(self, query) -> list:
        return [
            r.id for r in self.db.search("bench", query_embedding=query, k=K, ef_search=self.ef)
        ]

    def to_rows(self, found: list) -> list:
        return [int(doc_id[-12:], 16) for doc_id in found]

    def extra(self) -> dict:
        return {"total_memory_bytes": self.db.total_memory_bytes()}


class HnswlibIndex:
    def __init__(self, metric: str, dim: int):
        import hnswlib

        space = {"cosine": "cosine", "euclidean": "l2", "dot_product": "ip"}[metric]
        self.index = hnswlib.Index(space=space, dim=dim)

    def build(self, base: np.ndarray, ef: int) -> None:
        self.index.init_index(max_elements=len(base), M=M, ef_construction=EF_CONSTRUCTION)
        self.index.set_num_threads(1)
        self.index.add_items(base, np.arange(len(base)), num_threads=1)
        self.set_ef(ef)

    def set_ef(self, ef: int) -> None:
        self.index.set_ef(ef)

    def prepare(self, queries: np.ndarray) -> list:
        return list(queries)

    def search(self, query) -> np.ndarray:
        return self.index.knn_query(query, k=K, num_threads=1)[0][0]


class FaissIndex:
    def __init__(self, metric: str, dim: int, sq8: bool):
        import faiss

        faiss.omp_set_num_threads(1)
        self.normalize = metric == "cosine"
        kind = faiss.METRIC_L2 if metric == "euclidean" else faiss.METRIC_INNER_PRODUCT
        if sq8:
            self.index = faiss.IndexHNSWSQ(dim, faiss.ScalarQuantizer.QT_8bit, M, kind)
        else:
            self.index = faiss.IndexHNSWFlat(dim, M, kind)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION

    def _rows(self, x: np.ndarray) -> np.ndarray:
        x = np.ascontiguousarray(x, dtype=np.float32)
        return x / np.linalg.norm(x, axis=1, keepdims=True) if self.normalize else x

    def build(self, base: np.ndarray, ef: int) -> None:
        rows = self._rows(base)
        if not self.index.is_trained:
            self.index.train(rows)
        self.index.add(rows)
        self.set_ef(ef)

    def set_ef(self, ef: int) -> None:
        self.index.hnsw.efSearch = ef

    def prepare(self, queries: np.ndarray) -> list:
        return [row[None, :] for row in self._rows(queries)]

    def search(self, query) -> np.ndarray:
        return self.index.search(query, K)[1][0]


class UsearchIndex:
    def __init__(self, metric: str, dim: int):
        from usearch.index import Index

        kind = {"cosine": "cos", "euclidean": "l2sq", "dot_product": "ip"}[metric]
        self.index = Index(
            ndim=dim, metric=kind, dtype="f32", connectivity=M, expansion_add=EF_CONSTRUCTION
        )

    def build(self, base: np.ndarray, ef: int) -> None:
        self.index.add(np.arange(len(base)), base, threads=1)
        self.set_ef(ef)

    def set_ef(self, ef: int) -> None:
        self.index.expansion_search = ef

    def prepare(self, queries: np.ndarray) -> list:
        return list(queries)

    def search(self, query) -> np.ndarray:
        return self.index.search(query, K, threads=1).keys


def make_index(library: str, metric: str, dim: int):
    if library.startswith("kestrine"):
        return KestrineIndex(metric, dim, raw=library == "kestrine-raw")
    if library == "hnswlib":
        return HnswlibIndex(metric, dim)
    if library.startswith("faiss"):
        return FaissIndex(metric, dim, sq8=library == "faiss-hnsw-sq8")
    if library == "usearch":
        return UsearchIndex(metric, dim)
    raise ValueError(library)


# --- The worker: one library, one set, one metric, in a process of its own. ------------------


def resident_bytes() -> int:
    """The resident set after a collection and after handing freed heap back to the system."""
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def time_queries(index, queries: list, repeats: int) -> tuple[list, float, float]:
    """The results of one pass, and the best CPU and wall seconds over `repeats` passes."""
    best_cpu = best_wall = math.inf
    found = []
    for _ in range(repeats):
        wall, cpu = time.perf_counter(), time.thread_time()
        found = [index.search(q) for q in queries]
        best_cpu = min(best_cpu, time.thread_time() - cpu)
        best_wall = min(best_wall, time.perf_counter() - wall)
    return found, best_cpu, best_wall


def run_worker(library: str, set_name: str, metric: str, efs: list[int], repeats: int) -> dict:
    data = datasets.load(set_name)
    truth = data.truth(metric)
    index = make_index(library, metric, data.recipe.dim)
    queries = index.prepare(data.queries)
    before = resident_bytes()
    wall, cpu = time.perf_counter(), time.thread_time()
    index.build(data.base, efs[0])
    build_cpu, build_wall = time.thread_time() - cpu, time.perf_counter() - wall
    index_bytes = resident_bytes() - before
    points, loads = [], [os.getloadavg()[0]]
    for ef in efs:
        index.set_ef(ef)
        found, cpu_s, wall_s = time_queries(index, queries, repeats)
        if hasattr(index, "to_rows"):
            found = [index.to_rows(f) for f in found]
        n = len(queries)
        points.append(
            {
                "ef": ef,
                "recall": datasets.recall_at_k(truth, found),
                "qps": n / cpu_s,
                "qps_wall": n / wall_s,
            }
        )
        loads.append(os.getloadavg()[0])
    result = {
        "set": set_name,
        "metric": metric,
        "library": library,
        "n": len(data.base),
        "dim": data.recipe.dim,
        "queries": len(queries),
        "build_cpu_s": build_cpu,
        "build_wall_s": build_wall,
        "index_bytes": index_bytes,
        "load_avg": sum(loads) / len(loads),
        "points": points,
    }
    if hasattr(index, "extra"):
        result.update(index.extra())
    return result


# --- The driver: workers, results file, table and plot. --------------------------------------


def run_in_subprocess(library, set_name, metric, efs, repeats) -> dict:
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    command = [sys.executable, __file__, "--worker", library, set_name, metric]
    command += ["--efs", ",".join(map(str, efs)), "--repeats", str(repeats)]
    out = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def qps_at_recall(points: list[dict], target: float = TARGET_RECALL) -> tuple[str, float | None]:
    """QPS where the recall/QPS curve crosses `target` (log-QPS linear in recall).

    Returns ("=", qps) on a crossing, (">=", qps) when even the smallest ef is above the target,
    and ("<", None) when no ef reaches it.
    """
    pts = sorted(points, key=lambda p: p["ef"])
    if pts[0]["recall"] >= target:
        return ">=", pts[0]["qps"]
    for a, b in zip(pts, pts[1:], strict=False):
        if a["recall"] < target <= b["recall"]:
            t = (target - a["recall"]) / (b["recall"] - a["recall"])
            return "=", math.exp(math.log(a["qps"]) + t * (math.log(b["qps"]) - math.log(a["qps"])))
    return "<", None


def cpu_model() -> str:
    for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
        if line.startswith("Model name:"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


def table(results: list[dict]) -> str:
    efs = sorted({p["ef"] for r in results for p in r["points"]})
    head = ["set", "metric", "library", "build s (CPU)", "index MiB"]
    head += [f"ef {ef}: recall / QPS" for ef in efs]
    head += [f"QPS @ recall {target}" for target in (TARGET_RECALL, RAW_TARGET_RECALL)]
    head += ["load avg"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        by_ef = {p["ef"]: p for p in r["points"]}
        cells = [r["set"], r["metric"], r["library"], f"{r['build_cpu_s']:.1f}"]
        cells.append(f"{r['index_bytes'] / 2**20:.1f}")
        for ef in efs:
            p = by_ef.get(ef)
            cells.append(f"{p['recall']:.3f} / {p['qps']:,.0f}" if p else "")
        for target in (TARGET_RECALL, RAW_TARGET_RECALL):
            how, qps = qps_at_recall(r["points"], target)
            cells.append(
                "not reached" if qps is None else f"{'≥ ' if how == '>=' else ''}{qps:,.0f}"
            )
        cells.append(f"{r['load_avg']:.1f}")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def verdicts(results: list[dict]) -> list[str]:
    """Kestrine against each peer on each set: QPS at the target recalls (0.99 for raw vectors
    only), and memory against hnswlib's."""
    out = []
    keyed = {(r["set"], r["metric"], r["library"]): r for r in results}
    for (set_name, metric, library), r in keyed.items():
        if not library.startswith("kestrine"):
            continue
        targets = (
            (TARGET_RECALL, RAW_TARGET_RECALL) if library == "kestrine-raw" else (TARGET_RECALL,)
        )
        for target in targets:
            mine = qps_at_recall(r["points"], target)[1]
            parts = []
            for peer_name in PEERS:
                peer = keyed.get((set_name, metric, peer_name))
                theirs = qps_at_recall(peer["points"], target)[1] if peer else None
                if mine and theirs:
                    parts.append(f"{mine / theirs:.2f}x {peer_name} ({theirs:,.0f})")
                elif peer:
                    parts.append(f"not comparable with {peer_name} (a curve misses it)")
            mine_text = f"{mine:,.0f}" if mine else "not reached"
            out.append(
                f"{set_name} {metric} {library}: QPS at recall {target} {mine_text}: "
                + ", ".join(parts)
            )
        peer = keyed.get((set_name, metric, "hnswlib"))
        if peer:
            memory = r["index_bytes"] / peer["index_bytes"]
            out.append(f"{set_name} {metric} {library}: memory {memory:.2f}x hnswlib's")
    return out


def plot(results: list[dict], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = sorted({(r["set"], r["metric"]) for r in results})
    fig, axes = plt.subplots(1, len(panels), figsize=(6 * len(panels), 4.8), squeeze=False)
    for ax, (set_name, metric) in zip(axes[0], panels, strict=True):
        for r in results:
            if (r["set"], r["metric"]) != (set_name, metric):
                continue
            pts = sorted(r["points"], key=lambda p: p["ef"])
            ax.plot([p["recall"] for p in pts], [p["qps"] for p in pts], marker="o",
                    label=r["library"])  # fmt: skip
        ax.axvline(TARGET_RECALL, color="grey", linestyle="--", linewidth=0.8)
        ax.set_yscale("log")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries per CPU-second (one thread)")
        ax.set_title(f"{set_name}, {metric}, ef 10-200")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=120)


def load_results(quick: bool) -> list[dict]:
    """Every saved result of the full (or the quick) sets."""
    names = set(datasets.set_names(quick))
    found = [json.loads(p.read_text()) for p in sorted(RESULT_DIR.glob("*.json"))]
    return [r for r in found if r["set"] in names]


def save_result(result: dict) -> None:
    """One file per set, metric and library, so that runs in parallel do not collide."""
    RESULT_DIR.mkdir(parents=True, exist_ok=True)
    path = RESULT_DIR / f"{result['set']}.{result['metric']}.{result['library']}.json"
    path.write_text(json.dumps(result, indent=1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sets, 2 passes")
    parser.add_argument(
        "--metrics", default="cosine", help="comma-separated, e.g. cosine,euclidean"
    )
    parser.add_argument("--libs", default=",".join(LIBRARIES))
    parser.add_argument("--sets", help="comma-separated set names (default: by --quick)")
    parser.add_argument("--repeats", type=int, help="timed passes per ef (default 3, quick 2)")
    parser.add_argument("--report", action="store_true", help="table and plot of saved results")
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--efs", default=",".join(map(str, EFS)), help="ef_search values")
    parser.add_argument("--kestrine-efs", help="ef_search values for Kestrine (default: --efs)")
    args = parser.parse_args()
    repeats = args.repeats or (2 if args.quick else 3)
    efs = [int(x) for x in args.efs.split(",")]
    kestrine_efs = [int(x) for x in (args.kestrine_efs or args.efs).split(",")]
    if args.worker:
        print(json.dumps(run_worker(*args.worker, efs, repeats)))
        return

    suffix = "-quick" if args.quick else ""
    if not args.report:
        sets = args.sets.split(",") if args.sets else datasets.set_names(args.quick)
        jobs = [(s, metric) for s in sets for metric in args.metrics.split(",")]
        for set_name, metric in jobs:
            datasets.load(set_name).truth(metric)  # the cache, before any timing
            for library in args.libs.split(","):
                print(f"{set_name} {metric} {library} ...", file=sys.stderr, flush=True)
                lib_efs = kestrine_efs if library.startswith("kestrine") else efs
                save_result(run_in_subprocess(library, set_name, metric, lib_efs, repeats))
    results = load_results(args.quick)
    order = {name: i for i, name in enumerate(LIBRARIES)}
    results.sort(key=lambda r: (r["set"], r["metric"], order.get(r["library"], 99)))
    print(f"CPU: {cpu_model()}; load average now {os.getloadavg()[0]:.2f}; one thread; k = {K}, "
          f"M {M}, ef_construction {EF_CONSTRUCTION}; QPS = queries per CPU-second")  # fmt: skip
    print()
    print(table(results))
    print()
    for line in verdicts(results):
        print(line)
    plot(results, RESULTS / f"vector_peers{suffix}.png")
    print(f"\nplot: {RESULTS / f'vector_peers{suffix}.png'}")


if __name__ == "__main__":
    main()
