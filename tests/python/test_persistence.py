"""Persistent and encrypted databases through the public API: the constructor's data_dir and
encryption_key, save, load and compact, the log on disk, and the warnings of opening."""

import gc
import inspect
import os
import struct
import warnings
import zlib

import _kestrine
import disk
import pytest
from conftest import raises_exactly
from kestrine import Kestrine

KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
OTHER_KEY = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100"
UUID1 = "67e55044-10b1-426f-9247-bb680e5fe0c8"
UUID2 = "0b6a5d2e-7a1c-4f7e-9d1f-3c0f6f2b8a11"


def open_quietly(path, **kwargs):
    """Opens a database and returns it with the texts of the warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        db = Kestrine(data_dir=str(path), **kwargs)
    assert all(w.category is RuntimeWarning for w in caught)
    return db, [str(w.message) for w in caught]


def wal(path):
    return (path / "wal.bin").read_bytes()


# ---- signatures and docstrings --------------------------------------------------------------


@pytest.mark.parametrize(
    "name, signature, summary",
    [
        (
            "save",
            "(collection, path=None, encryption_key=None)",
            "Save a collection snapshot to disk.",
        ),
        ("load", "(name, path=None, encryption_key=None)", "Load a collection snapshot from disk."),
        ("compact", "()", "Save all collections to disk and truncate the WAL."),
    ],
)
def test_signatures_and_summaries(name, signature, summary):
    method = getattr(Kestrine(), name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__.splitlines()[0] == summary


def test_docstring_bodies():
    k = _kestrine.Kestrine
    for line in [
        "Uses the data_dir passed at construction, or a custom path.",
        "If encryption_key is provided (64-char hex), the snapshot is encrypted with AES-256-GCM.",
        "When WAL persistence is active, the WAL is truncated after a successful save.",
    ]:
        assert line in k.save.__doc__.splitlines()
    for line in [
        "Uses the data_dir passed at construction, or a custom path.",
        "If encryption_key is provided (64-char hex), encrypted snapshots are decrypted.",
    ]:
        assert line in k.load.__doc__.splitlines()
    assert (
        "This is the recommended way to create a consistent checkpoint. After compact,\n"
        "the WAL is empty and all data is in snapshots. Requires data_dir to be set."
        in k.compact.__doc__
    )


# ---- the constructor ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "key, message",
    [
        ("abc", "encryption key must be 64 hex characters (32 bytes), got 3"),
        (KEY[:63] + "g", "invalid hex at position 62: invalid digit found in string"),
    ],
)
def test_a_bad_key_is_a_value_error_before_anything_on_disk(tmp_path, key, message):
    data_dir = tmp_path / "data"
    raises_exactly(ValueError, message, Kestrine, data_dir=str(data_dir), encryption_key=key)
    assert not data_dir.exists()
    raises_exactly(ValueError, message, Kestrine, encryption_key=key)


@pytest.mark.parametrize(
    "value, kind, message",
    [
        (-1, ValueError, "checkpoint_bytes must be non-negative"),
        (-(2**70), ValueError, "checkpoint_bytes must be non-negative"),
        (
            "1",
            TypeError,
            "argument 'checkpoint_bytes': 'str' object cannot be interpreted as an integer",
        ),
        (
            1.5,
            TypeError,
            "argument 'checkpoint_bytes': 'float' object cannot be interpreted as an integer",
        ),
    ],
)
def test_a_bad_checkpoint_bytes_fails_before_anything_on_disk(tmp_path, value, kind, message):
    data_dir = tmp_path / "data"
    raises_exactly(kind, message, Kestrine, data_dir=str(data_dir), checkpoint_bytes=value)
    assert not data_dir.exists()
    raises_exactly(kind, message, Kestrine, checkpoint_bytes=value)


@pytest.mark.parametrize("value", [None, 0, 1, 2**63, 2**70])
def test_any_non_negative_checkpoint_bytes_is_accepted_with_or_without_data_dir(tmp_path, value):
    open_quietly(tmp_path, checkpoint_bytes=value)
    Kestrine(checkpoint_bytes=value).create_collection("c", 3)


def test_a_new_data_dir_is_created_with_an_empty_log(tmp_path):
    data_dir = tmp_path / "a" / "b"
    db, caught = open_quietly(data_dir)
    assert caught == []
    assert wal(data_dir) == b""
    assert repr(db) == "Kestrine(collections=0)"


def test_deleting_collection_docs_logs_the_24_byte_record(tmp_path):
    db, _ = open_quietly(tmp_path)
    assert db.delete_collection("docs") is False
    assert wal(tmp_path) == bytes.fromhex("00000010 31C61510 01000000 0400000000000000 646F6373")


def test_an_encrypted_log_record_opens_with_a_standard_aes_gcm(tmp_path):
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    db, _ = open_quietly(tmp_path, encryption_key=KEY)
    db.delete_collection("docs")
    [(check, envelope)] = disk.records(wal(tmp_path))
    assert check == disk.ENCRYPTED_CHECK
    plain = AESGCM(bytes.fromhex(KEY)).decrypt(envelope[:12], envelope[12:], None)
    assert plain == disk.delete_collection_entry("docs")


def test_failures_of_opening_are_runtime_errors(tmp_path):
    not_a_dir = tmp_path / "file"
    not_a_dir.write_bytes(b"x")
    raises_exactly(
        RuntimeError,
        f"failed to load snapshots from '{not_a_dir}': Not a directory (os error 20)",
        Kestrine,
        data_dir=str(not_a_dir),
    )
    raises_exactly(
        RuntimeError,
        "failed to open WAL: Not a directory (os error 20)",
        Kestrine,
        data_dir=str(not_a_dir / "data"),
    )


def test_a_path_with_a_nul_is_refused(tmp_path):
    raises_exactly(ValueError, "embedded null byte", Kestrine, data_dir=str(tmp_path) + "\0x")
    db = Kestrine()
    db.create_collection("c", 3)
    raises_exactly(ValueError, "embedded null byte", db.save, "c", str(tmp_path) + "\0x")
    raises_exactly(ValueError, "embedded null byte", db.load, "c", str(tmp_path) + "\0x")
    assert os.listdir(tmp_path) == []


# ---- the log through reopening --------------------------------------------------------------


def test_reopening_restores_changes_from_the_log_alone(tmp_path):
    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    a = db.insert("c", "kept", [1, 2, 3], {"k": 1}, id=UUID1)
    b = db.batch_insert("c", [{"text": "gone", "embedding": [3, 2, 1]}])[0]
    db.delete("c", b)
    del db
    db, caught = open_quietly(tmp_path)
    assert caught == []
    assert db.get("c", a) == {"id": UUID1, "text": "kept", "metadata": {"k": 1}}
    raises_exactly(KeyError, f"document '{b}' not found", db.get, "c", b)


def test_a_taken_name_is_logged_and_ignored_on_replay(tmp_path):
    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    size = len(wal(tmp_path))
    raises_exactly(ValueError, "Collection 'c' already exists", db.create_collection, "c", 5)
    assert len(wal(tmp_path)) > size
    db.close()
    db, _ = open_quietly(tmp_path)
    assert db.collection_info("c").dimension == 3


def test_a_capitalised_metric_never_reaches_the_log(tmp_path):
    db, _ = open_quietly(tmp_path)
    raises_exactly(
        ValueError,
        "unknown distance metric: 'Cosine' (use 'cosine', 'euclidean', or 'dot_product')",
        db.create_collection,
        "c",
        3,
        distance_metric="Cosine",
    )
    assert wal(tmp_path) == b""


def test_a_failed_append_is_a_runtime_error_and_changes_nothing(tmp_path):
    import resource
    import signal

    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    size = len(wal(tmp_path))
    previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size + 4, limits[1]))
    try:
        message = "WAL write failed: File too large (os error 27)"
        raises_exactly(RuntimeError, message, db.insert, "c", "t", [1, 2, 3], id=UUID1)
        raises_exactly(RuntimeError, message, db.delete_collection, "c")
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
        signal.signal(signal.SIGXFSZ, previous)
    raises_exactly(KeyError, f"document '{UUID1}' not found", db.get, "c", UUID1)
    assert db.list_collections() == ["c"]
    assert len(wal(tmp_path)) == size


def plain_insert_with_crc_ffffffff():
    """A plain InsertDocument record whose CRC is FF FF FF FF, forced by 8 ASCII text bytes."""
    text = "forced crc:12345678"
    payload = bytearray(disk.insert_entry("c", UUID2, text, [1.0, 2.0, 3.0]))
    text_end = 4 + 9 + 24 + 8 + len(text)
    assert disk.force_crc(payload, disk.ascii_bits(text_end - 8, 8), 0xFFFFFFFF)
    return disk.record(bytes(payload))


@pytest.mark.parametrize("key", [None, KEY])
def test_a_plain_record_whose_crc_is_ffffffff_is_replayed(tmp_path, key):
    db, _ = open_quietly(tmp_path, encryption_key=key)
    db.create_collection("c", 3)
    del db
    forced = plain_insert_with_crc_ffffffff()
    assert forced[4:8] == b"\xff\xff\xff\xff"
    with open(tmp_path / "wal.bin", "ab") as f:
        f.write(forced)
    db, caught = open_quietly(tmp_path, encryption_key=key)
    assert caught == []
    assert db.get("c", UUID2)["text"].startswith("forced crc:")


def test_an_unknown_tag_is_skipped_and_replay_goes_on(tmp_path):
    unknown = struct.pack("<I", 6) + disk.string("x")
    log = (
        disk.record(disk.delete_collection_entry("nothing"))
        + disk.record(unknown)
        + disk.record(disk.insert_entry("c", UUID1, "after", [1, 2, 3]))
    )
    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    db.compact()
    db.close()
    (tmp_path / "wal.bin").write_bytes(log)
    db, caught = open_quietly(tmp_path)
    assert caught == []
    assert db.get("c", UUID1)["text"] == "after"


def test_a_torn_tail_is_cut_off_silently(tmp_path):
    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    db.insert("c", "one", [1, 2, 3], id=UUID1)
    good = len(wal(tmp_path))
    del db
    with open(tmp_path / "wal.bin", "ab") as f:
        f.write(disk.record(disk.insert_entry("c", UUID2, "torn", [1, 2, 3]))[:-2])
    db, caught = open_quietly(tmp_path)
    assert caught == []
    assert len(wal(tmp_path)) == good
    db.insert("c", "two", [1, 2, 3], id=UUID2)
    del db
    db, _ = open_quietly(tmp_path)
    assert db.get("c", UUID2)["text"] == "two"


def test_a_corrupt_record_is_set_aside_with_a_runtime_warning(tmp_path):
    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    good = len(wal(tmp_path))
    db.insert("c", "flipped", [1, 2, 3], id=UUID1)
    del db
    log = bytearray(wal(tmp_path))
    log[-1] ^= 0xFF
    (tmp_path / "wal.bin").write_bytes(log)
    side = tmp_path / "wal.bin.corrupt"
    with pytest.warns(RuntimeWarning) as caught:
        db = Kestrine(data_dir=str(tmp_path))
    [warning] = caught
    message = str(warning.message)
    assert message.startswith(f"WAL replay stopped at a corrupt record at offset {good} of ")
    assert message.endswith(f"was not replayed and was moved to '{side}'")
    assert side.read_bytes() == bytes(log[good:])
    assert len(wal(tmp_path)) == good
    assert db.collection_info("c").document_count == 0


@pytest.mark.parametrize(
    "key, message",
    [
        (None, "WAL replay failed: log is encrypted but no encryption key was provided"),
        (OTHER_KEY, "WAL replay failed: decryption failed: wrong key or corrupted data"),
    ],
)
def test_an_encrypted_log_without_its_key_fails_and_changes_no_file(tmp_path, key, message):
    db, _ = open_quietly(tmp_path, encryption_key=KEY)
    db.create_collection("c", 3)
    del db
    before = wal(tmp_path)
    raises_exactly(RuntimeError, message, Kestrine, data_dir=str(tmp_path), encryption_key=key)
    assert wal(tmp_path) == before
    assert sorted(os.listdir(tmp_path)) == ["LOCK", "wal.bin"]


# ---- warnings -------------------------------------------------------------------------------


def test_an_unreadable_snapshot_is_skipped_with_a_warning_naming_it(tmp_path):
    (tmp_path / "bad.kestrine").write_bytes(b"\x00\x01")
    db, caught = open_quietly(tmp_path)
    assert db.list_collections() == []
    assert caught == [
        f"skipped snapshot '{tmp_path / 'bad.kestrine'}': io error: unexpected end of file"
    ]


def test_warnings_turned_into_errors_fail_the_constructor_cleanly(tmp_path):
    (tmp_path / "bad.kestrine").write_bytes(b"\x00\x01")
    # Databases of earlier tests that only the cycle collector frees (held by the frames of
    # tracebacks that pytest kept) must not close their logs in the middle of the count.
    gc.collect()
    fds = len(os.listdir("/proc/self/fd"))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for _ in range(50):
            with pytest.raises(RuntimeWarning, match="skipped snapshot"):
                Kestrine(data_dir=str(tmp_path))
    # Each failed construction closed the log it had opened.
    assert len(os.listdir("/proc/self/fd")) == fds


# ---- save, load and compact -----------------------------------------------------------------


def test_save_load_and_compact_return_none(tmp_path):
    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    assert db.save("c") is None
    assert db.load("c") is None
    assert db.compact() is None


def test_save_errors(tmp_path):
    db = Kestrine()
    raises_exactly(KeyError, "collection 'c' not found", db.save, "c")
    db.create_collection("c", 3)
    message = "no path specified and Kestrine was created without data_dir"
    raises_exactly(ValueError, message, db.save, "c")
    raises_exactly(ValueError, message, db.load, "c")
    raises_exactly(
        ValueError,
        "encryption key must be 64 hex characters (32 bytes), got 1",
        db.save,
        "c",
        str(tmp_path),
        "x",
    )
    (tmp_path / "c.kestrine.tmp").mkdir()
    raises_exactly(RuntimeError, "Is a directory (os error 21)", db.save, "c", str(tmp_path))
    message = "argument 'path': 'int' object cannot be converted to 'PyString'"
    raises_exactly(TypeError, message, db.save, "c", 1)


def test_load_errors(tmp_path):
    db = Kestrine()
    raises_exactly(
        ValueError,
        "invalid hex at position 0: invalid digit found in string",
        db.load,
        "c",
        str(tmp_path),
        "z" * 64,
    )
    raises_exactly(
        RuntimeError,
        "failed to load 'c': No such file or directory (os error 2)",
        db.load,
        "c",
        str(tmp_path),
    )
    db.create_collection("c", 3)
    db.save("c", str(tmp_path), KEY)
    raises_exactly(
        RuntimeError,
        f"failed to load 'c': snapshot {tmp_path / 'c.kestrine'} is encrypted but no encryption "
        "key was provided",
        db.load,
        "c",
        str(tmp_path),
    )
    raises_exactly(
        RuntimeError,
        "failed to load 'c': decryption failed: wrong key or corrupted data",
        db.load,
        "c",
        str(tmp_path),
        OTHER_KEY,
    )


def test_compact_errors(tmp_path):
    raises_exactly(ValueError, "compact requires data_dir to be set", Kestrine().compact)
    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    (tmp_path / "c.kestrine.tmp").mkdir()
    size = len(wal(tmp_path))
    raises_exactly(RuntimeError, "save 'c' failed: Is a directory (os error 21)", db.compact)
    assert len(wal(tmp_path)) == size


def test_a_database_key_is_the_default_of_save_not_of_load(tmp_path):
    db, _ = open_quietly(tmp_path, encryption_key=KEY)
    db.create_collection("c", 3)
    db.save("c")
    assert (tmp_path / "c.kestrine").read_bytes()[:4] == b"KCE1"
    with pytest.raises(RuntimeError, match="is encrypted but no encryption key was provided"):
        db.load("c")
    db.load("c", encryption_key=KEY)


def test_a_corrupt_snapshot_is_skipped_at_opening_but_load_reports_it(tmp_path):
    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    db.compact()
    data = bytearray((tmp_path / "c.kestrine").read_bytes())
    data[0] ^= 1
    (tmp_path / "c.kestrine").write_bytes(data)
    db.close()
    db, caught = open_quietly(tmp_path)
    assert db.list_collections() == []
    assert len(caught) == 1 and "Snapshot CRC32 mismatch" in caught[0]
    with pytest.raises(RuntimeError, match=r"^failed to load 'c': Snapshot CRC32 mismatch"):
        db.load("c")


def test_save_or_compact_to_the_data_dir_empties_the_log(tmp_path):
    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    db.insert("c", "t", [1, 2, 3])
    db.save("c")
    assert wal(tmp_path) == b""
    db.insert("c", "u", [1, 2, 3])
    db.compact()
    assert wal(tmp_path) == b""


def test_save_elsewhere_or_with_other_changes_logged_keeps_the_log(tmp_path):
    data_dir, elsewhere = tmp_path / "data", tmp_path / "elsewhere"
    db, _ = open_quietly(data_dir)
    db.create_collection("a", 3)
    db.create_collection("b", 3)
    size = len(wal(data_dir))
    db.save("a", str(elsewhere))
    db.save("a", encryption_key=KEY)
    db.save("a")  # b's creation is still only in the log
    assert len(wal(data_dir)) == size
    db.save("b")
    assert wal(data_dir) == b""


# ---- automatic checkpoints ------------------------------------------------------------------


def test_the_change_that_takes_the_log_past_checkpoint_bytes_checkpoints(tmp_path):
    db, _ = open_quietly(tmp_path, checkpoint_bytes=500)
    db.create_collection("c", 3)
    ids, sizes = [], []
    for n in range(12):
        ids.append(db.insert("c", "text " * 10, [1, 2, float(n)]))
        sizes.append(len(wal(tmp_path)))
    # Every insert logs a record of one size; the one that takes the log past 500 bytes (not
    # to 500) empties it before it returns.
    record = sizes[1] - sizes[0]
    expected = [sizes[0]]
    for _ in sizes[1:]:
        grown = expected[-1] + record
        expected.append(0 if grown > 500 else grown)
    assert sizes == expected and sizes.count(0) >= 2
    assert (tmp_path / "c.kestrine").exists()
    db.close()
    db, caught = open_quietly(tmp_path, checkpoint_bytes=0)
    assert caught == []
    assert db.collection_info("c").document_count == len(ids)
    for _ in range(12):
        db.insert("c", "text " * 10, [1, 2, 3])
    assert len(wal(tmp_path)) == sizes[-1] + 12 * record  # off: the log only grows


def test_a_failed_automatic_checkpoint_warns_after_the_change_and_is_retried(tmp_path):
    db, _ = open_quietly(tmp_path, checkpoint_bytes=100)
    db.create_collection("c", 3)
    (tmp_path / "c.kestrine.tmp").mkdir()  # where the snapshot would be written
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        doc_id = db.insert("c", "kept", [1, 2, 3])
    assert [(w.category, str(w.message)) for w in caught] == [
        (
            RuntimeWarning,
            "automatic checkpoint failed: save 'c' failed: Is a directory (os error 21)",
        )
    ]
    assert db.get("c", doc_id)["text"] == "kept"
    assert len(wal(tmp_path)) > 100
    # Turned into an error, the warning is raised after the change, which stays made.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="^automatic checkpoint failed: save 'c'"):
            db.delete("c", doc_id)
    raises_exactly(KeyError, f"document '{doc_id}' not found", db.get, "c", doc_id)
    # The writes by id and by filter pass the warning on after their change in the same way.
    for write, made in (
        (lambda: db.upsert("c", doc_id, "upserted", [1, 2, 3]), 1),
        (lambda: db.batch_upsert("c", [{"id": doc_id, "text": "x", "embedding": [1, 2, 3]}]), 1),
        (lambda: db.delete_many("c", ids=[doc_id]), 0),
    ):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            write()
        assert [str(w.message) for w in caught] == [
            "automatic checkpoint failed: save 'c' failed: Is a directory (os error 21)"
        ]
        assert db.count("c") == made
    (tmp_path / "c.kestrine.tmp").rmdir()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        again = db.insert("c", "after", [3, 2, 1])
    assert caught == [] and wal(tmp_path) == b""
    db.close()
    db, _ = open_quietly(tmp_path)
    assert db.get("c", again)["text"] == "after"
    assert db.collection_info("c").document_count == 1


def test_a_deleted_collection_stays_deleted_after_compact(tmp_path):
    db, _ = open_quietly(tmp_path)
    db.create_collection("c", 3)
    db.compact()
    assert db.delete_collection("c") is True
    db.compact()
    assert not (tmp_path / "c.kestrine").exists()
    db.close()
    db, _ = open_quietly(tmp_path)
    assert db.list_collections() == []


def test_load_registers_under_the_name_asked_for(tmp_path):
    db = Kestrine()
    db.create_collection("orig", 3)
    db.insert("orig", "t", [1, 2, 3], id=UUID1)
    db.save("orig", str(tmp_path))
    os.rename(tmp_path / "orig.kestrine", tmp_path / "other.kestrine")
    db.load("other", str(tmp_path))
    assert sorted(db.list_collections()) == ["orig", "other"]
    assert db.collection_info("other").name == "other"
    assert db.get("other", UUID1)["text"] == "t"


# ---- snapshots read by independent code -----------------------------------------------------


def test_an_encrypted_snapshot_opens_with_a_standard_aes_gcm(tmp_path):
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    db = Kestrine()
    db.create_collection("docs", 2)
    db.save("docs", str(tmp_path), KEY)
    data = (tmp_path / "docs.kestrine").read_bytes()
    assert data[:4] == b"KCE1"
    payload = AESGCM(bytes.fromhex(KEY)).decrypt(data[4:16], data[16:], None)
    # The payload is the collection record: its name, then its dimension.
    assert payload[:12] == disk.string("docs")
    assert struct.unpack_from("<Q", payload, 12) == (2,)
    # The same collection checksummed: the same payload length, a CRC-32 of zlib's kind.
    db.save("docs", str(tmp_path))
    plain = (tmp_path / "docs.kestrine").read_bytes()
    assert plain[-8:-4] == b"KCR1"
    assert plain[-4:] == struct.pack(">I", zlib.crc32(plain[:-8]))
    assert len(plain) - 8 == len(payload)
