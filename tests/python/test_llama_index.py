"""The LlamaIndex vector store: the translation of LlamaIndex's filters, the store's own methods,
and a VectorStoreIndex on it with LlamaIndex's mock embedding (ingestion, filtered and hybrid
retrieval, deletion by reference document, reopening)."""

import pathlib
import subprocess
import sys
import uuid

import pytest

pytest.importorskip("llama_index.core")

from kestrine import Kestrine  # noqa: E402
from kestrine.llama_index import KestrineVectorStore, to_kestrine_filter  # noqa: E402
from llama_index.core import Document, StorageContext, VectorStoreIndex  # noqa: E402
from llama_index.core.embeddings import MockEmbedding  # noqa: E402
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode  # noqa: E402
from llama_index.core.vector_stores.types import (  # noqa: E402
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
)


def where(*filters, condition=FilterCondition.AND):
    return MetadataFilters(filters=list(filters), condition=condition)


def f(key, operator, value):
    return MetadataFilter(key=key, operator=FilterOperator(operator), value=value)


def eq(field, value):
    return {"field": field, "op": "eq", "value": value}


TRANSLATIONS = [
    (where(f("kind", "==", "cat")), {"must": [eq("kind", "cat")]}),
    (where(f("kind", "!=", "cat")), {"must": [{"must_not": [eq("kind", "cat")]}]}),
    (where(f("year", ">", 2020)), {"must": [{"field": "year", "op": "gt", "value": 2020}]}),
    (where(f("year", ">=", 2020)), {"must": [{"field": "year", "op": "gte", "value": 2020}]}),
    (where(f("w", "<", 1.5)), {"must": [{"field": "w", "op": "lt", "value": 1.5}]}),
    (where(f("w", "<=", -2)), {"must": [{"field": "w", "op": "lte", "value": -2}]}),
    (
        where(f("kind", "in", ["cat", "dog"])),
        {"must": [{"field": "kind", "op": "in", "values": ["cat", "dog"]}]},
    ),
    (
        where(f("year", "nin", [2020, 2021])),
        {"must": [{"must_not": [{"field": "year", "op": "in", "values": [2020, 2021]}]}]},
    ),
    (
        where(f("kind", "==", "cat"), f("year", ">", 2020), condition=FilterCondition.OR),
        {"should": [eq("kind", "cat"), {"field": "year", "op": "gt", "value": 2020}]},
    ),
    (
        where(
            f("kind", "==", "cat"),
            where(f("year", "<", 2000), f("year", ">", 2020), condition=FilterCondition.OR),
        ),
        {
            "must": [
                eq("kind", "cat"),
                {
                    "should": [
                        {"field": "year", "op": "lt", "value": 2000},
                        {"field": "year", "op": "gt", "value": 2020},
                    ]
                },
            ]
        },
    ),
    (where(), {"must": []}),
    (
        MetadataFilters(filters=[f("kind", "==", "cat")], condition=None),
        {"must": [eq("kind", "cat")]},
    ),
]


@pytest.mark.parametrize("filters, expected", TRANSLATIONS)
def test_filters_translate_to_kestrines_form(filters, expected):
    assert to_kestrine_filter(filters) == expected


REFUSALS = [
    (
        where(f("tags", "any", ["a"])),
        "filter operator 'any' on 'tags' is not supported: use ==, !=, >, >=, <, <=, in or nin",
    ),
    (
        where(f("tags", "all", ["a"])),
        "filter operator 'all' on 'tags' is not supported: use ==, !=, >, >=, <, <=, in or nin",
    ),
    (
        where(f("tags", "contains", "a")),
        "filter operator 'contains' on 'tags' is not supported: "
        "use ==, !=, >, >=, <, <=, in or nin",
    ),
    (
        where(f("t", "text_match", "a")),
        "filter operator 'text_match' on 't' is not supported: use ==, !=, >, >=, <, <=, in or nin",
    ),
    (
        where(f("t", "is_empty", None)),
        "filter operator 'is_empty' on 't' is not supported: use ==, !=, >, >=, <, <=, in or nin",
    ),
    (where(f("kind", "in", "cat")), "filter operator 'in' on 'kind' needs a list"),
    (where(f("kind", "nin", "cat")), "filter operator 'nin' on 'kind' needs a list"),
    (where(f("kind", "==", ["cat"])), "filter operator '==' on 'kind' needs a single value"),
    (where(f("kind", ">", "cat")), "filter operator '>' on 'kind' needs a number"),
    (where(f("kind", "<=", None)), "filter operator '<=' on 'kind' needs a number"),
    (
        where(f("kind", "==", "cat"), condition=FilterCondition.NOT),
        "filter condition 'not' is not supported: use and or or",
    ),
    (
        where(where(f("a", "==", 1), condition=FilterCondition.NOT)),
        "filter condition 'not' is not supported: use and or or",
    ),
]


