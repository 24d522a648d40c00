"""The process that test_disk_full.py runs: it fills a persistent database, then lowers its
own file-size limit (RLIMIT_FSIZE, with SIGXFSZ ignored, so that a write past the limit writes
what fits and then fails with EFBIG, as on a full disk) and checks, call by call, that

- every change that must be logged fails with "WAL write failed: ..." and changes nothing, in
  memory or in the log;
- a save or compact whose snapshot cannot be written fails with the documented RuntimeError,
  keeps the log, and leaves the previous snapshot in place and readable;
- a change whose automatic checkpoint cannot write its snapshot is made and logged all the
  same, with a RuntimeWarning saying why, and the next change checkpoints again;

then lifts the limit, goes on, and prints the state it acknowledged as JSON on its last line.

    disk_full_child.py DATA_DIR KEY_OR_EMPTY
"""

import json
import os
import resource
import signal
import sys
import uuid
import warnings

from kestrine import Kestrine

EFBIG = "File too large (os error 27)"


def expect_error(kind, message, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - the exact type is what is checked
        assert type(e) is kind, f"{fn.__name__}: {type(e).__name__}: {e}"
        assert e.args[0] == message, f"{fn.__name__}: {e.args[0]!r} != {message!r}"
        return
    raise AssertionError(f"{fn.__name__} did not fail")


def main():
    data_dir, key = sys.argv[1], sys.argv[2] or None
    wal = os.path.join(data_dir, "wal.bin")
    snapshot = os.path.join(data_dir, "c.kestrine")
    db = Kestrine(data_dir=data_dir, encryption_key=key)
    db.create_collection("c", 3)
    live = {}

    def insert(text, n):
        doc_id = db.insert("c", text, [1.0, float(n), 0.5], {"n": n})
        live[doc_id] = text

    def state():
        return {
            "collections": sorted(db.list_collections()),
            "documents": {i: db.get("c", i)["text"] for i in live},
            "count": db.collection_info("c").document_count,
            "hits": [h.id for h in db.search("c", query_text="document", k=50)],
        }

    for n in range(5):
        insert(f"document {n}", n)
    db.save("c")  # a checkpoint: the snapshot holds 5 documents, the log is empty
    assert os.path.getsize(wal) == 0
    first_snapshot = open(snapshot, "rb").read()
    for n in range(5, 25):
        insert(f"document {n} " + "with a longer text " * 8, n)
    log_size = os.path.getsize(wal)
    before = state()

    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)

    # Appends: the log is full four bytes past its end.
    resource.setrlimit(resource.RLIMIT_FSIZE, (log_size + 4, hard))
    failed = "WAL write failed: " + EFBIG
    new_id = str(uuid.uuid4())
    expect_error(RuntimeError, failed, db.insert, "c", "never", [1, 2, 3], id=new_id)
    expect_error(
        RuntimeError,
        failed,
        db.batch_insert,
        "c",
        [{"text": "never", "embedding": [1, 2, 3]}, {"text": "nor", "embedding": [3, 2, 1]}],
    )
    expect_error(RuntimeError, failed, db.delete, "c", next(iter(live)))
    some = next(iter(live))
    expect_error(RuntimeError, failed, db.upsert, "c", some, "never", [1, 2, 3])
    expect_error(
        RuntimeError,
        failed,
        db.batch_upsert,
        "c",
        [
            {"id": some, "text": "never", "embedding": [1, 2, 3]},
            {"text": "nor", "embedding": [3, 2, 1]},
        ],
    )
    expect_error(RuntimeError, failed, db.delete_many, "c", list(live))
    expect_error(RuntimeError, failed, db.delete_many, "c", filter={})
    expect_error(RuntimeError, failed, db.create_collection, "d", 3)
    expect_error(RuntimeError, failed, db.delete_collection, "c")
    assert os.path.getsize(wal) == log_size, "a failed append left bytes in the log"
    assert state() == before, "a failed append changed memory"
    expect_error(KeyError, f"document '{new_id}' not found", db.get, "c", new_id)

    # Snapshots: the new one (25 documents) is larger than the limit, the old one (5) is not.
    resource.setrlimit(resource.RLIMIT_FSIZE, (len(first_snapshot) + 16, hard))
    expect_error(RuntimeError, EFBIG, db.save, "c")
    expect_error(RuntimeError, "save 'c' failed: " + EFBIG, db.compact)
    elsewhere = os.path.join(data_dir, "elsewhere")
    expect_error(RuntimeError, EFBIG, db.save, "c", path=elsewhere)
    assert open(snapshot, "rb").read() == first_snapshot, "a failed write touched the snapshot"
    assert not os.path.exists(snapshot + ".tmp"), "a failed write left its temporary file"
    assert not os.path.exists(os.path.join(elsewhere, "c.kestrine"))
    assert os.path.getsize(wal) == log_size, "a failed checkpoint emptied the log"
    assert state() == before, "a failed snapshot write changed memory"
    reader = Kestrine()
    reader.load("c", path=data_dir, encryption_key=key)
    assert reader.collection_info("c").document_count == 5, "the previous snapshot is unreadable"

    # The limit lifted: everything works again, and goes on from the log as it was.
    resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    insert("document after the limit", 99)
    removed = sorted(live)[0]
    assert db.delete("c", removed) is True
    del live[removed]
    db.create_collection("d", 2)
    db.save("c", path=elsewhere)
    assert state()["count"] == len(live)

    # Automatic checkpoints, after every change: the snapshot of c as it is now just fits, the
    # one with another document does not, and the change's record does.
    fits = os.path.getsize(os.path.join(elsewhere, "c.kestrine"))
    db.compact()
    db = None
    db = Kestrine(data_dir=data_dir, encryption_key=key, checkpoint_bytes=1)
    resource.setrlimit(resource.RLIMIT_FSIZE, (fits, hard))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        insert("document past a failed checkpoint", 100)
    got = [(w.category, str(w.message)) for w in caught]
    assert got == [(RuntimeWarning, "automatic checkpoint failed: save 'c' failed: " + EFBIG)], got
    assert os.path.getsize(wal) > 0, "a failed automatic checkpoint emptied the log"
    assert not os.path.exists(snapshot + ".tmp"), "a failed write left its temporary file"
    assert os.path.getsize(snapshot) == fits, "a failed automatic checkpoint touched the snapshot"
    resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        insert("document after a failed checkpoint", 101)
    assert caught == [], [str(w.message) for w in caught]
    assert os.path.getsize(wal) == 0, "the next change did not checkpoint again"
    assert state()["count"] == len(live)
    print(json.dumps({"c": live, "collections": sorted(db.list_collections())}))


if __name__ == "__main__":
    main()
