"""The LangChain vector store: LangChain's own standard tests on an ephemeral and a persistent
database, then what they leave out (filters, hybrid search, maximal marginal relevance, ids and
metadata that Kestrine cannot store as they are, reopening)."""

import json
import pathlib
import subprocess
import sys
import uuid

import pytest

pytest.importorskip("langchain_core")
pytest.importorskip("langchain_tests")

from kestrine import Kestrine  # noqa: E402
from kestrine.langchain import (  # noqa: E402
    ID_FIELD,
    JSON_FIELD,
    KestrineVectorStore,
    maximal_marginal_relevance,
)
from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings  # noqa: E402
from langchain_tests.integration_tests import VectorStoreIntegrationTests  # noqa: E402


class TestEphemeralStandard(VectorStoreIntegrationTests):
    @pytest.fixture
    def vectorstore(self):
        return KestrineVectorStore(self.get_embeddings())


class TestPersistentStandard(VectorStoreIntegrationTests):
    @pytest.fixture
    def vectorstore(self, tmp_path):
        return KestrineVectorStore(self.get_embeddings(), data_dir=str(tmp_path))


class AxisEmbeddings(Embeddings):
    """Each of four words is an axis, counted; every other word is nothing to the vector but
    still a word to BM25. A constant fifth component keeps every vector non-zero."""

    WORDS = ("cat", "dog", "fish", "bird")

    def embed_query(self, text):
        words = text.split()
        return [float(words.count(w)) for w in self.WORDS] + [0.1]

    def embed_documents(self, texts):
        return [self.embed_query(t) for t in texts]


@pytest.fixture
def pets():
    store = KestrineVectorStore(AxisEmbeddings(), collection_name="pets")
    store.add_texts(
        ["cat", "cat cat", "dog", "fish", "bird dog", "parrot"],
        [
            {"kind": "cat", "legs": 4, "year": 2020},
            {"kind": "cat", "legs": 4, "year": 2024},
            {"kind": "dog", "legs": 4, "year": 2022},
            {"kind": "fish", "legs": 0},
            {"kind": "bird", "legs": 2, "year": 2021, "tame": True},
            {"kind": "parrot", "legs": 2},
        ],
        ids=["c1", "c2", "d1", "f1", "b1", "p1"],
    )
    return store


ALL_PETS = {"c1", "c2", "d1", "f1", "b1", "p1"}


def ids_of(documents):
    return [d.id for d in documents]


@pytest.mark.parametrize(
    "filter, expected",
    [
        ({"must": [{"field": "kind", "op": "eq", "value": "cat"}]}, {"c1", "c2"}),
        ({"must": [{"field": "year", "op": "gte", "value": 2022}]}, {"c2", "d1"}),
        ({"must_not": [{"field": "legs", "op": "eq", "value": 4}]}, {"f1", "b1", "p1"}),
        ({"must": [{"field": "kind", "op": "in", "values": ["fish", "bird"]}]}, {"f1", "b1"}),
        ({"must": [{"field": "year", "op": "exists", "value": False}]}, {"f1", "p1"}),
        ({"must": [{"field": "tame", "op": "eq", "value": True}]}, {"b1"}),
        (
            {
                "should": [
                    {"field": "kind", "op": "eq", "value": "fish"},
                    {
                        "must": [{"field": "kind", "op": "eq", "value": "cat"}],
                        "must_not": [{"field": "year", "op": "lt", "value": 2022}],
                    },
                ]
            },
            {"f1", "c2"},
        ),
    ],
)
def test_filters_are_kestrines_own_form_in_every_search(pets, filter, expected):
    assert set(ids_of(pets.similarity_search("cat", k=10, filter=filter))) == expected
    by_vector = pets.similarity_search_by_vector([1, 1, 1, 1, 1], k=10, filter=filter)
    assert set(ids_of(by_vector)) == expected
    hybrid = pets.similarity_search("dog", k=10, filter=filter, hybrid=True)
    assert set(ids_of(hybrid)) == expected
    mmr = pets.max_marginal_relevance_search("cat", k=10, fetch_k=10, filter=filter)
    assert set(ids_of(mmr)) == expected
    pets.delete(filter=filter)
    assert set(ids_of(pets.get_by_ids(sorted(ALL_PETS)))) == ALL_PETS - expected


