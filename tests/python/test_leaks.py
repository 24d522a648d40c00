"""Reference and memory leaks: repeating every method, successful and failing calls alike,
must leave the process's memory flat. Two measures, each after a warm-up that lets caches and
allocators reach their steady state:

- tracemalloc counts what Python's allocators hold: a leaked reference (a result, an argument,
  an exception or its message kept alive by the extension) shows up there, byte for byte;
- the resident set size shows what tracemalloc cannot see, the engine's own memory: documents,
  indexes, log buffers, keys, whole databases that a dropped Kestrine object failed to free.

Every round drops what it created (documents, collections, databases, files), so the memory in
use at the end of a round is the same as at its start.

KESTRINE_LEAK_ROUNDS sets the rounds of the resident-size check (tracemalloc runs a fifth of
them, being slower): the default is a quick check, and a long run by hand, say 20000, makes a
leak of even a few bytes per call visible. KESTRINE_LEAK_REPORT=1 prints the growth figures."""

import array
import gc
import os
import shutil
import tempfile
import tracemalloc
import uuid

import pytest
from kestrine import Kestrine

UUID = "67e55044-10b1-426f-9247-bb680e5fe0c8"
KEY = "0123456789abcdef" * 4
OTHER_KEY = "fedcba9876543210" * 4
ROUNDS = int(os.environ.get("KESTRINE_LEAK_ROUNDS", "3000"))
REPORT = os.environ.get("KESTRINE_LEAK_REPORT") == "1"


