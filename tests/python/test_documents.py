import math
import random
import uuid

import pytest
from conftest import raises_exactly

UUID = "67e55044-10b1-426f-9247-bb680e5fe0c8"


def test_insert_get_delete(col):
    doc_id = col.insert("c", "hello", [1, 2, 3], {"a": 1})
    assert str(uuid.UUID(doc_id)) == doc_id and uuid.UUID(doc_id).version == 4
    got = col.get("c", doc_id)
    assert list(got) == ["id", "text", "metadata"]
    assert got == {"id": doc_id, "text": "hello", "metadata": {"a": 1}}
    assert col.collection_info("c").document_count == 1
    assert col.delete("c", doc_id) is True
    assert col.delete("c", doc_id) is False
    raises_exactly(KeyError, f"document '{doc_id}' not found", col.get, "c", doc_id)
    assert col.collection_info("c").document_count == 0


@pytest.mark.parametrize(
    "given",
    [
        UUID.upper(),
        "{" + UUID + "}",
        "urn:uuid:" + UUID,
        UUID.replace("-", ""),
        "{" + UUID.upper() + "}",
    ],
)
def test_ids_come_back_normalised(col, given):
    assert col.insert("c", "t", [0, 0, 1], id=given) == UUID
    assert col.get("c", given)["id"] == UUID
    assert col.delete("c", given) is True


def test_delete_of_an_id_never_inserted_is_false(col):
    assert col.delete("c", UUID) is False
    assert col.delete("c", UUID) is False


@pytest.mark.parametrize(
    "text, message",
    [
        (
            "g" + UUID[1:],
            "invalid character: expected an optional prefix of `urn:uuid:` followed "
            "by [0-9a-fA-F-], found `g` at 1",
        ),
        (
            UUID.replace("-", "")[:31],
            "invalid length: expected length 32 for simple format, found 31",
        ),
        (
            "67e550441-0b14-26f9-247b-b680e5fe0c8",
            "invalid group length in group 0: expected 8, found 9",
        ),
        ("67e55044-10b1-426f-9247", "invalid group count: expected 5, found 4"),
        ("", "invalid length: expected length 32 for simple format, found 0"),
    ],
)
@pytest.mark.parametrize(
    "method", ["get", "delete", "insert", "upsert", "get_many", "delete_many", "scan"]
)
def test_invalid_uuid_messages(col, method, text, message):
    calls = {
        "insert": lambda: col.insert("c", "t", [1, 2, 3], id=text),
        "upsert": lambda: col.upsert("c", text, "t", [1, 2, 3]),
        # One bad id among good ones fails the whole call.
        "get_many": lambda: col.get_many("c", [UUID, text]),
        "delete_many": lambda: col.delete_many("c", [UUID, text]),
        "scan": lambda: col.scan("c", after=text),
    }
    col.insert("c", "kept", [1, 2, 3], id=UUID)
    call = calls.get(method, lambda: getattr(col, method)("c", text))
    raises_exactly(ValueError, "invalid UUID: " + message, call)
    assert col.collection_info("c").document_count == 1


def test_get_of_absent_document_quotes_the_text_as_passed(col):
    raises_exactly(KeyError, f"document '{UUID.upper()}' not found", col.get, "c", UUID.upper())


def test_metadata_types_round_trip(col):
    meta = {
        "b": True,
        "f": False,
        "i": -(2**63),
        "j": 2**63 - 1,
        "x": 1.0,
        "n": float("nan"),
        "inf": float("-inf"),
        "s": "é",
        "empty": "",
    }
    got = col.get("c", col.insert("c", "t", [1, 2, 3], meta))["metadata"]
    assert set(got) == set(meta)
    for key, value in meta.items():
        assert type(got[key]) is type(value), key
        if isinstance(value, float) and math.isnan(value):
            assert math.isnan(got[key])
        else:
            assert got[key] == value


def test_metadata_conversion_errors(col):
    raises_exactly(
        ValueError,
        "metadata values must be bool, int, float, or str",
        col.insert,
        "c",
        "t",
        [1, 2, 3],
        {"a": None},
    )
    raises_exactly(
        ValueError,
        "metadata values must be bool, int, float, or str",
        col.insert,
        "c",
        "t",
        [1, 2, 3],
        {"a": [1]},
    )
    # Keys must be strings; the error is about an entry, so it carries no argument prefix.
    raises_exactly(
        TypeError,
        "'int' object cannot be converted to 'PyString'",
        col.insert,
        "c",
        "t",
        [1, 2, 3],
        {1: 1},
    )
    with pytest.raises(OverflowError):
        col.insert("c", "t", [1, 2, 3], {"a": 2**63})
    exc = raises_exactly(
        TypeError,
        "argument 'metadata': 'list' object cannot be converted to 'PyDict'",
        col.insert,
        "c",
        "t",
        [1, 2, 3],
        [("a", 1)],
    )
    assert exc.__cause__.args[0] == "'list' object cannot be converted to 'PyDict'"
    assert col.collection_info("c").document_count == 0


