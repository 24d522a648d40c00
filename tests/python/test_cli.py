"""The command-line tool, end to end: every subcommand run as a user runs it (a subprocess) on a
small corpus made here; the files of a data directory after the read-only commands; the error
paths, each one line on stderr with the right exit status and never a traceback."""

import gzip
import io
import json
import math
import os
import pathlib
import random
import shutil
import struct
import subprocess
import sys
import uuid

import pytest
from conftest import run_mypy, run_stubtest
from kestrine import Kestrine
from kestrine.cli._output import Progress, render_table

KEY = "ab" * 32
OTHER_KEY = "cd" * 32
DIMENSION = 8
WORDS = "apple river stone cloud ember frost grain harbor ivory juniper".split()


def run(*args, cwd, env=None, input=None, status=0):
    """Runs `python -m kestrine ARGS` and checks its exit status and that no traceback shows."""
    full_env = {k: v for k, v in os.environ.items() if k != "KESTRINE_KEY"}
    full_env.update(env or {})
    result = subprocess.run(
        [sys.executable, "-m", "kestrine", *map(str, args)],
        cwd=cwd,
        env=full_env,
        input=input,
        capture_output=True,
        text=True,
    )
    assert "Traceback" not in result.stderr, result.stderr
    assert result.returncode == status, result.stdout + result.stderr
    return result


def make_documents(n=40, seed=7):
    rng = random.Random(seed)
    documents = []
    for i in range(n):
        vector = [rng.gauss(0, 1) for _ in range(DIMENSION)]
        norm = math.sqrt(sum(x * x for x in vector))
        words = " ".join(rng.choice(WORDS[1:]) for _ in range(4))
        documents.append(
            {
                "id": str(uuid.uuid5(uuid.NAMESPACE_URL, f"doc-{i}")),
                "text": f"document {i}: {'apple ' if i % 5 == 0 else ''}{words}",
                "embedding": [round(x / norm, 4) for x in vector],
                "metadata": {"group": i % 3, "even": i % 2 == 0, "name": f"doc-{i}"},
            }
        )
    return documents


def write_jsonl(path, documents, gzipped=False):
    text = "".join(json.dumps(d) + "\n" for d in documents)
    if gzipped:
        path.write_bytes(gzip.compress(text.encode(), mtime=0))
    else:
        path.write_text(text)
    return path


def snapshot_of_files(directory):
    """Every file's bytes and modification time, and the directory's own."""
    files = {p.name: (p.read_bytes(), p.stat().st_mtime_ns) for p in sorted(directory.iterdir())}
    return files, directory.stat().st_mtime_ns


@pytest.fixture(scope="module")
def documents():
    return make_documents()


@pytest.fixture(scope="module")
def corpus(tmp_path_factory, documents):
    directory = tmp_path_factory.mktemp("corpus")
    write_jsonl(directory / "docs.jsonl.gz", documents, gzipped=True)
    write_jsonl(directory / "docs.jsonl", documents)
    return directory


@pytest.fixture(scope="module")
def ingested(corpus):
    """A data directory holding collection "docs", left unchanged by the tests that use it."""
    result = run("ingest", "db", "docs", "docs.jsonl.gz", cwd=corpus)
    assert result.stdout.startswith("ingested 40 documents into 'docs' in ")
    assert "compacted db: every collection written to its snapshot, log emptied" in result.stdout
    return corpus / "db"


@pytest.fixture
def workdir(tmp_path, corpus):
    for name in ("docs.jsonl", "docs.jsonl.gz"):
        shutil.copy(corpus / name, tmp_path / name)
    return tmp_path


# ---- ingest, info ------------------------------------------------------------------------------


def test_ingest_writes_a_snapshot_and_empties_the_log(ingested):
    assert (ingested / "wal.bin").stat().st_size == 0
    assert (ingested / "docs.kestrine").stat().st_size > 0


