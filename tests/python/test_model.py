"""Random operations against a plain dict as the model of the live documents."""

import random
import uuid

import pytest
from kestrine import Kestrine


def test_random_operations_agree_with_a_dict_model(tmp_path):
    rng = random.Random(1234)
    db = Kestrine()
    db.create_collection("m", 4)
    model = {}
    known = []  # every id ever used, live or not
    for step in range(6000):
        op = rng.random()
        if op < 0.004:
            # A rebuild renumbers the live documents; a save and load reads them back from a
            # snapshot: either way every live id keeps its document and no deleted one returns.
            if rng.random() < 0.5:
                assert db.rebuild("m") == len(model)
            else:
                path = str(tmp_path / f"m{step}")
                db.save("m", path)
                db = Kestrine()
                db.load("m", path)
            assert db.collection_info("m").document_count == len(model)
            for doc_id in known:
                if doc_id in model:
                    text, meta = model[doc_id]
                    assert db.get("m", doc_id) == {"id": doc_id, "text": text, "metadata": meta}
                else:
                    with pytest.raises(KeyError):
                        db.get("m", doc_id)
        elif op < 0.45 or not known:
            doc_id = str(uuid.UUID(int=rng.getrandbits(128), version=4))
            if known and rng.random() < 0.2:
                doc_id = rng.choice(known)  # re-insert a known id
            text = f"doc {step}"
            meta = {"step": step, "even": step % 2 == 0}
            if doc_id in model:
                try:
                    db.insert("m", text, [rng.random() for _ in range(4)], meta, doc_id)
                except ValueError as exc:
                    assert exc.args[0] == f"document '{doc_id}' already exists"
                else:
                    raise AssertionError("live id inserted twice")
            else:
                assert (
                    db.insert("m", text, [rng.random() for _ in range(4)], meta, doc_id) == doc_id
                )
                model[doc_id] = (text, meta)
                known.append(doc_id)
        elif op < 0.55:
            batch = []
            for _ in range(rng.randint(0, 5)):
                doc_id = str(uuid.UUID(int=rng.getrandbits(128), version=4))
                batch.append({"id": doc_id, "text": f"b{step}", "embedding": [0.5] * 4})
            ids = db.batch_insert("m", batch)
            for d, i in zip(batch, ids, strict=True):
                assert d["id"] == i
                model[i] = (d["text"], {})
                known.append(i)
        elif op < 0.85:
            doc_id = rng.choice(known)
            assert db.delete("m", doc_id) is (doc_id in model)
            model.pop(doc_id, None)
        else:
            doc_id = rng.choice(known)
            if doc_id in model:
                got = db.get("m", doc_id)
                assert (got["text"], got["metadata"]) == model[doc_id]
            else:
                try:
                    db.get("m", doc_id)
                except KeyError:
                    pass
                else:
                    raise AssertionError("deleted document still readable")
        if step % 500 == 0:
            assert db.collection_info("m").document_count == len(model)
    assert db.collection_info("m").document_count == len(model)
    for doc_id, (text, meta) in model.items():
        assert db.get("m", doc_id) == {"id": doc_id, "text": text, "metadata": meta}


# Filters of every form, each with the predicate it stands for over a document's metadata
# (every document has "g" in 0..3; about half have "tag").
FILTERS = [
    ({"must": [{"field": "g", "op": "eq", "value": 1}]}, lambda m: m["g"] == 1),
    (
        {
            "should": [
                {"field": "g", "op": "eq", "value": 0},
                {"field": "tag", "op": "exists", "value": True},
            ]
        },
        lambda m: m["g"] == 0 or "tag" in m,
    ),
    ({"must_not": [{"field": "g", "op": "in", "values": [1, 2]}]}, lambda m: m["g"] in (0, 3)),
    (
        {
            "must": [
                {
                    "should": [
                        {"field": "tag", "op": "exists", "value": False},
                        {"must_not": [{"field": "g", "op": "lt", "value": 2}]},
                    ]
                }
            ],
            "must_not": [{"field": "g", "op": "eq", "value": 3}],
        },
        lambda m: ("tag" not in m or m["g"] >= 2) and m["g"] != 3,
    ),
]


def scan_all(db, name, flt, rng):
    """Every document that scan gives for the filter, read in pages of random sizes."""
    pages, after = [], None
    while True:
        page = db.scan(name, flt, rng.randint(1, 40), after)
        if not page:
            return pages
        pages += page
        after = page[-1]["id"]


@pytest.mark.parametrize("persistent", [False, True], ids=["ephemeral", "persistent"])
def test_upserts_and_deletions_agree_with_count_scan_and_get_many(tmp_path, persistent):
    rng = random.Random(4321)
    open_db = (lambda: Kestrine(data_dir=str(tmp_path))) if persistent else Kestrine
    db = open_db()
    db.create_collection("m", 3)
    model = {}  # id -> document as get returns it
    known = []

    def new_id():
        doc_id = str(uuid.UUID(int=rng.getrandbits(128), version=4))
        known.append(doc_id)
        return doc_id

    def some_id():
        return rng.choice(known) if known and rng.random() < 0.7 else new_id()

    def document(doc_id, step):
        meta = {"g": rng.randrange(4)}
        if rng.random() < 0.5:
            meta["tag"] = f"t{step}"
        return {"id": doc_id, "text": f"doc {step}", "metadata": meta}

    def vector():
        return [rng.uniform(-1, 1) for _ in range(3)]

    for step in range(1500):
        op = rng.random()
        if op < 0.3:
            doc = document(some_id(), step)
            replaced = db.upsert("m", doc["id"], doc["text"], vector(), doc["metadata"])
            assert replaced is (doc["id"] in model)
            model[doc["id"]] = doc
        elif op < 0.45:
            batch = [
                document(i, step)
                for i in dict.fromkeys(some_id() for _ in range(rng.randint(0, 6)))
            ]
            ids = db.batch_upsert("m", [dict(d, embedding=vector()) for d in batch])
            assert ids == [d["id"] for d in batch]
            model.update((d["id"], d) for d in batch)
        elif op < 0.6:
            doc = document(new_id(), step)
            db.insert("m", doc["text"], vector(), doc["metadata"], doc["id"])
            model[doc["id"]] = doc
        elif op < 0.7:
            doc_id = some_id()
            assert db.delete("m", doc_id) is (model.pop(doc_id, None) is not None)
        elif op < 0.8:
            ids = [some_id() for _ in range(rng.randint(0, 4))]
            flt, keep = rng.choice(FILTERS) if rng.random() < 0.3 or not ids else (None, None)
            gone = {i for i in ids if i in model}
            if flt is not None:
                gone |= {i for i, d in model.items() if keep(d["metadata"])}
            assert db.delete_many("m", ids=ids or None, filter=flt) == len(gone)
            for i in gone:
                del model[i]
        else:
            asked = [rng.choice(known) for _ in range(rng.randint(0, 8))] if known else []
            assert db.get_many("m", asked) == [model.get(i) for i in asked]
        if step % 100 == 0 or step == 1499:
            assert db.count("m") == len(model)
            assert scan_all(db, "m", None, rng) == [model[i] for i in sorted(model)]
            for flt, keep in FILTERS:
                matching = sorted(i for i, d in model.items() if keep(d["metadata"]))
                assert db.count("m", flt) == len(matching)
                assert scan_all(db, "m", flt, rng) == [model[i] for i in matching]
    if persistent:
        del db
        db = open_db()
        assert db.scan("m") == [model[i] for i in sorted(model)]
