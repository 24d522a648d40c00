import math
import random

import pytest
from conftest import raises_exactly
from kestrine import Kestrine

RRF_1 = 1.0 / 61.0


def f32(x):
    import struct

    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.fixture
def animals():
    db = Kestrine()
    db.create_collection("a", 3, distance_metric="euclidean", store_raw_vectors=True)
    ids = db.batch_insert(
        "a",
        [
            {"text": "cat whiskers purr", "embedding": [0, 0, 0], "metadata": {"kind": "cat"}},
            {"text": "dog bark fetch", "embedding": [1, 0, 0], "metadata": {"kind": "dog"}},
            {"text": "bird wings song", "embedding": [5, 5, 5], "metadata": {"kind": "bird"}},
        ],
    )
    return db, ids


def texts(results):
    return [r.text for r in results]


def test_vector_keyword_and_hybrid_modes(animals):
    db, ids = animals
    vec = db.search("a", [0.1, 0, 0])
    assert texts(vec)[:2] == ["cat whiskers purr", "dog bark fetch"]
    assert vec[0].score == pytest.approx(1 - 0.01, rel=1e-5)  # 1 - squared L2 distance
    kw = db.search("a", query_text="bark")
    assert texts(kw) == ["dog bark fetch"] and kw[0].score > 0
    hybrid = db.search("a", [0, 0, 0], "cat")
    assert hybrid[0].text == "cat whiskers purr"
    assert hybrid[0].score == pytest.approx(2 * RRF_1, rel=1e-6)  # first on both sides
    assert hybrid[1].score == pytest.approx(1 / 62, rel=1e-6)  # second on the vector side only


def test_rrf_scores_and_a_threshold_above_them(animals):
    db, _ = animals
    hits = db.search("a", [0, 0, 0], "bark", k=3)
    by_text = {r.text: r.score for r in hits}
    assert by_text["cat whiskers purr"] == pytest.approx(RRF_1, rel=1e-6)
    assert by_text["dog bark fetch"] == pytest.approx(1 / 62 + RRF_1, rel=1e-6)
    assert db.search("a", [0, 0, 0], "bark", min_similarity=0.05) == []


def test_linear_fusion_of_one_hit_per_side_on_the_same_document():
    db = Kestrine()
    db.create_collection("c", 2)
    db.insert("c", "alpha beta", [1, 0])
    [hit] = db.search("c", [1, 0], "alpha", alpha=0.7, fusion_method="linear")
    assert hit.score == pytest.approx(1.0, abs=1e-6)


def test_linear_fusion_with_alpha_one_puts_keyword_only_hits_last_at_zero(animals):
    db, _ = animals
    hits = db.search("a", [0, 0, 0], "song", k=3, alpha=1.0, fusion_method="linear")
    assert texts(hits)[-1] == "bird wings song" or "bird wings song" in texts(hits)
    bird = next(r for r in hits if r.text == "bird wings song")
    assert bird.score == 0.0 and hits[-1].score == 0.0
    assert all(r.score > 0 for r in hits if r.text != "bird wings song")


def test_ties_at_the_cut_keep_the_later_documents():
    db = Kestrine()
    db.create_collection("t", 2, distance_metric="euclidean")
    x, y, z = db.batch_insert(
        "t",
        [
            {"text": "plain", "embedding": [0, 0]},
            {"text": "plain", "embedding": [0, 0]},
            {"text": "unique zebra", "embedding": [100, 100]},
        ],
    )
    # Vector side: x and y, equally near (normalised to 1); keyword side: z alone (also 1).
    # With alpha 0.5 all three fuse to 0.5, and only two places remain.
    hits = db.search("t", [0, 0], "zebra", k=2, alpha=0.5, fusion_method="linear")
    assert sorted(r.id for r in hits) == sorted([y, z])
    assert [r.score for r in hits] == [0.5, 0.5]


@pytest.mark.parametrize("method", ["RRF", "", "Linear", "anything"])
def test_only_the_exact_word_linear_selects_linear_fusion(animals, method):
    db, _ = animals
    assert [(r.id, r.score) for r in db.search("a", [0, 0, 0], "bark", fusion_method=method)] == [
        (r.id, r.score) for r in db.search("a", [0, 0, 0], "bark")
    ]


@pytest.mark.parametrize(
    "query",
    [
        {"query_embedding": [0, 0, 0]},
        {"query_text": "cat"},
        {"query_embedding": [0, 0, 0], "query_text": "cat"},
    ],
)
def test_k_zero_gives_nothing(animals, query):
    db, _ = animals
    assert db.search("a", k=0, **query) == []