@pytest.mark.parametrize("module", [True, False], ids=["python -m kestrine", "kestrine script"])
def test_both_entry_points_describe_every_command(module):
    script = pathlib.Path(sys.executable).with_name("kestrine")
    command = [sys.executable, "-m", "kestrine"] if module else [str(script)]
    result = subprocess.run([*command, "--help"], capture_output=True, text=True, check=True)
    for name in ("ingest", "search", "info", "verify", "compact", "rebuild", "export"):
        assert name in result.stdout


def test_info_describes_collections_and_files(ingested):
    before = snapshot_of_files(ingested)
    text = run("info", ingested, cwd=ingested.parent).stdout
    report = json.loads(run("info", ingested, "--json", cwd=ingested.parent).stdout)
    assert snapshot_of_files(ingested) == before
    assert "snapshots       1 file" in text and "(docs.kestrine)" in text
    assert "log             wal.bin, 0 B, 0 records" in text
    threshold = "when the log passes 4.0 MiB (the default threshold; the log is at 0% of it)"
    assert "checkpoint      " + threshold in text.splitlines()
    assert report["default_checkpoint_threshold"] == 4 << 20
    row = next(line for line in text.splitlines() if line.startswith("docs "))
    assert row.split()[:5] == ["docs", "8", "cosine", "40", "0"]
    (collection,) = report["collections"]
    assert collection["documents"] == 40 and collection["deleted_nodes"] == 0
    assert collection["metric"] == "cosine" and collection["m"] == 16
    assert report["log"]["size"] == 0 and report["snapshots"][0]["loadable"]


def test_info_counts_what_the_log_holds_and_deleted_nodes(workdir, documents):
    run("ingest", "db", "docs", "docs.jsonl", "--no-compact", "--metric", "euclidean", cwd=workdir)
    db = Kestrine(data_dir=str(workdir / "db"))
    for d in documents[:3]:
        db.delete("docs", d["id"])
    del db
    report = json.loads(run("info", "db", "--json", cwd=workdir).stdout)
    (collection,) = report["collections"]
    assert (collection["documents"], collection["deleted_nodes"]) == (37, 3)
    assert collection["metric"] == "euclidean"
    assert report["log"]["entries"]["delete_document"] == 3
    assert report["log"]["entries"]["batch_insert"] == 1
    share = f"{report['log']['size'] / (4 << 20):.0%}"
    assert f"the log is at {share} of it)" in run("info", "db", cwd=workdir).stdout


def test_ingest_options_reach_the_new_collection(workdir):
    run(
        "ingest", "db", "c", "docs.jsonl", "--metric", "dot_product", "--m", "8",
        "--ef-construction", "40", "--ef-search", "30", "--raw-vectors", "--batch-size", "7",
        "--threads", "2", cwd=workdir,
    )  # fmt: skip
    (c,) = json.loads(run("info", "db", "--json", cwd=workdir).stdout)["collections"]
    assert (c["metric"], c["m"], c["ef_construction"], c["ef_search"]) == ("dot_product", 8, 40, 30)
    assert c["store_raw_vectors"] and c["exact_vectors"] and c["documents"] == 40
    # More documents into the existing collection: its options stay, a note says so.
    more = make_documents(5, seed=99)
    for d in more:
        d["id"] = str(uuid.uuid4())
    write_jsonl(workdir / "more.jsonl", more)
    result = run("ingest", "db", "c", "more.jsonl", "--metric", "cosine", cwd=workdir)
    assert "collection 'c' exists; --metric apply to a new one" in result.stderr
    (c,) = json.loads(run("info", "db", "--json", cwd=workdir).stdout)["collections"]
    assert (c["metric"], c["documents"]) == ("dot_product", 45)


def test_ingest_reads_standard_input_and_round_trips_through_export(ingested, tmp_path):
    exported = run("export", ingested, "docs", cwd=tmp_path).stdout
    run("ingest", "copy", "docs", "-", cwd=tmp_path, input=exported)
    again = run("export", "copy", "docs", cwd=tmp_path).stdout
    key = lambda d: d["id"]  # noqa: E731
    first = sorted((json.loads(line) for line in exported.splitlines()), key=key)
    second = sorted((json.loads(line) for line in again.splitlines()), key=key)
    assert [(d["id"], d["text"], d["metadata"]) for d in first] == [
        (d["id"], d["text"], d["metadata"]) for d in second
    ]


