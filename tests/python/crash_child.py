"""The process that test_crash.py kills. It changes a persistent database at random, forever,
and reports each call on stdout twice: "begin" before it, "ack" once it returned.

    crash_child.py DATA_DIR KEY_OR_EMPTY SEED STATE_FILE [CHECKPOINT_BYTES]

STATE_FILE holds the state the parent expects to find ({collection: [ids]}), so that deletes
can aim at documents of earlier rounds. With CHECKPOINT_BYTES, the database checkpoints by
itself whenever a change takes the log past it, and each change's report carries the log's
length before the call ("log"), so that the parent can aim its kill at those checkpoints."""

import json
import os
import random
import sys
import uuid

from kestrine import Kestrine

DIM = 8


def main():
    data_dir, key, seed, state_file = sys.argv[1:5]
    checkpoint_bytes = int(sys.argv[5]) if len(sys.argv) > 5 else None
    rng = random.Random(int(seed))
    with open(state_file) as f:
        live = {name: list(ids) for name, ids in json.load(f).items()}
    db = Kestrine(data_dir=data_dir, encryption_key=key or None, checkpoint_bytes=checkpoint_bytes)
    wal = os.path.join(data_dir, "wal.bin")

    def report(kind, op):
        sys.stdout.write(kind + " " + json.dumps(op) + "\n")
        sys.stdout.flush()

    def run(op, method, *args, **kwargs):
        if checkpoint_bytes is not None and op["op"] not in ("save", "compact"):
            op["log"] = os.path.getsize(wal)
        report("begin", op)
        method(*args, **kwargs)
        report("ack", op)

    def doc_text():
        return f"text {rng.randrange(10**6)} {rng.choice(['alpha', 'beta', 'caffè'])}"

    def embedding():
        return [rng.uniform(-1, 1) for _ in range(DIM)]

    def new_id():
        return str(uuid.UUID(int=rng.getrandbits(128), version=4))

    def some_id(name):
        """A live id of the collection, or (less often) a new one, which is then live."""
        if live[name] and rng.random() < 0.7:
            return rng.choice(live[name])
        doc_id = new_id()
        live[name].append(doc_id)
        return doc_id

    for name in ("c", "d"):
        if name not in live:
            run({"op": "create", "collection": name}, db.create_collection, name, DIM)
            live[name] = []
    report("ready", {})
    while True:
        name = rng.choice(["c", "c", "d"])
        roll = rng.random()
        if name not in live:
            run({"op": "create", "collection": name}, db.create_collection, name, DIM)
            live[name] = []
        elif roll < 0.30:
            doc_id, text = new_id(), doc_text()
            op = {"op": "insert", "collection": name, "id": doc_id, "text": text}
            run(op, db.insert, name, text, embedding(), {"n": 1}, id=doc_id)
            live[name].append(doc_id)
        elif roll < 0.42:
            doc_id, text = some_id(name), doc_text()
            op = {"op": "upsert", "collection": name, "id": doc_id, "text": text}
            run(op, db.upsert, name, doc_id, text, embedding(), {"n": 2})
        elif roll < 0.48:
            ids = list(dict.fromkeys(some_id(name) for _ in range(rng.randrange(1, 8))))
            docs = [{"id": i, "text": doc_text(), "embedding": embedding()} for i in ids]
            op = {
                "op": "upserts",
                "collection": name,
                "docs": [[d["id"], d["text"]] for d in docs],
            }
            run(op, db.batch_upsert, name, docs)
        elif roll < 0.55:
            docs = [
                {
                    "id": new_id(),
                    "text": doc_text(),
                    "embedding": embedding(),
                }
                for _ in range(
                    rng.randrange(1, 20) if rng.random() < 0.7 else rng.randrange(100, 400)
                )
            ]
            # Several threads link a batch into the graph: a kill meanwhile still leaves all of
            # it or nothing.
            threads = rng.choice([1, 2, 0])
            op = {
                "op": "batch",
                "collection": name,
                "docs": [[d["id"], d["text"]] for d in docs],
                "threads": threads,
            }
            run(op, db.batch_insert, name, docs, threads=threads)
            live[name] += [d["id"] for d in docs]
        elif roll < 0.74 and live[name]:
            doc_id = live[name].pop(rng.randrange(len(live[name])))
            op = {"op": "delete", "collection": name, "id": doc_id}
            run(op, db.delete, name, doc_id)
        elif roll < 0.80 and live[name]:
            ids = [some_id(name) for _ in range(rng.randrange(1, 10))]
            live[name] = [i for i in live[name] if i not in ids]
            op = {"op": "delete_many", "collection": name, "ids": ids}
            run(op, db.delete_many, name, ids)
        elif roll < 0.88:
            run({"op": "save", "collection": name}, db.save, name)
        elif roll < 0.96:
            run({"op": "compact"}, db.compact)
        elif name == "d":
            run({"op": "drop", "collection": name}, db.delete_collection, name)
            del live[name]


if __name__ == "__main__":
    main()
