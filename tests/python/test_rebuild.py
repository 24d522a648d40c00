"""Kestrine.rebuild: fresh indexes from the live documents only, with the same documents
findable afterwards; and product quantization, which only a stored configuration can ask for."""

import inspect
import random
import struct
import zlib

import pytest
from conftest import raises_exactly
from kestrine import Kestrine


def vector(rng, dim):
    return [rng.uniform(-1, 1) for _ in range(dim)]


def fill(db, name, count, dim=8, seed=1):
    """Documents "document tok<i>" with metadata {"i": i}; returns (ids, embeddings)."""
    rng = random.Random(seed)
    embeddings = [vector(rng, dim) for _ in range(count)]
    ids = [
        db.insert(name, f"document tok{i}", embeddings[i], {"i": i, "even": i % 2 == 0})
        for i in range(count)
    ]
    return ids, embeddings


def expect_findable(db, name, doc_id, i, embedding):
    assert db.get(name, doc_id) == {
        "id": doc_id,
        "text": f"document tok{i}",
        "metadata": {"i": i, "even": i % 2 == 0},
    }
    assert doc_id in [r.id for r in db.search(name, query_embedding=embedding, k=3)]
    hits = db.search(name, query_text=f"tok{i}")
    assert [(h.id, h.text, h.metadata) for h in hits] == [
        (doc_id, f"document tok{i}", {"i": i, "even": i % 2 == 0})
    ]


def expect_gone(db, name, doc_id, i, embedding):
    raises_exactly(KeyError, f"document '{doc_id}' not found", db.get, name, doc_id)
    assert doc_id not in [r.id for r in db.search(name, query_embedding=embedding, k=50)]
    assert db.search(name, query_text=f"tok{i}") == []


def test_signature_and_docstring():
    method = Kestrine.rebuild
    assert method.__text_signature__ == "($self, collection)"
    assert str(inspect.signature(method)) == "(self, /, collection)"
    lines = method.__doc__.splitlines()
    assert lines[0] == "Rebuild HNSW and BM25 indices for a collection, reclaiming deleted space."
    assert "Returns the number of live documents in the rebuilt index." in lines


def test_argument_errors(db):
    raises_exactly(KeyError, "collection 'nope' not found", db.rebuild, "nope")
    error = raises_exactly(
        TypeError,
        "argument 'collection': 'int' object cannot be converted to 'PyString'",
        db.rebuild,
        5,
    )
    assert type(error.__cause__) is TypeError
    with pytest.raises(TypeError):
        db.rebuild()
    with pytest.raises(TypeError):
        db.rebuild("c", "d")


@pytest.mark.parametrize("metric, raw", [("cosine", False), ("euclidean", True)])
def test_rebuild_keeps_the_live_documents_findable(db, metric, raw):
    db.create_collection("c", 8, distance_metric=metric, store_raw_vectors=raw)
    ids, embeddings = fill(db, "c", 10)
    deleted = {1, 4, 8}
    for i in deleted:
        assert db.delete("c", ids[i]) is True
    before = db.collection_info("c").estimated_memory_bytes

    count = db.rebuild(collection="c")
    assert type(count) is int and count == 7
    info = db.collection_info("c")
    assert info.document_count == 7
    # The three deleted nodes, their vectors, links and id entries are gone.
    assert info.estimated_memory_bytes < before
    for i, doc_id in enumerate(ids):
        check = expect_gone if i in deleted else expect_findable
        check(db, "c", doc_id, i, embeddings[i])

    # Rebuilding again changes nothing a caller can see.
    results = [db.search("c", query_embedding=e, k=5) for e in embeddings]
    assert db.rebuild("c") == 7
    assert [[r.id for r in db.search("c", query_embedding=e, k=5)] for e in embeddings] == [
        [r.id for r in rs] for rs in results
    ]

    # The collection goes on as usual.
    new_id = db.insert("c", "document tok99", [0.5] * 8, {"i": 99, "even": False})
    assert db.get("c", new_id)["text"] == "document tok99"
    assert db.delete("c", ids[0]) is True
    assert db.collection_info("c").document_count == 7
    assert db.rebuild("c") == 7