@pytest.mark.parametrize("k", [2**63, 2**64 - 1])
def test_huge_k_returns_everything_without_exhausting_memory(animals, k):
    db, _ = animals
    assert len(db.search("a", [0, 0, 0], k=k)) == 3
    assert len(db.search("a", [0, 0, 0], "cat", k=k)) == 3


def test_min_similarity_equal_to_a_similarity_keeps_the_hit(animals):
    db, _ = animals
    hits = db.search("a", [0.3, 0.2, 0.1], k=3)
    threshold = hits[1].score
    kept = db.search("a", [0.3, 0.2, 0.1], k=3, min_similarity=threshold)
    assert texts(kept) == texts(hits)[:2]


def test_deleted_documents_never_appear(animals):
    db, ids = animals
    db.delete("a", ids[0])
    for query in (
        {"query_embedding": [0, 0, 0]},
        {"query_text": "cat whiskers"},
        {"query_embedding": [0, 0, 0], "query_text": "cat"},
        {"query_embedding": [0, 0, 0], "filter": {}},
    ):
        assert ids[0] not in [r.id for r in db.search("a", k=10, **query)], query


def test_keyword_only_search_honours_filter_and_threshold():
    db = Kestrine()
    db.create_collection("k", 1)
    docs = [
        {"text": f"apple {'pie ' * i}", "embedding": [0], "metadata": {"n": i}} for i in range(20)
    ]
    ids = db.batch_insert("k", docs)
    hits = db.search(
        "k", query_text="apple", k=3, filter={"must": [{"field": "n", "op": "gte", "value": 15}]}
    )
    assert len(hits) == 3 and all(h.metadata["n"] >= 15 for h in hits)
    everything = db.search("k", query_text="apple", k=20)
    assert len(everything) == 20
    cut = everything[5].score
    assert all(h.score >= cut for h in db.search("k", query_text="apple", k=20, min_similarity=cut))
    assert len(db.search("k", query_text="apple", k=20, min_similarity=cut)) >= 6
    assert ids


def test_a_selective_filter_finds_every_match():
    rng = random.Random(5)
    db = Kestrine()
    db.create_collection("w", 8, ef_search=50)
    docs = [
        {
            "text": "x",
            "embedding": [rng.gauss(0, 1) for _ in range(8)],
            "metadata": {"rare": i in (17, 512, 901)},
        }
        for i in range(1000)
    ]
    ids = db.batch_insert("w", docs)
    hits = db.search(
        "w",
        docs[0]["embedding"],
        k=10,
        filter={"must": [{"field": "rare", "op": "eq", "value": True}]},
    )
    assert sorted(h.id for h in hits) == sorted(ids[i] for i in (17, 512, 901))


def cosine_distance(a: list[float], b: list[float]) -> float:
    dot = sum(x * y for x, y in zip(a, b, strict=True))
    return 1.0 - dot / math.sqrt(sum(x * x for x in a) * sum(y * y for y in b))


# Shares of 2,000 documents below the point where a filtered search stops walking the graph
# and scans the matching documents instead; some documents are deleted, so that the scan and
# its estimate see holes in the ids.
@pytest.mark.parametrize("kept_every", [400, 100, 50])
def test_a_filtered_search_returns_the_exact_top_k_of_the_matching_documents(kept_every):
    rng = random.Random(kept_every)
    db = Kestrine()
    db.create_collection("w", 8, ef_search=10, store_raw_vectors=True)
    vectors = [[rng.gauss(0, 1) for _ in range(8)] for _ in range(2000)]
    docs = [
        {"text": "", "embedding": v, "metadata": {"kept": i % kept_every == 3}}
        for i, v in enumerate(vectors)
    ]
    ids = db.batch_insert("w", docs)
    deleted = set(range(3, 2000, 7 * kept_every))
    for i in deleted:
        db.delete("w", ids[i])
    query = [rng.gauss(0, 1) for _ in range(8)]
    matching = [i for i in range(2000) if i % kept_every == 3 and i not in deleted]
    expected = sorted(matching, key=lambda i: cosine_distance(query, vectors[i]))[:10]
    hits = db.search(
        "w", query, k=10, filter={"must": [{"field": "kept", "op": "eq", "value": True}]}
    )
    assert [h.id for h in hits] == [ids[i] for i in expected]