@pytest.mark.parametrize("filters, message", REFUSALS)
def test_filters_kestrine_cannot_express_are_refused(filters, message):
    with pytest.raises(ValueError) as info:
        to_kestrine_filter(filters)
    assert str(info.value) == message


def node(node_id, text, ref_doc_id, embedding, **metadata):
    return TextNode(
        id_=node_id,
        text=text,
        embedding=embedding,
        metadata=metadata,
        relationships={NodeRelationship.SOURCE: RelatedNodeInfo(node_id=ref_doc_id)},
    )


@pytest.fixture
def store():
    store = KestrineVectorStore()
    store.add(
        [
            node("n1", "the cat sleeps", "d1", [1.0, 0.0, 0.0], kind="cat", year=2020),
            node("n2", "two cats play", "d1", [0.9, 0.1, 0.0], kind="cat", year=2024),
            node("n3", "a dog barks", "d2", [0.0, 1.0, 0.0], kind="dog", year=2022, w=1.5),
            node("n4", "a fish swims", "d3", [0.0, 0.0, 1.0], kind="fish", tags=["wet"]),
        ]
    )
    return store


def query_ids(store, **fields):
    fields.setdefault("query_embedding", [1.0, 0.2, 0.1])
    fields.setdefault("similarity_top_k", 10)
    return [n.node_id for n in store.query(VectorStoreQuery(**fields)).nodes]


SELECTIONS = [
    (where(f("kind", "==", "cat")), {"n1", "n2"}),
    (where(f("kind", "!=", "cat")), {"n3", "n4"}),
    (where(f("year", "!=", 2020)), {"n2", "n3", "n4"}),  # n4 has no year: not equal either
    (where(f("year", ">", 2020)), {"n2", "n3"}),
    (where(f("year", ">=", 2022)), {"n2", "n3"}),
    (where(f("year", "<", 2022)), {"n1"}),
    (where(f("w", "<=", 1.5)), {"n3"}),
    (where(f("kind", "in", ["dog", "fish"])), {"n3", "n4"}),
    (where(f("year", "nin", [2020, 2024])), {"n3", "n4"}),
    (where(f("kind", "==", "cat"), f("year", ">", 2022)), {"n2"}),
    (
        where(f("kind", "==", "fish"), f("year", ">", 2022), condition=FilterCondition.OR),
        {"n2", "n4"},
    ),
    (where(f("ref_doc_id", "==", "d1")), {"n1", "n2"}),
    (where(f("tags", "==", "wet")), set()),  # a list is not a field that filters reach
    (where(), {"n1", "n2", "n3", "n4"}),
]


@pytest.mark.parametrize("filters, expected", SELECTIONS)
def test_filters_select_the_nodes_in_every_query_mode_and_listing(store, filters, expected):
    assert set(query_ids(store, filters=filters)) == expected
    hybrid = query_ids(store, filters=filters, mode=VectorStoreQueryMode.HYBRID, query_str="a")
    assert set(hybrid) == expected
    assert {n.node_id for n in store.get_nodes(filters=filters)} == expected
    store.delete_nodes(filters=filters)
    assert {n.node_id for n in store.get_nodes()} == {"n1", "n2", "n3", "n4"} - expected


