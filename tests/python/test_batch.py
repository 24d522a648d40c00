import pytest
from conftest import raises_exactly

UUID = "67e55044-10b1-426f-9247-bb680e5fe0c8"
OTHER = "0b6a5d2e-7a1c-4f7e-9d1f-3c0f6f2b8a11"


def doc(text="t", embedding=(1, 2, 3), **extra):
    return {"text": text, "embedding": list(embedding), **extra}


def test_empty_batch(col):
    assert col.batch_insert("c", []) == []


def test_batch_returns_ids_in_order(col):
    ids = col.batch_insert("c", [doc("a", id=UUID.upper()), doc("b"), doc("c", metadata={"k": 1})])
    assert ids[0] == UUID and len(ids) == 3
    assert [col.get("c", i)["text"] for i in ids] == ["a", "b", "c"]
    assert col.get("c", ids[2])["metadata"] == {"k": 1}


@pytest.mark.parametrize(
    "bad, exc_type, message",
    [
        ({"embedding": [1, 2, 3]}, ValueError, "document missing 'text'"),
        ({"text": "t"}, ValueError, "document missing 'embedding'"),
        (
            {"text": 1, "embedding": [1, 2, 3]},
            TypeError,
            "'int' object cannot be converted to 'PyString'",
        ),
        ({"text": "t", "embedding": "abc"}, TypeError, "Can't extract `str` to `Vec`"),
        (doc(metadata=None), TypeError, "'NoneType' object cannot be converted to 'PyDict'"),
        (doc(metadata={"a": None}), ValueError, "metadata values must be bool, int, float, or str"),
        (doc(id=None), TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        (
            doc(id="nope"),
            ValueError,
            "invalid UUID: invalid character: expected an optional "
            "prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `n` at 1",
        ),
        ("not a dict", TypeError, "'str' object cannot be converted to 'PyDict'"),
        (doc(embedding=[1, 2]), ValueError, "embedding dimension mismatch: expected 3, got 2"),
    ],
)
@pytest.mark.parametrize("method", ["batch_insert", "batch_upsert"])
@pytest.mark.parametrize("position", [0, 1, 3])
def test_first_bad_document_ends_the_call_and_nothing_is_inserted(
    col, method, bad, exc_type, message, position
):
    col.insert("c", "live", [1, 2, 3], id=OTHER)
    # For batch_upsert the live id is no error, and it stays unreplaced too.
    first = doc("new", id=OTHER) if method == "batch_upsert" else doc("ok")
    documents = [first, doc("ok too"), doc("ok again")]
    documents.insert(position, bad)
    documents.append(doc("later", embedding=[1]))  # also bad, never reached
    error = raises_exactly(exc_type, message, getattr(col, method), "c", documents)
    assert error.document_index == position
    assert col.scan("c") == [{"id": OTHER, "text": "live", "metadata": {}}]


def test_ids_repeated_in_a_batch_or_live_are_refused(col):
    error = raises_exactly(
        ValueError,
        f"duplicate document id '{UUID.upper()}' in batch",
        col.batch_insert,
        "c",
        [doc(id=UUID), doc(id=OTHER), doc(id=UUID.upper())],
    )
    assert error.document_index == 2
    assert col.collection_info("c").document_count == 0
    col.insert("c", "live", [1, 2, 3], id=OTHER)
    error = raises_exactly(
        ValueError,
        f"document '{OTHER}' already exists",
        col.batch_insert,
        "c",
        [doc(id=UUID), doc(id=OTHER)],
    )
    assert error.document_index == 1
    assert col.collection_info("c").document_count == 1


def test_batch_upsert_replaces_live_ids_and_refuses_repeated_ones(col):
    raises_exactly(
        ValueError,
        f"duplicate document id '{UUID.upper()}' in batch",
        col.batch_upsert,
        "c",
        [doc(id=UUID), doc(id=UUID.upper())],
    )
    col.insert("c", "live", [1, 2, 3], id=OTHER)
    ids = col.batch_upsert("c", [doc("new", id=OTHER), doc("fresh")])
    assert ids[0] == OTHER and len(ids) == 2
    assert [d["text"] for d in col.get_many("c", ids)] == ["new", "fresh"]
    assert col.count("c") == 2


def test_documents_must_be_a_list(col):
    exc = raises_exactly(
        TypeError,
        "argument 'documents': 'tuple' object cannot be converted to 'PyList'",
        col.batch_insert,
        "c",
        (doc(),),
    )
    assert exc.__cause__ is not None


def test_other_keys_are_ignored(col):
    [doc_id] = col.batch_insert("c", [doc(extra=1, score=None)])
    assert col.get("c", doc_id)["metadata"] == {}


def test_a_list_shrunk_during_conversion_stops_the_walk(col):
    docs = []

    class Shrinking:
        def __iter__(self):
            docs.clear()
            return iter([1.0, 2.0, 3.0])

        def __len__(self):
            return 3

        def __getitem__(self, i):
            return [1.0, 2.0, 3.0][i]

    docs.extend([{"text": "first", "embedding": Shrinking()}, doc("second"), doc("third")])
    ids = col.batch_insert("c", docs)
    assert len(ids) == 1
    assert col.get("c", ids[0])["text"] == "first"