# Per-call beam widths: the collection's own value gives the default results bit for bit, a
# width below k acts as k, and a width of at least the collection's size walks every node it can
# reach, so that it finds the exact top k (checked against brute force where the scores are
# those of the raw vectors and every node is reachable). The same through search_many, with and
# without a filter.
@pytest.mark.parametrize("metric", ["cosine", "euclidean", "dot_product"])
@pytest.mark.parametrize("raw", [False, True])
def test_ef_search_per_call(metric, raw):
    rng = random.Random(11)
    db = Kestrine()
    db.create_collection("e", 8, ef_search=4, distance_metric=metric, store_raw_vectors=raw)
    vectors = [[rng.gauss(0, 1) for _ in range(8)] for _ in range(300)]
    docs = [{"text": "", "embedding": v, "metadata": {"odd": i % 2}} for i, v in enumerate(vectors)]
    ids = db.batch_insert("e", docs)
    queries = [[rng.gauss(0, 1) for _ in range(8)] for _ in range(20)]
    flt = {"must": [{"field": "odd", "op": "eq", "value": 1}]}

    def hits(results):
        return [(r.id, r.score) for r in results]

    def distance(query, v):
        if metric == "cosine":
            return cosine_distance(query, v)
        return sum((x - y) ** 2 for x, y in zip(query, v, strict=True))

    for query in queries:
        default = hits(db.search("e", query, k=10))
        assert hits(db.search("e", query, k=10, ef_search=None)) == default
        assert hits(db.search("e", query, k=10, ef_search=4)) == default
        assert hits(db.search("e", query, k=10, ef_search=1)) == default  # below k: k
        wide = hits(db.search("e", query, k=10, ef_search=300))
        assert hits(db.search("e", query, k=10, ef_search=10**6)) == wide
        if raw and metric != "dot_product":
            exact = sorted(range(300), key=lambda i: distance(query, vectors[i]))[:10]
            assert [doc_id for doc_id, _ in wide] == [ids[i] for i in exact]
    for flt_or_none in (None, flt):
        for ef_search in (None, 7, 300):
            one_by_one = [
                hits(db.search("e", q, k=10, filter=flt_or_none, ef_search=ef_search))
                for q in queries
            ]
            many = db.search_many("e", queries, k=10, filter=flt_or_none, ef_search=ef_search)
            assert [hits(r) for r in many] == one_by_one


def test_hybrid_filter_screens_the_keyword_hits():
    db = Kestrine()
    db.create_collection("h", 2, distance_metric="euclidean")
    docs = [
        {"text": "common word", "embedding": [float(i), 0.0], "metadata": {"keep": i < 2}}
        for i in range(10)
    ]
    db.batch_insert("h", docs)
    flt = {"must": [{"field": "keep", "op": "eq", "value": True}]}
    hits = db.search("h", [0, 0], "common", k=10, filter=flt)
    assert sorted(h.metadata["keep"] for h in hits) == [True, True]
    assert all(h.score == pytest.approx(2 * RRF_1, rel=1e-6) or h.score > RRF_1 for h in hits)


OPERATORS = [
    ({"field": "year", "op": "gte", "value": 2020.0}, ["y2020", "y2021"]),
    ({"field": "year", "op": "gt", "value": 2020}, ["y2021"]),
    ({"field": "year", "op": "lt", "value": 2020}, ["y2019"]),
    ({"field": "year", "op": "lte", "value": 2019.5}, ["y2019"]),
    ({"field": "year", "op": "eq", "value": 2021}, ["y2021"]),
    ({"field": "year", "op": "ne", "value": 2021}, ["y2019", "y2020"]),
    ({"field": "year", "op": "in", "values": [2019, 2021, "2020"]}, ["y2019", "y2021"]),
    ({"field": "year", "op": "in", "values": []}, []),
    ({"field": "year", "op": "ne", "value": None}, ["y2019", "y2020", "y2021"]),
    ({"field": "year", "op": "eq", "value": None}, []),
    ({"field": "price", "op": "eq", "value": 9.99}, ["y2019"]),
    ({"field": "price", "op": "eq", "value": 9.990000001}, []),
    ({"field": "flag", "op": "eq", "value": 1}, []),
    ({"field": "flag", "op": "eq", "value": True}, ["y2020"]),
    ({"field": "tag", "op": "gt", "value": 0}, []),
    ({"field": "tag", "op": "eq", "value": "a"}, ["y2021"]),
    ({"field": "color", "op": "ne", "value": "red"}, []),
    ({"field": "year", "op": "eq"}, []),
    ({"field": "year", "op": "gt", "value": float("nan")}, []),
    ({"field": "flag", "op": "exists", "value": True}, ["y2020"]),
    ({"field": "price", "op": "exists", "value": False}, ["y2020", "y2021"]),
    ({"must": []}, ["y2019", "y2020", "y2021"]),
    (
        {
            "should": [
                {"field": "year", "op": "eq", "value": 2019},
                {"must": [{"field": "tag", "op": "exists", "value": True}]},
            ]
        },
        ["y2019", "y2021"],
    ),
    ({"must_not": [{"field": "year", "op": "in", "values": [2019, 2020]}]}, ["y2021"]),
    ({"must_not": [{"field": "tag", "op": "in", "values": ["a"]}]}, ["y2019", "y2020"]),
]


