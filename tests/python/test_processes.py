"""Processes and threads: one writer per data directory (other processes and other objects of
this one are refused and change nothing), read-only openers beside it that see the moment of
their opening, a killed writer's directory open again at once, close() and `with`, and threads
that call the engine at once, with the interpreter lock released, getting the results that the
same calls give one by one."""

import hashlib
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading

import pytest
from conftest import raises_exactly
from kestrine import Kestrine

KEY = "c0ffee00" * 8
DIM = 8


def in_use(data_dir, pid):
    return f"data directory '{data_dir}' is in use by another Kestrine instance (process {pid})"


def directory_hash(path):
    """Every file's name and bytes: what "changes no file" is checked against."""
    digest = hashlib.sha256()
    for name in sorted(os.listdir(path)):
        digest.update(name.encode() + b"\0")
        with open(os.path.join(path, name), "rb") as f:
            digest.update(f.read() + b"\0")
    return digest.hexdigest()


def vector(n):
    rng = random.Random(n)
    return [rng.uniform(-1, 1) for _ in range(DIM)]


def child(code, *args):
    """A Python child running `code` with sys.argv[1:] = args, its output read line by line."""
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


OPEN_ONCE = """
    import sys
    from kestrine import Kestrine
    try:
        Kestrine(data_dir=sys.argv[1], encryption_key=sys.argv[2] or None)
    except RuntimeError as error:
        print(error)
    else:
        print("opened")
"""

# Opens the directory, prints "ready", then waits to be killed.
HOLD = """
    import sys, time
    from kestrine import Kestrine
    db = Kestrine(data_dir=sys.argv[1])
    db.create_collection("c", 8)
    print("ready", flush=True)
    time.sleep(60)
"""

# Inserts documents 0, 1, 2, ... (id doc_id(n)) one call each, printing n once acknowledged,
# with a checkpoint every 25 documents, until it is killed.
WRITE = """
    import random, sys
    from kestrine import Kestrine
    db = Kestrine(data_dir=sys.argv[1])
    db.create_collection("c", 8)
    print("ready", flush=True)
    for n in range(100000):
        rng = random.Random(n)
        embedding = [rng.uniform(-1, 1) for _ in range(8)]
        db.insert("c", f"doc {n}", embedding, {"n": n}, id=f"00000000-0000-0000-0000-{n:012x}")
        print(n, flush=True)
        if n % 25 == 24:
            db.compact()
"""


def doc_id(n):
    return f"00000000-0000-0000-0000-{n:012x}"


def test_a_second_writer_is_refused_and_changes_nothing(tmp_path):
    data = str(tmp_path / "data")
    db = Kestrine(data_dir=data)
    db.create_collection("c", DIM)
    db.insert("c", "one", vector(1))
    before = directory_hash(data)
    for key in (None, KEY):
        raises_exactly(RuntimeError, in_use(data, os.getpid()), Kestrine, data, key)
        other = child(OPEN_ONCE, data, key or "")
        out, err = other.communicate(timeout=60)
        assert (out, err) == (in_use(data, os.getpid()) + "\n", "")
    assert directory_hash(data) == before
    db.close()
    other = child(OPEN_ONCE, data, "")
    assert other.communicate(timeout=60) == ("opened\n", "")


def test_a_killed_writer_leaves_the_directory_free_at_once(tmp_path):
    data = str(tmp_path / "data")
    holder = child(HOLD, data)
    try:
        assert holder.stdout.readline() == "ready\n"
        raises_exactly(RuntimeError, in_use(data, holder.pid), Kestrine, data_dir=data)
    finally:
        holder.send_signal(signal.SIGKILL)
        holder.wait()
    with Kestrine(data_dir=data) as db:
        assert db.list_collections() == ["c"]


