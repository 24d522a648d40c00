"""Kestrine as a LlamaIndex vector store (``pip install kestrine[llama-index]``)::

    from kestrine.llama_index import KestrineVectorStore
    from llama_index.core import StorageContext, VectorStoreIndex

    store = KestrineVectorStore(data_dir="./data")            # or database=..., or neither
    index = VectorStoreIndex.from_documents(
        documents, storage_context=StorageContext.from_defaults(vector_store=store)
    )
    index.as_retriever(vector_store_query_mode="hybrid", alpha=0.5).retrieve("question")

How a node is stored, as one Kestrine document:

- the text is the node's content without its metadata (``MetadataMode.NONE``): what BM25
  indexes and what comes back as the node's text; the embedding is the node's;
- the node itself, less its text and embedding, as JSON in the metadata field
  ``_node_content`` and its class in ``_node_type`` (LlamaIndex's own layout, so
  ``metadata_dict_to_node`` rebuilds it), with its reference document's id in ``ref_doc_id``
  (also ``doc_id`` and ``document_id``; "None" for a node without one);
- each metadata value that Kestrine stores (bool, int within 64 bits, float, str) also under
  its own name, where filters reach it; other values (None, lists, dicts) only inside
  ``_node_content``, so they come back but cannot be filtered on;
- the node id: see ``kestrine._framework`` (one that is not a canonical UUID is mapped to a
  name-based UUID; ``_node_content`` keeps the original).

Queries: ``VectorStoreQueryMode.DEFAULT`` searches by ``query_embedding``; ``HYBRID`` also gives
``query_str`` to BM25 and fuses the two rankings, linearly weighted by ``alpha`` when it is set
(1.0 all vector, 0.0 all keyword) and by reciprocal rank fusion when it is None;
``TEXT_SEARCH`` is BM25 alone. ``doc_ids`` restricts the search to those reference documents;
``node_ids`` is not supported (an empty list, as the index's retriever passes, is no restriction).
Filters are translated by ``to_kestrine_filter``.
"""

from collections.abc import Sequence
from typing import Any

from _kestrine import Kestrine, SearchResult
from llama_index.core.bridge.pydantic import Field, PrivateAttr
from llama_index.core.schema import BaseNode, MetadataMode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict

from kestrine._framework import (
    check_collection_options,
    delete_documents,
    ensure_collection,
    has_collection,
    is_metadata_value,
    kestrine_id,
    last_of_each_id,
    open_database,
)
from kestrine._types import Document, Filter, FilterOp, Metadata, NewDocument
from kestrine._types import FilterCondition as Condition

__all__ = ["KestrineVectorStore", "to_kestrine_filter"]

# How many documents a scan reads per call when it lists a whole collection.
_SCAN_PAGE = 1000

_COMPARISONS: dict[FilterOperator, FilterOp] = {
    FilterOperator.EQ: "eq",
    FilterOperator.GT: "gt",
    FilterOperator.GTE: "gte",
    FilterOperator.LT: "lt",
    FilterOperator.LTE: "lte",
}
# The operators that hold where their positive form does not.
_NEGATIONS = (FilterOperator.NE, FilterOperator.NIN)


def _condition(item: MetadataFilter) -> "Condition | Filter":
    operator, key, value = item.operator, item.key, item.value
    if (
        operator not in _COMPARISONS
        and operator not in _NEGATIONS
        and operator != FilterOperator.IN
    ):
        raise ValueError(
            f"filter operator '{operator.value}' on '{key}' is not supported: use ==, !=, >, "
            ">=, <, <=, in or nin"
        )
    if operator in (FilterOperator.IN, FilterOperator.NIN):
        if not isinstance(value, list):
            raise ValueError(f"filter operator '{operator.value}' on '{key}' needs a list")
        found: Condition = {"field": key, "op": "in", "values": list(value)}
        return found if operator == FilterOperator.IN else {"must_not": [found]}
    if isinstance(value, list):
        raise ValueError(f"filter operator '{operator.value}' on '{key}' needs a single value")
    if operator == FilterOperator.NE:
        # As LlamaIndex's own stores read it: a node without the field is not equal either.
        return {"must_not": [{"field": key, "op": "eq", "value": value}]}
    if operator != FilterOperator.EQ and (
        not isinstance(value, int | float) or isinstance(value, bool)
    ):
        raise ValueError(f"filter operator '{operator.value}' on '{key}' needs a number")
    return {"field": key, "op": _COMPARISONS[operator], "value": value}