def test_hybrid_search_also_gives_the_query_text_to_bm25(pets):
    # "parrot" means nothing to the embedding: by vector, "cat parrot" is nearest to "cat".
    assert ids_of(pets.similarity_search("cat parrot", k=1)) == ["c1"]
    [(doc, score)] = pets.similarity_search_with_score("cat parrot", k=1)
    assert doc.id == "c1" and score == pytest.approx(0.995, abs=0.01)
    # By keyword the rarer word wins; alpha weighs the two sides of a linear fusion.
    keyword = {"hybrid": True, "fusion_method": "linear", "alpha": 0.0}
    assert ids_of(pets.similarity_search("cat parrot", k=1, **keyword)) == ["p1"]
    vector = {"hybrid": True, "fusion_method": "linear", "alpha": 1.0}
    assert ids_of(pets.similarity_search("cat parrot", k=1, **vector)) == ["c1"]
    # Reciprocal rank fusion: "cat" is first by vector and third by keyword, "parrot" the other
    # way round, "cat cat" second in both.
    hits = pets.similarity_search_with_score("cat parrot", k=6, hybrid=True)
    assert {d.id for d, _ in hits[:2]} == {"c1", "p1"} and hits[2][0].id == "c2"
    assert [score for _, score in hits[:3]] == pytest.approx(
        [1 / 61 + 1 / 63, 1 / 61 + 1 / 63, 2 / 62], abs=1e-6
    )


def test_hybrid_reaches_the_retriever_through_search_kwargs(pets):
    retriever = pets.as_retriever(
        search_kwargs={"k": 1, "hybrid": True, "fusion_method": "linear", "alpha": 0.0}
    )
    assert ids_of(retriever.invoke("cat parrot")) == ["p1"]
    assert ids_of(pets.as_retriever(search_kwargs={"k": 1}).invoke("cat parrot")) == ["c1"]


def test_mmr_trades_relevance_for_diversity(pets):
    # The two cat documents are the nearest to "cat" and identical in direction: MMR with a
    # low lambda takes one of them, then the most different document.
    nearest = ids_of(pets.similarity_search("cat", k=2))
    assert set(nearest) == {"c1", "c2"}
    diverse = ids_of(pets.max_marginal_relevance_search("cat", k=2, fetch_k=5, lambda_mult=0.2))
    assert diverse[0] in {"c1", "c2"} and diverse[1] not in {"c1", "c2"}
    assert ids_of(pets.max_marginal_relevance_search("cat", k=2, lambda_mult=1.0)) == nearest


@pytest.mark.parametrize(
    "query, candidates, k, lambda_mult, expected",
    [
        ([1, 0], [[1, 0], [1, 0.01], [0, 1]], 2, 0.4, [0, 2]),
        ([1, 0], [[1, 0], [1, 0.01], [0, 1]], 2, 0.6, [0, 1]),
        ([1, 0], [[1, 0], [1, 0.01], [0, 1]], 2, 1.0, [0, 1]),
        ([1, 0], [[1, 0], [1, 0.01], [0, 1]], 5, 0.4, [0, 2, 1]),
        ([1, 0], [[0, 1], [1, 0]], 1, 0.5, [1]),
        ([1, 0], [[1, 0], [1, 0]], 2, 0.0, [0, 1]),  # a tie goes to the earlier one
        ([1, 0], [], 3, 0.5, []),
        ([1, 0], [[1, 0]], 0, 0.5, []),
    ],
)
def test_maximal_marginal_relevance(query, candidates, k, lambda_mult, expected):
    assert maximal_marginal_relevance(query, candidates, k, lambda_mult) == expected