def test_a_read_only_opener_sees_its_moment_beside_a_writer(tmp_path):
    data = str(tmp_path / "data")
    writer = child(WRITE, data)
    acknowledged = 0

    def wait_for(count):
        nonlocal acknowledged
        while acknowledged < count:
            assert int(writer.stdout.readline()) == acknowledged
            acknowledged += 1

    def prefix_length(reader):
        """The number of documents the reader holds, checked to be documents 0 to that - 1."""
        count = reader.collection_info("c").document_count
        assert reader.count("c") == count
        for n in (0, count // 2, count - 1):
            assert reader.get("c", doc_id(n))["text"] == f"doc {n}"
        with pytest.raises(KeyError):
            reader.get("c", doc_id(count))
        hits = reader.search("c", query_text="doc", k=count + 5)
        assert sorted(h.metadata["n"] for h in hits) == list(range(count))
        return count

    try:
        assert writer.stdout.readline() == "ready\n"
        views = []
        for round in range(1, 6):
            wait_for(20 * round + round % 3)
            reader = Kestrine(data_dir=data, read_only=True)
            count = prefix_length(reader)
            assert count >= acknowledged
            views.append((reader, count))
        # The writer goes on; every view stays where it was at its opening.
        wait_for(max(count for _, count in views) + 30)
        for reader, count in views:
            assert prefix_length(reader) == count
        check_refuses_changes(views[0][0], tmp_path)
    finally:
        writer.kill()
        writer.wait()


def check_refuses_changes(reader, tmp_path):
    refused = "database is open read-only"
    any_id = "00000000-0000-0000-0000-000000000001"
    for call in (
        lambda: reader.create_collection("d", DIM),
        lambda: reader.delete_collection("c"),
        lambda: reader.insert("c", "x", vector(1)),
        lambda: reader.batch_insert("c", [{"text": "x", "embedding": vector(1)}]),
        lambda: reader.delete("c", any_id),
        lambda: reader.upsert("c", any_id, "x", vector(1)),
        lambda: reader.batch_upsert("c", [{"id": any_id, "text": "x", "embedding": vector(1)}]),
        lambda: reader.delete_many("c", ids=[any_id]),
        lambda: reader.delete_many("c", filter={"must": []}),
        lambda: reader.rebuild("c"),
        lambda: reader.load("c"),
        lambda: reader.compact(),
        lambda: reader.save("c"),
    ):
        raises_exactly(RuntimeError, refused, call)
    out = tmp_path / "copies"
    reader.save("c", path=str(out))
    assert os.listdir(out) == ["c.kestrine"]


def test_a_read_only_opening_changes_no_byte(tmp_path):
    data = tmp_path / "data"
    with Kestrine(data_dir=str(data), encryption_key=KEY) as db:
        db.create_collection("c", DIM)
        db.insert("c", "kept", vector(1))
        db.compact()
        db.insert("c", "logged", vector(2))
    # A record cut short at the end of the log: where an opening's view ends.
    with open(data / "wal.bin", "ab") as log:
        log.write(b"\0\0\1\0" + b"\xff" * 9)
    before = directory_hash(data)
    with Kestrine(data_dir=str(data), encryption_key=KEY, read_only=True) as reader:
        texts = sorted(hit.text for hit in reader.search("c", query_embedding=vector(1)))
        assert texts == ["kept", "logged"]
        # Two read-only openers side by side, and a writer beside them.
        second = Kestrine(data_dir=str(data), encryption_key=KEY, read_only=True)
        assert second.list_collections() == ["c"]
        assert directory_hash(data) == before
        with Kestrine(data_dir=str(data), encryption_key=KEY) as writer:
            assert writer.collection_info("c").document_count == 2
    # Without a log and without a lock file, none is created.
    os.remove(data / "wal.bin")
    os.remove(data / "LOCK")
    before = directory_hash(data)
    assert Kestrine(data_dir=str(data), encryption_key=KEY, read_only=True).list_collections()
    assert directory_hash(data) == before
    missing = tmp_path / "missing"
    assert Kestrine(data_dir=str(missing), read_only=True).list_collections() == []
    assert not missing.exists()
    raises_exactly(ValueError, "read_only=True requires data_dir", Kestrine, read_only=True)


def test_close_and_with(tmp_path):
    data = str(tmp_path / "data")
    with Kestrine(data_dir=data) as first:
        first.create_collection("c", DIM)
        first.insert("c", "one", vector(1))
    assert repr(first) == "Kestrine(closed)"
    closed = "database is closed"
    for call in (
        lambda: first.list_collections(),
        lambda: first.collection_info("c"),
        lambda: first.insert("c", "x", vector(1)),
        lambda: first.search("c", query_text="one"),
        lambda: first.get("c", "00000000-0000-0000-0000-000000000001"),
        lambda: first.get_many("c", ["00000000-0000-0000-0000-000000000001"]),
        lambda: first.count("c"),
        lambda: first.scan("c", limit=1),
        lambda: first.upsert("c", "00000000-0000-0000-0000-000000000001", "x", vector(1)),
        lambda: first.batch_upsert("c", [{"text": "x", "embedding": vector(1)}]),
        lambda: first.delete_many("c", ids=["00000000-0000-0000-0000-000000000001"]),
        lambda: first.compact(),
        lambda: first.total_memory_bytes(),
        lambda: first.__enter__(),
    ):
        raises_exactly(RuntimeError, closed, call)
    first.close()  # again: nothing happens
    # An exception leaving the block closes the database and goes on.
    with pytest.raises(KeyError):
        with Kestrine(data_dir=data) as db:
            db.get("c", "00000000-0000-0000-0000-000000000001")
    # Dropping the last reference closes it too.
    db = Kestrine(data_dir=data)
    assert db.collection_info("c").document_count == 1
    del db
    ephemeral = Kestrine()
    ephemeral.close()
    raises_exactly(RuntimeError, closed, ephemeral.create_collection, "c", DIM)
    Kestrine(data_dir=data).close()


def run_queries(db, queries):
    return [[(h.id, h.score) for h in db.search("c", **query)] for query in queries]


def test_threads_calling_at_once_get_the_results_of_one_by_one(tmp_path):
    db = Kestrine(data_dir=str(tmp_path / "data"))
    db.create_collection("c", DIM, m=8, ef_construction=64)
    words = ["kestrel", "river", "stone", "sky", "north", "blue", "field"]
    rng = random.Random(7)
    db.batch_insert(
        "c",
        [
            {
                "text": " ".join(rng.choices(words, k=4)),
                "embedding": vector(n),
                "metadata": {"n": n, "even": n % 2 == 0},
            }
            for n in range(1500)
        ],
    )
    queries = []
    for n in range(60):
        query = {"k": 1 + n % 17}
        if n % 3 != 1:
            query["query_embedding"] = vector(10_000 + n)
        if n % 3 != 0:
            query["query_text"] = " ".join(rng.choices(words, k=2))
        if n % 4 == 0:
            query["filter"] = {"must": [{"field": "even", "op": "eq", "value": True}]}
        queries.append(query)
    expected = run_queries(db, queries)
    results, errors = {}, []

    def search(t):
        try:
            order = list(range(len(queries)))
            random.Random(t).shuffle(order)
            got = run_queries(db, [queries[i] for i in order])
            results[t] = [got[order.index(i)] for i in range(len(queries))]
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=search, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert all(results[t] == expected for t in range(4))

    # A close() while threads are calling: each call either completes exactly or finds the
    # database closed.
    started = threading.Barrier(5)
    outcomes = []

    def search_until_closed():
        started.wait()
        while True:
            try:
                got = run_queries(db, queries[:5])
            except RuntimeError as error:
                outcomes.append(str(error))
                return
            outcomes.append(got == expected[:5])

    threads = [threading.Thread(target=search_until_closed) for _ in range(4)]
    for thread in threads:
        thread.start()
    started.wait()
    db.close()
    for thread in threads:
        thread.join()
    assert set(outcomes) <= {True, "database is closed"}
    assert outcomes.count("database is closed") == 4