def to_kestrine_filter(filters: MetadataFilters) -> Filter:
    """LlamaIndex's filters in Kestrine's form. AND puts the elements in ``must``, OR in
    ``should``; nested ``MetadataFilters`` become nested filters. ``!=`` and ``nin`` hold for a
    node that lacks the field, the other operators do not; ``>``, ``>=``, ``<`` and ``<=``
    compare numbers only. Any other operator or condition is a ``ValueError``."""
    elements = [
        to_kestrine_filter(item) if isinstance(item, MetadataFilters) else _condition(item)
        for item in filters.filters
    ]
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.AND:
        return {"must": elements}
    if condition == FilterCondition.OR:
        return {"should": elements}
    raise ValueError(f"filter condition '{condition.value}' is not supported: use and or or")


def _node(document: Document | SearchResult) -> BaseNode:
    if isinstance(document, SearchResult):
        return metadata_dict_to_node(dict(document.metadata), text=document.text)
    return metadata_dict_to_node(dict(document["metadata"]), text=document["text"])


def _record(node: BaseNode) -> NewDocument:
    stored: Metadata = {
        name: value
        for name, value in node_to_metadata_dict(node, remove_text=True).items()
        if is_metadata_value(value)
    }
    return {
        "id": kestrine_id(node.node_id),
        "text": node.get_content(metadata_mode=MetadataMode.NONE),
        "embedding": node.get_embedding(),
        "metadata": stored,
    }