# ---- search ----------------------------------------------------------------------------------


def vector_line(documents, i):
    return f"docs.jsonl:{i + 1}"


@pytest.mark.parametrize(
    "options, check",
    [
        (["--text", "apple"], lambda hits, docs: all("apple" in h["text"] for h in hits)),
        (["--vector-from", "docs.jsonl:13"], lambda hits, docs: hits[0]["id"] == docs[12]["id"]),
        (
            ["--vector-from", "docs.jsonl:13", "--text", "apple"],
            lambda hits, docs: docs[12]["id"] in [h["id"] for h in hits],
        ),
        (
            ["--vector-from", "docs.jsonl:13", "--text", "apple", "--fusion", "linear",
             "--alpha", "1.0"],
            lambda hits, docs: hits[0]["id"] == docs[12]["id"] and hits[0]["score"] == 1.0,
        ),
        (
            ["--vector-from", "docs.jsonl:13", "--filter",
             '{"must": [{"field": "group", "op": "eq", "value": 1}]}'],
            lambda hits, docs: {h["metadata"]["group"] for h in hits} == {1},
        ),
        (
            ["--text", "apple", "--filter",
             '{"must_not": [{"field": "even", "op": "eq", "value": true}]}'],
            lambda hits, docs: hits and all(not h["metadata"]["even"] for h in hits),
        ),
        (
            ["--vector-from", "docs.jsonl", "--min-similarity", "0.99"],
            lambda hits, docs: [h["id"] for h in hits] == [docs[0]["id"]],
        ),
        (
            ["--text", "apple", "--filter",
             '{"should": [{"field": "group", "op": "eq", "value": 1}, '
             '{"must": [{"field": "even", "op": "exists", "value": false}]}]}'],
            lambda hits, docs: hits and {h["metadata"]["group"] for h in hits} == {1},
        ),
    ],
    ids=["keyword", "vector", "hybrid rrf", "hybrid linear", "vector filter",
         "keyword must_not", "min similarity", "keyword should nested"],
)  # fmt: skip
def test_search_modes_as_json(ingested, documents, options, check):
    hits = json.loads(
        run("search", ingested, "docs", "--k", "5", "--json", *options, cwd=ingested.parent).stdout
    )
    assert 0 < len(hits) <= 5
    assert [h["rank"] for h in hits] == list(range(1, len(hits) + 1))
    assert check(hits, documents)


def test_search_prints_a_table_with_the_query(ingested, documents):
    result = run(
        "search", ingested, "docs", "--vector-from", "docs.jsonl:13", "--text", "apple",
        "--k", "3", cwd=ingested.parent,
    )  # fmt: skip
    lines = result.stdout.splitlines()
    label = json.dumps(documents[12]["text"])
    assert lines[0] == f'query: text "apple" + vector from docs.jsonl:13 ({label})'
    assert lines[1] == "search: hybrid, rrf fusion, k 3: 3 results"
    assert lines[2].split() == ["#", "score", "id", "text", "metadata"]
    assert len(lines) == 6
    assert all(len(line) <= 120 for line in lines[2:])
    assert any(line.split()[2] == documents[12]["id"][:8] for line in lines[3:])


@pytest.mark.parametrize("shape, dtype", [((8,), "<f4"), ((1, 8), "<f8"), ((8, 1), ">f4")])
def test_search_reads_a_query_vector_from_npy(ingested, documents, tmp_path, shape, dtype):
    vector = documents[20]["embedding"]
    header = repr({"descr": dtype, "fortran_order": False, "shape": shape}).encode("latin1")
    header += b" " * (-(len(header) + 11) % 64) + b"\n"
    fmt = {"<f4": "<8f", "<f8": "<8d", ">f4": ">8f"}[dtype]
    data = b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header
    (tmp_path / "q.npy").write_bytes(data + struct.pack(fmt, *vector))
    hits = json.loads(
        run("search", ingested, "docs", "--vector-from", "q.npy", "--json", cwd=tmp_path).stdout
    )
    assert hits[0]["id"] == documents[20]["id"]


