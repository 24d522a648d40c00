import pytest
from conftest import raises_exactly
from kestrine import Kestrine


def test_create_list_info_delete(db):
    assert db.list_collections() == []
    assert repr(db) == "Kestrine(collections=0)"
    assert db.total_memory_bytes() == 0
    db.create_collection("a", 4)
    db.create_collection(
        "b",
        8,
        m=4,
        ef_construction=10,
        ef_search=5,
        distance_metric="dot_product",
        store_raw_vectors=True,
    )
    assert sorted(db.list_collections()) == ["a", "b"]
    assert repr(db) == "Kestrine(collections=2)"
    info = db.collection_info("b")
    assert (info.name, info.dimension, info.document_count, info.estimated_memory_bytes) == (
        "b",
        8,
        0,
        0,
    )
    assert repr(info) == "CollectionInfo(name='b', dimension=8, documents=0, memory=0)"
    assert db.delete_collection("a") is True
    assert db.delete_collection("a") is False
    assert db.list_collections() == ["b"]


def test_creating_a_taken_name_fails_and_keeps_one(db):
    db.create_collection("a", 4)
    raises_exactly(ValueError, "Collection 'a' already exists", db.create_collection, "a", 4)
    assert db.list_collections() == ["a"]


@pytest.mark.parametrize("metric", ["Cosine", "", "l2", "cosine "])
def test_unknown_metric(db, metric):
    raises_exactly(
        ValueError,
        f"unknown distance metric: '{metric}' (use 'cosine', 'euclidean', or 'dot_product')",
        db.create_collection,
        "a",
        4,
        distance_metric=metric,
    )
    assert db.list_collections() == []


@pytest.mark.parametrize("name", ["", "a/b", "/", "x\0y"])
def test_invalid_collection_names(db, name):
    raises_exactly(ValueError, f"invalid collection name: '{name}'", db.create_collection, name, 2)
    assert db.list_collections() == []


def test_dimension_zero_and_m_zero_are_accepted(db):
    db.create_collection("z", 0, m=0)
    assert db.collection_info("z").dimension == 0


@pytest.mark.parametrize(
    "kwargs, argument, message",
    [
        ({"name": 1}, "name", "'int' object cannot be converted to 'PyString'"),
        ({"dimension": "4"}, "dimension", "'str' object cannot be interpreted as an integer"),
        ({"dimension": 4.0}, "dimension", "'float' object cannot be interpreted as an integer"),
        ({"m": []}, "m", "'list' object cannot be interpreted as an integer"),
        (
            {"distance_metric": 2},
            "distance_metric",
            "'int' object cannot be converted to 'PyString'",
        ),
        (
            {"store_raw_vectors": 1},
            "store_raw_vectors",
            "'int' object cannot be converted to 'PyBool'",
        ),
    ],
)
def test_conversion_errors_are_prefixed_with_the_argument(db, kwargs, argument, message):
    args = {"name": "a", "dimension": 4, **kwargs}
    exc = raises_exactly(
        TypeError, f"argument '{argument}': {message}", db.create_collection, **args
    )
    assert type(exc.__cause__) is TypeError
    assert exc.__cause__.args[0] == message
    assert db.list_collections() == []


@pytest.mark.parametrize("value", [-1, 2**64, 2**70])
@pytest.mark.parametrize("argument", ["dimension", "m", "ef_construction", "ef_search"])
def test_negative_or_huge_ints_overflow(db, argument, value):
    args = {"name": "a", "dimension": 4, argument: value}
    with pytest.raises(OverflowError):
        db.create_collection(**args)
    assert db.list_collections() == []


def test_none_means_default(db):
    db.create_collection("a", 4, None, None, None, None, None)
    assert db.collection_info("a").dimension == 4


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.create_collection("a"),
        lambda db: db.create_collection("a", 4, bogus=1),
        lambda db: db.create_collection("a", 4, 1, 2, 3, "cosine", False, 9),
        lambda db: db.list_collections(1),
        lambda db: db.get("a"),
        lambda db: Kestrine(1, 2, 3),
    ],
)
def test_binding_errors_are_type_errors(db, call):
    with pytest.raises(TypeError):
        call(db)


@pytest.mark.parametrize(
    "method, args",
    [
        ("collection_info", ("nope",)),
        ("insert", ("nope", "t", [1.0])),
        ("batch_insert", ("nope", [])),
        ("get", ("nope", "67e55044-10b1-426f-9247-bb680e5fe0c8")),
        ("delete", ("nope", "67e55044-10b1-426f-9247-bb680e5fe0c8")),
    ],
)
def test_unknown_collection_is_a_key_error(db, method, args):
    raises_exactly(KeyError, "collection 'nope' not found", getattr(db, method), *args)


def test_the_constructor_rejects_non_string_arguments():
    exc = raises_exactly(
        TypeError,
        "argument 'data_dir': 'int' object cannot be converted to 'PyString'",
        Kestrine,
        5,
    )
    assert exc.__cause__ is not None
