// Docstrings of the Kestrine class and its methods. Each starts with the text signature
// ("name($self, ...)\n--\n\n") so that inspect.signature and help() show the arguments.
#pragma once

namespace kestrine::py::doc {

inline constexpr char kKestrine[] =
    "Kestrine(data_dir=None, encryption_key=None, read_only=False, checkpoint_bytes=None)\n--\n\n"
    "In-process vector database with HNSW and BM25 indexing.\n"
    "\n"
    "Create ephemeral or persistent databases:\n"
    "\n"
    "    db = Kestrine()                      # ephemeral (in-memory only)\n"
    "    db = Kestrine(data_dir=\"./data\")     # with WAL persistence and crash recovery\n"
    "\n"
    "A persistent database locks its data directory while open: another opening of it,\n"
    "in this process or another, raises RuntimeError. With read_only=True the directory\n"
    "is read as it is at that moment, without the lock and without changing any file,\n"
    "beside a writer if there is one; every change then raises RuntimeError. Methods\n"
    "release the interpreter lock while the engine works, so threads run in parallel.\n"
    "close(), or leaving a with block, ends the database and releases the directory.\n"
    "\n"
    "checkpoint_bytes bounds the WAL of a persistent database, and with it the time that\n"
    "reopening (or recovering from a crash) spends replaying it: the change that takes the\n"
    "WAL past this many bytes checkpoints before it returns, as compact() does. None (the\n"
    "default) means the larger of 4 MiB and 1/16 of the snapshots' total size; 0 turns\n"
    "automatic checkpoints off. If one fails (a full disk), the change is kept, a\n"
    "RuntimeWarning says why, and the next change tries again. Ignored without data_dir.\n";

inline constexpr char kCreateCollection[] =
    "create_collection($self, name, dimension, m=None, ef_construction=None, ef_search=None, "
    "distance_metric=None, store_raw_vectors=None)\n--\n\n"
    "Create a new collection.\n"
    "\n"
    "Args:\n"
    "    name: Collection name.\n"
    "    dimension: Embedding vector dimension.\n"
    "    m: HNSW M parameter (default 16).\n"
    "    ef_construction: HNSW ef_construction (default 200).\n"
    "    ef_search: HNSW ef_search (default 50).\n"
    "    distance_metric: Distance metric: \"cosine\" (default), \"euclidean\", or "
    "\"dot_product\".\n"
    "    store_raw_vectors: If True, stores raw f32 vectors for exact reranking\n"
    "        (+0.7% recall, +59% RAM). Default False (compact mode).\n";

inline constexpr char kDeleteCollection[] =
    "delete_collection($self, name)\n--\n\n"
    "Delete a collection by name. Returns True if it existed.\n";

inline constexpr char kListCollections[] =
    "list_collections($self)\n--\n\n"
    "List all collection names.\n";

inline constexpr char kCollectionInfo[] =
    "collection_info($self, name)\n--\n\n"
    "Get information about a collection.\n";

inline constexpr char kInsert[] =
    "insert($self, collection, text, embedding, metadata=None, id=None)\n--\n\n"
    "Insert a single document. Returns the document UUID as a string.\n"
    "\n"
    "Args:\n"
    "    collection: Collection name.\n"
    "    text: Document text content.\n"
    "    embedding: Embedding vector as a list of floats.\n"
    "    metadata: Optional metadata dict.\n"
    "    id: Optional UUID string. Auto-generated if omitted.\n";

inline constexpr char kBatchInsert[] =
    "batch_insert($self, collection, documents, threads=1)\n--\n\n"
    "Insert multiple documents. Returns a list of UUID strings.\n"
    "\n"
    "Each document dict should have the keys \"text\" and \"embedding\", and optionally "
    "\"metadata\" and \"id\".\n"
    "\n"
    "All or nothing: when one document is refused, none is inserted, and the exception raised "
    "for it has an int attribute document_index, that document's 0-based position in the "
    "list.\n"
    "threads: threads that insert the documents into the index, started for this call and\n"
    "finished before it returns (default 1; 0 = one per core). The ids, the errors and what is\n"
    "stored are the same whatever the number.\n";

inline constexpr char kGet[] =
    "get($self, collection, id)\n--\n\n"
    "Get a document by UUID. Returns a dict with 'id', 'text', 'metadata'.\n";

inline constexpr char kDelete[] =
    "delete($self, collection, id)\n--\n\n"
    "Delete a document by UUID. Returns True if it existed.\n";

inline constexpr char kSearch[] =
    "search($self, collection, query_embedding=None, query_text=None, k=10, "
    "min_similarity=None, alpha=0.7, fusion_method=\"rrf\", filter=None, *, "
    "ef_search=None)\n--\n\n"
    "Search a collection.\n"
    "\n"
    "Supports vector search, keyword search, and hybrid search.\n"
    "If both query_embedding and query_text are given, hybrid search is used.\n"
    "\n"
    "Args:\n"
    "    collection: Collection name.\n"
    "    query_embedding: Optional embedding vector for vector/hybrid search.\n"
    "    query_text: Optional text for keyword/hybrid search.\n"
    "    k: Number of results (default 10).\n"
    "    min_similarity: Optional minimum score threshold.\n"
    "    alpha: Hybrid search weight: 1.0 = all vector, 0.0 = all keyword (default 0.7).\n"
    "    fusion_method: Fusion method: \"rrf\" (reciprocal rank fusion, default) or "
    "\"linear\".\n"
    "    filter: Optional filter dict with \"must\" and \"must_not\" lists of conditions,\n"
    "        e.g. {\"must\": [{\"field\": \"year\", \"op\": \"gte\", \"value\": 2020}]}.\n"
    "        See count() for \"should\", \"exists\" and nested filters.\n"
    "    ef_search: Beam width of the vector search's graph walk for this call, at least 1\n"
    "        (default None: the collection's ef_search). Larger finds more of the true\n"
    "        nearest neighbours and takes longer; values below k act as k.\n";

inline constexpr char kUpsert[] =
    "upsert($self, collection, id, text, embedding, metadata=None)\n--\n\n"
    "Store a document under its UUID, replacing a live document with that id.\n"
    "\n"
    "Returns True if a document was replaced, False if it was inserted. Checked like\n"
    "insert(); a crash leaves either the old document or the new one, never neither.\n";

inline constexpr char kBatchUpsert[] =
    "batch_upsert($self, collection, documents)\n--\n\n"
    "Upsert multiple documents. Returns a list of UUID strings.\n"
    "\n"
    "Each document dict has the keys of batch_insert(); a missing \"id\" is generated.\n"
    "Every document is checked before any is stored: a bad one changes nothing, and the\n"
    "exception raised for it has an int attribute document_index, that document's 0-based\n"
    "position in the list. Each document is replaced atomically.\n";

inline constexpr char kGetMany[] =
    "get_many($self, collection, ids)\n--\n\n"
    "Get documents by UUID, in the order given (None for an unknown or deleted id).\n"
    "\n"
    "Each document is a dict as get() returns it. A malformed id is a ValueError.\n";

inline constexpr char kCount[] =
    "count($self, collection, filter=None)\n--\n\n"
    "Count the live documents, or those that pass the filter.\n"
    "\n"
    "A filter is a dict with optional lists: every \"must\" element holds, no \"must_not\"\n"
    "element holds, and at least one \"should\" element holds when the list is not empty.\n"
    "An element is a condition {\"field\", \"op\", \"value\"} with op \"eq\", \"ne\", \"gt\",\n"
    "\"lt\", \"gte\", \"lte\", \"in\" (reading \"values\", a list) or \"exists\" (value True:\n"
    "the field is present; False: absent), or a nested filter, up to 32 levels deep.\n";

inline constexpr char kScan[] =
    "scan($self, collection, filter=None, limit=None, after=None)\n--\n\n"
    "List the live documents that pass the filter, in the order of their ids.\n"
    "\n"
    "At most limit documents, starting after the id after: pass the last id of a page\n"
    "to get the next one.\n";

inline constexpr char kDeleteMany[] =
    "delete_many($self, collection, ids=None, filter=None)\n--\n\n"
    "Delete the given ids and every live document that passes the filter.\n"
    "\n"
    "Returns how many documents were deleted; unknown ids are skipped.\n";

inline constexpr char kSearchMany[] =
    "search_many($self, collection, query_embeddings=None, query_texts=None, k=10, "
    "min_similarity=None, alpha=0.7, fusion_method=\"rrf\", filter=None, threads=1, *, "
    "ef_search=None)\n--\n\n"
    "Run a batch of searches. Returns one list of results per query, in query order.\n"
    "\n"
    "Each query gives exactly what search() gives for it with the same options.\n"
    "\n"
    "Args:\n"
    "    collection: Collection name.\n"
    "    query_embeddings: Optional 2-D float32/float64 NumPy array, or a list of embeddings.\n"
    "    query_texts: Optional list of query texts; when both are given, query i is the hybrid\n"
    "        search of embedding i and text i, and both must hold the same number of queries.\n"
    "    k, min_similarity, alpha, fusion_method, filter, ef_search: as for search(), for\n"
    "        every query.\n"
    "    threads: Threads that run the searches, started for this call and finished before it\n"
    "        returns (default 1; 0 = one per core).\n";

inline constexpr char kSave[] =
    "save($self, collection, path=None, encryption_key=None)\n--\n\n"
    "Save a collection snapshot to disk.\n"
    "\n"
    "Uses the data_dir passed at construction, or a custom path.\n"
    "If encryption_key is provided (64-char hex), the snapshot is encrypted with AES-256-GCM.\n"
    "When WAL persistence is active, the WAL is truncated after a successful save.\n"
    "It is kept instead when the snapshot went elsewhere or under another key, or while\n"
    "other collections have logged changes not yet saved; replaying it is harmless.\n";

inline constexpr char kLoad[] =
    "load($self, name, path=None, encryption_key=None)\n--\n\n"
    "Load a collection snapshot from disk.\n"
    "\n"
    "Uses the data_dir passed at construction, or a custom path.\n"
    "If encryption_key is provided (64-char hex), encrypted snapshots are decrypted.\n";

inline constexpr char kCompact[] =
    "compact($self)\n--\n\n"
    "Save all collections to disk and truncate the WAL.\n"
    "\n"
    "This is the recommended way to create a consistent checkpoint. After compact,\n"
    "the WAL is empty and all data is in snapshots. Requires data_dir to be set.\n";

inline constexpr char kTotalMemoryBytes[] =
    "total_memory_bytes($self)\n--\n\n"
    "Estimate total memory usage across all collections (bytes).\n";

inline constexpr char kRebuild[] =
    "rebuild($self, collection)\n--\n\n"
    "Rebuild HNSW and BM25 indices for a collection, reclaiming deleted space.\n"
    "\n"
    "Returns the number of live documents in the rebuilt index.\n";

inline constexpr char kClose[] =
    "close($self)\n--\n\n"
    "Close the database: the log's file is closed and the data directory's lock released.\n"
    "\n"
    "Nothing is written: the log already holds every change. Waits for calls running in\n"
    "other threads. Every later call raises RuntimeError; closing again does nothing.\n"
    "Dropping the last reference closes the database too.\n";

inline constexpr char kEnter[] =
    "__enter__($self)\n--\n\n"
    "Return the database itself, for a with block that closes it at its end.\n";

inline constexpr char kExit[] =
    "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
    "Close the database; exceptions propagate.\n";

}  // namespace kestrine::py::doc
