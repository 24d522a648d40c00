"""The shapes of the values that Kestrine's methods take and return, for type checkers and for
annotating your own code: ``def index(db: Kestrine, docs: list[NewDocument]) -> None``."""

from collections.abc import Sequence
from typing import (
    Literal,
    NotRequired,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
)

MetadataValue: TypeAlias = bool | int | float | str
"""A metadata value. A bool stays a bool: it is never taken for an int."""

Metadata: TypeAlias = dict[str, MetadataValue]


class VectorLike(Protocol):
    """A one-dimensional run of numbers that is not a ``Sequence[float]`` to the type checker,
    such as a NumPy array or an ``array.array``. Float32 and float64 arrays are read directly;
    anything else is read item by item."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...


Embedding: TypeAlias = Sequence[float] | VectorLike
"""An embedding vector; its values are stored as 32-bit floats."""


class MatrixLike(Protocol):
    """A two-dimensional array of numbers whose rows are embeddings, such as a 2-D NumPy array.
    C-contiguous float32 and float64 arrays are read directly; anything else row by row."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Embedding: ...


Embeddings: TypeAlias = Sequence[Embedding] | MatrixLike
"""A batch of embedding vectors, one per query."""

DistanceMetric: TypeAlias = Literal["cosine", "euclidean", "dot_product"]
FusionMethod: TypeAlias = Literal["rrf", "linear"]
FilterOp: TypeAlias = Literal["eq", "ne", "gt", "lt", "gte", "lte", "in", "exists"]
FilterValue: TypeAlias = bool | int | float | str | None


class FilterCondition(TypedDict):
    """One condition on a metadata field; which of ``value`` and ``values`` is read depends on
    ``op`` (``"in"`` reads ``values``; ``"exists"`` reads ``value``, True for a field that is
    present and False for one that is absent)."""

    field: str
    op: FilterOp
    value: NotRequired[FilterValue]
    values: NotRequired[list[FilterValue]]


class Filter(TypedDict, total=False):
    """A document matches when it meets every ``must`` element, no ``must_not`` one, and at
    least one ``should`` element when that list is not empty. An element is a condition or a
    nested filter (at most 32 levels deep), so that AND, OR and NOT compose."""

    must: list["FilterCondition | Filter"]
    must_not: list["FilterCondition | Filter"]
    should: list["FilterCondition | Filter"]


class NewDocument(TypedDict):
    """One element of ``batch_insert``'s list; a missing ``id`` gets a random UUID."""

    text: str
    embedding: Embedding
    metadata: NotRequired[Metadata]
    id: NotRequired[str]


class Document(TypedDict):
    """A stored document, as ``get`` returns it."""

    id: str
    text: str
    metadata: Metadata
