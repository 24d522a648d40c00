"""Calls that run on several threads: batches of searches, and Python threads sharing a
database."""

import random
import threading

import numpy as np
import pytest
from conftest import raises_exactly
from kestrine import Kestrine

WORDS = "cat dog bird fish lion wolf bear deer frog owl".split()


def shape(results):
    return [(r.id, r.text, r.score, r.metadata) for r in results]


@pytest.fixture(scope="module")
def corpus():
    rng = random.Random(7)
    db = Kestrine()
    db.create_collection("c", 8)
    docs = [
        {
            "text": " ".join(rng.choices(WORDS, k=4)),
            "embedding": [rng.gauss(0, 1) for _ in range(8)],
            "metadata": {"n": i % 5, "even": i % 2 == 0},
        }
        for i in range(400)
    ]
    ids = db.batch_insert("c", docs)
    for doc_id in ids[::7]:
        db.delete("c", doc_id)
    queries = np.array([[rng.gauss(0, 1) for _ in range(8)] for _ in range(40)], np.float32)
    texts = [" ".join(rng.choices(WORDS, k=2)) for _ in range(40)]
    return db, queries, texts


OPTIONS = [
    {},
    {"k": 3, "min_similarity": 0.1},
    {"k": 25, "filter": {"must": [{"field": "n", "op": "in", "values": [1, 3]}]}},
    {"filter": {"must_not": [{"field": "even", "op": "eq", "value": True}]}},
    {"alpha": 0.3, "fusion_method": "linear"},
]


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("mode", ["vector", "keyword", "hybrid"])
@pytest.mark.parametrize("threads", [1, 2, 0, 64])
def test_search_many_gives_exactly_one_search_per_query(corpus, options, mode, threads):
    db, queries, texts = corpus
    embeddings = queries if mode != "keyword" else None
    words = texts if mode != "vector" else None
    got = db.search_many("c", embeddings, words, threads=threads, **options)
    expected = [
        db.search(
            "c",
            None if embeddings is None else embeddings[i],
            None if words is None else words[i],
            **options,
        )
        for i in range(len(queries))
    ]
    assert [shape(hits) for hits in got] == [shape(hits) for hits in expected]


def test_search_many_input_forms(corpus):
    db, queries, _ = corpus
    expected = [shape(h) for h in db.search_many("c", queries[:5])]
    as_float64 = db.search_many("c", queries[:5].astype(np.float64))
    as_lists = db.search_many("c", queries[:5].tolist())
    as_rows = db.search_many("c", list(queries[:5]))
    strided = np.asfortranarray(queries[:5])  # not C-contiguous: read row by row
    for got in (as_float64, as_lists, as_rows, db.search_many("c", strided)):
        assert [shape(h) for h in got] == expected
    assert db.search_many("c", np.zeros((0, 8), np.float32)) == []
    assert db.search_many("c", query_texts=[]) == []


def test_search_many_argument_rules(corpus):
    db, queries, texts = corpus
    raises_exactly(KeyError, "collection 'nope' not found", db.search_many, "nope", queries)
    raises_exactly(
        ValueError,
        "at least one of query_embeddings or query_texts is required",
        db.search_many,
        "c",
    )
    raises_exactly(
        ValueError,
        "query_embeddings and query_texts differ in length: 40 and 3",
        db.search_many,
        "c",
        queries,
        texts[:3],
    )
    raises_exactly(
        ValueError,
        "embedding dimension mismatch: expected 8, got 3",
        db.search_many,
        "c",
        [[0.0] * 8, [0.0] * 3],
    )
    raises_exactly(
        ValueError,
        "threads must be 0 (one per core) or a positive count",
        db.search_many,
        "c",
        queries,
        threads=-1,
    )
    raises_exactly(
        TypeError,
        "argument 'query_texts': Can't extract `str` to `Vec`",
        db.search_many,
        "c",
        query_texts="cat",
    )
    with pytest.raises(TypeError, match="^argument 'query_embeddings': "):
        db.search_many("c", queries[0])  # one embedding, not a batch of them
    with pytest.raises(TypeError, match="^argument 'threads': "):
        db.search_many("c", queries, threads=1.5)


def test_threads_inserting_deleting_and_searching_keep_every_acknowledged_document(tmp_path):
    dim = 8
    db = Kestrine(data_dir=str(tmp_path))
    db.create_collection("c", dim, m=6, ef_construction=40)
    acknowledged, deleted, errors = {}, set(), []

    def vector(rng):
        return [rng.uniform(-1, 1) for _ in range(dim)]

    def guarded(work):
        def run(seed):
            try:
                work(random.Random(seed))
            except BaseException as error:  # noqa: BLE001 - reported by the main thread
                errors.append(error)

        return run

    @guarded
    def batches(rng):
        for _ in range(6):
            docs = [
                {"text": f"doc {rng.random()}", "embedding": vector(rng)}
                for _ in range(rng.randrange(50, 150))
            ]
            ids = db.batch_insert("c", docs, threads=rng.choice([2, 0]))
            acknowledged.update(zip(ids, (d["text"] for d in docs), strict=True))

    @guarded
    def singles_and_deletes(rng):
        for _ in range(150):
            text = f"single {rng.random()}"
            doc_id = db.insert("c", text, vector(rng))
            acknowledged[doc_id] = text
            if rng.random() < 0.4:
                assert db.delete("c", doc_id)
                deleted.add(doc_id)

    @guarded
    def searches(rng):
        for _ in range(60):
            for hits in db.search_many("c", [vector(rng) for _ in range(4)], k=5, threads=2):
                assert len(hits) <= 5
            db.search("c", vector(rng), "doc", k=5)

    workers = [
        threading.Thread(target=w, args=(seed,))
        for seed, w in enumerate([batches, batches, singles_and_deletes, searches])
    ]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert errors == []

    live = {doc_id: text for doc_id, text in acknowledged.items() if doc_id not in deleted}

    def expect_live(database):
        assert database.collection_info("c").document_count == len(live)
        for doc_id, text in live.items():
            assert database.get("c", doc_id)["text"] == text
        for doc_id in deleted:
            with pytest.raises(KeyError):
                database.get("c", doc_id)

    expect_live(db)
    # The snapshot's validation checks the graph and id tables; the log replays to the same.
    db.save("c", path=str(tmp_path / "snap"))
    db.load("c", path=str(tmp_path / "snap"))
    expect_live(db)
    db = None  # closed, so that the directory can be opened again
    expect_live(Kestrine(data_dir=str(tmp_path)))
