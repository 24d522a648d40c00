"""Kestrine as a LangChain vector store (``pip install kestrine[langchain]``)::

    from kestrine.langchain import KestrineVectorStore

    store = KestrineVectorStore(embeddings, data_dir="./data")   # or database=..., or neither
    store.add_texts(["Kestrine runs in your process"], [{"topic": "db"}], ids=["intro"])
    store.similarity_search("embedded database", k=4,
                            filter={"must": [{"field": "topic", "op": "eq", "value": "db"}]})
    store.similarity_search("embedded database", hybrid=True, alpha=0.7)  # vector + BM25

How documents are stored, one Kestrine document each:

- the text is the document's ``page_content`` (indexed by BM25 too), the embedding is the
  embedding model's vector of it;
- metadata values that Kestrine stores (bool, int within 64 bits, float, str) are kept under
  their own names, so filters can name them; any other value (None, lists, dicts) is kept as
  JSON in the field ``_langchain_json`` and comes back unchanged, but no filter reaches it;
- ids: see ``kestrine._framework``. An id that is not a canonical UUID is kept in the field
  ``_langchain_id``, and documents come back with the id they were added under.

Filters are Kestrine's own form, as ``Kestrine.search`` takes them: a dict with the lists
``must``, ``must_not`` and ``should`` of conditions ``{"field", "op", "value"}`` (op ``eq``,
``ne``, ``gt``, ``lt``, ``gte``, ``lte``, ``in`` with ``values``, ``exists``) or nested filters.

Hybrid search is asked for with ``hybrid=True`` on the query-text searches
(``similarity_search``, ``similarity_search_with_score`` and, through them, the retriever's
``search_kwargs``): the query text then also goes to BM25 and the two rankings are fused by
``fusion_method`` ("rrf", the default, or "linear" weighted by ``alpha``, 1.0 being all vector).

Maximal marginal relevance needs the candidates' embeddings, which Kestrine does not hand
back: the candidates' texts are embedded again (``embed_documents``), which costs one call of the
embedding model per search.

Scores (``similarity_search_with_score``) are Kestrine's: for cosine and dot-product
collections the similarity (1 is best), for euclidean ones 1 minus the squared distance, and the
fused score in hybrid searches. Relevance scores map the vector scores onto [0, 1] assuming unit
vectors; they mean nothing for hybrid searches.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Iterable, Sequence
from typing import Any

from _kestrine import Kestrine, SearchResult
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore

from kestrine._framework import (
    check_collection_options,
    delete_documents,
    ensure_collection,
    has_collection,
    is_metadata_value,
    kestrine_id,
    last_of_each_id,
    new_id,
    open_database,
)
from kestrine._types import DistanceMetric, Filter, FusionMethod, Metadata, NewDocument

ID_FIELD = "_langchain_id"
JSON_FIELD = "_langchain_json"

__all__ = ["ID_FIELD", "JSON_FIELD", "KestrineVectorStore", "maximal_marginal_relevance"]


def _stored_metadata(metadata: dict[str, Any], external_id: str, stored_id: str) -> Metadata:
    stored: Metadata = {}
    other: dict[str, Any] = {}
    for name, value in metadata.items():
        if name in (ID_FIELD, JSON_FIELD):
            raise ValueError(f"metadata field '{name}' is reserved for the vector store")
        if is_metadata_value(value):
            stored[name] = value
        else:
            other[name] = value
    if other:
        try:
            stored[JSON_FIELD] = json.dumps(other, ensure_ascii=False, allow_nan=False)
        except (TypeError, ValueError) as error:
            raise ValueError(
                "a metadata value must be bool, int, float or str, or else JSON-serialisable: "
                f"{error}"
            ) from error
    if external_id != stored_id:
        stored[ID_FIELD] = external_id
    return stored


def _document(stored_id: str, text: str, stored: Metadata) -> Document:
    metadata: dict[str, Any] = dict(stored)
    external_id = metadata.pop(ID_FIELD, stored_id)
    other = metadata.pop(JSON_FIELD, None)
    if isinstance(other, str):
        metadata.update(json.loads(other))
    return Document(id=str(external_id), page_content=text, metadata=metadata)


def _hit_document(hit: SearchResult) -> Document:
    return _document(hit.id, hit.text, hit.metadata)


def _cosine(a: Sequence[float], b: Sequence[float]) -> float:
    dot = sum(x * y for x, y in zip(a, b, strict=True))
    norms = math.sqrt(sum(x * x for x in a)) * math.sqrt(sum(y * y for y in b))
    return dot / norms if norms > 0.0 else 0.0


def maximal_marginal_relevance(
    query: Sequence[float],
    candidates: Sequence[Sequence[float]],
    k: int,
    lambda_mult: float,
) -> list[int]:
    """The indices of at most k candidates, chosen one at a time for the greatest
    ``lambda_mult * sim(query, c) - (1 - lambda_mult) * max sim(c, chosen)`` (cosine
    similarity); ties go to the earlier candidate."""
    if k <= 0 or not candidates:
        return []
    relevance = [_cosine(query, c) for c in candidates]
    chosen: list[int] = []
    # The greatest similarity of each candidate to any chosen one so far.
    redundancy = [-math.inf] * len(candidates)
    while len(chosen) < min(k, len(candidates)):
        best, best_score = -1, -math.inf
        for i in range(len(candidates)):
            if i in chosen:
                continue
            penalty = redundancy[i] if chosen else 0.0
            score = lambda_mult * relevance[i] - (1.0 - lambda_mult) * penalty
            if score > best_score:
                best, best_score = i, score
        chosen.append(best)
        for i in range(len(candidates)):
            redundancy[i] = max(redundancy[i], _cosine(candidates[i], candidates[best]))
    return chosen


class KestrineVectorStore(VectorStore):
    """A LangChain vector store on one Kestrine collection.

    ``database`` is a ``Kestrine`` to use; without it one is opened on ``data_dir``, and without
    that an ephemeral one is made. The collection is created on the first add with the
    embedding's dimension and ``collection_options`` (``m``, ``ef_construction``, ``ef_search``,
    ``distance_metric``, ``store_raw_vectors``, as ``Kestrine.create_collection`` takes them);
    an existing one is used as it is. Until it exists, searches find nothing.
    """

    def __init__(
        self,
        embedding: Embeddings,
        collection_name: str = "langchain",
        database: Kestrine | None = None,
        data_dir: str | None = None,
        **collection_options: Any,
    ) -> None:
        check_collection_options(collection_options)
        self._embedding = embedding
        self.collection_name = collection_name
        self.database = open_database(database, data_dir)
        self._collection_options = collection_options

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    # Writing.

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds and stores the texts; an id given again replaces its document. Ids that are
        None or missing are generated. Returns the ids."""
        _no_extra_arguments("add_texts", kwargs)
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"got {len(texts)} texts but {len(metadatas)} metadatas")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"got {len(texts)} texts but {len(ids)} ids")
        if not texts:
            return []
        given: list[str | None] = list(ids) if ids is not None else [None] * len(texts)
        external_ids = [i if i else new_id() for i in given]
        embeddings = self._embedding.embed_documents(texts)
        records: list[NewDocument] = []
        for n, (text, vector, external_id) in enumerate(
            zip(texts, embeddings, external_ids, strict=True)
        ):
            stored_id = kestrine_id(external_id)
            metadata = metadatas[n] if metadatas is not None else {}
            records.append(
                {
                    "id": stored_id,
                    "text": text,
                    "embedding": vector,
                    "metadata": _stored_metadata(metadata or {}, external_id, stored_id),
                }
            )
        ensure_collection(
            self.database, self.collection_name, len(embeddings[0]), self._collection_options
        )
        self.database.batch_upsert(self.collection_name, last_of_each_id(records))
        return external_ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Deletes the documents with these ids (unknown ones are skipped), and with
        ``filter=`` every document that passes it; with neither, every document."""
        filter: Filter | None = kwargs.pop("filter", None)
        _no_extra_arguments("delete", kwargs)
        if not has_collection(self.database, self.collection_name):
            return True
        if ids is None and filter is None:
            filter = {}
        delete_documents(
            self.database,
            self.collection_name,
            None if ids is None else [kestrine_id(i) for i in ids],
            filter,
        )
        return True

    # Reading.

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The documents with these ids, in that order; unknown ids are skipped."""
        if not ids or not has_collection(self.database, self.collection_name):
            return []
        found = self.database.get_many(self.collection_name, [kestrine_id(i) for i in ids])
        return [_document(d["id"], d["text"], d["metadata"]) for d in found if d is not None]

    def similarity_search(
        self,
        query: str,
        k: int = 4,
        filter: Filter | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """The k documents nearest to the query; with ``hybrid=True`` the query text goes to
        BM25 too (``alpha``, ``fusion_method``)."""
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter, **kwargs)]

    def similarity_search_with_score(
        self,
        query: str,
        k: int = 4,
        filter: Filter | None = None,
        *,
        hybrid: bool = False,
        alpha: float = 0.7,
        fusion_method: FusionMethod = "rrf",
        min_similarity: float | None = None,
    ) -> list[tuple[Document, float]]:
        """As ``similarity_search``, with each document's score (see the module's text)."""
        hits = self._search(
            self._embedding.embed_query(query),
            query if hybrid else None,
            k,
            filter,
            alpha=alpha,
            fusion_method=fusion_method,
            min_similarity=min_similarity,
        )
        return [(_hit_document(hit), hit.score) for hit in hits]

    def similarity_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        filter: Filter | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        min_similarity: float | None = kwargs.pop("min_similarity", None)
        _no_extra_arguments("similarity_search_by_vector", kwargs)
        hits = self._search(embedding, None, k, filter, min_similarity=min_similarity)
        return [_hit_document(hit) for hit in hits]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Filter | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter, **kwargs
        )

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Filter | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """The fetch_k nearest documents, then k of them chosen for relevance and diversity;
        the candidates' texts are embedded again to compare them with each other."""
        _no_extra_arguments("max_marginal_relevance_search", kwargs)
        hits = self._search(embedding, None, max(fetch_k, k), filter)
        if not hits:
            return []
        vectors = self._embedding.embed_documents([hit.text for hit in hits])
        chosen = maximal_marginal_relevance(embedding, vectors, k, lambda_mult)
        return [_hit_document(hits[i]) for i in chosen]

    def _search(
        self,
        embedding: Sequence[float],
        text: str | None,
        k: int,
        filter: Filter | None,
        *,
        alpha: float = 0.7,
        fusion_method: FusionMethod = "rrf",
        min_similarity: float | None = None,
    ) -> list[SearchResult]:
        if not has_collection(self.database, self.collection_name):
            return []
        return self.database.search(
            self.collection_name,
            query_embedding=embedding,
            query_text=text,
            k=k,
            min_similarity=min_similarity,
            alpha=alpha,
            fusion_method=fusion_method,
            filter=filter,
        )

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        metric: DistanceMetric = self._collection_options.get("distance_metric") or "cosine"
        if metric == "euclidean":
            # The score is 1 - d²; for unit vectors d lies in [0, 2].
            return lambda score: 1.0 - math.sqrt(max(0.0, 1.0 - score)) / 2.0
        return lambda score: (1.0 + score) / 2.0

    # Construction.

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        collection_name: str = "langchain",
        database: Kestrine | None = None,
        data_dir: str | None = None,
        **collection_options: Any,
    ) -> KestrineVectorStore:
        store = cls(embedding, collection_name, database, data_dir, **collection_options)
        store.add_texts(texts, metadatas, ids=ids)
        return store


def _no_extra_arguments(method: str, kwargs: dict[str, Any]) -> None:
    if kwargs:
        names = ", ".join(sorted(kwargs))
        raise TypeError(f"{method}() got unexpected keyword arguments: {names}")
