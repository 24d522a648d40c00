"""Embeddings given as arrays. A 1-D, C-contiguous buffer of native float32 or float64 items is
copied directly; it must store exactly what the same numbers given as a list store, bit for bit.
Every other array goes through the sequence path and behaves as it always did."""

import array
import struct
import sys

import pytest
from conftest import raises_exactly
from kestrine import Kestrine

np = pytest.importorskip("numpy")

DIMENSION = 8
QUERY = [0.3, -1.7, 2.25, 1e-3, -0.6, 7.1, -3.3, 0.9]
METRICS = ["cosine", "euclidean", "dot_product"]

F32_MAX = float(np.finfo(np.float32).max)
F32_TINY = 2.0**-149  # the smallest float32 subnormal

# Float64 values chosen for how they narrow to float32: ties on both sides of even, values just
# off a tie, subnormal results, underflow to a signed zero, overflow to infinity, and values
# just below the overflow threshold.
NARROWING = [
    1 + 2.0**-24,
    1 + 3 * 2.0**-24,
    1 + 2.0**-24 + 2.0**-52,
    -(1 + 2.0**-24),
    0.1,
    -2.0 / 3,
    1.5 * F32_TINY,
    2.5 * F32_TINY,
    0.5 * F32_TINY,
    0.5000001 * F32_TINY,
    1e-40,
    -1e-46,
    1e-310,
    F32_MAX,
    F32_MAX * (1 + 2.0**-25),
    F32_MAX * (1 + 2.0**-24),
    -1e39,
]
SPECIAL = [0.0, -0.0, float("inf"), float("-inf"), float("nan"), -float("nan"), 1.0, -1.0]


def rows_of(values):
    """The values as rows of DIMENSION, the last one padded with ones."""
    values = list(values) + [1.0] * (-len(values) % DIMENSION)
    return np.array(values, dtype=np.float64).reshape(-1, DIMENSION)


def random_rows():
    return np.random.default_rng(7).standard_normal((12, DIMENSION)) * 3.0


def one_row_per_special():
    # Each special value in its own vector, so that a NaN or an infinity cannot hide the others.
    return np.array([[v] + QUERY[1:] for v in SPECIAL])


ROWS = {
    "random": random_rows,
    "narrowing": lambda: rows_of(NARROWING),
    "special": one_row_per_special,
}


def as_dtype(rows, dtype):
    with np.errstate(over="ignore"):
        return rows.astype(dtype)


def score_bits(results):
    return {r.id: struct.pack("<d", r.score) for r in results}


def stored(db, name, query):
    """What a collection holds, as far as it can be observed: its size and the exact scores of
    its documents against `query`. (The memory estimate is left out: it counts one neighbour
    list per layer of each node, and a node's level is drawn at random.)"""
    info = db.collection_info(name)
    state = (info.document_count,)
    if hasattr(db, "search"):
        state += (score_bits(db.search(name, query_embedding=query, k=100)),)
    return state


def require_search():
    if not hasattr(Kestrine, "search"):
        pytest.skip("search is not available in this build")


def outcome(fn, *args, **kwargs):
    """The call's result, or the exact type and message of what it raised."""
    try:
        return "returned", fn(*args, **kwargs)
    except Exception as exc:
        return type(exc), str(exc)


def insert_each(db, metric, rows, embed, batch=False):
    """One collection per row (one document each, so that the graph cannot make two otherwise
    identical collections answer differently); returns their names and what each insert gave."""
    names, outcomes = [], []
    for i, row in enumerate(rows):
        name = f"{metric}-{len(db.list_collections())}"
        db.create_collection(name, DIMENSION, distance_metric=metric, store_raw_vectors=True)
        doc_id = f"00000000-0000-4000-8000-{i:012d}"
        if batch:
            document = {"text": "t", "embedding": embed(row), "id": doc_id}
            outcomes.append(outcome(db.batch_insert, name, [document]))
        else:
            outcomes.append(outcome(db.insert, name, "t", embed(row), id=doc_id))
        names.append(name)
    return names, outcomes


