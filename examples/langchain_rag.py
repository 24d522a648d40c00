"""Retrieval-augmented generation with LangChain on Kestrine, offline.

The demo corpus (examples/data: the standard library's docstrings) ships the embedding of every
document and of every question, made by a sentence-embedding model; a lookup of those stored
vectors stands in for the model, so nothing is downloaded. A fake LLM stands in for the language
model: the point is the prompt it gets, built from what Kestrine retrieved.

Needs ``pip install kestrine[langchain]``; run ``python examples/langchain_rag.py``.
"""

import gzip
import json
import pathlib
from typing import Any

from kestrine.langchain import KestrineVectorStore
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.language_models import FakeListLLM
from langchain_core.output_parsers import StrOutputParser
from langchain_core.prompts import PromptTemplate
from langchain_core.runnables import RunnablePassthrough

DATA = pathlib.Path(__file__).resolve().parent / "data"


def read_lines(name: str) -> list[dict[str, Any]]:
    with gzip.open(DATA / name, "rt", encoding="utf-8") as lines:
        return [json.loads(line) for line in lines]


class StoredEmbeddings(Embeddings):
    """The vectors the corpus ships, looked up by text."""

    def __init__(self, vectors: dict[str, list[float]]) -> None:
        self.vectors = vectors

    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        return [self.vectors[text] for text in texts]

    def embed_query(self, text: str) -> list[float]:
        return self.vectors[text]


corpus = read_lines("stdlib_docs.jsonl.gz")
questions = read_lines("questions.jsonl.gz")
vectors = {row["text"]: row["embedding"] for row in corpus}
vectors.update({row["question"]: row["embedding"] for row in questions})

# An ephemeral database; data_dir="..." would keep it, database=... would share one.
store = KestrineVectorStore(StoredEmbeddings(vectors), collection_name="stdlib")
store.add_documents(
    [Document(id=row["id"], page_content=row["text"], metadata=row["metadata"]) for row in corpus]
)
question = "run an external program and capture what it prints"
print(f"{len(corpus)} documents stored; question: {question!r}\n")

# Three ways to retrieve: by vector, by vector and keyword fused, and for diversity (MMR).
for label, documents in [
    ("vector", store.similarity_search(question, k=3)),
    ("hybrid", store.similarity_search(question, k=3, hybrid=True)),
    ("mmr", store.max_marginal_relevance_search(question, k=3, fetch_k=10)),
]:
    print(f"{label:>6}: " + ", ".join(d.page_content.split(":")[0] for d in documents))

# Only functions, through Kestrine's filter form.
functions = {"must": [{"field": "kind", "op": "eq", "value": "function"}]}
retriever = store.as_retriever(search_kwargs={"k": 3, "hybrid": True, "filter": functions})


def as_context(documents: list[Document]) -> str:
    return "\n".join(f"- {d.page_content}" for d in documents)


prompt = PromptTemplate.from_template(
    "Answer from the context.\nContext:\n{context}\nQuestion: {question}\nAnswer:"
)
llm = FakeListLLM(responses=["subprocess.run(args, capture_output=True, text=True).stdout"])
rag_prompt = {"context": retriever | as_context, "question": RunnablePassthrough()} | prompt
print(f"\nthe prompt:\n{rag_prompt.invoke(question).to_string()}")
answer = (rag_prompt | llm | StrOutputParser()).invoke(question)
print(f"the (fake) model's answer: {answer}")