@pytest.mark.parametrize("condition, expected", OPERATORS)
@pytest.mark.parametrize("mode", ["vector", "keyword", "hybrid"])
def test_filter_operators_and_type_pairings(condition, expected, mode):
    db = Kestrine()
    db.create_collection("f", 2)
    db.batch_insert(
        "f",
        [
            {"text": "y2019 doc", "embedding": [1, 0], "metadata": {"year": 2019, "price": 9.99}},
            {"text": "y2020 doc", "embedding": [1, 1], "metadata": {"year": 2020, "flag": True}},
            {"text": "y2021 doc", "embedding": [0, 1], "metadata": {"year": 2021, "tag": "a"}},
        ],
    )
    query = {
        "vector": {"query_embedding": [1, 1]},
        "keyword": {"query_text": "doc"},
        "hybrid": {"query_embedding": [1, 1], "query_text": "doc"},
    }[mode]
    hits = db.search("f", k=10, filter={"must": [condition]}, **query)
    assert sorted(h.text.split()[0] for h in hits) == expected
    excluded = db.search("f", k=10, filter={"must_not": [condition]}, **query)
    assert sorted(h.text.split()[0] for h in excluded) == sorted(
        {"y2019", "y2020", "y2021"} - set(expected)
    )
    alone = db.search("f", k=10, filter={"should": [condition]}, **query)
    assert sorted(h.text.split()[0] for h in alone) == expected
    assert db.count("f", {"must": [condition]}) == len(expected)


def test_argument_rules(animals):
    db, _ = animals
    raises_exactly(KeyError, "collection 'nope' not found", db.search, "nope")
    for bad_filter in (None, {"must": [{"field": "x", "op": "bogus", "value": 1}]}):
        raises_exactly(
            ValueError,
            "at least one of query_embedding or query_text is required",
            db.search,
            "a",
            filter=bad_filter,
        )
    raises_exactly(
        ValueError, "embedding dimension mismatch: expected 3, got 2", db.search, "a", [1, 2]
    )
    for name in ("k", "alpha", "fusion_method"):
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            db.search("a", [0, 0, 0], **{name: None})
    raises_exactly(
        TypeError,
        "argument 'query_embedding': Can't extract `str` to `Vec`",
        db.search,
        "a",
        "oops",
    )
    with pytest.raises(OverflowError):
        db.search("a", [0, 0, 0], k=-1)
    for ef_search in (0, -1, -(2**70)):
        message = "ef_search must be a positive integer"
        raises_exactly(ValueError, message, db.search, "a", [0, 0, 0], ef_search=ef_search)
        raises_exactly(ValueError, message, db.search_many, "a", [[0, 0, 0]], ef_search=ef_search)
    with pytest.raises(TypeError, match="^argument 'ef_search': "):
        db.search("a", [0, 0, 0], ef_search=1.5)
    raises_exactly(
        TypeError,
        "search() takes at most 8 positional arguments (9 given)",
        db.search,
        *("a", [0, 0, 0], None, 10, None, 0.7, "rrf", None, 50),
    )
    assert db.search("a", [0, 0, 0], ef_search=2**70)
    # None means absent for the optional ones.
    assert db.search("a", None, "cat", 10, None, 0.7, "rrf", None)