# ---- export ----------------------------------------------------------------------------------


@pytest.mark.parametrize("raw", [False, True], ids=["8-bit codes", "raw vectors"])
def test_export_gives_back_the_documents_and_their_stored_vectors(workdir, documents, raw):
    run("ingest", "db", "docs", "docs.jsonl", *(["--raw-vectors"] if raw else []), cwd=workdir)
    before = snapshot_of_files(workdir / "db")
    result = run("export", "db", "docs", "--output", "out.jsonl.gz", cwd=workdir)
    assert snapshot_of_files(workdir / "db") == before
    assert ("embeddings exact" if raw else "embeddings dequantized") in result.stderr
    with gzip.open(workdir / "out.jsonl.gz", "rt") as f:
        exported = [json.loads(line) for line in f]
    # In insertion order, keys in the order of the input.
    assert [list(d) for d in exported] == [["id", "text", "embedding", "metadata"]] * 40
    for original, back in zip(documents, exported, strict=True):
        assert (back["id"], back["text"], back["metadata"]) == (
            original["id"],
            original["text"],
            original["metadata"],
        )
        if raw:  # the very values inserted, as 32-bit floats, written short
            assert back["embedding"] == original["embedding"]
        else:  # within half a quantization step
            values = original["embedding"]
            step = (max(values) - min(values)) / 255
            assert all(
                abs(a - b) <= step / 2 + 1e-6
                for a, b in zip(values, back["embedding"], strict=True)
            )


def test_export_with_a_filter_writes_only_the_documents_that_pass_it(ingested, documents):
    flt = '{"must_not": [{"field": "group", "op": "in", "values": [0, 2]}]}'
    result = run("export", ingested, "docs", "--filter", flt, cwd=ingested.parent)
    exported = [json.loads(line) for line in result.stdout.splitlines()]
    assert [d["id"] for d in exported] == [
        d["id"] for d in documents if d["metadata"]["group"] == 1
    ]
    assert result.stderr.startswith(
        f"exported 13 documents passing the filter {json.dumps(json.loads(flt))} of 'docs' to "
    )


# ---- verify, and the files the read-only commands leave alone ----------------------------------


def flip_snapshot_byte(db):
    path = db / "docs.kestrine"
    data = bytearray(path.read_bytes())
    data[50] ^= 0xFF
    path.write_bytes(data)


def tear_log(db):
    path = db / "wal.bin"
    path.write_bytes(path.read_bytes()[:-5])


def corrupt_second_record(db):
    path = db / "wal.bin"
    data = bytearray(path.read_bytes())
    (length,) = struct.unpack_from(">I", data, 0)
    data[8 + length + 8 + 3] ^= 0xFF  # a payload byte of the second record
    path.write_bytes(data)


def unknown_entry(db):
    payload = struct.pack("<I", 9)
    import zlib

    with open(db / "wal.bin", "ab") as f:
        f.write(struct.pack(">II", len(payload), zlib.crc32(payload)) + payload)


