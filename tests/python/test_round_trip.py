"""Round trips of random collections: every metadata type, deletions, raw vectors on and off,
every metric. Snapshots (save/load, compact/reopen) must give back equal content and the very
same search results; replaying the log must give back equal content."""

import random

import pytest
from kestrine import Kestrine

KEY = "6b657374 72696e65 20726f75 6e642074 72697020 6b657920 666f7220 74657374".replace(" ", "")
DIM = 8
WORDS = "alpha beta gamma delta epsilon zeta caffè 日本 vector search index cat dog".split()


def random_metadata(rng):
    meta = {}
    for _ in range(rng.randrange(5)):
        key = rng.choice(["year", "lang", "flag", "score", "ключ", ""])
        meta[key] = rng.choice(
            [
                rng.random() < 0.5,
                rng.randrange(-(2**63), 2**63),
                rng.uniform(-1e300, 1e300),
                -0.0,
                " ".join(rng.choices(WORDS, k=rng.randrange(3))),
            ]
        )
    return meta


def random_doc(rng):
    return {
        "text": " ".join(rng.choices(WORDS, k=rng.randrange(8))),
        "embedding": [rng.uniform(-1, 1) for _ in range(DIM)],
        "metadata": random_metadata(rng),
    }


def fill(db, rng, name, raw, metric):
    """A collection with inserts, batch inserts and deletions; returns every id ever used."""
    db.create_collection(
        name, DIM, m=8, ef_construction=64, distance_metric=metric, store_raw_vectors=raw
    )
    ids = []
    for _ in range(60):
        d = random_doc(rng)
        ids.append(db.insert(name, d["text"], d["embedding"], d["metadata"]))
    ids += db.batch_insert(name, [random_doc(rng) for _ in range(60)])
    for doc_id in rng.sample(ids, 30):
        assert db.delete(name, doc_id) is True
    # A deleted id inserted again gets a new node.
    again = rng.choice([i for i in ids if not _live(db, name, i)])
    d = random_doc(rng)
    db.insert(name, d["text"], d["embedding"], d["metadata"], id=again)
    return ids


def _live(db, name, doc_id):
    try:
        db.get(name, doc_id)
        return True
    except KeyError:
        return False


def content(db, name, ids):
    info = db.collection_info(name)
    docs = {i: db.get(name, i) if _live(db, name, i) else None for i in ids}
    return (info.name, info.dimension, info.document_count), docs


def searches(db, name, rng):
    out = []
    for _ in range(5):
        q = [rng.uniform(-1, 1) for _ in range(DIM)]
        text = " ".join(rng.choices(WORDS, k=2))
        for kwargs in [
            {"query_embedding": q},
            {"query_text": text},
            {"query_embedding": q, "query_text": text},
            {"query_embedding": q, "query_text": text, "fusion_method": "linear", "alpha": 0.3},
            {
                "query_embedding": q,
                "filter": {"must": [{"field": "flag", "op": "eq", "value": True}]},
            },
        ]:
            hits = db.search(name, k=10, **kwargs)
            out.append([(h.id, h.score, h.text, h.metadata) for h in hits])
    return out


CASES = [
    (seed, raw, metric)
    for seed, (raw, metric) in enumerate(
        [(False, "cosine"), (True, "euclidean"), (False, "dot_product"), (True, "cosine")]
    )
]


@pytest.mark.parametrize("seed, raw, metric", CASES)
@pytest.mark.parametrize("key", [None, KEY])
def test_save_and_load_give_equal_content_and_the_same_search_results(
    tmp_path, seed, raw, metric, key
):
    rng = random.Random(seed)
    db = Kestrine()
    ids = fill(db, rng, "col", raw, metric)
    db.save("col", str(tmp_path), key)
    other = Kestrine()
    other.load("col", str(tmp_path), key)
    assert content(other, "col", ids) == content(db, "col", ids)
    assert (
        other.collection_info("col").estimated_memory_bytes
        == db.collection_info("col").estimated_memory_bytes
    )
    assert searches(other, "col", random.Random(seed)) == searches(db, "col", random.Random(seed))


@pytest.mark.parametrize("seed, raw, metric", CASES[:2])
@pytest.mark.parametrize("key", [None, KEY])
def test_compact_and_reopen_give_equal_content_and_the_same_search_results(
    tmp_path, seed, raw, metric, key
):
    rng = random.Random(seed)
    db = Kestrine(data_dir=str(tmp_path), encryption_key=key)
    ids = fill(db, rng, "col", raw, metric)
    db.compact()
    expected = content(db, "col", ids), searches(db, "col", random.Random(seed))
    db.close()
    reopened = Kestrine(data_dir=str(tmp_path), encryption_key=key)
    assert (content(reopened, "col", ids), searches(reopened, "col", random.Random(seed))) == (
        expected
    )


@pytest.mark.parametrize("seed, raw, metric", CASES[2:])
@pytest.mark.parametrize("key", [None, KEY])
def test_reopening_from_the_log_gives_equal_content(tmp_path, seed, raw, metric, key):
    rng = random.Random(seed)
    db = Kestrine(data_dir=str(tmp_path), encryption_key=key)
    ids = fill(db, rng, "col", raw, metric)
    # The graph is built again with fresh random levels: only keyword results must agree.
    q = " ".join(rng.choices(WORDS, k=2))
    expected = content(db, "col", ids), [(h.id, h.score) for h in db.search("col", query_text=q)]
    db.close()
    reopened = Kestrine(data_dir=str(tmp_path), encryption_key=key)
    assert (
        content(reopened, "col", ids),
        [(h.id, h.score) for h in reopened.search("col", query_text=q)],
    ) == expected