def test_ids_and_metadata_that_kestrine_cannot_hold_round_trip(tmp_path):
    embeddings = DeterministicFakeEmbedding(size=8)
    canonical = str(uuid.uuid4())
    odd = {"none": None, "list": [1, "a"], "nested": {"x": [True]}, "big": 2**70}
    documents = [
        Document(id=canonical, page_content="one", metadata={"n": 1.5}),
        Document(id="doc #2", page_content="two", metadata={"flag": False, **odd}),
        Document(id=canonical.upper(), page_content="three"),
    ]
    store = KestrineVectorStore(embeddings, data_dir=str(tmp_path))
    assert store.add_documents(documents) == [canonical, "doc #2", canonical.upper()]
    expected = [
        Document(id=d.id, page_content=d.page_content, metadata=d.metadata) for d in documents
    ]
    assert store.get_by_ids([d.id for d in documents]) == expected

    # What Kestrine itself holds: a canonical UUID as it is, others under a name-based UUID
    # with the original id kept beside the metadata, and JSON for values it cannot store.
    raw = store.database.get(store.collection_name, canonical)
    assert raw["metadata"] == {"n": 1.5}
    second = store.database.get_many(
        store.collection_name,
        [str(uuid.uuid5(uuid.UUID("3ec8a3e6-8abc-4f7f-b741-5565e28fdd16"), "doc #2"))],
    )[0]
    assert second["metadata"][ID_FIELD] == "doc #2"
    assert json.loads(second["metadata"][JSON_FIELD]) == odd
    assert second["metadata"]["flag"] is False

    del store
    reopened = KestrineVectorStore(embeddings, data_dir=str(tmp_path))
    assert reopened.get_by_ids([d.id for d in reversed(documents)]) == expected[::-1]
    assert ids_of(reopened.similarity_search("two", k=1)) == ["doc #2"]


def test_a_given_database_and_collection_options_are_used():
    db = Kestrine()
    store = KestrineVectorStore.from_texts(
        ["a", "b"],
        DeterministicFakeEmbedding(size=5),
        ids=["1", "2"],
        collection_name="kb",
        database=db,
        distance_metric="euclidean",
        m=8,
    )
    assert db.collection_info("kb").dimension == 5
    assert db.count("kb") == 2
    # Euclidean scores are 1 - d²; the relevance of an exact match is 1.
    [(doc, relevance)] = store.similarity_search_with_relevance_scores("a", k=1)
    assert doc.id == "1" and relevance == pytest.approx(1.0, abs=0.01)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: KestrineVectorStore(AxisEmbeddings(), distance="cosine"),
            TypeError,
            "unknown collection options: distance",
        ),
        (
            lambda: KestrineVectorStore(AxisEmbeddings(), database=Kestrine(), data_dir="x"),
            ValueError,
            "give either database or data_dir, not both",
        ),
        (
            lambda: KestrineVectorStore(AxisEmbeddings()).add_texts(["a"], [{ID_FIELD: "x"}]),
            ValueError,
            f"metadata field '{ID_FIELD}' is reserved for the vector store",
        ),
        (
            lambda: KestrineVectorStore(AxisEmbeddings()).add_texts(["a", "b"], [{}]),
            ValueError,
            "got 2 texts but 1 metadatas",
        ),
        (
            lambda: KestrineVectorStore(AxisEmbeddings()).add_texts(["a"], ids=["1", "2"]),
            ValueError,
            "got 1 texts but 2 ids",
        ),
        (
            lambda: KestrineVectorStore(AxisEmbeddings()).similarity_search_by_vector(
                [0.0] * 5, kk=2
            ),
            TypeError,
            "similarity_search_by_vector() got unexpected keyword arguments: kk",
        ),
    ],
)
def test_mistakes_are_reported(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_a_metadata_value_that_is_not_json_is_refused_and_nothing_is_stored():
    store = KestrineVectorStore(AxisEmbeddings())
    store.add_texts(["cat"], ids=["kept"])
    with pytest.raises(ValueError, match="JSON-serialisable"):
        store.add_texts(["dog", "fish"], [{}, {"when": object()}], ids=["a", "b"])
    assert store.database.count(store.collection_name) == 1


def test_an_id_given_twice_in_one_add_keeps_the_later_document(pets):
    assert pets.add_texts(["fish", "dog", "fish fish"], ids=["f1", "n", "f1"]) == ["f1", "n", "f1"]
    assert [d.page_content for d in pets.get_by_ids(["f1", "n"])] == ["fish fish", "dog"]
    assert pets.database.count(pets.collection_name) == len(ALL_PETS) + 1


def test_delete_without_ids_empties_the_store(pets):
    assert pets.delete() is True
    assert pets.similarity_search("cat") == []
    assert pets.get_by_ids(["c1"]) == []
    pets.add_texts(["cat"], ids=["c1"])
    assert ids_of(pets.similarity_search("cat")) == ["c1"]


def test_the_example_runs():
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "langchain_rag.py"
    result = subprocess.run([sys.executable, example], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("2870 documents stored")
    assert any(line.startswith("hybrid: subprocess.run,") for line in lines)
    assert "- subprocess.run: Run command with arguments" in result.stdout