@pytest.mark.parametrize(
    "damage, failing, expected",
    [
        (None, None, ["ok    docs.kestrine  checksummed, CRC 0x", "valid: collection 'docs', "
                      "30 documents", "ok    wal.bin", "2 records (2 batch insert), replays to "
                      "its end", "verify: 2 files checked, no problem"]),
        (flip_snapshot_byte, "docs.kestrine", ["checksummed: Snapshot CRC32 mismatch: expected "
                                               "0x"]),
        (tear_log, "wal.bin", ["1 record (1 batch insert); the record at offset ",
                               "is cut short: the file ends", "opening cuts the log back"]),
        (corrupt_second_record, "wal.bin", ["1 record (1 batch insert); the record at offset",
                                            "fails its check (CRC mismatch: expected 0x",
                                            "wal.bin.corrupt"]),
        (unknown_entry, "wal.bin", ["3 records (2 batch insert); 1 of them does not decode and "
                                    "replay skips it (the first at offset",
                                    "integer `9`, expected variant index 0 <= i < 6"]),
    ],
    ids=["sound", "corrupt snapshot", "torn log", "corrupt log record", "undecodable entry"],
)  # fmt: skip
def test_verify_reports_each_file_and_changes_nothing(
    workdir, documents, damage, failing, expected
):
    write_jsonl(workdir / "a.jsonl", documents[:30])
    write_jsonl(workdir / "b.jsonl", documents[30:35])
    write_jsonl(workdir / "c.jsonl", documents[35:])
    run("ingest", "db", "docs", "a.jsonl", cwd=workdir)
    run("ingest", "db", "docs", "b.jsonl", "--no-compact", cwd=workdir)
    run("ingest", "db", "docs", "c.jsonl", "--no-compact", cwd=workdir)
    db = workdir / "db"
    if damage is not None:
        damage(db)
    before = snapshot_of_files(db)
    result = run("verify", "db", cwd=workdir, status=1 if failing else 0)
    run("info", "db", cwd=workdir)
    run("export", "db", "docs", cwd=workdir, status=1 if failing == "docs.kestrine" else 0)
    assert snapshot_of_files(db) == before
    for text in expected:
        assert text in result.stdout, result.stdout
    lines = result.stdout.splitlines()
    if failing:
        assert [line.split()[1] for line in lines if line.startswith("FAIL")] == [failing]
        assert lines[-1] == "verify: 1 problem in db"


def test_verify_with_and_without_the_key(workdir):
    (workdir / "key").write_text(KEY + "\n")
    run("ingest", "db", "docs", "docs.jsonl", "--key-file", "key", cwd=workdir)
    run(
        "ingest",
        "db",
        "other",
        "docs.jsonl",
        "--no-compact",
        cwd=workdir,
        env={"KESTRINE_KEY": KEY},
    )
    ok = run("verify", "db", "--key-file", "key", cwd=workdir).stdout
    assert "encrypted, tag ok, valid: collection 'docs'" in ok
    assert "2 records (1 create collection, 1 batch insert), replays to its end" in ok
    assert run("verify", "db", cwd=workdir, env={"KESTRINE_KEY": KEY}).stdout == ok

    missing = run("verify", "db", cwd=workdir, status=1).stdout
    assert (
        "FAIL  docs.kestrine  encrypted, no key given: snapshot db/docs.kestrine is encrypted"
        in missing
    )
    assert (
        "the first record (offset 0) is encrypted and no key was given: opening fails "
        "(WAL replay failed: log is encrypted but no encryption key was provided)" in missing
    )
    wrong = run("verify", "db", cwd=workdir, env={"KESTRINE_KEY": OTHER_KEY}, status=1).stdout
    assert "encrypted, does not decrypt: decryption failed: wrong key or corrupted data" in wrong
    assert "does not decrypt under the key given" in wrong


def test_verify_notes_leftover_files_and_refuses_an_empty_directory(ingested, tmp_path):
    db = tmp_path / "db"
    shutil.copytree(ingested, db)
    (db / "docs.kestrine.tmp").write_bytes(b"x")
    (db / "wal.bin.corrupt").write_bytes(b"yy")
    out = run("verify", "db", cwd=tmp_path).stdout
    assert "note  docs.kestrine.tmp  1 B, a snapshot write that never finished" in out
    assert "note  wal.bin.corrupt    2 B, a damaged log tail" in out
    (tmp_path / "empty").mkdir()
    out = run("verify", "empty", cwd=tmp_path, status=1).stdout
    assert "no snapshot and no wal.bin: not a data directory" in out


# ---- compact, rebuild ------------------------------------------------------------------------


