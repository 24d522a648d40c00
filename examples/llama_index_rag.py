"""Retrieval-augmented generation with LlamaIndex on Kestrine, offline.

The demo corpus (examples/data: the standard library's docstrings) ships the embedding of every
document and of every question, made by a sentence-embedding model: the nodes carry the stored
vectors and each query brings its own, so no model is downloaded (LlamaIndex's mock embedding
fills the index's slot for one and is never asked). LlamaIndex's mock LLM stands in for the
language model; it answers with the prompt it got, built from what Kestrine retrieved.

Needs ``pip install kestrine[llama-index]``; run ``python examples/llama_index_rag.py``.
"""

import gzip
import json
import pathlib
import tempfile
from typing import Any

from kestrine.llama_index import KestrineVectorStore
from llama_index.core import QueryBundle, StorageContext, VectorStoreIndex
from llama_index.core.embeddings import MockEmbedding
from llama_index.core.llms import MockLLM
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode
from llama_index.core.vector_stores import FilterOperator, MetadataFilter, MetadataFilters

DATA = pathlib.Path(__file__).resolve().parent / "data"


def read_lines(name: str) -> list[dict[str, Any]]:
    with gzip.open(DATA / name, "rt", encoding="utf-8") as lines:
        return [json.loads(line) for line in lines]


corpus = read_lines("stdlib_docs.jsonl.gz")
questions = {row["question"]: row["embedding"] for row in read_lines("questions.jsonl.gz")}
# One node per entry; its module is the reference document, so a module can be deleted whole.
nodes = [
    TextNode(
        id_=row["id"],
        text=row["text"],
        embedding=row["embedding"],
        metadata=row["metadata"],
        relationships={NodeRelationship.SOURCE: RelatedNodeInfo(node_id=row["metadata"]["module"])},
    )
    for row in corpus
]
not_used = MockEmbedding(embed_dim=384)


def ask(index: VectorStoreIndex, question: str, **retriever_options: Any) -> list[str]:
    query = QueryBundle(query_str=question, embedding=questions[question])
    hits = index.as_retriever(**retriever_options).retrieve(query)
    return [hit.node.get_content().split(":")[0] for hit in hits]


with tempfile.TemporaryDirectory() as data_dir:
    store = KestrineVectorStore(collection_name="stdlib", data_dir=data_dir)
    index = VectorStoreIndex(
        nodes,
        storage_context=StorageContext.from_defaults(vector_store=store),
        embed_model=not_used,
    )
    question = "make a temporary directory that is deleted automatically"
    print(f"{len(nodes)} nodes stored in {data_dir}; question: {question!r}\n")
    print("vector:", ask(index, question, similarity_top_k=3))
    hybrid = {"vector_store_query_mode": "hybrid", "alpha": 0.5, "similarity_top_k": 3}
    print("hybrid:", ask(index, question, **hybrid))
    classes = MetadataFilters(
        filters=[MetadataFilter(key="kind", operator=FilterOperator.EQ, value="class")]
    )
    print("hybrid, classes only:", ask(index, question, **hybrid, filters=classes))

    index.delete_ref_doc("tempfile")  # every node of the module
    print("tempfile deleted:", ask(index, question, **hybrid))
    del index, store

    # Reopened from the directory: the index needs nothing but the store.
    reopened = VectorStoreIndex.from_vector_store(
        KestrineVectorStore(collection_name="stdlib", data_dir=data_dir), embed_model=not_used
    )
    question = "run an external program and capture what it prints"
    engine = reopened.as_query_engine(llm=MockLLM(), similarity_top_k=2)
    answer = engine.query(QueryBundle(query_str=question, embedding=questions[question]))
    print(f"\nafter reopening, the prompt the (mock) model got and echoes:\n{answer}")