def test_empty_and_all_deleted_collections_rebuild_to_nothing(db):
    db.create_collection("empty", 4)
    assert db.rebuild("empty") == 0
    assert db.collection_info("empty").estimated_memory_bytes == 0

    db.create_collection("c", 8)
    ids, embeddings = fill(db, "c", 6)
    for doc_id in ids:
        db.delete("c", doc_id)
    assert db.collection_info("c").estimated_memory_bytes > 0
    assert db.rebuild("c") == 0
    info = db.collection_info("c")
    assert (info.document_count, info.estimated_memory_bytes) == (0, 0)
    assert db.search("c", query_embedding=embeddings[0]) == []
    assert db.search("c", query_text="document") == []
    assert db.total_memory_bytes() == 0


def test_rebuild_after_reinserting_a_deleted_id(db):
    db.create_collection("c", 8)
    ids, embeddings = fill(db, "c", 5)
    db.delete("c", ids[2])
    db.insert("c", "replacement text", embeddings[2], id=ids[2])
    assert db.rebuild("c") == 5
    assert db.get("c", ids[2])["text"] == "replacement text"
    assert db.search("c", query_text="tok2") == []
    assert [h.id for h in db.search("c", query_text="replacement")] == [ids[2]]


# ---- product quantization through a stored configuration -------------------------------------
#
# Collections made by create_collection have pq_subspaces 0. A snapshot can carry another
# value: it is set here in a saved file, whose CRC-32 trailer is then recomputed.

TRAILER = b"KCR1"


class Reader:
    def __init__(self, data, offset=0):
        self.data, self.offset = data, offset

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.offset)
        self.offset += struct.calcsize("<" + fmt)
        return values[0] if len(values) == 1 else values

    def u64(self):
        return self.take("Q")

    def skip_bytes(self):
        length = self.u64()
        self.offset += length

    def f32s(self):
        n = self.u64()
        values = struct.unpack_from(f"<{n}f", self.data, self.offset)
        self.offset += 4 * n
        return values

    def skip_metadata_value(self):
        tag = self.take("I")
        if tag == 0:
            self.offset += 1
        elif tag in (1, 2):
            self.offset += 8
        else:
            self.skip_bytes()


def payload_of(path):
    data = path.read_bytes()
    assert data[-8:-4] == TRAILER
    assert struct.unpack(">I", data[-4:])[0] == zlib.crc32(data[:-8])
    return data[:-8]


def config_offset(payload):
    """Offset of the HnswConfig: after the name, the dimension and the documents map."""
    r = Reader(payload)
    r.skip_bytes()  # name
    r.u64()  # dimension
    for _ in range(r.u64()):
        r.skip_bytes()  # key
        r.skip_bytes()  # document id
        r.skip_bytes()  # text
        for _ in range(r.u64()):
            r.skip_bytes()
            r.skip_metadata_value()
    return r.offset


PQ_SUBSPACES_AT = 5 * 8 + 4  # m, m_max0, ef_construction, ef_search, max_layers, metric


def write_with_pq_subspaces(source, target, subspaces):
    payload = bytearray(payload_of(source))
    at = config_offset(payload) + PQ_SUBSPACES_AT
    assert struct.unpack_from("<Q", payload, at)[0] == 0
    struct.pack_into("<Q", payload, at, subspaces)
    target.parent.mkdir(exist_ok=True)
    target.write_bytes(bytes(payload) + TRAILER + struct.pack(">I", zlib.crc32(payload)))


def decode_index(path):
    """The parts of a saved HnswIndex these tests look at."""
    payload = payload_of(path)
    r = Reader(payload, config_offset(payload))
    config = r.take("QQQQQIQB")
    r.skip_bytes()  # vector_data
    r.f32s(), r.f32s(), r.f32s()  # vector_min, vector_scale, raw_vectors
    neighbor_bytes = 0  # the memory estimate's share of the neighbour lists
    for _ in range(r.u64()):
        neighbor_bytes += 24
        for _ in range(r.u64()):
            links = r.u64()
            neighbor_bytes += 24 + 4 * links
            r.offset += 4 * links
    r.skip_bytes()  # layers
    deleted_count = r.u64()
    deleted = payload[r.offset : r.offset + deleted_count]
    r.offset += deleted_count
    codebook = None
    if r.take("B"):
        num_subspaces, num_centroids, subspace_dim = r.take("QQQ")
        codebook = (num_subspaces, num_centroids, subspace_dim, len(r.f32s()))
    pq_codes = r.u64()
    r.offset += pq_codes
    if r.take("B"):
        r.take("I")
    _max_level, dimension, node_count = r.take("QQI")
    return {
        "pq_subspaces": config[6],
        "codebook": codebook,
        "pq_codes": pq_codes,
        "deleted": sum(deleted),
        "node_count": node_count,
        "dimension": dimension,
        "neighbor_bytes": neighbor_bytes,
    }


