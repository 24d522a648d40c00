"""``kestrine search``: a keyword, vector or hybrid query, as a table or as JSON."""

import argparse
import json
import struct
import sys
from typing import Any, cast

from kestrine import SearchResult
from kestrine._types import Filter
from kestrine.cli._errors import UsageError
from kestrine.cli._input import QueryVector, read_key, read_query_vector
from kestrine.cli._output import count, output_width, render_table
from kestrine.cli._shared import engine_errors, metadata_text, open_database


def parse_filter(text: str | None) -> Filter | None:
    if text is None:
        return None
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        raise UsageError(f"--filter is not JSON: {error.msg} (column {error.colno})") from None
    if not isinstance(value, dict):
        raise UsageError('--filter must be a JSON object such as {"must": [...]}')
    return cast(Filter, value)  # its content is checked by the engine, which names what is wrong


def describe_query(text: str | None, vector: QueryVector | None) -> str:
    parts = []
    if text is not None:
        parts.append(f"text {json.dumps(text, ensure_ascii=False)}")
    if vector is not None:
        label = f" ({json.dumps(vector.label, ensure_ascii=False)})" if vector.label else ""
        parts.append(f"vector from {vector.source}{label}")
    return " + ".join(parts)


def search(args: argparse.Namespace) -> int:
    if args.text is None and args.vector_from is None:
        raise UsageError("give --text, --vector-from or both")
    filter_ = parse_filter(args.filter)
    vector = read_query_vector(args.vector_from) if args.vector_from is not None else None
    key = read_key(args.key_file)
    db = open_database(args.data_dir, key)
    with engine_errors():
        hits = db.search(
            args.collection,
            query_embedding=vector.values if vector is not None else None,
            query_text=args.text,
            k=args.k,
            min_similarity=args.min_similarity,
            alpha=args.alpha,
            fusion_method=args.fusion,
            filter=filter_,
        )
    if args.json:
        print(json.dumps([result_dict(rank, hit) for rank, hit in enumerate(hits, 1)], indent=2))
        return 0
    if vector is not None and args.text is not None:
        mode = f"hybrid, {args.fusion} fusion" + (
            f" (alpha {args.alpha:g})" if args.fusion == "linear" else ""
        )
    else:
        mode = "vector" if vector is not None else "keyword"
    settings = [mode, f"k {args.k}"]
    if filter_ is not None:
        settings.append(f"filter {json.dumps(filter_)}")
    if args.min_similarity is not None:
        settings.append(f"min similarity {args.min_similarity:g}")
    print(f"query: {describe_query(args.text, vector)}")
    print(f"search: {', '.join(settings)}: {count(len(hits), 'result')}")
    if hits:
        rows = [
            [str(rank), f"{hit.score:.4f}", hit.id[:8], hit.text, metadata_text(hit.metadata)]
            for rank, hit in enumerate(hits, 1)
        ]
        table = render_table(
            ["#", "score", "id", "text", "metadata"],
            rows,
            right=(0, 1),
            shrink=[(4, 20), (3, 40), (4, 12), (3, 20)],
            width=output_width(sys.stdout),
        )
        print("\n".join(table))
    return 0


def short_float32(value: float) -> float:
    """The shortest decimal that reads back to the same 32-bit float: scores are 32-bit, and
    0.58480108 says all that 0.5848010778427124 does."""
    packed = struct.pack("<f", value)
    for digits in range(1, 10):
        candidate = float(f"{value:.{digits}g}")
        if struct.pack("<f", candidate) == packed:
            return candidate
    return value


def result_dict(rank: int, hit: SearchResult) -> dict[str, Any]:
    return {
        "rank": rank,
        "score": short_float32(hit.score),
        "id": hit.id,
        "text": hit.text,
        "metadata": hit.metadata,
    }