@pytest.mark.parametrize("batch", [False, True], ids=["insert", "batch_insert"])
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("rows", list(ROWS.values()), ids=list(ROWS))
def test_float_arrays_store_exactly_what_lists_store(rows, dtype, metric, batch):
    require_search()
    data = as_dtype(rows(), dtype)
    db = Kestrine()
    from_lists, list_outcomes = insert_each(db, metric, data, lambda row: row.tolist(), batch)
    from_arrays, array_outcomes = insert_each(db, metric, data, lambda row: row, batch)
    assert array_outcomes == list_outcomes
    for a, b in zip(from_lists, from_arrays, strict=True):
        assert stored(db, a, QUERY) == stored(db, b, QUERY)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("rows", list(ROWS.values()), ids=list(ROWS))
def test_query_arrays_score_exactly_like_query_lists(rows, dtype, metric):
    require_search()
    db = Kestrine()
    db.create_collection("c", DIMENSION, distance_metric=metric, store_raw_vectors=True)
    db.batch_insert("c", [{"text": "t", "embedding": row.tolist()} for row in random_rows()])
    for query in as_dtype(rows(), dtype):
        expected = score_bits(db.search("c", query_embedding=query.tolist(), k=100))
        assert score_bits(db.search("c", query_embedding=query, k=100)) == expected


@pytest.mark.parametrize(
    "make",
    [
        lambda n: np.zeros(n, np.float32),
        lambda n: np.zeros(n, np.float64),
        lambda n: array.array("f", [0.0] * n),
        lambda n: array.array("d", [0.0] * n),
        lambda n: memoryview(np.zeros(n, np.float32)),
        lambda n: np.zeros(n + 1, np.float32)[1:],  # offset by one item
        lambda n: np.frombuffer(bytes(4 * n + 1), np.float32, n, 1),  # unaligned
    ],
    ids=["f32", "f64", "array-f", "array-d", "memoryview", "offset", "unaligned"],
)
@pytest.mark.parametrize("n", [0, 1, 2, 4, 1000])
def test_buffer_length_is_the_item_count(col, make, n):
    embedding = make(n)
    message = f"embedding dimension mismatch: expected 3, got {n}"
    raises_exactly(ValueError, message, col.insert, "c", "t", embedding)
    raises_exactly(
        ValueError, message, col.batch_insert, "c", [{"text": "t", "embedding": embedding}]
    )
    col.insert("c", "t", make(3))
    assert col.collection_info("c").document_count == 1