def test_compact_and_rebuild(workdir, documents):
    run("ingest", "db", "docs", "docs.jsonl", "--no-compact", cwd=workdir)
    assert (workdir / "db" / "wal.bin").stat().st_size > 0
    out = run("compact", "db", cwd=workdir).stdout
    assert out.startswith("compacted db: 1 collection written to snapshots, log emptied (")
    assert (workdir / "db" / "wal.bin").stat().st_size == 0

    db = Kestrine(data_dir=str(workdir / "db"))
    for d in documents[:10]:
        db.delete("docs", d["id"])
    db.close()
    out = run("rebuild", "db", "docs", cwd=workdir).stdout
    assert out.startswith("rebuilt 'docs': 30 documents, memory estimate ")
    (c,) = json.loads(run("info", "db", "--json", cwd=workdir).stdout)["collections"]
    assert (c["documents"], c["deleted_nodes"], c["node_count"]) == (30, 0, 30)


def test_a_directory_in_use_is_read_but_not_changed(workdir, documents):
    run("ingest", "db", "docs", "docs.jsonl", cwd=workdir)
    with Kestrine(data_dir=str(workdir / "db")) as db:
        db.insert("docs", "written beside the tool", [0.5] * 8)  # in the log only
        for args in (["info", "db"], ["verify", "db"]):
            run(*args, cwd=workdir)
        exported = run("export", "db", "docs", cwd=workdir).stdout.splitlines()
        assert len(exported) == len(documents) + 1
        in_use = (
            f"data directory 'db' is in use by another Kestrine instance (process {os.getpid()})"
        )
        files = {p.name: p.read_bytes() for p in (workdir / "db").iterdir()}
        for args in (
            ["ingest", "db", "docs", "docs.jsonl"],
            ["compact", "db"],
            ["rebuild", "db", "docs"],
        ):
            result = run(*args, cwd=workdir, status=1)
            assert result.stderr == f"kestrine {args[0]}: error: cannot open db: {in_use}\n"
        assert {p.name: p.read_bytes() for p in (workdir / "db").iterdir()} == files


# ---- errors ----------------------------------------------------------------------------------


def lines_with(documents, **changes):
    """JSON lines of the documents, line n (from 1) replaced by changes[f"l{n}"]."""
    out = []
    for n, d in enumerate(documents, 1):
        change = changes.get(f"l{n}")
        out.append(change if isinstance(change, str) else json.dumps({**d, **(change or {})}))
    return "\n".join(out) + "\n"


BAD_INPUTS = [
    ({"l2": "{not json"}, "bad.jsonl:2: invalid JSON: Expecting property name"),
    ({"l3": {"embedding": [1.0, 2.0, 3.0]}}, "bad.jsonl:3: embedding dimension mismatch: "
                                             "expected 8, got 3"),
    ({"l2": "[1, 2]"}, "bad.jsonl:2: expected a JSON object, got an array"),
    ({"l2": '{"embedding": [1, 2, 3, 4, 5, 6, 7, 8]}'}, "bad.jsonl:2: missing 'text'"),
    ({"l4": {"embedding": [1, 2, "x", 4, 5, 6, 7, 8]}}, "bad.jsonl:4: 'embedding'[2] must be a "
                                                        "number, got a string"),
    ({"l2": {"metadata": {"tags": ["a"]}}}, "bad.jsonl:2: metadata 'tags' must be a boolean, "
                                            "number or string, got an array"),
    ({"l2": {"metadata": {"n": 2**70}}}, "bad.jsonl:2: metadata 'n' does not fit a signed 64-bit "
                                         "integer"),
    ({"l3": {"id": "not-a-uuid"}}, "bad.jsonl:3: invalid UUID: "),
    ({"l5": {"id": str(uuid.uuid5(uuid.NAMESPACE_URL, "doc-0")).upper()}},
     "bad.jsonl:5: duplicate id '"),
]  # fmt: skip


