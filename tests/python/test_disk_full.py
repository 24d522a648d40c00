"""A full disk under the log and the snapshots. A child process (disk_full_child.py) lowers its
file-size limit so that writes fail with EFBIG part-way, as they do on a full device, and checks
that failing appends raise "WAL write failed: ..." and change nothing, and that failing snapshot
writes (save, compact) raise the documented RuntimeError and leave the previous snapshot in
place, and that a change whose automatic checkpoint fails is kept, with a RuntimeWarning. Here,
after the child has lifted the limit, gone on and exited, the database is reopened: everything
it acknowledged is there, and nothing it was refused."""

import json
import os
import subprocess
import sys

import pytest
from kestrine import Kestrine

KEY = "d15cf011" * 8
CHILD = os.path.join(os.path.dirname(__file__), "disk_full_child.py")


@pytest.mark.parametrize("key", [None, KEY], ids=["plain", "encrypted"])
def test_a_full_disk_loses_nothing_acknowledged(tmp_path, key):
    data_dir = tmp_path / "data"
    child = subprocess.run(
        [sys.executable, CHILD, str(data_dir), key or ""],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert child.returncode == 0, child.stderr
    acknowledged = json.loads(child.stdout.splitlines()[-1])

    db = Kestrine(data_dir=str(data_dir), encryption_key=key)
    assert sorted(db.list_collections()) == acknowledged["collections"] == ["c", "d"]
    documents = acknowledged["c"]
    assert db.collection_info("c").document_count == len(documents) == 27
    for doc_id, text in documents.items():
        assert db.get("c", doc_id)["text"] == text
    assert {h.id for h in db.search("c", query_text="document", k=100)} == set(documents)
    assert not os.path.exists(data_dir / "wal.bin.corrupt")