@pytest.mark.parametrize(
    "flt, exc_type, message",
    [
        ([], TypeError, "'list' object cannot be converted to 'PyDict'"),
        ({"must": None}, TypeError, "'NoneType' object cannot be converted to 'PyList'"),
        ({"must": [1]}, TypeError, "'int' object cannot be converted to 'PyDict'"),
        ({"must": [{"op": "eq"}]}, ValueError, "filter condition missing 'field'"),
        ({"must": [{"field": "x"}]}, ValueError, "filter condition missing 'op'"),
        (
            {"must": [{"field": 1, "op": "eq"}]},
            TypeError,
            "'int' object cannot be converted to 'PyString'",
        ),
        ({"must": [{"field": "x", "op": "EQ"}]}, ValueError, "unknown filter operator: 'EQ'"),
        ({"must": [{"field": "x", "op": "ge"}]}, ValueError, "unknown filter operator: 'ge'"),
        (
            {"must_not": [{"field": "x", "op": "in", "values": None}]},
            TypeError,
            "'NoneType' object cannot be converted to 'PyList'",
        ),
        (
            {"must": [{"field": "x", "op": "eq", "value": [1]}]},
            ValueError,
            "filter values must be None, bool, int, float, or str",
        ),
        ({"should": 5}, ValueError, "filter 'should' must be a list of conditions"),
        ({"should": None}, ValueError, "filter 'should' must be a list of conditions"),
        (
            {"must": [{"must_not": [{"should": {}}]}]},
            ValueError,
            "filter 'should' must be a list of conditions",
        ),
        ({"should": [{"must": [{"op": "eq"}]}]}, ValueError, "filter condition missing 'field'"),
        ({"must": [{"must_not": 1}]}, TypeError, "'int' object cannot be converted to 'PyList'"),
        *(
            (
                {"must": [{"field": "größe", "op": "exists", **value}]},
                ValueError,
                "filter operator 'exists' on field 'größe' needs a value of True or False",
            )
            for value in ({}, {"value": None}, {"value": 1}, {"value": "true"}, {"value": [True]})
        ),
    ],
)
def test_filter_errors_carry_no_argument_prefix(animals, flt, exc_type, message):
    db, _ = animals
    raises_exactly(exc_type, message, db.search, "a", [0, 0, 0], filter=flt)


def test_filter_overflow_and_ignored_keys(animals):
    db, _ = animals
    with pytest.raises(OverflowError):
        db.search("a", [0, 0, 0], filter={"must": [{"field": "x", "op": "eq", "value": 2**63}]})
    assert len(db.search("a", [0, 0, 0], filter={"any": 5, "field": 1})) == 3
    assert len(db.search("a", [0, 0, 0], filter={})) == 3
    assert len(db.search("a", [0, 0, 0], filter={"should": []})) == 3


def nested(depth):
    """A filter whose innermost element is a condition `depth` filters below the top."""
    flt = {"must": [{"field": "x", "op": "exists", "value": False}]}
    for _ in range(depth):
        flt = {"must": [flt]}
    return flt


def test_nesting_is_bounded(animals):
    db, _ = animals
    assert len(db.search("a", [0, 0, 0], filter=nested(32))) == 3
    message = "filter nested deeper than 32 levels"
    raises_exactly(ValueError, message, db.search, "a", [0, 0, 0], filter=nested(33))
    looped = {"should": []}
    looped["should"].append(looped)
    raises_exactly(ValueError, message, db.count, "a", looped)


def test_search_result_attributes_and_repr():
    db = Kestrine()
    db.create_collection("r", 2)
    text = "x" * 51
    doc_id = db.insert("r", text, [1.0, 0.0], {"a": 1})
    [hit] = db.search("r", [1.0, 0.0])
    assert hit.id == doc_id and hit.text == text and hit.metadata == {"a": 1}
    assert repr(hit) == f"SearchResult(id='{doc_id}', text='{'x' * 50}...', score=1.0000)"
    first = hit.metadata
    first["a"] = 2
    assert hit.metadata == {"a": 1} and hit.metadata is not first
    with pytest.raises(AttributeError):
        hit.score = 1.0


def test_repr_preview_stops_at_a_character_boundary_and_shows_four_decimals():
    db = Kestrine()
    db.create_collection("r", 2)
    db.insert("r", "a" * 49 + "é" + "tail", [1.0, 0.0])  # byte 50 falls inside "é"
    db.insert("r", "short", [1.0, 0.5])
    hits = db.search("r", [1.0, 0.0], k=2)
    assert "text='" + "a" * 49 + "...'" in repr(hits[0]) or "é..." in repr(hits[0])
    assert repr(hits[1]).endswith(f"score={hits[1].score:.4f})")
    assert 0.5 < hits[1].score < 1.0


def test_empty_collection_and_text_without_terms(animals):
    db, _ = animals
    db.create_collection("empty", 3)
    assert db.search("empty", [1, 2, 3]) == []
    assert db.search("empty", query_text="anything") == []
    assert db.search("a", query_text="the of and a") == []
