"""Reference and memory leaks: repeating every method, successful and failing calls alike,
must leave the process's memory flat. The engine's own memory is not visible to tracemalloc,
so the resident set size is measured; a warm-up round lets allocators reach steady state."""

import array
import gc
import os

from kestrine import Kestrine

UUID = "67e55044-10b1-426f-9247-bb680e5fe0c8"


def rss_bytes():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def calls(db):
    def swallow(fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except BaseException:
            pass

    def one_round():
        doc_id = db.insert("c", "some text here", [0.1, 0.2, 0.3], {"a": 1, "b": "x", "c": 1.5})
        db.get("c", doc_id)
        db.delete("c", doc_id)
        db.batch_insert("c", [{"text": "t", "embedding": [1, 2, 3], "metadata": {"k": True}}])
        db.collection_info("c")
        db.list_collections()
        db.total_memory_bytes()
        repr(db)
        repr(db.collection_info("c"))
        db.create_collection("tmp", 2)
        db.delete("tmp", db.insert("tmp", "t", [1, 2]))
        db.insert("tmp", "u", [2, 1])
        db.rebuild("tmp")
        db.delete_collection("tmp")
        swallow(db.get, "c", UUID)
        swallow(db.get, "c", "bad")
        swallow(db.get, "nope", UUID)
        swallow(db.insert, "c", "t", [1, 2])
        swallow(db.insert, "c", "t", "abc")
        swallow(db.insert, "c", "t", [1, 2, 3], {"a": None})
        swallow(db.insert, "c", "t", [1, 2, 3], None, "zz")
        swallow(db.create_collection, "c", 3)
        swallow(db.create_collection, "x", 3, distance_metric="L2")
        swallow(db.create_collection, "x", -3)
        swallow(db.create_collection, "x", 3, store_raw_vectors=1)
        swallow(db.batch_insert, "c", [{"text": "t"}])
        swallow(db.batch_insert, "c", [{"text": "t", "embedding": [1, 2, 3], "id": UUID}] * 2)
        swallow(db.batch_insert, "c", ())
        swallow(db.delete, "c", "bad")
        swallow(db.rebuild, "nope")
        swallow(db.rebuild, 5)
        # Buffers: a leaked export would keep each round's 8 KB array alive.
        db.delete("c", db.insert("c", "t", array.array("f", [0.1, 0.2, 0.3])))
        swallow(db.insert, "c", "t", array.array("d", bytes(8000)))
        swallow(db.insert, "c", "t", memoryview(bytearray(8000)).cast("d", (10, 100)))

    return one_round


# KESTRINE_LEAK_ROUNDS raises the count for a long check by hand (300000 rounds: ~8M calls).
ROUNDS = int(os.environ.get("KESTRINE_LEAK_ROUNDS", "10000"))


def test_repeated_calls_keep_memory_flat():
    rounds = ROUNDS
    db = Kestrine()
    db.create_collection("c", 3)
    one_round = calls(db)

    def run(count):
        for i in range(count):
            one_round()
            if i % 500 == 499:  # frees the documents and the nodes the rounds left behind
                db.delete_collection("c")
                db.create_collection("c", 3)

    run(3000)
    gc.collect()
    before = rss_bytes()
    run(rounds)
    gc.collect()
    growth = rss_bytes() - before
    # Every round's data is freed when its collection is dropped, so anything leaking per call
    # (about 30 calls a round) would grow far beyond this allowance for allocator noise.
    allowance = 8 * 1024 * 1024
    assert growth < allowance, (growth, allowance)