def test_nodes_come_back_whole(store):
    [n4] = store.get_nodes(["n4"])
    assert n4.text == "a fish swims"
    assert n4.metadata == {"kind": "fish", "tags": ["wet"]}
    assert n4.ref_doc_id == "d3"
    assert store.get_nodes(["n3", "missing", "n1"]) == store.get_nodes(["n3"]) + store.get_nodes(
        ["n1"]
    )
    assert [
        n.node_id for n in store.get_nodes(["n1", "n3", "n2"], where(f("kind", "==", "cat")))
    ] == ["n1", "n2"]


def test_query_modes(store):
    result = store.query(VectorStoreQuery(query_embedding=[1.0, 0.0, 0.0], similarity_top_k=2))
    assert result.ids == ["n1", "n2"]
    assert result.similarities[0] == pytest.approx(1.0, abs=0.01)
    # alpha 0 is keyword alone, 1 vector alone (linear fusion); None asks for rank fusion.
    hybrid = {
        "query_embedding": [1.0, 0.0, 0.0],
        "mode": VectorStoreQueryMode.HYBRID,
        "query_str": "dog",
        "similarity_top_k": 1,
    }
    assert query_ids(store, **hybrid, alpha=0.0) == ["n3"]
    assert query_ids(store, **hybrid, alpha=1.0) == ["n1"]
    assert len(query_ids(store, **hybrid)) == 1
    assert query_ids(store, **{**hybrid, "similarity_top_k": 3}, hybrid_top_k=2, alpha=0.5) == [
        "n3",
        "n1",
    ]
    text = {"mode": VectorStoreQueryMode.TEXT_SEARCH, "query_str": "cats", "query_embedding": None}
    assert query_ids(store, **text) == ["n2"]
    assert query_ids(store, doc_ids=["d2", "d3"]) == ["n3", "n4"]


@pytest.mark.parametrize(
    "fields, message",
    [
        ({"query_embedding": None}, "a default query needs query_embedding"),
        (
            {"mode": VectorStoreQueryMode.HYBRID},
            "a hybrid query needs query_embedding and query_str",
        ),
        ({"mode": VectorStoreQueryMode.TEXT_SEARCH}, "a text search needs query_str"),
        (
            {"mode": VectorStoreQueryMode.MMR},
            "query mode 'mmr' is not supported: use default, hybrid or text_search",
        ),
        ({"node_ids": ["n1"]}, "queries restricted to node_ids are not supported"),
    ],
)
def test_queries_it_cannot_answer_are_refused(store, fields, message):
    with pytest.raises(ValueError) as info:
        query_ids(store, **fields)
    assert str(info.value) == message


def test_delete_nodes_takes_ids_and_filters_together(store):
    store.delete_nodes(["n1", "n3", "n4"], where(f("year", ">", 2000)))
    assert {n.node_id for n in store.get_nodes()} == {"n2", "n4"}
    store.delete_nodes(["n4", "unknown"])
    assert [n.node_id for n in store.get_nodes()] == ["n2"]
    store.delete_nodes([])
    assert [n.node_id for n in store.get_nodes()] == ["n2"]
    store.delete_nodes()
    assert store.get_nodes() == []


def test_clear_keeps_the_collection_and_new_nodes_are_found(store):
    store.clear()
    assert store.get_nodes() == [] and query_ids(store) == []
    store.add([node("n5", "a bird", "d5", [0.0, 0.5, 0.5])])
    assert query_ids(store) == ["n5"]


def test_a_node_given_twice_in_one_add_keeps_the_later_one(store):
    twice = [
        node("n1", "first", "d1", [1.0, 0.0, 0.0]),
        node("n1", "second", "d1", [0.0, 1.0, 0.0]),
    ]
    assert store.add(twice) == ["n1", "n1"]
    assert [n.text for n in store.get_nodes(["n1"])] == ["second"]
    assert len(store.get_nodes()) == 4


def test_ids_that_are_uuids_are_kestrines_ids(store):
    node_id = str(uuid.uuid4())
    store.add([node(node_id, "an owl", "d9", [0.5, 0.5, 0.0], kind="owl")])
    assert store.client.get(store.collection_name, node_id)["text"] == "an owl"
    assert [n.node_id for n in store.get_nodes([node_id])] == [node_id]