class SequenceOnly:
    """The same elements, without the buffer: what the sequence path makes of an array."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


BASE = np.arange(1.0, 13.0) / 7


@pytest.mark.parametrize(
    "embedding",
    [
        BASE[::4],
        BASE.astype(np.float32)[::-4],
        np.asfortranarray(BASE.reshape(3, 4))[:, 0],
        BASE.reshape(4, 3)[1],
        BASE.astype(np.int64)[:3],
        BASE.astype(np.float16)[:3],
        BASE.astype(np.longdouble)[:3],
        BASE.astype(">f4")[:3],
        BASE.astype(">f8")[:3],
        BASE[:3].astype(np.complex64),
        BASE.reshape(4, 3),
        BASE.astype(np.float32).reshape(1, 3, 4)[0],
        np.asfortranarray(BASE.reshape(3, 4)),
        BASE[:3].reshape(3, 1),
        BASE[:3].reshape(1, 3),
        np.zeros((0, 3)),
        bytes([1, 2, 3]),
        bytearray([1, 2, 3]),
        memoryview(bytes([1, 2, 3])),
        memoryview(BASE[:3].astype(np.float32).tobytes()),
        memoryview(BASE.astype(np.float32)).cast("B").cast("f", (3, 4)),
    ],
    ids=lambda e: f"{type(e).__name__}-{getattr(e, 'dtype', '')}-{getattr(e, 'shape', '')}",
)
@pytest.mark.filterwarnings("ignore:Casting complex values")
def test_other_arrays_take_the_sequence_path(embedding):
    """Strided, multi-dimensional, non-float and foreign-byte-order buffers give exactly what
    their elements give, and 1-D arrays exactly what the list of their values gives."""
    db = Kestrine()
    doc_id = "00000000-0000-4000-8000-000000000001"
    for name in ("direct", "elements", "values"):
        db.create_collection(name, 3, store_raw_vectors=True)
    got = outcome(db.insert, "direct", "t", embedding, id=doc_id)
    assert got == outcome(db.insert, "elements", "t", SequenceOnly(embedding), id=doc_id)
    assert stored(db, "direct", QUERY[:3]) == stored(db, "elements", QUERY[:3])
    if isinstance(embedding, np.ndarray) and embedding.ndim == 1 and embedding.dtype.kind != "c":
        assert outcome(db.insert, "values", "t", embedding.tolist(), id=doc_id) == got
        assert stored(db, "direct", QUERY[:3]) == stored(db, "values", QUERY[:3])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_zero_dimensional_arrays_are_refused_as_before(col, dtype):
    scalar_array = np.array(1.5, dtype)
    with pytest.raises(TypeError) as iteration:
        iter(scalar_array)
    raises_exactly(
        TypeError,
        f"argument 'embedding': {iteration.value}",
        col.insert,
        "c",
        "t",
        scalar_array,
    )
    raises_exactly(
        TypeError,
        f"argument 'embedding': '{type(scalar_array[()]).__name__}' object cannot be converted "
        "to 'Sequence'",
        col.insert,
        "c",
        "t",
        scalar_array[()],
    )


@pytest.mark.parametrize(
    "view",
    [
        memoryview(np.zeros(3, np.float32)),  # read directly
        memoryview(np.zeros(3, np.float16)),  # refused: another item type
        memoryview(np.zeros((3, 1), np.float32)),  # refused: two dimensions
        memoryview(np.zeros(6, np.float64))[::2],  # refused: strided
        memoryview(bytearray(3)),
    ],
    ids=["f32", "f16", "2d", "strided", "bytes"],
)
def test_the_buffer_is_released_on_every_path(col, view):
    outcome(col.insert, "c", "t", view)
    outcome(col.batch_insert, "c", [{"text": "t", "embedding": view}])
    view.release()  # raises BufferError while an export is still held


def test_a_resizable_exporter_can_resize_after_insert(col):
    values = array.array("f", [1.0, 2.0, 3.0])
    col.insert("c", "t", values)
    values.append(4.0)  # BufferError if the export were still held
    raises_exactly(
        ValueError, "embedding dimension mismatch: expected 3, got 4", col.insert, "c", "t", values
    )
    values.append(5.0)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ is new in Python 3.12")
class TestPythonLevelExporters:
    def exporter(self, payload, sequence=True, fail=False):
        events = []

        class Exporter:
            def __buffer__(self, flags):
                events.append("get")
                if fail:
                    raise RuntimeError("no buffer today")
                return memoryview(payload)

            def __release_buffer__(self, view):
                events.append("release")
                view.release()

            if sequence:

                def __len__(self):
                    return 3

                def __getitem__(self, index):
                    return [7.0, 8.0, 9.0][index]

        return Exporter(), events

    def test_float_buffer_is_read_once_and_released(self, col):
        exporter, events = self.exporter(np.ones(3, np.float32))
        col.insert("c", "t", exporter)
        assert events == ["get", "release"]

    def test_other_buffers_are_released_before_the_sequence_path(self, col):
        exporter, events = self.exporter(np.ones(4, np.int32))
        col.insert("c", "t", exporter)  # three items through __getitem__, not four
        assert events == ["get", "release"]

    def test_a_failing_export_falls_back_to_the_sequence_path(self, col):
        exporter, events = self.exporter(np.ones(4, np.float32), fail=True)
        col.insert("c", "t", exporter)
        assert events == ["get"]

    def test_a_buffer_without_sequence_protocol_is_still_no_sequence(self, col):
        exporter, events = self.exporter(np.ones(3, np.float32), sequence=False)
        raises_exactly(
            TypeError,
            "argument 'embedding': 'Exporter' object cannot be converted to 'Sequence'",
            col.insert,
            "c",
            "t",
            exporter,
        )
        assert events == []
