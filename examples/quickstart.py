"""A first tour of Kestrine: collections, documents, metadata and the three kinds of search."""

from kestrine import Kestrine, SearchResult

db = Kestrine()
db.create_collection("animals", dimension=4, distance_metric="cosine")

# Toy 4-dimensional embeddings: (cat-ness, dog-ness, bird-ness, indoor-ness).
ids = db.batch_insert(
    "animals",
    [
        {
            "text": "The cat sleeps on the sofa all afternoon",
            "embedding": [0.9, 0.1, 0.0, 0.8],
            "metadata": {"kind": "cat", "age": 3, "lang": "en"},
        },
        {
            "text": "A dog runs after the ball in the park",
            "embedding": [0.1, 0.9, 0.1, 0.1],
            "metadata": {"kind": "dog", "age": 5, "lang": "en"},
        },
        {
            "text": "Il gatto dorme sul divano",
            "embedding": [0.85, 0.15, 0.0, 0.75],
            "metadata": {"kind": "cat", "age": 1, "lang": "it"},
        },
        {
            "text": "A small bird sings at the window of the house",
            "embedding": [0.2, 0.0, 0.9, 0.6],
            "metadata": {"kind": "bird", "age": 2, "lang": "en"},
        },
        {
            "text": "Cats and dogs can share a house peacefully",
            "embedding": [0.6, 0.6, 0.0, 0.7],
            "metadata": {"kind": "mixed", "age": 7, "lang": "en"},
        },
    ],
)
print("inserted", len(ids), "documents into", db.list_collections())
print(db.collection_info("animals"))
print("get:", db.get("animals", ids[0]))


def show(title: str, results: list[SearchResult]) -> None:
    print(f"\n{title}")
    for rank, r in enumerate(results, 1):
        print(f"  {rank}. {r.score:.4f}  {r.text!r}  {r.metadata}")


cat_like = [0.9, 0.1, 0.0, 0.7]
show("vector search (something cat-like):", db.search("animals", cat_like, k=3))
show("keyword search 'house':", db.search("animals", query_text="house"))
show(
    "hybrid search 'sofa' + cat-like vector, English only:",
    db.search(
        "animals",
        query_embedding=cat_like,
        query_text="sofa",
        k=3,
        filter={"must": [{"field": "lang", "op": "eq", "value": "en"}]},
    ),
)
show(
    "hybrid, linear fusion (alpha 0.5), age >= 3 and not a dog:",
    db.search(
        "animals",
        cat_like,
        "house",
        alpha=0.5,
        fusion_method="linear",
        filter={
            "must": [{"field": "age", "op": "gte", "value": 3}],
            "must_not": [{"field": "kind", "op": "eq", "value": "dog"}],
        },
    ),
)

print("\ndelete:", db.delete("animals", ids[1]), "then again:", db.delete("animals", ids[1]))
print(db.collection_info("animals"))
print(db)