class KestrineVectorStore(BasePydanticVectorStore):
    """A LlamaIndex vector store on one Kestrine collection.

    ``database`` is a ``Kestrine`` to use; without it one is opened on ``data_dir``, and without
    that an ephemeral one is made. The collection is created on the first add with the nodes'
    dimension and ``collection_options`` (``m``, ``ef_construction``, ``ef_search``,
    ``distance_metric``, ``store_raw_vectors``, as ``Kestrine.create_collection`` takes them);
    an existing one is used as it is. Until it exists, queries find nothing.
    """

    stores_text: bool = True
    flat_metadata: bool = False
    collection_name: str = "llama_index"
    data_dir: str | None = None
    collection_options: dict[str, Any] = Field(default_factory=dict)

    _database: Kestrine = PrivateAttr()

    def __init__(
        self,
        collection_name: str = "llama_index",
        database: Kestrine | None = None,
        data_dir: str | None = None,
        **collection_options: Any,
    ) -> None:
        check_collection_options(collection_options)
        super().__init__(stores_text=True)
        self.collection_name = collection_name
        self.data_dir = data_dir
        self.collection_options = collection_options
        self._database = open_database(database, data_dir)

    @classmethod
    def class_name(cls) -> str:
        return "KestrineVectorStore"

    @property
    def client(self) -> Kestrine:
        """The database."""
        return self._database

    def _exists(self) -> bool:
        return has_collection(self._database, self.collection_name)

    # Writing.

    def add(self, nodes: Sequence[BaseNode], **kwargs: Any) -> list[str]:
        """Stores the nodes, which carry their embeddings; a node id given again replaces its
        node. Returns the node ids."""
        if not nodes:
            return []
        records = [_record(node) for node in nodes]
        ensure_collection(
            self._database,
            self.collection_name,
            len(nodes[0].get_embedding()),
            self.collection_options,
        )
        self._database.batch_upsert(self.collection_name, last_of_each_id(records))
        return [node.node_id for node in nodes]

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Deletes every node of the reference document."""
        if self._exists():
            ref_filter: Filter = {
                "must": [{"field": "ref_doc_id", "op": "eq", "value": ref_doc_id}]
            }
            delete_documents(self._database, self.collection_name, None, ref_filter)

    def delete_nodes(
        self,
        node_ids: list[str] | None = None,
        filters: MetadataFilters | None = None,
        **delete_kwargs: Any,
    ) -> None:
        """Deletes the nodes that are among ``node_ids`` and pass ``filters``; either left out
        takes every node."""
        if not self._exists():
            return
        if node_ids is not None and filters is not None:
            node_ids = [node.node_id for node in self.get_nodes(node_ids, filters)]
            filters = None
        ids = None if node_ids is None else [kestrine_id(i) for i in node_ids]
        if ids == []:
            return
        filter = to_kestrine_filter(filters) if filters is not None else None
        if ids is None and filter is None:
            filter = {}
        delete_documents(self._database, self.collection_name, ids, filter)

    def clear(self) -> None:
        """Deletes every node; the collection and its settings stay."""
        if self._exists():
            delete_documents(self._database, self.collection_name, None, {})

    # Reading.

    def get_nodes(
        self,
        node_ids: list[str] | None = None,
        filters: MetadataFilters | None = None,
    ) -> list[BaseNode]:
        """The nodes that are among ``node_ids`` (in that order, unknown ones skipped) and pass
        ``filters``; either left out takes every node. With filters and no ids, the nodes come
        in the order of their Kestrine ids. Filtering given ids reads the whole collection."""
        if not self._exists():
            return []
        filter = to_kestrine_filter(filters) if filters is not None else None
        if node_ids is None:
            return [_node(d) for d in self._scan(filter)]
        found = self._database.get_many(self.collection_name, [kestrine_id(i) for i in node_ids])
        documents = [d for d in found if d is not None]
        if filter is not None:
            passing = {d["id"] for d in self._scan(filter)}
            documents = [d for d in documents if d["id"] in passing]
        return [_node(d) for d in documents]

    def _scan(self, filter: Filter | None) -> list[Document]:
        documents: list[Document] = []
        after: str | None = None
        while True:
            page = self._database.scan(
                self.collection_name, filter=filter, limit=_SCAN_PAGE, after=after
            )
            documents.extend(page)
            if len(page) < _SCAN_PAGE:
                return documents
            after = page[-1]["id"]

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """The nearest nodes, by the query's mode (see the module's text)."""
        mode = query.mode
        embedding = query.query_embedding
        text: str | None = None
        alpha, fusion = 0.7, "rrf"
        k = query.similarity_top_k
        if mode == VectorStoreQueryMode.DEFAULT:
            if embedding is None:
                raise ValueError("a default query needs query_embedding")
        elif mode == VectorStoreQueryMode.HYBRID:
            if embedding is None or not query.query_str:
                raise ValueError("a hybrid query needs query_embedding and query_str")
            text = query.query_str
            if query.alpha is not None:
                alpha, fusion = query.alpha, "linear"
            k = query.hybrid_top_k or k
        elif mode == VectorStoreQueryMode.TEXT_SEARCH:
            if not query.query_str:
                raise ValueError("a text search needs query_str")
            embedding, text = None, query.query_str
            k = query.sparse_top_k or k
        else:
            raise ValueError(
                f"query mode '{mode.value}' is not supported: use default, hybrid or text_search"
            )
        # The index's retriever passes an empty list when the store holds the nodes.
        if query.node_ids:
            raise ValueError("queries restricted to node_ids are not supported")
        filter = self._query_filter(query)
        if not self._exists():
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        hits = self._database.search(
            self.collection_name,
            query_embedding=embedding,
            query_text=text,
            k=k,
            alpha=alpha,
            fusion_method="linear" if fusion == "linear" else "rrf",
            filter=filter,
        )
        nodes = [_node(hit) for hit in hits]
        return VectorStoreQueryResult(
            nodes=nodes,
            similarities=[hit.score for hit in hits],
            ids=[node.node_id for node in nodes],
        )

    @staticmethod
    def _query_filter(query: VectorStoreQuery) -> Filter | None:
        parts: list[Condition | Filter] = []
        if query.filters is not None:
            parts.append(to_kestrine_filter(query.filters))
        if query.doc_ids is not None:
            values: list[Any] = list(query.doc_ids)
            parts.append({"field": "ref_doc_id", "op": "in", "values": values})
        return {"must": parts} if parts else None
