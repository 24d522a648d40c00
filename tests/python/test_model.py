"""Random operations against a plain dict as the model of the live documents."""

import random
import uuid

from kestrine import Kestrine


def test_random_operations_agree_with_a_dict_model():
    rng = random.Random(1234)
    db = Kestrine()
    db.create_collection("m", 4)
    model = {}
    known = []  # every id ever used, live or not
    for step in range(6000):
        op = rng.random()
        if op < 0.45 or not known:
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
