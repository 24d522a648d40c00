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
@pytest.mark.parametrize("method", ["get", "delete", "insert"])
def test_invalid_uuid_messages(col, method, text, message):
    if method == "insert":
        call = lambda: col.insert("c", "t", [1, 2, 3], id=text)  # noqa: E731
    else:
        call = lambda: getattr(col, method)("c", text)  # noqa: E731
    raises_exactly(ValueError, "invalid UUID: " + message, call)
    assert col.collection_info("c").document_count == 0


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
    raises_exactly(
        ValueError,
        f"embedding dimension mismatch: expected 3, got {len(embedding)}",
        col.insert,
        "c",
        "t",
        embedding,
    )
    assert col.collection_info("c").document_count == 0


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


@pytest.mark.parametrize("deleted", [1, 60])
def test_documents_inserted_after_every_other_was_deleted_are_found_by_vector(col, deleted):
    # Insertion links a node only to live ones; with none left, it must still be reachable.
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