def test_embedding_conversions(col):
    class Floaty:
        def __float__(self):
            return 2.0

    for embedding in ([1, 2, 3], (1.0, 2.5, 3), range(3), [True, 2, Floaty()]):
        col.insert("c", "t", embedding)
    raises_exactly(
        TypeError, "argument 'embedding': Can't extract `str` to `Vec`", col.insert, "c", "t", "abc"
    )
    raises_exactly(
        TypeError,
        "argument 'embedding': 'dict' object cannot be converted to 'Sequence'",
        col.insert,
        "c",
        "t",
        {0: 1.0},
    )
    raises_exactly(
        TypeError,
        "argument 'embedding': 'int' object cannot be converted to 'Sequence'",
        col.insert,
        "c",
        "t",
        3,
    )
    with pytest.raises(TypeError, match="^argument 'embedding': must be real number, not str"):
        col.insert("c", "t", [1.0, "x", 2.0])


@pytest.mark.parametrize("embedding", [[], [1.0, 2.0], [1.0, 2.0, 3.0, 4.0]])
def test_embedding_length_must_match_the_dimension(col, embedding):
    message = f"embedding dimension mismatch: expected 3, got {len(embedding)}"
    raises_exactly(ValueError, message, col.insert, "c", "t", embedding)
    col.insert("c", "old", [1, 2, 3], id=UUID)
    raises_exactly(ValueError, message, col.upsert, "c", UUID, "new", embedding)
    assert col.scan("c") == [{"id": UUID, "text": "old", "metadata": {}}]


def test_floats_are_narrowed_to_32_bits(col):
    # Stored vectors are not readable through the API; the narrowing must just not fail.
    col.insert("c", "t", [1e300, -1e300, 1e-300])


def test_repeated_live_id_is_rejected_and_a_deleted_one_reused(col):
    col.insert("c", "one", [1, 2, 3], id=UUID)
    raises_exactly(
        ValueError,
        f"document '{UUID.upper()}' already exists",
        col.insert,
        "c",
        "two",
        [1, 2, 3],
        id=UUID.upper(),
    )
    assert col.get("c", UUID)["text"] == "one"
    assert col.delete("c", UUID)
    col.insert("c", "three", [1, 2, 3], id=UUID)
    assert col.get("c", UUID)["text"] == "three"
    assert col.collection_info("c").document_count == 1


def test_upsert_replaces_a_live_document_and_inserts_otherwise(col):
    assert col.upsert("c", UUID.upper(), "one", [1, 2, 3], {"v": 1}) is False
    assert col.upsert("c", UUID, "two", [3, 2, 1]) is True
    assert col.get("c", UUID) == {"id": UUID, "text": "two", "metadata": {}}
    assert [h.id for h in col.search("c", query_text="one")] == []
    assert [h.text for h in col.search("c", [3, 2, 1], "two")] == ["two"]
    assert col.delete("c", UUID) is True
    assert col.upsert("c", UUID, "three", [1, 2, 3]) is False
    assert col.collection_info("c").document_count == 1


def test_delete_many_takes_ids_a_filter_or_both(col):
    ids = col.batch_insert(
        "c", [{"text": "t", "embedding": [1, 2, 3], "metadata": {"n": n}} for n in range(6)]
    )
    raises_exactly(ValueError, "delete_many needs ids or a filter", col.delete_many, "c")
    raises_exactly(
        ValueError, "delete_many needs ids or a filter", col.delete_many, "c", None, None
    )
    assert col.delete_many("c", []) == 0
    odd = {"must": [{"field": "n", "op": "in", "values": [1, 3, 5]}]}
    # An id given twice, an id the filter also picks and an unknown id count once or not at all.
    assert col.delete_many("c", [ids[0], ids[0], ids[1], UUID], odd) == 4
    assert col.delete_many("c", filter=odd) == 0
    assert col.get_many("c", ids) == [
        None,
        None,
        col.get("c", ids[2]),
        None,
        col.get("c", ids[4]),
        None,
    ]