@pytest.fixture
def snapshot(tmp_path):
    """A saved euclidean collection "c" of dimension 8: 300 documents, 20 of them deleted."""
    if not hasattr(Kestrine, "save"):
        pytest.skip("this build has no save/load")
    db = Kestrine()
    db.create_collection("c", 8, distance_metric="euclidean")
    ids, embeddings = fill(db, "c", 300, seed=5)
    for i in range(0, 300, 15):
        db.delete("c", ids[i])
    db.save("c", path=str(tmp_path / "plain"))
    live = [(i, ids[i], embeddings[i]) for i in range(300) if i % 15 != 0]
    return db, tmp_path, live


def saved_index(db, directory):
    db.save("c", path=str(directory))
    return decode_index(directory / "c.kestrine")


def test_a_stored_subspace_count_trains_a_codebook(snapshot):
    db, tmp, live = snapshot
    write_with_pq_subspaces(tmp / "plain" / "c.kestrine", tmp / "pq4" / "c.kestrine", 4)

    db.load("c", path=str(tmp / "pq4"))
    assert db.rebuild("c") == 280
    with_pq = saved_index(db, tmp / "after_pq")
    memory_with_pq = db.collection_info("c").estimated_memory_bytes
    assert with_pq["pq_subspaces"] == 4
    assert with_pq["codebook"] == (4, 256, 2, 4 * 256 * 2)
    assert with_pq["node_count"] == 280 and with_pq["deleted"] == 0
    assert with_pq["pq_codes"] == 4 * 280
    for i, doc_id, embedding in live[::7]:
        expect_findable(db, "c", doc_id, i, embedding)

    # Against the same rebuild without a codebook, the estimate grows by exactly the centroids
    # and the codes; the neighbour lists, drawn afresh by every rebuild, are set apart.
    db.load("c", path=str(tmp / "plain"))
    assert db.rebuild("c") == 280
    without = saved_index(db, tmp / "after_plain")
    assert without["codebook"] is None and without["pq_codes"] == 0
    memory_without = db.collection_info("c").estimated_memory_bytes
    assert (memory_with_pq - with_pq["neighbor_bytes"]) - (
        memory_without - without["neighbor_bytes"]
    ) == 4 * (4 * 256 * 2) + 4 * 280

    # Documents inserted after the training are encoded with the codebook.
    db.load("c", path=str(tmp / "after_pq"))
    new_id = db.insert("c", "document tok1000", [0.25] * 8, {"i": 1000, "even": True})
    grown = saved_index(db, tmp / "grown")
    assert grown["pq_codes"] == 4 * 281 and grown["codebook"] == with_pq["codebook"]
    expect_findable(db, "c", new_id, 1000, [0.25] * 8)
    # A second rebuild trains again and keeps every document.
    assert db.rebuild("c") == 281
    assert saved_index(db, tmp / "again")["pq_codes"] == 4 * 281


def test_a_subspace_count_that_does_not_divide_the_dimension_fails_and_changes_nothing(snapshot):
    db, tmp, live = snapshot
    write_with_pq_subspaces(tmp / "plain" / "c.kestrine", tmp / "pq3" / "c.kestrine", 3)
    db.load("c", path=str(tmp / "pq3"))
    queries = [embedding for _, _, embedding in live[::11]]
    results = [[(r.id, r.score) for r in db.search("c", query_embedding=q)] for q in queries]
    memory = db.collection_info("c").estimated_memory_bytes
    db.save("c", path=str(tmp / "before"))

    with pytest.raises(BaseException) as info:
        db.rebuild("c")
    error = info.value
    assert type(error).__name__ == "InternalError"
    assert type(error).__module__ == "_kestrine"
    assert not isinstance(error, Exception)
    assert error.args == ("dimension must be divisible by num_subspaces",)

    assert [[(r.id, r.score) for r in db.search("c", query_embedding=q)] for q in queries] == (
        results
    )
    assert db.collection_info("c").estimated_memory_bytes == memory
    db.save("c", path=str(tmp / "after"))
    assert (tmp / "after" / "c.kestrine").read_bytes() == (
        tmp / "before" / "c.kestrine"
    ).read_bytes()
    index = decode_index(tmp / "after" / "c.kestrine")
    assert index["codebook"] is None and index["deleted"] == 20