def rss_bytes():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def swallow(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except BaseException:  # every failure path is exercised, InternalError included
        pass


def ephemeral_calls(db):
    """Every method of an ephemeral database, on success and on failure."""
    filt = {"must": [{"field": "a", "op": "in", "values": [1, 2.5, "x", None, True]}]}
    filt_not = {"must_not": [{"field": "b", "op": "ne", "value": "x"}]}
    doc_id = db.insert("c", "some text here", [0.1, 0.2, 0.3], {"a": 1, "b": "x", "c": 1.5})
    db.get("c", doc_id)
    ids = db.batch_insert(
        "c",
        [
            {"text": "t one", "embedding": [1, 2, 3], "metadata": {"k": True}},
            {"text": "t two", "embedding": (3, 2, 1), "id": str(uuid.uuid4())},
        ],
    )
    ids += db.batch_insert(
        "c", [{"text": f"t {i}", "embedding": [i, 1, 2]} for i in range(4)], threads=2
    )
    for hits in (
        db.search("c", [0.1, 0.2, 0.3]),
        db.search("c", query_text="text one"),
        db.search("c", [0.1, 0.2, 0.3], "text", k=5, min_similarity=-1.0),
        db.search("c", [0.1, 0.2, 0.3], "text", alpha=0.3, fusion_method="linear"),
        db.search("c", [0.1, 0.2, 0.3], filter=filt),
        db.search("c", query_text="text", filter=filt_not),
        db.search("c", [0.1, 0.2, 0.3], "t", filter=filt, fusion_method="linear"),
        *db.search_many("c", [[0.1, 0.2, 0.3], (3, 2, 1)], ["t", "text"], filter=filt, threads=2),
        *db.search_many("c", query_texts=["one"]),
    ):
        for hit in hits:
            (hit.id, hit.text, hit.score, hit.metadata, repr(hit))
    info = db.collection_info("c")
    (info.name, info.dimension, info.document_count, info.estimated_memory_bytes, repr(info))
    db.list_collections()
    db.total_memory_bytes()
    repr(db)
    db.delete("c", doc_id)
    for i in ids:
        db.delete("c", i)
    db.create_collection("tmp", 2, m=4, ef_construction=20, ef_search=10, store_raw_vectors=True)
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
    swallow(db.insert, "nope", "t", [1, 2, 3])
    swallow(db.create_collection, "c", 3)
    swallow(db.create_collection, "x", 3, distance_metric="L2")
    swallow(db.create_collection, "x", -3)
    swallow(db.create_collection, "x/y", 3)
    swallow(db.create_collection, "x", 3, store_raw_vectors=1)
    swallow(db.delete_collection, 5)
    swallow(db.collection_info, "nope")
    swallow(db.batch_insert, "c", [{"text": "t"}])
    swallow(db.batch_insert, "c", [{"text": "t", "embedding": [1, 2, 3], "id": UUID}] * 2)
    swallow(db.batch_insert, "c", [{"text": "t", "embedding": [1, 2]}])
    swallow(db.batch_insert, "c", ())
    swallow(db.delete, "c", "bad")
    swallow(db.delete, "nope", UUID)
    swallow(db.search, "c")
    swallow(db.search, "c", [1, 2])
    swallow(db.search, "nope", [1, 2, 3])
    swallow(db.search, "c", [1, 2, 3], k=-1)
    swallow(db.search, "c", [1, 2, 3], filter={"must": [{"field": "a", "op": "like"}]})
    swallow(db.search, "c", [1, 2, 3], filter={"must": [{"op": "eq"}]})
    swallow(db.search, "c", [1, 2, 3], filter={"must": [{"field": "a", "op": "eq", "value": []}]})
    swallow(db.search, "c", [1, 2, 3], filter=[])
    swallow(db.search_many, "c")
    swallow(db.search_many, "c", [[1, 2, 3]], ["a", "b"])
    swallow(db.search_many, "c", [[1, 2, 3], [1, 2]], threads=2)
    swallow(db.search_many, "c", "abc")
    swallow(db.search_many, "c", [[1, 2, 3]], threads=-1)
    swallow(db.batch_insert, "c", [{"text": "t", "embedding": [1, 2]}] * 3, threads=2)
    swallow(db.rebuild, "nope")
    swallow(db.rebuild, 5)
    swallow(db.save, "c")  # no data_dir and no path
    swallow(db.save, "nope", "/nonexistent")
    swallow(db.save, "c", "/tmp", encryption_key="short")
    swallow(db.load, "c")
    swallow(db.load, "c", "/nonexistent/dir")
    swallow(db.load, "", "/tmp")
    swallow(db.compact)
    # Upserts, reads of many documents and deletions by filter, with nested filters.
    nested = {"should": [{"field": "a", "op": "exists", "value": True}, {"must_not": [filt]}]}
    up = str(uuid.uuid4())
    db.upsert("c", up, "upserted", [1, 2, 3], {"a": 2})
    db.upsert("c", up, "replaced", [3, 2, 1])
    db.batch_upsert(
        "c",
        [{"text": "b", "embedding": [1, 1, 1], "id": up}, {"text": "n", "embedding": [2, 2, 2]}],
    )
    db.get_many("c", [up, UUID])
    db.count("c", nested)
    for doc in db.scan("c", nested, 2, after=UUID):
        (doc["id"], doc["text"], doc["metadata"])
    db.search("c", [0.1, 0.2, 0.3], "t", filter=nested)
    db.delete_many("c", [up, UUID], nested)
    swallow(db.upsert, "c", "bad", "t", [1, 2, 3])
    swallow(db.upsert, "c", UUID, "t", [1, 2])
    swallow(db.batch_upsert, "c", [{"text": "t", "embedding": [1, 2, 3], "id": UUID}] * 2)
    swallow(db.get_many, "c", [UUID, "bad"])
    swallow(db.count, "c", {"should": 1})
    swallow(db.count, "c", {"must": [{"field": "a", "op": "exists", "value": 1}]})
    swallow(db.scan, "c", after="bad")
    swallow(db.delete_many, "c")
    swallow(db.delete_many, "c", ["bad"])
    deep = {"must": []}
    deep["must"].append(deep)
    swallow(db.count, "c", deep)
    deep["must"].clear()  # the cycle would leave the dict to the cycle collector
    # Buffers: a leaked export would keep each round's 8 KB array alive.
    db.delete("c", db.insert("c", "t", array.array("f", [0.1, 0.2, 0.3])))
    swallow(db.insert, "c", "t", array.array("d", bytes(8000)))
    swallow(db.insert, "c", "t", memoryview(bytearray(8000)).cast("d", (10, 100)))


def snapshot_calls(db, scratch):
    """save and load to and from a directory, with and without a key, and their failures."""
    db.save("c", scratch)
    db.save("c", scratch, encryption_key=KEY)
    db.load("c", scratch, encryption_key=KEY)
    swallow(db.load, "c", scratch)  # encrypted, no key
    swallow(db.load, "c", scratch, encryption_key=OTHER_KEY)  # wrong key
    db.save("c", scratch)
    db.load("c", scratch)


def persistent_calls(base, key):
    """A persistent database opened, changed (every change logged), checkpointed, opened again
    beside itself (refused, then read-only) and closed."""
    db = Kestrine(data_dir=base, encryption_key=key)
    db.create_collection("p", 3)
    a = db.insert("p", "persistent one", [1, 2, 3], {"n": 1})
    db.batch_insert("p", [{"text": "persistent two", "embedding": [3, 2, 1]}])
    db.delete("p", a)
    db.upsert("p", a, "persistent again", [1, 2, 3])
    db.batch_upsert("p", [{"text": "persistent three", "embedding": [2, 2, 2], "id": a}])
    db.delete_many("p", [a], {"must": [{"field": "n", "op": "exists", "value": True}]})
    db.search("p", [1, 2, 3], "persistent")
    db.save("p")
    db.load("p", encryption_key=key)
    db.rebuild("p")
    db.compact()
    swallow(db.load, "p", encryption_key=OTHER_KEY)
    swallow(db.create_collection, "p", 3)
    db.delete_collection("p")
    db.compact()  # drops the snapshot of "p" and empties the log
    swallow(Kestrine, data_dir=base, encryption_key="not a key")
    swallow(Kestrine, data_dir=5)
    swallow(Kestrine, data_dir=base, encryption_key=key)  # in use
    with Kestrine(data_dir=base, encryption_key=key, read_only=True) as reader:
        reader.list_collections()
        swallow(reader.create_collection, "r", 3)
    db.close()
    swallow(db.list_collections)  # closed
    del db


@pytest.fixture
def scratch():
    # tmpfs when there is one: every persistent call forces its files to the device, and the
    # rounds measure memory, not the disk.
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    path = tempfile.mkdtemp(prefix="kestrine-leaks-", dir=base)
    yield path
    shutil.rmtree(path, ignore_errors=True)


def make_round(scratch):
    db = Kestrine()
    snapshots = os.path.join(scratch, "snapshots")
    plain = os.path.join(scratch, "plain")
    keyed = os.path.join(scratch, "keyed")
    counter = [0]

    def one_round():
        # Deleted documents keep their graph nodes until a rebuild: the collection goes with
        # the round, or it would grow by design.
        db.create_collection("c", 3)
        ephemeral_calls(db)
        snapshot_calls(db, snapshots)
        db.delete_collection("c")
        persistent_calls(plain if counter[0] % 2 else keyed, None if counter[0] % 2 else KEY)
        counter[0] += 1

    return one_round


def run(one_round, count):
    for _ in range(count):
        one_round()
    gc.collect()


def test_repeated_calls_keep_python_allocations_flat(scratch):
    one_round = make_round(scratch)
    rounds = max(ROUNDS // 5, 20)
    run(one_round, rounds)  # warm-up: interned strings, free lists, type caches
    tracemalloc.start()
    try:
        run(one_round, rounds // 4)
        before = tracemalloc.take_snapshot()
        run(one_round, rounds)
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    growth = after.compare_to(before, "lineno")
    total = sum(stat.size_diff for stat in growth)
    if REPORT:
        print(f"\ntracemalloc: {rounds} rounds, growth {total} bytes")
    # About 90 calls a round: one object leaked per round, even a short string, would grow by
    # tens of kilobytes over the rounds.
    assert total < 16 * 1024, [str(stat) for stat in growth[:5]]


# ASan holds freed memory in quarantine, so under it the resident size grows by design. Its
# runtime is preloaded as gcc's libasan or clang's libclang_rt.asan.
@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="freed memory stays in ASan's quarantine"
)
def test_repeated_calls_keep_the_resident_size_flat(scratch):
    one_round = make_round(scratch)
    run(one_round, max(ROUNDS // 5, 50))
    before = rss_bytes()
    run(one_round, ROUNDS)
    growth = rss_bytes() - before
    if REPORT:
        print(f"\nresident size: {ROUNDS} rounds, growth {growth} bytes")
    # Each round frees all it made; anything leaking per call (documents, graph nodes, whole
    # databases, log buffers) would grow far beyond this allowance for allocator noise.
    assert growth < 4 * 1024 * 1024, growth