def test_scan_pages_by_id(col):
    ids = sorted(
        col.batch_insert("c", [{"text": str(n), "embedding": [1, 2, 3]} for n in range(5)])
    )
    assert [d["id"] for d in col.scan("c")] == ids
    assert [d["id"] for d in col.scan("c", None, 2, ids[1])] == ids[2:4]
    assert col.scan("c", limit=0) == [] and col.scan("c", after=ids[-1]) == []
    # `after` need not be live: paging goes on past a document deleted meanwhile.
    col.delete("c", ids[1])
    assert [d["id"] for d in col.scan("c", after=ids[1])] == ids[2:]
    assert [d["id"] for d in col.scan("c", after="00000000-0000-0000-0000-000000000000")] == ids[
        :1
    ] + ids[2:]


def test_new_methods_convert_in_signature_order_then_look_up(db):
    for call, message in [
        (
            lambda: db.upsert("c", 1, "t", [1]),
            "argument 'id': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: db.get_many("c", (UUID,)),
            "argument 'ids': 'tuple' object cannot be converted to 'PyList'",
        ),
        (
            lambda: db.get_many("c", [UUID, None]),
            "argument 'ids': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            lambda: db.delete_many("c", UUID),
            "argument 'ids': 'str' object cannot be converted to 'PyList'",
        ),
        (
            lambda: db.scan("c", None, "2"),
            "argument 'limit': 'str' object cannot be interpreted as an integer",
        ),
        (
            lambda: db.scan("c", after=1),
            "argument 'after': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: db.count(1),
            "argument 'collection': 'int' object cannot be converted to 'PyString'",
        ),
    ]:
        raises_exactly(TypeError, message, call)
    # Ids, metadata contents and filters are converted after the look-up.
    for call in [
        lambda: db.upsert("c", "bad", "t", [1], {"a": None}),
        lambda: db.get_many("c", ["bad"]),
        lambda: db.count("c", {"should": 1}),
        lambda: db.scan("c", {"should": 1}, after="bad"),
        lambda: db.delete_many("c", ["bad"], 7),
        lambda: db.batch_upsert("c", [{}]),
    ]:
        raises_exactly(KeyError, "collection 'c' not found", call)


def test_insert_argument_type_errors(col):
    for args, message in [
        (
            (1, "t", [1, 2, 3]),
            "argument 'collection': 'int' object cannot be converted to 'PyString'",
        ),
        (
            ("c", b"t", [1, 2, 3]),
            "argument 'text': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            ("c", "t", [1, 2, 3], None, 5),
            "argument 'id': 'int' object cannot be converted to 'PyString'",
        ),
    ]:
        raises_exactly(TypeError, message, col.insert, *args)


def test_conversions_run_before_the_collection_lookup(db):
    raises_exactly(
        TypeError,
        "argument 'embedding': Can't extract `str` to `Vec`",
        db.insert,
        "nope",
        "t",
        "abc",
    )
    # The metadata's contents and the id are converted after the look-up.
    raises_exactly(
        KeyError, "collection 'nope' not found", db.insert, "nope", "t", [1], {"a": None}
    )
    raises_exactly(
        KeyError, "collection 'nope' not found", db.insert, "nope", "t", [1], None, "bad"
    )


def test_memory_estimate_of_one_document(col):
    col.insert("c", "abc", [1, 2, 3], {"k": 1})
    info = col.collection_info("c")
    # Besides the index tables: text + 64 per metadata entry + 80, plus the two id-map entries.
    assert info.estimated_memory_bytes >= 3 + 64 + 80 + 24 + 16
    assert col.total_memory_bytes() == info.estimated_memory_bytes


def test_huge_text_and_unicode_round_trip(col):
    text = "Ωμέγα 🦅 " * 10000
    doc_id = col.insert("c", text, [1, 2, 3], {"ключ": "значение"})
    got = col.get("c", doc_id)
    assert got["text"] == text and got["metadata"] == {"ключ": "значение"}


def test_surrogates_are_refused_with_the_interpreters_error(col):
    with pytest.raises(UnicodeEncodeError):
        col.insert("c", "\ud800", [1, 2, 3])


@pytest.mark.parametrize("deleted", [1, 60, 300])
def test_documents_inserted_after_every_other_was_deleted_are_found_by_vector(col, deleted):
    # Insertion links a node only to live ones; with none reachable, it must still be found.
    rng = random.Random(deleted)
    old = [col.insert("c", "", [rng.uniform(-1, 1) for _ in range(3)]) for _ in range(deleted)]
    for doc_id in old:
        assert col.delete("c", doc_id)
    fresh = {}
    for _ in range(40):
        vector = [rng.uniform(-1, 1) for _ in range(3)]
        fresh[col.insert("c", "", vector)] = vector
    for vector in fresh.values():
        hits = col.search("c", query_embedding=vector, k=40)
        assert {h.id for h in hits} == set(fresh)