@pytest.mark.parametrize(
    "changes, message", BAD_INPUTS, ids=[m.split(": ")[1] for _, m in BAD_INPUTS]
)
def test_a_bad_input_line_is_named_and_leaves_no_trace(workdir, documents, changes, message):
    (workdir / "bad.jsonl").write_text(lines_with(documents[:6], **changes))
    result = run("ingest", "db", "docs", "bad.jsonl", cwd=workdir, status=1)
    assert result.stderr.startswith(f"kestrine ingest: error: {message}"), result.stderr
    assert len(result.stderr.splitlines()) == 1
    assert not (workdir / "db").exists()


def test_a_bad_line_after_full_batches_keeps_them_and_says_so(workdir, documents):
    (workdir / "bad.jsonl").write_text(lines_with(documents[:30], l25="{"))
    result = run("ingest", "db", "docs", "bad.jsonl", "--batch-size", "10", cwd=workdir, status=1)
    assert "bad.jsonl:25: invalid JSON" in result.stderr
    (c,) = json.loads(run("info", "db", "--json", cwd=workdir).stdout)["collections"]
    assert c["documents"] == 20


def test_ingesting_ids_that_exist_names_the_line(workdir):
    run("ingest", "db", "docs", "docs.jsonl", cwd=workdir)
    result = run("ingest", "db", "docs", "docs.jsonl", "--batch-size", "5", cwd=workdir, status=1)
    assert result.stderr.startswith("kestrine ingest: error: docs.jsonl:1: document '")
    assert result.stderr.rstrip().endswith("' already exists")


