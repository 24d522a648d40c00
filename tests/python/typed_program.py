"""A program that calls every method of Kestrine with precise types. It is not run: the tests
check it with `mypy --strict`, so that the package's type information stays complete."""

import array
from typing import Literal, assert_type

import kestrine
import numpy as np
import numpy.typing as npt
from kestrine import (
    CollectionInfo,
    Document,
    Filter,
    Kestrine,
    Metadata,
    NewDocument,
    SearchResult,
)


def fill(db: Kestrine, vectors: npt.NDArray[np.float32]) -> list[str]:
    docs: list[NewDocument] = [
        {"text": f"row {i}", "embedding": row, "metadata": {"row": i, "even": i % 2 == 0}}
        for i, row in enumerate(vectors)
    ]
    docs.append({"text": "given id", "embedding": [0.0] * 4, "id": "0" * 32})
    return db.batch_insert("docs", docs, threads=2)


def fill_upserts(db: Kestrine) -> list[str]:
    docs: list[NewDocument] = [{"text": "new or replaced", "embedding": [1.0] * 4}]
    return db.batch_upsert("docs", docs)


def main() -> None:
    assert_type(kestrine.__version__, str)
    db = Kestrine()
    Kestrine(data_dir="./data", encryption_key="00" * 32)
    assert_type(
        db.create_collection(
            "docs",
            4,
            m=16,
            ef_construction=200,
            ef_search=50,
            distance_metric="euclidean",
            store_raw_vectors=True,
        ),
        None,
    )
    db.create_collection("other", dimension=4)
    assert_type(db.list_collections(), list[str])

    metadata: Metadata = {"lang": "en", "year": 2024, "score": 0.5, "draft": False}
    doc_id = db.insert("docs", "a list", [0.1, 0.2, 0.3, 0.4], metadata=metadata)
    assert_type(doc_id, str)
    db.insert("docs", "a tuple", (1, 2, 3, 4), id="67e55044-10b1-426f-9247-bb680e5fe0c8")
    db.insert("docs", "float32", np.zeros(4, dtype=np.float32))
    db.insert("docs", "float64", np.linspace(0.0, 1.0, 4))
    db.insert("docs", "array.array", array.array("f", [1.0, 2.0, 3.0, 4.0]))
    assert_type(fill(db, np.ones((3, 4), dtype=np.float32)), list[str])

    document = db.get("docs", doc_id)
    assert_type(document, Document)
    assert_type(document["metadata"], dict[str, bool | int | float | str])
    assert_type(db.delete("docs", doc_id), bool)

    info = db.collection_info("docs")
    assert_type(info, CollectionInfo)
    assert_type(info.name, str)
    assert_type(info.dimension, int)
    assert_type(info.document_count, int)
    assert_type(info.estimated_memory_bytes, int)
    assert_type(db.total_memory_bytes(), int)

    where: Filter = {
        "must": [
            {"field": "lang", "op": "eq", "value": "en"},
            {"field": "year", "op": "in", "values": [2023, 2024]},
        ],
        "must_not": [{"field": "draft", "op": "eq", "value": True}],
    }
    hits = db.search(
        "docs",
        query_embedding=np.ones(4, dtype=np.float32),
        query_text="cat",
        k=5,
        min_similarity=0.1,
        alpha=0.5,
        fusion_method="linear",
        filter=where,
        ef_search=64,
    )
    assert_type(hits, list[SearchResult])
    batches = db.search_many(
        "docs",
        query_embeddings=np.ones((2, 4), dtype=np.float32),
        query_texts=["cat", "mat"],
        k=5,
        filter=where,
        threads=0,
        ef_search=None,
    )
    assert_type(batches, list[list[SearchResult]])
    assert_type(
        db.search_many("docs", query_embeddings=[[0.1, 0.2, 0.3, 0.4]]), list[list[SearchResult]]
    )
    for hit in db.search("docs", query_text="cat"):
        assert_type(hit.id, str)
        assert_type(hit.text, str)
        assert_type(hit.score, float)
        assert_type(hit.metadata, Metadata)

    assert_type(db.upsert("docs", doc_id, "replaced", [0.0] * 4, metadata=metadata), bool)
    assert_type(fill_upserts(db), list[str])
    assert_type(db.get_many("docs", [doc_id]), list[Document | None])
    nested: Filter = {
        "should": [
            {"field": "lang", "op": "exists", "value": True},
            {"must_not": [{"field": "year", "op": "in", "values": [2023]}]},
        ]
    }
    assert_type(db.count("docs"), int)
    assert_type(db.count("docs", filter=nested), int)
    page = db.scan("docs", filter=nested, limit=10, after=doc_id)
    assert_type(page, list[Document])
    assert_type(db.delete_many("docs", ids=[doc_id], filter=nested), int)

    assert_type(db.save("docs", path="./snapshots", encryption_key=None), None)
    assert_type(db.load("docs", "./snapshots"), None)
    assert_type(db.compact(), None)
    assert_type(db.rebuild("docs"), int)
    assert_type(db.delete_collection("other"), bool)
    assert_type(repr(db), str)
    with Kestrine(data_dir="./data", read_only=True) as reader:
        assert_type(reader, Kestrine)
        assert_type(reader.__exit__(None, None, None), Literal[False])
    assert_type(db.close(), None)


if __name__ == "__main__":
    main()
