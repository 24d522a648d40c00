"""A first tour of Kestrine: collections, documents, metadata."""

from kestrine import Kestrine

db = Kestrine()
db.create_collection("animals", dimension=4, distance_metric="cosine")

ids = db.batch_insert(
    "animals",
    [
        {
            "text": "The cat sleeps on the sofa",
            "embedding": [0.9, 0.1, 0.0, 0.2],
            "metadata": {"kind": "cat", "age": 3},
        },
        {
            "text": "A dog runs in the park",
            "embedding": [0.1, 0.9, 0.1, 0.0],
            "metadata": {"kind": "dog", "age": 5},
        },
        {
            "text": "Il gatto dorme sul divano",
            "embedding": [0.85, 0.15, 0.0, 0.25],
            "metadata": {"kind": "cat", "lang": "it"},
        },
    ],
)
print("inserted:", ids)
print("collections:", db.list_collections())
print(db.collection_info("animals"))

first = db.get("animals", ids[0])
print("get:", first)

print("delete:", db.delete("animals", ids[1]))
print("delete again:", db.delete("animals", ids[1]))
print(db.collection_info("animals"))
print(db)