ERRORS = [
    (["search", "missing", "docs", "--text", "x"], 1, "missing: no such data directory"),
    (["info", "missing"], 1, "missing: no such data directory"),
    (["verify", "missing"], 1, "missing: no such data directory"),
    (["export", "missing", "docs"], 1, "missing: no such data directory"),
    (["compact", "missing"], 1, "missing: no such data directory"),
    (["rebuild", "missing", "docs"], 1, "missing: no such data directory"),
    (["verify", "docs.jsonl"], 1, "docs.jsonl: not a directory"),
    (["search", "DB", "nope", "--text", "x"], 1, "collection 'nope' not found"),
    (["export", "DB", "nope"], 1, "collection 'nope' not found"),
    (["rebuild", "DB", "nope"], 1, "collection 'nope' not found"),
    (["search", "DB", "docs", "--vector-from", "docs.jsonl:99"], 1,
     "docs.jsonl: has no line 99 holding a vector"),
    (["search", "DB", "docs", "--vector-from", "nofile.jsonl"], 1, "nofile.jsonl: No such file"),
    (["search", "DB", "docs", "--vector-from", "short.jsonl"], 1,
     "embedding dimension mismatch: expected 8, got 3"),
    (["search", "DB", "docs", "--text", "x", "--filter", '{"must": [{"op": "eq"}]}'], 1,
     "filter condition missing 'field'"),
    (["export", "DB", "docs", "--filter", '{"should": {}}'], 1,
     "filter 'should' must be a list of conditions"),
    (["export", "DB", "docs", "--filter", "[]"], 2, "--filter must be a JSON object"),
    (["ingest", "DB", "docs", "short.jsonl"], 1,
     "short.jsonl:1: embedding dimension mismatch: expected 8, got 3"),
    (["ingest", "DB", "docs", "docs.jsonl", "--dimension", "4"], 1,
     "docs.jsonl:1: embedding dimension mismatch: expected 4, got 8"),
    (["ingest", "DB", "docs", "short.jsonl", "--dimension", "3"], 1,
     "collection 'docs' has dimension 8, not 3"),
    (["ingest", "new", "docs", "empty.jsonl"], 1, "empty.jsonl: no documents, and no --dimension"),
    (["ingest", "new", "docs", "nofile.jsonl"], 1, "nofile.jsonl: No such file or directory"),
    (["info", "DB", "--key-file", "nofile"], 1, "cannot read key file nofile: No such file"),
    (["info", "DB", "--key-file", "docs.jsonl"], 1,
     "bad key from --key-file docs.jsonl: encryption key must be 64 hex characters"),
    (["search", "DB", "docs"], 2, "give --text, --vector-from or both"),
    (["search", "DB", "docs", "--text", "x", "--filter", "{"], 2, "--filter is not JSON"),
    (["search", "DB", "docs", "--text", "x", "--filter", "[]"], 2,
     "--filter must be a JSON object"),
    (["search", "DB", "docs", "--text", "x", "--k", "0"], 2, "must be at least 1, got 0"),
    (["ingest", "DB", "docs", "short.jsonl", "--threads", "-1"], 2, "must be at least 0, got -1"),
    (["search", "DB", "docs", "--text", "x", "--fusion", "max"], 2, "invalid choice: 'max'"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    (["ingest", "DB"], 2, "the following arguments are required: COLLECTION, FILE"),
]  # fmt: skip


@pytest.mark.parametrize("argv, status, message", ERRORS, ids=[" ".join(a) for a, _, _ in ERRORS])
def test_errors_are_one_line_with_the_exit_status(ingested, argv, status, message):
    work = ingested.parent
    (work / "short.jsonl").write_text('{"text": "t", "embedding": [1, 2, 3]}\n')
    (work / "empty.jsonl").write_text("\n")
    argv = [str(ingested) if a == "DB" else a for a in argv]
    before = snapshot_of_files(ingested)
    result = run(*argv, cwd=work, status=status)
    assert message in result.stderr
    if status == 1:
        assert len(result.stderr.splitlines()) == 1, result.stderr
        assert result.stderr.startswith(f"kestrine {argv[0]}: error: ")
    assert snapshot_of_files(ingested) == before
    assert not (work / "new").exists() and not (work / "missing").exists()


@pytest.mark.parametrize("command", [["search", "--text", "x"], ["ingest"], ["compact"]])
def test_a_wrong_or_missing_key_stops_before_any_change(workdir, command):
    (workdir / "key").write_text(KEY)
    run("ingest", "db", "docs", "docs.jsonl", "--key-file", "key", cwd=workdir)
    before = snapshot_of_files(workdir / "db")
    name, *options = command
    argv = [name, "db", "docs", *options] if name != "compact" else [name, "db"]
    if name == "ingest":
        argv.append("docs.jsonl")
    missing = run(*argv, cwd=workdir, status=1).stderr
    assert (
        "is encrypted but no encryption key was provided (give the key with --key-file" in missing
    )
    wrong = run(*argv, cwd=workdir, env={"KESTRINE_KEY": OTHER_KEY}, status=1).stderr
    assert "decryption failed: wrong key or corrupted data (is it the right key?)" in wrong
    assert snapshot_of_files(workdir / "db") == before


# ---- in-process pieces -----------------------------------------------------------------------


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_redraws_one_line_and_clears_it():
    stream = FakeTerminal()
    progress = Progress(stream, "document")
    progress.update(1000, 0.5)
    progress.update(2000, None)
    progress.finish()
    frames = stream.getvalue().split("\r")
    assert "1,000 documents   50% [############............]" in frames[1]
    assert "2,000 documents" in frames[2] and "%" not in frames[2]
    assert frames[-1] == "\x1b[K"


def test_tables_cut_the_named_columns_in_order():
    rows = [["1", "a" * 50, "b" * 50]]
    full = render_table(["#", "text", "meta"], rows, shrink=[(2, 10), (1, 20)], width=200)
    assert full[1] == "1  " + "a" * 50 + "  " + "b" * 50
    cut = render_table(["#", "text", "meta"], rows, shrink=[(2, 10), (1, 20)], width=60)
    assert cut[1] == "1  " + "a" * 44 + "…  " + "b" * 9 + "…"
    assert len(cut[1]) == 60


def test_the_cli_package_is_typed_and_the_tools_stub_matches(request, tmp_path):
    checked = run_mypy(request, "python/kestrine")
    assert checked.returncode == 0, checked.stdout + checked.stderr
    stubs = run_stubtest("kestrine._tools", tmp_path)
    assert stubs.returncode == 0, stubs.stdout + stubs.stderr