def test_a_store_with_no_collection_yet_is_empty():
    store = KestrineVectorStore(collection_name="none_yet")
    assert query_ids(store) == [] and store.get_nodes() == []
    store.delete("d1")
    store.delete_nodes(["n1"])
    store.clear()
    assert "none_yet" not in store.client.list_collections()


def test_constructor_arguments():
    db = Kestrine()
    store = KestrineVectorStore("kb", database=db, distance_metric="dot_product", ef_search=20)
    assert store.client is db and store.stores_text
    store.add([node("n1", "x", "d", [1.0, 2.0])])
    assert db.collection_info("kb").dimension == 2
    with pytest.raises(TypeError, match="unknown collection options: metric"):
        KestrineVectorStore(metric="cosine")


DOCUMENTS = [
    ("cats", "Cats sleep most of the day. A cat purrs when it is content.", "pets", 2021),
    ("dogs", "Dogs need a walk every day. A dog wags its tail when happy.", "pets", 2023),
    ("tea", "Green tea is brewed below boiling. Black tea takes boiling water.", "food", 2022),
    ("bread", "Bread rises while the yeast ferments the dough.", "food", 2020),
]


def build_index(store):
    documents = [
        Document(doc_id=doc_id, text=text, metadata={"topic": topic, "year": year})
        for doc_id, text, topic, year in DOCUMENTS
    ]
    return VectorStoreIndex.from_documents(
        documents,
        storage_context=StorageContext.from_defaults(vector_store=store),
        embed_model=MockEmbedding(embed_dim=8),
    )


def retrieved(index, query, **kwargs):
    return [n.node.ref_doc_id for n in index.as_retriever(**kwargs).retrieve(query)]


def test_a_vector_store_index_ingests_retrieves_deletes_and_reopens(tmp_path):
    store = KestrineVectorStore(data_dir=str(tmp_path))
    index = build_index(store)
    assert store.client.count(store.collection_name) == len(DOCUMENTS)

    # The mock embedding gives every text the same vector: filters and BM25 do the choosing.
    pets = where(f("topic", "==", "pets"))
    assert set(retrieved(index, "anything", similarity_top_k=4, filters=pets)) == {"cats", "dogs"}
    newer = where(f("year", ">=", 2022))
    assert set(retrieved(index, "anything", similarity_top_k=4, filters=newer)) == {"dogs", "tea"}
    keyword = {"vector_store_query_mode": "hybrid", "alpha": 0.0, "similarity_top_k": 1}
    assert retrieved(index, "boiling water", **keyword) == ["tea"]
    assert retrieved(index, "a walk", **keyword, filters=pets) == ["dogs"]
    assert retrieved(index, "yeast", vector_store_query_mode="hybrid", similarity_top_k=1) == [
        "bread"
    ]

    index.delete_ref_doc("tea")
    assert store.client.count(store.collection_name) == len(DOCUMENTS) - 1
    assert retrieved(index, "boiling water", **keyword) != ["tea"]

    del index, store
    reopened = KestrineVectorStore(data_dir=str(tmp_path))
    index = VectorStoreIndex.from_vector_store(reopened, embed_model=MockEmbedding(embed_dim=8))
    assert set(retrieved(index, "x", similarity_top_k=10)) == {"cats", "dogs", "bread"}
    [hit] = index.as_retriever(**keyword).retrieve("purrs")
    assert hit.node.ref_doc_id == "cats" and hit.node.metadata == {"topic": "pets", "year": 2021}
    assert "purrs" in hit.node.get_content()


def test_the_example_runs():
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "llama_index_rag.py"
    result = subprocess.run([sys.executable, example], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("2870 nodes stored")
    assert "tempfile.TemporaryDirectory" in lines[2]
    deleted = next(line for line in lines if line.startswith("tempfile deleted:"))
    assert "tempfile." not in deleted
    assert "subprocess.run: Run command with arguments" in result.stdout
