"""Kestrine: an embedded vector database for Python.

It runs inside your process, with no server and no background thread::

    from kestrine import Kestrine
    db = Kestrine()                              # or Kestrine(data_dir="./data")
    db.create_collection("docs", dimension=384)
    db.insert("docs", "some text", embedding, metadata={"lang": "en"})
    db.get("docs", doc_id)
"""

from _kestrine import CollectionInfo, Kestrine, SearchResult

__all__ = ["CollectionInfo", "Kestrine", "SearchResult"]
